// Caller memory. On Windows, the probe and the copy run inside one __try, so an address outside
// the user range, an unmapped page or a read-only page raises an exception that ends here as its
// status. The copy stays a call to memcpy (the driver builds with -fno-builtin): without
// -fasync-exceptions clang's SEH scopes catch faults only inside calls. The simulated kernel has
// no structured exceptions; its status-returning probe and copy give the same answers.
#include "platform.h"

#if defined(_WIN32)

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

#else

NTSTATUS CopyToCaller(PVOID CallerAddress, const VOID* Source, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (ExGetPreviousMode() != UserMode) {
        RtlCopyMemory(CallerAddress, Source, Length);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = SimProbeForWrite(CallerAddress, Length, 1);
    if (NT_SUCCESS(status)) {
        status = SimCopyToUser(CallerAddress, Source, Length);
    }
    return status;
}

NTSTATUS CopyFromCaller(PVOID Destination, const VOID* CallerAddress, SIZE_T Length)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (ExGetPreviousMode() != UserMode) {
        RtlCopyMemory(Destination, CallerAddress, Length);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = SimProbeForRead(CallerAddress, Length, 1);
    if (NT_SUCCESS(status)) {
        status = SimCopyFromUser(Destination, CallerAddress, Length);
    }
    return status;
}

#endif
