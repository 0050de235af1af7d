// Memory a user-mode caller owns, as a driver reaches it.
//
// ProbeForRead and ProbeForWrite keep the DDK's names and signatures. On Windows a failed probe
// raises STATUS_ACCESS_VIOLATION (or STATUS_DATATYPE_MISALIGNMENT), which the driver catches with
// __try/__except, and a copy to or from the probed range faults the same way when another
// thread of the caller unmaps or protects it meanwhile. The simulated kernel has no structured
// exception handling: an unguarded failed probe stops the machine as an unhandled exception in
// kernel mode does (KMODE_EXCEPTION_NOT_HANDLED, parameter 1 the exception code).
//
// The Sim* routines are what the guarded forms return on Windows, as statuses; they exist only in
// the simulated kernel and are what a driver's fault-safe caller-memory routine calls there in
// place of __try { ProbeForXxx(...); RtlCopyMemory(...); } __except (EXCEPTION_EXECUTE_HANDLER)
// { status = GetExceptionCode(); }. The address is a user address of the current process:
// memory of its simulated address space faults when unmapped, unreadable or read-only (nothing
// is copied then); memory a test lends a user-mode call from the host is reached directly.
#pragma once

#include "ntbase.h"

NTKERNELAPI VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);

// STATUS_SUCCESS, STATUS_ACCESS_VIOLATION or STATUS_DATATYPE_MISALIGNMENT, as the probe would raise.
NTKERNELAPI NTSTATUS NTAPI SimProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI NTSTATUS NTAPI SimProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);

// Copies Length bytes from or to a user address: STATUS_SUCCESS, or STATUS_ACCESS_VIOLATION with
// nothing copied.
NTKERNELAPI NTSTATUS NTAPI SimCopyFromUser(PVOID Destination, const volatile VOID* UserSource, SIZE_T Length);
NTKERNELAPI NTSTATUS NTAPI SimCopyToUser(volatile VOID* UserDestination, const VOID* Source, SIZE_T Length);
