// Kernel routines the driver finds at run time instead of importing them, with wrappers that
// resolve on first use and size their answers. A routine that cannot be resolved is tried again
// at its next use.
#pragma once

#include "platform.h"

NTSTATUS DlExtFuncInitialize(VOID);
NTSTATUS DlExtFuncFinalize(VOID);

NTSTATUS ResolveZwQueryInformationProcess(VOID);
NTSTATUS ResolveZwQuerySystemInformation(VOID);
NTSTATUS ResolveZwSetInformationKey(VOID);
NTSTATUS ResolveMmCopyMemory(VOID);

// With *Buffer set, queries into it (Length bytes). With *Buffer null, asks for the size and
// returns in *Buffer a zero-filled VexR allocation holding the answer, which the caller frees.
NTSTATUS QueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS InformationClass, PVOID* Buffer, ULONG Length);

// The process snapshot (SystemProcessInformation) in a VexR allocation the caller frees; *Buffer
// must be null.
NTSTATUS QuerySystemInformation(PVOID* Buffer);

// The one way to read memory another process (or a user-mode caller) owns: copies Length bytes
// from Source in the current or attached process's address space without risking a fault. A range
// that does not lie wholly below the user-mode limit, or that cannot be read, gives
// STATUS_ACCESS_VIOLATION (the code a fault would have raised); Target's contents are then
// undefined. Fails as the resolver does where the system lacks MmCopyMemory (before Windows 8.1).
NTSTATUS CopyFromUserAddress(PVOID Target, ULONG_PTR Source, SIZE_T Length);

// Sets a key's last-write time (a 64-bit system time).
NTSTATUS SetKeyLastWriteTime(HANDLE KeyHandle, LARGE_INTEGER LastWriteTime);
