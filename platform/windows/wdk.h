// Windows target: mingw-w64's DDK headers and the kernel declarations they lack.
#pragma once

#include <ntifs.h>
#include <ntstrsafe.h>

#include "system_process_information.h"

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif


extern "C" {

typedef enum _SYSTEM_INFORMATION_CLASS_VEX {
    SystemProcessInformation = 5,
} SYSTEM_INFORMATION_CLASS;


// MmCopyMemory (Windows 8.1 and later) is looked up at run time; only its argument types are
// declared.
typedef struct _MM_COPY_ADDRESS {
    union {
        PVOID VirtualAddress;
        PHYSICAL_ADDRESS PhysicalAddress;
    };
} MM_COPY_ADDRESS, *PMM_COPY_ADDRESS;
#define MM_COPY_MEMORY_PHYSICAL 0x1
#define MM_COPY_MEMORY_VIRTUAL 0x2

// KeyCachedInformation's answer (the enum value exists in mingw-w64, the structure does not).
typedef struct _KEY_CACHED_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    ULONG NameLength;
} KEY_CACHED_INFORMATION, *PKEY_CACHED_INFORMATION;

// KeyFlagsInformation's answer as the native headers lay it out (the class is reserved for system
// use; mingw-w64 declares the class, not the structure).
typedef struct _KEY_FLAGS_INFORMATION {
    ULONG Wow64Flags;
    ULONG KeyFlags;      // REG_FLAG_VOLATILE, REG_FLAG_LINK
    ULONG ControlFlags;
} KEY_FLAGS_INFORMATION, *PKEY_FLAGS_INFORMATION;

#define REG_FLAG_VOLATILE 0x0001
#define REG_FLAG_LINK     0x0002

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, PVOID SystemInformation,
                                                 ULONG SystemInformationLength, PULONG ReturnLength);

NTKERNELAPI NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process);

}  // extern "C"
