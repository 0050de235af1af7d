// Exclusion values: single values of exactly one key that are never redirected.
#include "tables/key_lists.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"

static VOID FreeExcludeValueEntry(PEXCLUDE_VALUE_ENTRY Entry)
{
    FreeOwnedString(&Entry->KeyPath);
    FreeOwnedString(&Entry->ValueName);
    ExFreePoolWithTag(Entry, VEXR_TAG);
}

// Is there an entry for KeyPath in normalised form and ValueName, or any value when ValueName is
// none? Read in place, so that running out of pool cannot let an excluded value be redirected.
// Called with ExcludeValueLock held.
static BOOLEAN IsExcludedLocked(PCUNICODE_STRING KeyPath, PCUNICODE_STRING ValueName)
{
    PLIST_ENTRY head = &g_VexRegFilterData.ExcludeValueList;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
        PEXCLUDE_VALUE_ENTRY entry = CONTAINING_RECORD(link, EXCLUDE_VALUE_ENTRY, Links);
        if (IsSameKeyPath(&entry->KeyPath, KeyPath) && (ValueName == NULL || IsSameName(&entry->ValueName, ValueName))) {
            return TRUE;
        }
    }
    return FALSE;
}

// The duplicate test and the append happen under one hold of the lock, so that two racing
// inserts of the same pair keep one entry.
NTSTATUS InsertExcludeValue(PCUNICODE_STRING KeyAndValueName)
{
    NTSTATUS status;
    PEXCLUDE_VALUE_ENTRY entry = NULL;
    UNICODE_STRING keyPart;
    UNICODE_STRING valuePart;
    USHORT separator;
    BOOLEAN excluded;

    TraceLinePrefixed("InsertExcludeValue - enter\n");
    if (!IsNameSet(KeyAndValueName)) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    entry = (PEXCLUDE_VALUE_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        PrintPrefixed("InsertExcludeValue - History Data allocate error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    separator = KeyAndValueName->Length / sizeof(WCHAR);
    while (separator > 0 && KeyAndValueName->Buffer[separator - 1] != L'\\') {
        separator--;
    }
    if (separator == 0) {
        status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    keyPart.Buffer = KeyAndValueName->Buffer;
    keyPart.Length = keyPart.MaximumLength = separator * sizeof(WCHAR);
    valuePart.Buffer = KeyAndValueName->Buffer + separator;
    valuePart.Length = valuePart.MaximumLength = KeyAndValueName->Length - keyPart.Length;

    status = DuplicateName(&entry->KeyPath, &keyPart);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("InsertExcludeValue - History->KeyPath allocate error\n");
        goto Exit;
    }
    status = DuplicateName(&entry->ValueName, &valuePart);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("InsertExcludeValue - History->ValueName allocate error\n");
        goto Exit;
    }
    TraceLinePrefixed("InsertExcludeValue -\n  KeyPath = %wZ\n  ValueName = %wZ\n", &entry->KeyPath, &entry->ValueName);

    // The traces name the entry while the lock still keeps it alive.
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeValueLock);
    excluded = IsExcludedLocked(&entry->KeyPath, &entry->ValueName);
    TraceLinePrefixed("IsThereExcludeValue: %wZ : %s\n", &entry->KeyPath, excluded ? "exist" : "not exist");
    if (!excluded) {
        TraceLinePrefixed("InsertExcludeValue - Insert List\n");
        InsertTailList(&g_VexRegFilterData.ExcludeValueList, &entry->Links);
        entry = NULL;
    }
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeValueLock);
    status = STATUS_SUCCESS;

Exit:
    if (entry != NULL) {
        FreeExcludeValueEntry(entry);
    }
    TraceLinePrefixed("InsertExcludeValue - exit\n");
    return status;
}

BOOLEAN IsThereExcludeValue(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName)
{
    if (KeyName == NULL || KeyName->Buffer == NULL || KeyName->Length < sizeof(WCHAR)) {
        return FALSE;
    }
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeValueLock);
    BOOLEAN excluded = IsExcludedLocked(KeyName, ValueName);
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeValueLock);
    TraceLinePrefixed("IsThereExcludeValue: %wZ%s : %s\n", KeyName, NormalizingSeparator(KeyName),
                      excluded ? "exist" : "not exist");
    return excluded;
}

VOID ResetExcludeValue(VOID)
{
    ExAcquireFastMutex(&g_VexRegFilterData.ExcludeValueLock);
    while (!IsListEmpty(&g_VexRegFilterData.ExcludeValueList)) {
        PLIST_ENTRY link = RemoveHeadList(&g_VexRegFilterData.ExcludeValueList);
        FreeExcludeValueEntry(CONTAINING_RECORD(link, EXCLUDE_VALUE_ENTRY, Links));
    }
    ExReleaseFastMutex(&g_VexRegFilterData.ExcludeValueLock);
}
