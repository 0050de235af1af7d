// The application-hive list: which key object each sandboxed process holds for the root of each
// application hive it opened. Hive names mean something only to the process that loaded the hive,
// so name translation asks this list for the process's own key object.
#include "tables/builtin_lists.h"

#include "driver/global.h"
#include "names/match.h"
#include "names/name_buffer.h"

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

static PAPP_HIVE_ENTRY FindHive(PCUNICODE_STRING HiveName)
{
    for (PLIST_ENTRY link = g_HLData.HiveList.Flink; link != &g_HLData.HiveList; link = link->Flink) {
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
            DbgPrint("VexRegFilter.sys: ");
            DbgPrint("process information allocate error\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        reference->ProcessId = ProcessId;
        reference->Object = Object;
        reference->References = 1;
        InsertTailList(References, &reference->Links);
    }
    DbgPrint("VexRegFilter.sys: ");
    DbgPrint("    Added list. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
    return STATUS_SUCCESS;
}

NTSTATUS AHLRemoveReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References)
{
    PHIVE_REFERENCE reference = (References != NULL) ? FindReference(ProcessId, Object, References) : NULL;
    if (reference == NULL) {
        return STATUS_NOT_FOUND;
    }
    reference->References--;
    DbgPrint("VexRegFilter.sys: ");
    DbgPrint("    Removed list. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
    if (reference->References == 0) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("    Free Resource. References = %d Object = %p ProcessId = %p\n", reference->References, Object, ProcessId);
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

NTSTATUS AHLInsert(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName)
{
    NTSTATUS status;
    PAPP_HIVE_ENTRY entry;

    ExAcquireFastMutex(&g_HLData.HiveLock);
    entry = FindHive(HiveName);
    if (entry != NULL) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("Insert Hive Name = %wZ\n", &entry->HiveName);
        status = AHLAddReference(ProcessId, Object, &entry->References);
        goto Exit;
    }

    entry = (PAPP_HIVE_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("application hive information allocate error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    InitializeListHead(&entry->References);
    status = AllocateName(&entry->HiveName, HiveName->Length);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("application hive name allocate error\n");
        FreeHive(entry);
        goto Exit;
    }
    AppendName(&entry->HiveName, HiveName);
    DbgPrint("VexRegFilter.sys: ");
    DbgPrint("Insert Hive Name = %wZ\n", &entry->HiveName);
    status = AHLAddReference(ProcessId, Object, &entry->References);
    if (NT_SUCCESS(status)) {
        InsertTailList(&g_HLData.HiveList, &entry->Links);
    } else {
        FreeHive(entry);
    }

Exit:
    ExReleaseFastMutex(&g_HLData.HiveLock);
    return status;
}

VOID AHLDelete(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName)
{
    ExAcquireFastMutex(&g_HLData.HiveLock);
    PAPP_HIVE_ENTRY entry = FindHive(HiveName);
    if (entry != NULL) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("Delete Hive Name = %wZ\n", &entry->HiveName);
        if (!NT_SUCCESS(AHLRemoveReference(ProcessId, Object, &entry->References))) {
            DbgPrint("VexRegFilter.sys: ");
            DbgPrint("    Removed item not found. Object = %p ProcessId = %p\n", Object, ProcessId);
        }
        if (IsListEmpty(&entry->References)) {
            DbgPrint("VexRegFilter.sys: ");
            DbgPrint("Free Resource. Hive Name = %wZ\n", &entry->HiveName);
            RemoveEntryList(&entry->Links);
            FreeHive(entry);
        }
    }
    ExReleaseFastMutex(&g_HLData.HiveLock);
}

VOID AHLClear(VOID)
{
    ExAcquireFastMutex(&g_HLData.HiveLock);
    while (!IsListEmpty(&g_HLData.HiveList)) {
        FreeHive(CONTAINING_RECORD(RemoveHeadList(&g_HLData.HiveList), APP_HIVE_ENTRY, Links));
    }
    ExReleaseFastMutex(&g_HLData.HiveLock);
}

// The relative name starts after the hive name and the one separator that follows it. A name
// that ends at the hive root or at that separator has an empty relative name; its length is never
// computed below zero.
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName)
{
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;

    ExAcquireFastMutex(&g_HLData.HiveLock);
    for (PLIST_ENTRY link = g_HLData.HiveList.Flink; link != &g_HLData.HiveList; link = link->Flink) {
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
    ExReleaseFastMutex(&g_HLData.HiveLock);
    return status;
}
