// The application-hive list: which key object each sandboxed process holds for the root of each
// application hive it opened. Hive names mean something only to the process that loaded the hive,
// so name translation asks this list for the process's own key object.
//
// A hive root may be named with or without one trailing backslash; it is stored and compared
// without it, so that both spellings name one entry and every process's pairs for a hive are in
// that entry.
#include "tables/builtin_lists.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"

static struct {
    LIST_ENTRY HiveList;  // APP_HIVE_ENTRY records
    FAST_MUTEX HiveLock;  // guards HiveList and the references of its entries
} g_AHL;

// HiveName as it is stored: without a trailing separator.
static UNICODE_STRING StoredHiveName(PCUNICODE_STRING HiveName)
{
    UNICODE_STRING name = *HiveName;
    if (name.Length >= sizeof(WCHAR) && name.Buffer[name.Length / sizeof(WCHAR) - 1] == L'\\') {
        name.Length -= sizeof(WCHAR);
    }
    name.MaximumLength = name.Length;
    return name;
}

static PHIVE_REFERENCE FindReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References)
{
    for (PLIST_ENTRY link = References->Flink; link != References; link = link->Flink) {
        PHIVE_REFERENCE reference = CONTAINING_RECORD(link, HIVE_REFERENCE, Links);
        if (reference->ProcessId == ProcessId && reference->Object == Object) {
            return reference;
        }
    }
    return NULL;
}

// The entry of a stored hive name. Called with HiveLock held.
static PAPP_HIVE_ENTRY FindHive(PCUNICODE_STRING HiveName)
{
    for (PLIST_ENTRY link = g_AHL.HiveList.Flink; link != &g_AHL.HiveList; link = link->Flink) {
        PAPP_HIVE_ENTRY entry = CONTAINING_RECORD(link, APP_HIVE_ENTRY, Links);
        if (IsSameName(&entry->HiveName, HiveName)) {
            return entry;
        }
    }
    return NULL;
}

static VOID FreeHive(PAPP_HIVE_ENTRY Entry)
{
    while (!IsListEmpty(&Entry->References)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&Entry->References), HIVE_REFERENCE, Links), VEXR_TAG);
    }
    FreeOwnedString(&Entry->HiveName);
    ExFreePoolWithTag(Entry, VEXR_TAG);
}

NTSTATUS AHLAddReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References)
{
    if (References == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PHIVE_REFERENCE reference = FindReference(ProcessId, Object, References);
    if (reference != NULL) {
        reference->References++;
    } else {
        reference = (PHIVE_REFERENCE)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*reference), VEXR_TAG);
        if (reference == NULL) {
            PrintPrefixed("process information allocate error\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        reference->ProcessId = ProcessId;
        reference->Object = Object;
        reference->References = 1;
        InsertTailList(References, &reference->Links);
    }
    PrintPrefixed("    Added list. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
    return STATUS_SUCCESS;
}

NTSTATUS AHLRemoveReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References)
{
    PHIVE_REFERENCE reference = (References != NULL) ? FindReference(ProcessId, Object, References) : NULL;
    if (reference == NULL) {
        return STATUS_NOT_FOUND;
    }
    reference->References--;
    PrintPrefixed("    Removed list. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
    if (reference->References == 0) {
        PrintPrefixed("    Free Resource. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
        RemoveEntryList(&reference->Links);
        ExFreePoolWithTag(reference, VEXR_TAG);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AHLFindObject(HANDLE ProcessId, PVOID* Object, PLIST_ENTRY References)
{
    for (PLIST_ENTRY link = References->Flink; link != References; link = link->Flink) {
        PHIVE_REFERENCE reference = CONTAINING_RECORD(link, HIVE_REFERENCE, Links);
        if (reference->ProcessId == ProcessId) {
            *Object = reference->Object;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID AHLInitialize(VOID)
{
    ExInitializeFastMutex(&g_AHL.HiveLock);
    InitializeListHead(&g_AHL.HiveList);
}

NTSTATUS AHLInsert(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName)
{
    NTSTATUS status;
    UNICODE_STRING name = StoredHiveName(HiveName);
    PAPP_HIVE_ENTRY entry;

    ExAcquireFastMutex(&g_AHL.HiveLock);
    entry = FindHive(&name);
    if (entry != NULL) {
        PrintPrefixed("Insert Hive Name = %wZ\n", &entry->HiveName);
        status = AHLAddReference(ProcessId, Object, &entry->References);
        goto Exit;
    }

    entry = (PAPP_HIVE_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        PrintPrefixed("application hive information allocate error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    InitializeListHead(&entry->References);
    status = DuplicateName(&entry->HiveName, &name);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("application hive name allocate error\n");
        FreeHive(entry);
        goto Exit;
    }
    PrintPrefixed("Insert Hive Name = %wZ\n", &entry->HiveName);
    status = AHLAddReference(ProcessId, Object, &entry->References);
    if (NT_SUCCESS(status)) {
        InsertTailList(&g_AHL.HiveList, &entry->Links);
    } else {
        FreeHive(entry);
    }

Exit:
    ExReleaseFastMutex(&g_AHL.HiveLock);
    return status;
}

VOID AHLDelete(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName)
{
    UNICODE_STRING name = StoredHiveName(HiveName);
    ExAcquireFastMutex(&g_AHL.HiveLock);
    PAPP_HIVE_ENTRY entry = FindHive(&name);
    if (entry != NULL) {
        PrintPrefixed("Delete Hive Name = %wZ\n", &entry->HiveName);
        if (!NT_SUCCESS(AHLRemoveReference(ProcessId, Object, &entry->References))) {
            PrintPrefixed("    Removed item not found. Object = %p ProcessId = %p\n", Object, ProcessId);
        }
        if (IsListEmpty(&entry->References)) {
            PrintPrefixed("Free Resource. Hive Name = %wZ\n", &entry->HiveName);
            RemoveEntryList(&entry->Links);
            FreeHive(entry);
        }
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
}

VOID AHLClear(VOID)
{
    ExAcquireFastMutex(&g_AHL.HiveLock);
    while (!IsListEmpty(&g_AHL.HiveList)) {
        FreeHive(CONTAINING_RECORD(RemoveHeadList(&g_AHL.HiveList), APP_HIVE_ENTRY, Links));
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
}

// Hive names are unique in the list, so the entry whose name begins FullName is the only one that
// can hold the process's pair. The relative name starts after the hive name and the one separator
// that follows it. A name that ends at the hive root or at that separator has an empty relative
// name; its length is never computed below zero.
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName)
{
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;

    ExAcquireFastMutex(&g_AHL.HiveLock);
    for (PLIST_ENTRY link = g_AHL.HiveList.Flink; link != &g_AHL.HiveList; link = link->Flink) {
        PAPP_HIVE_ENTRY entry = CONTAINING_RECORD(link, APP_HIVE_ENTRY, Links);
        if (!IsPrefixName(&entry->HiveName, FullName)) {
            continue;
        }
        status = AHLFindObject(ProcessId, Object, &entry->References);
        if (NT_SUCCESS(status)) {
            ULONG skip = (ULONG)entry->HiveName.Length + sizeof(WCHAR);
            if (skip > FullName->Length) {
                skip = FullName->Length;
            }
            RelativeName->Buffer = (PWSTR)((PUCHAR)FullName->Buffer + skip);
            RelativeName->Length = (USHORT)(FullName->Length - skip);
            RelativeName->MaximumLength = RelativeName->Length;
        }
        break;
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
    return status;
}
