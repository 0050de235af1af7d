// Windows target: mingw-w64's DDK headers and the kernel declarations they lack.
#pragma once

#include <ntifs.h>
#include <ntstrsafe.h>

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif


extern "C" {

typedef enum _SYSTEM_INFORMATION_CLASS_VEX {
    SystemProcessInformation = 5,
} SYSTEM_INFORMATION_CLASS;

// One entry of the process snapshot, x64 layout (256 bytes), followed by NumberOfThreads thread
// records; declared by mingw-w64 only for user mode.
typedef struct _SYSTEM_PROCESS_INFORMATION {
    ULONG NextEntryOffset;
    ULONG NumberOfThreads;
    UCHAR Reserved1[24];
    LARGE_INTEGER CreateTime;
    LARGE_INTEGER UserTime;
    LARGE_INTEGER KernelTime;
    UNICODE_STRING ImageName;
    LONG BasePriority;
    HANDLE UniqueProcessId;
    HANDLE InheritedFromUniqueProcessId;
    ULONG HandleCount;
    ULONG SessionId;
    ULONG_PTR PageDirectoryBase;
    SIZE_T VirtualMemoryCounters[11];
    SIZE_T PrivatePageCount;
    LARGE_INTEGER IoCounters[6];
} SYSTEM_PROCESS_INFORMATION, *PSYSTEM_PROCESS_INFORMATION;

NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass, PVOID SystemInformation,
                                                 ULONG SystemInformationLength, PULONG ReturnLength);

}  // extern "C"
