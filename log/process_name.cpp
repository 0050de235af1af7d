#include "log/log.h"

#include "common/pool_tags.h"
#include "tables/dl_ext_func.h"

// The snapshot names each process by its image's file name alone, which is what records carry.
NTSTATUS GetProcessName(PWSTR* Name, HANDLE ProcessId)
{
    PVOID snapshot = NULL;
    NTSTATUS status = QuerySystemInformation(&snapshot);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // A snapshot that fitted in no buffer at all holds no process.
    status = STATUS_OBJECT_NAME_NOT_FOUND;
    for (PSYSTEM_PROCESS_INFORMATION entry = (PSYSTEM_PROCESS_INFORMATION)snapshot; entry != NULL;
         entry = NextProcessEntry(entry)) {
        if (entry->UniqueProcessId == ProcessId) {
            USHORT bytes = entry->ImageName.Length;
            PWSTR copy = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, (SIZE_T)bytes + sizeof(WCHAR), VEXR_TAG);
            if (copy == NULL) {
                DbgPrint("[Logging] GetProcessName : resource allocation error\n");
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                if (bytes > 0) {
                    RtlCopyMemory(copy, entry->ImageName.Buffer, bytes);
                }
                *Name = copy;
                status = STATUS_SUCCESS;
            }
            break;
        }
    }
    if (snapshot != NULL) {
        ExFreePoolWithTag(snapshot, VEXR_TAG);
    }
    return status;
}
