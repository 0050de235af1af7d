// Snapshots of the process lists for the parameter dump.
#include "process/process_lists.h"

#include "common/locking.h"
#include "process/process_private.h"
#include "tables/list_snapshot.h"

NTSTATUS DuplicateProcessNameList(PLOCKED_LIST List, PLIST_SNAPSHOT* Snapshot)
{
    *Snapshot = NULL;
    if (!MayTakeLock()) {
        return STATUS_UNSUCCESSFUL;
    }
    ExAcquireFastMutex(&List->Lock);
    ULONG count = 0;
    SIZE_T nameBytes = 0;
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        count++;
        nameBytes += CONTAINING_RECORD(link, PROCESS_NAME_ENTRY, Links)->Name.Length;
    }
    NTSTATUS status = AllocateListSnapshot(count, nameBytes, Snapshot);
    if (NT_SUCCESS(status)) {
        ULONG index = 0;
        for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink, index++) {
            PPROCESS_NAME_ENTRY entry = CONTAINING_RECORD(link, PROCESS_NAME_ENTRY, Links);
            CopySnapshotName(*Snapshot, index, &entry->Name);
            (*Snapshot)->Entries[index].Id = entry->Id;
        }
    }
    ExReleaseFastMutex(&List->Lock);
    return status;
}

NTSTATUS DuplicateMonProcList(PLOCKED_LIST List, PLIST_SNAPSHOT* Snapshot)
{
    *Snapshot = NULL;
    if (!MayTakeLock()) {
        return STATUS_UNSUCCESSFUL;
    }
    ExAcquireFastMutex(&List->Lock);
    ULONG count = 0;
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        count++;
    }
    NTSTATUS status = AllocateListSnapshot(count, 0, Snapshot);
    if (NT_SUCCESS(status)) {
        ULONG index = 0;
        for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink, index++) {
            PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(link, MONITORED_PROCESS_ENTRY, Links);
            (*Snapshot)->Entries[index].ProcessId = (ULONG)(ULONG_PTR)entry->ProcessId;
            (*Snapshot)->Entries[index].Id = entry->Id;
        }
    }
    ExReleaseFastMutex(&List->Lock);
    return status;
}
