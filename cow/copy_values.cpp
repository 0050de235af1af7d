// Copying the values of a key into its copy: values the copy already holds win, excluded values
// and the values of a URL-allowlist key other than "1" and "2" stay behind.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/pool_tags.h"
#include "names/url_allowlist.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

static BOOLEAN TargetHasValue(HANDLE Target, PUNICODE_STRING ValueName, PNTSTATUS QueryStatus)
{
    ULONG length = 0;
    *QueryStatus = ZwQueryValueKey(Target, ValueName, KeyValueBasicInformation, NULL, 0, &length);
    return *QueryStatus != STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS CopyKeyValues(PCSTR Caller, HANDLE Source, HANDLE Target, PCUNICODE_STRING SourceName,
                       PCUNICODE_STRING TargetName, PULONG DifferenceHash, const KEY_FULL_INFORMATION* Counts)
{
    if (Counts->Values == 0) {
        DetailLinePrefixed("%s - non values in source %d\n", Caller, Counts->Values);
        return STATUS_SUCCESS;
    }
    // Of a URL-allowlist key only the values "1" and "2" are visible in the sandbox: those are
    // copied, the others stay behind. The key is named once, before its values.
    const BOOLEAN urlAllowlist = IsUrlAllowlistKey(SourceName, NULL);
    if (urlAllowlist) {
        TraceLinePrefixed("%s - Exclude URLAllowlist = %wZ\n", Caller, SourceName);
    }
    const ULONG64 entryBytes = (ULONG64)Counts->MaxValueNameLen + Counts->MaxValueDataLen + KEY_ENTRY_SLACK_BYTES;
    PKEY_VALUE_FULL_INFORMATION entry = NULL;
    if (entryBytes <= MAXULONG) {
        entry = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, (SIZE_T)entryBytes, VEXR_TAG);
    }
    if (entry == NULL) {
        PrintPrefixed("%s - ValueFullInfo allocate error\n", Caller);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const BOOLEAN someExcluded = IsThereExcludeValue(SourceName, NULL);

    NTSTATUS status = STATUS_SUCCESS;
    ULONG index;
    for (index = 0; index < Counts->Values; index++) {
        ULONG length = 0;
        status = ZwEnumerateValueKey(Source, index, KeyValueFullInformation, entry, (ULONG)entryBytes, &length);
        if (!NT_SUCCESS(status)) {
            break;
        }
        UNICODE_STRING valueName;
        valueName.Buffer = entry->Name;
        valueName.Length = (USHORT)entry->NameLength;
        valueName.MaximumLength = valueName.Length;
        DetailLinePrefixed("%s - ValueName = %wZ\n", Caller, &valueName);

        if (urlAllowlist && IsUrlAllowlistKey(SourceName, &valueName)) {
            continue;
        }
        NTSTATUS queryStatus;
        if (TargetHasValue(Target, &valueName, &queryStatus)) {
            TraceLinePrefixed("%s - already exist. PID = %d TID = %d ValueName = %wZ status = %x\n", Caller,
                              (ULONG)(ULONG_PTR)PsGetCurrentProcessId(), (ULONG)(ULONG_PTR)PsGetCurrentThreadId(), &valueName,
                              queryStatus);
            continue;
        }
        if (someExcluded && IsThereExcludeValue(SourceName, &valueName)) {
            TraceLinePrefixed("%s - Exclude ValueName = %wZ\n", Caller, &valueName);
            if (DifferenceHash != NULL) {
                (void)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, TargetName, DifferenceHash, FALSE);
            }
            continue;
        }
        TraceLinePrefixed("%s - Set ValueName = %wZ\n", Caller, &valueName);
        NTSTATUS setStatus = ZwSetValueKey(Target, &valueName, 0, entry->Type, (PUCHAR)entry + entry->DataOffset, entry->DataLength);
        if (!NT_SUCCESS(setStatus)) {
            PrintPrefixed("%s - Failed to ZwSetValueKey ValueName = %wZ status = %x\n", Caller, &valueName, setStatus);
        }
    }
    ExFreePoolWithTag(entry, VEXR_TAG);
    if (!NT_SUCCESS(status)) {
        DetailLinePrefixed("%s - Failed to ZwEnumerateValueKey. index = %d status = %x\n", Caller, index, status);
        return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
    }
    return STATUS_SUCCESS;
}
