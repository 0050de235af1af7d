// Exclusion keys: keys that are never redirected, together with everything below them.
#include "tables/key_lists.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"

static VOID FreeExcludeKeyEntry(PEXCLUDE_KEY_ENTRY Entry)
{
    FreeOwnedString(&Entry->KeyPath);
    ExFreePoolWithTag(Entry, VEXR_TAG);
}

// Is there an entry that is a prefix of Path in normalised form? Read in place: the test runs on
// registry operations, where running out of pool must not let an excluded key be redirected.
// Called with ExcludeKeyLock held.
static BOOLEAN IsCoveredLocked(PCUNICODE_STRING Path)
{
    PLIST_ENTRY head = &g_VexRegFilterData.ExcludeKeyList;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        PEXCLUDE_KEY_ENTRY entry = CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links);
        if (IsPrefixOfKeyPath(&entry->KeyPath, Path)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Frees every entry that Path is a prefix of. Called with ExcludeKeyLock held.
static VOID RemoveCoveredLocked(PCUNICODE_STRING Path)
{
    PLIST_ENTRY head = &g_VexRegFilterData.ExcludeKeyList;
    PLIST_ENTRY link = head->Flink;
    while (link != head) {
        PEXCLUDE_KEY_ENTRY entry = CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links);
        link = link->Flink;
        if (IsPrefixName(Path, &entry->KeyPath)) {
            RemoveEntryList(&entry->Links);
            FreeExcludeKeyEntry(entry);
        }
    }
}

// The test, the removal of covered entries and the append happen under one hold of the lock:
// two inserts racing between them could otherwise both append and break the no-prefix invariant.
NTSTATUS InsertExcludeKey(PCUNICODE_STRING KeyPath)
{
    NTSTATUS status;
    PEXCLUDE_KEY_ENTRY entry = NULL;
    BOOLEAN covered;

    TraceLine("VexRegFilter - InsertExcludeKey() - enter\n");
    entry = (PEXCLUDE_KEY_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        DbgPrint("VexRegFilter - InsertExcludeKey() : History Data allocate error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = CreateNormalizedKeyPath(KeyPath, &entry->KeyPath);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_INVALID_PARAMETER) {
            DbgPrint("VexRegFilter - InsertExcludeKey() : History->KeyPath allocate error\n");
        }
        goto Exit;
    }
    TraceLine("VexRegFilter - InsertExcludeKey() [KeyPath] : %wZ\n", &entry->KeyPath);

    // The traces name the entry while the lock still keeps it alive.
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    covered = IsCoveredLocked(&entry->KeyPath);
    TraceLine("VexRegFilter - IsThereExcludeKey(): %wZ : %s\n", &entry->KeyPath, covered ? "exist" : "not exist");
    if (!covered) {
        RemoveCoveredLocked(&entry->KeyPath);
        TraceLine("VexRegFilter - InsertExcludeKey() : Insert List\n");
        InsertTailList(&g_VexRegFilterData.ExcludeKeyList, &entry->Links);
        entry = NULL;
    }
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    status = STATUS_SUCCESS;

Exit:
    if (entry != NULL) {
        FreeExcludeKeyEntry(entry);
    }
    TraceLine("VexRegFilter - InsertExcludeKey() - exit\n");
    return status;
}

BOOLEAN IsThereExcludeKey(PCUNICODE_STRING KeyName)
{
    if (KeyName == NULL || KeyName->Buffer == NULL || KeyName->Length < sizeof(WCHAR)) {
        return FALSE;
    }
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    BOOLEAN covered = IsCoveredLocked(KeyName);
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    TraceLine("VexRegFilter - IsThereExcludeKey(): %wZ%s : %s\n", KeyName, NormalizingSeparator(KeyName),
              covered ? "exist" : "not exist");
    return covered;
}

NTSTATUS RemoveSubkeysExcludeKey(PCUNICODE_STRING KeyPath)
{
    UNICODE_STRING copy = {};
    NTSTATUS status = CreateNormalizedKeyPath(KeyPath, &copy);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_INVALID_PARAMETER) {
            DbgPrint("VexRegFilter - RemoveSubkeysExcludeKey() : SourceKeyName allocate error\n");
        }
        return STATUS_SUCCESS;
    }
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    RemoveCoveredLocked(&copy);
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    FreeOwnedString(&copy);
    return STATUS_SUCCESS;
}

VOID ResetExcludeKey(VOID)
{
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
    while (!IsListEmpty(&g_VexRegFilterData.ExcludeKeyList)) {
        PLIST_ENTRY link = RemoveHeadList(&g_VexRegFilterData.ExcludeKeyList);
        FreeExcludeKeyEntry(CONTAINING_RECORD(link, EXCLUDE_KEY_ENTRY, Links));
    }
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeKeyLock);
}
