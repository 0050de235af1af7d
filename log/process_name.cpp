#include "log/log.h"

#include "common/pool_tags.h"
#include "tables/dl_ext_func.h"

// The file-name part of an image name: what follows its last separator.
static VOID FileNamePart(PCUNICODE_STRING ImageName, PCWSTR* Start, USHORT* Characters)
{
    USHORT total = ImageName->Length / sizeof(WCHAR);
    USHORT first = 0;
    for (USHORT i = 0; i < total; i++) {
        if (ImageName->Buffer[i] == L'\\') {
            first = i + 1;
        }
    }
    *Start = ImageName->Buffer + first;
    *Characters = total - first;
}

NTSTATUS GetProcessName(PWSTR* Name, HANDLE ProcessId)
{
    PVOID snapshot = NULL;
    NTSTATUS status = QuerySystemInformation(&snapshot);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // A snapshot that fitted in no buffer at all holds no process.
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    PSYSTEM_PROCESS_INFORMATION entry = (PSYSTEM_PROCESS_INFORMATION)snapshot;
    while (entry != NULL) {
        if (entry->UniqueProcessId == ProcessId) {
            PCWSTR start;
            USHORT characters;
            FileNamePart(&entry->ImageName, &start, &characters);
            PWSTR copy = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, ((SIZE_T)characters + 1) * sizeof(WCHAR), VEXR_TAG);
            if (copy == NULL) {
                DbgPrint("[Logging] GetProcessName : resource allocation error\n");
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                if (characters > 0) {
                    RtlCopyMemory(copy, start, characters * sizeof(WCHAR));
                }
                *Name = copy;
                status = STATUS_SUCCESS;
            }
            break;
        }
        entry = (entry->NextEntryOffset == 0) ? NULL
                                              : (PSYSTEM_PROCESS_INFORMATION)((PUCHAR)entry + entry->NextEntryOffset);
    }
    if (snapshot != NULL) {
        ExFreePoolWithTag(snapshot, VEXR_TAG);
    }
    return status;
}
