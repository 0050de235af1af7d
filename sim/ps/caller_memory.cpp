// The driver-facing routines for memory a user-mode caller owns (ntmm.h): the probes and their
// guarded, status-returning forms. They check the current process's memory as process_memory.h
// describes; a kernel address (at or above MmUserProbeAddress) fails every probe.
#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"
#include "sim/ps/process_memory.h"

namespace vexsim {

namespace {

NTSTATUS Probe(const volatile void* address, SIZE_T length, ULONG alignment, bool write)
{
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    auto start = reinterpret_cast<ULONG_PTR>(address);
    if (alignment != 0 && start % alignment != 0) {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    // Memory a test lends is wherever the host put it; only simulated ranges have the limit.
    if (!IsSimulatedUserRange(const_cast<const void*>(address), length)) {
        return STATUS_SUCCESS;
    }
    if (start + length < start || start + length > MM_USER_PROBE_ADDRESS) {
        return STATUS_ACCESS_VIOLATION;
    }
    return ProbeCaller(UserMode, const_cast<const void*>(address), length, write);
}

void RaiseIfFailed(NTSTATUS status, const char* routine, const volatile void* address, SIZE_T length)
{
    if (!NT_SUCCESS(status)) {
        BugCheck(kKmodeExceptionNotHandled, static_cast<ULONG>(status), reinterpret_cast<ULONG_PTR>(address), length, 0,
                 std::string(routine) + " of " + FormatAddress(const_cast<const void*>(address)) + " (" +
                     std::to_string(length) + " bytes) raised an exception no __except handled");
    }
}

}  // namespace

}  // namespace vexsim

using namespace vexsim;

extern "C" VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    RaiseIfFailed(Probe(Address, Length, Alignment, false), "ProbeForRead", Address, Length);
}

extern "C" VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    RaiseIfFailed(Probe(Address, Length, Alignment, true), "ProbeForWrite", Address, Length);
}

extern "C" NTSTATUS NTAPI SimProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    return Probe(Address, Length, Alignment, false);
}

extern "C" NTSTATUS NTAPI SimProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment)
{
    return Probe(Address, Length, Alignment, true);
}

extern "C" NTSTATUS NTAPI SimCopyFromUser(PVOID Destination, const volatile VOID* UserSource, SIZE_T Length)
{
    return CopyFromCaller(UserMode, Destination, const_cast<const void*>(UserSource), Length);
}

extern "C" NTSTATUS NTAPI SimCopyToUser(volatile VOID* UserDestination, const VOID* Source, SIZE_T Length)
{
    return CopyToCaller(UserMode, const_cast<void*>(UserDestination), Source, Length);
}
