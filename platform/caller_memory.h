// Access to memory that the caller of a registry operation owns.
//
// The output buffers of a registry operation (KeyInformation, ResultLength, a security descriptor
// and its Length) are the caller's own addresses. For a user-mode caller they were probed by the
// system service, but another thread of that process can unmap or protect them at any moment, so
// every read or write of them goes through these routines, which return a status instead of
// faulting. The previous mode of the current thread decides: a user-mode caller's range is probed
// against the user address space and copied under an exception guard; a kernel-mode caller's
// buffers are trusted. A zero length touches nothing and succeeds.
#pragma once

NTSTATUS CopyToCaller(PVOID CallerAddress, const VOID* Source, SIZE_T Length);
NTSTATUS CopyFromCaller(PVOID Destination, const VOID* CallerAddress, SIZE_T Length);

// One 32-bit value written into the caller's memory (a result length).
FORCEINLINE NTSTATUS WriteCallerUlong(PULONG CallerAddress, ULONG Value)
{
    return CopyToCaller(CallerAddress, &Value, sizeof(Value));
}
