#include "tables/list_snapshot.h"

#include "common/locking.h"
#include "common/pool_tags.h"
#include "tables/key_lists.h"

// Layout of one allocation: the record, the entries, then the names one after the other.
typedef struct _LIST_SNAPSHOT_BLOCK {
    LIST_SNAPSHOT Snapshot;
    PUCHAR NextName;  // where the next copied name goes
} LIST_SNAPSHOT_BLOCK, *PLIST_SNAPSHOT_BLOCK;

NTSTATUS AllocateListSnapshot(ULONG Count, SIZE_T NameBytes, PLIST_SNAPSHOT* Snapshot)
{
    *Snapshot = NULL;
    ULONG64 size = sizeof(LIST_SNAPSHOT_BLOCK) + (ULONG64)Count * sizeof(LIST_SNAPSHOT_ENTRY) + NameBytes;
    if (size > MAXULONG) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PLIST_SNAPSHOT_BLOCK block = (PLIST_SNAPSHOT_BLOCK)ExAllocatePoolZero(g_NonPagedPoolType, (SIZE_T)size, VEXR_TAG);
    if (block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    block->Snapshot.Count = Count;
    block->Snapshot.Entries = (PLIST_SNAPSHOT_ENTRY)(block + 1);
    block->NextName = (PUCHAR)(block->Snapshot.Entries + Count);
    *Snapshot = &block->Snapshot;
    return STATUS_SUCCESS;
}

VOID CopySnapshotName(PLIST_SNAPSHOT Snapshot, ULONG Index, PCUNICODE_STRING Name)
{
    PLIST_SNAPSHOT_BLOCK block = CONTAINING_RECORD(Snapshot, LIST_SNAPSHOT_BLOCK, Snapshot);
    PUNICODE_STRING copy = &Snapshot->Entries[Index].Name;
    if (Name->Buffer == NULL || Name->Length == 0) {
        return;
    }
    RtlCopyMemory(block->NextName, Name->Buffer, Name->Length);
    copy->Buffer = (PWSTR)block->NextName;
    copy->Length = Name->Length;
    copy->MaximumLength = Name->Length;
    block->NextName += Name->Length;
}

VOID FreeListSnapshot(PLIST_SNAPSHOT Snapshot)
{
    if (Snapshot != NULL) {
        ExFreePoolWithTag(CONTAINING_RECORD(Snapshot, LIST_SNAPSHOT_BLOCK, Snapshot), VEXR_TAG);
    }
}

NTSTATUS DuplicateExcludeKeyList(PLIST_SNAPSHOT* Snapshot)
{
    *Snapshot = NULL;
    if (!MayTakeLock()) {
        return STATUS_UNSUCCESSFUL;
    }
    PLIST_ENTRY head = &g_VexRegFilterData.ExcludeKeyList;
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    ULONG count = 0;
    SIZE_T nameBytes = 0;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        count++;
        nameBytes += CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links)->KeyPath.Length;
    }
    NTSTATUS status = AllocateListSnapshot(count, nameBytes, Snapshot);
    if (NT_SUCCESS(status)) {
        ULONG index = 0;
        for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink, index++) {
            CopySnapshotName(*Snapshot, index, &CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links)->KeyPath);
        }
    }
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    return status;
}
