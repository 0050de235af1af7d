// Caller memory on Windows: ProbeForRead/ProbeForWrite and the copy run inside one __try, so an
// address outside the user range, an unmapped page or a read-only page raises an exception that
// ends here as its status. The copy stays a call to memcpy (the driver builds with -fno-builtin):
// without -fasync-exceptions clang's SEH scopes catch faults only inside calls.
#include "platform.h"
#include "caller_memory.h"

NTSTATUS CopyToCaller(PVOID CallerAddress, const VOID* Source, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        if (ExGetPreviousMode() == UserMode) {
            ProbeForWrite(CallerAddress, Length, 1);
        }
        RtlCopyMemory(CallerAddress, Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

NTSTATUS CopyFromCaller(PVOID Destination, const VOID* CallerAddress, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        if (ExGetPreviousMode() == UserMode) {
            ProbeForRead(const_cast<PVOID>(CallerAddress), Length, 1);
        }
        RtlCopyMemory(Destination, CallerAddress, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}
