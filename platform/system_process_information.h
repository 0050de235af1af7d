// The process snapshot entry of ZwQuerySystemInformation(SystemProcessInformation), x64 layout,
// for both targets: mingw-w64 declares it only for user mode.
#pragma once

// One entry (256 bytes), followed by NumberOfThreads SYSTEM_THREAD_INFORMATION records.
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

// The entry after Entry in a snapshot, or none after the last one.
FORCEINLINE PSYSTEM_PROCESS_INFORMATION NextProcessEntry(PSYSTEM_PROCESS_INFORMATION Entry)
{
    return Entry->NextEntryOffset == 0 ? NULL : (PSYSTEM_PROCESS_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset);
}
