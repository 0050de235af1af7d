// The application-hive list: which sandboxed processes opened the root of which application hive,
// and a key object of each such root the driver holds for them. Hive names mean something only
// to the processes that hold the hive open, so name translation asks this list for the hive's
// root key (AHLLookup) to open the keys below it.
//
// A hive root may be named with or without one trailing backslash; it is stored and compared
// without it, so that both spellings name one entry and every process's pairs for a hive are in
// that entry. Why pairs keep their key objects as identities only, and where the root key comes
// from, is told in builtin_lists.h.
#include "tables/builtin_lists.h"

#include "common/debug_print.h"
#include "common/locking.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"

static struct {
    LIST_ENTRY HiveList;  // APP_HIVE_ENTRY records
    FAST_MUTEX HiveLock;  // guards HiveList, the references of its entries and their RootKey fields
    LONG Hives;           // entries in HiveList: changed under HiveLock, read without it
} g_AHL;

static VOID ListHive(PAPP_HIVE_ENTRY Entry)
{
    InsertTailList(&g_AHL.HiveList, &Entry->Links);
    InterlockedIncrement(&g_AHL.Hives);
}

static VOID UnlistHive(PAPP_HIVE_ENTRY Entry)
{
    RemoveEntryList(&Entry->Links);
    InterlockedDecrement(&g_AHL.Hives);
}

BOOLEAN AHLIsEmpty(VOID)
{
    return ReadCountAcquire(&g_AHL.Hives) == 0;
}

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

// Frees an entry that is no longer listed and hands back its root key, which the caller releases
// once HiveLock is free: releasing the last reference of a key object tears it down, and the
// close that announces it comes back into this list.
static PVOID FreeHive(PAPP_HIVE_ENTRY Entry)
{
    PVOID rootKey = Entry->RootKey;
    while (!IsListEmpty(&Entry->References)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&Entry->References), HIVE_REFERENCE, Links), VEXR_TAG);
    }
    FreeOwnedString(&Entry->HiveName);
    ExFreePoolWithTag(Entry, VEXR_TAG);
    return rootKey;
}

static VOID ReleaseRootKey(PVOID RootKey)
{
    if (RootKey != NULL) {
        ObDereferenceObject(RootKey);
    }
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

// A key object is torn down once, however many opens recorded it, so every count it has goes
// with it: a pair left behind would name freed memory.
NTSTATUS AHLRemoveReference(PVOID Object, PLIST_ENTRY References)
{
    NTSTATUS status = STATUS_NOT_FOUND;
    if (References == NULL) {
        return status;
    }
    PLIST_ENTRY link = References->Flink;
    while (link != References) {
        PHIVE_REFERENCE reference = CONTAINING_RECORD(link, HIVE_REFERENCE, Links);
        link = link->Flink;
        if (reference->Object != Object) {
            continue;
        }
        reference->References = 0;
        PrintPrefixed("    Removed list. References = %d Object = %p ProcessId = %p\n", reference->References, Object,
                      reference->ProcessId);
        PrintPrefixed("    Free Resource. References = %d Object = %p ProcessId = %p\n", reference->References, Object,
                      reference->ProcessId);
        RemoveEntryList(&reference->Links);
        ExFreePoolWithTag(reference, VEXR_TAG);
        status = STATUS_SUCCESS;
    }
    return status;
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
    g_AHL.Hives = 0;
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
        ListHive(entry);
    } else {
        FreeHive(entry);
    }

Exit:
    ExReleaseFastMutex(&g_AHL.HiveLock);
    return status;
}

VOID AHLDelete(PVOID Object, PCUNICODE_STRING HiveName)
{
    UNICODE_STRING name = StoredHiveName(HiveName);
    PVOID rootKey = NULL;

    ExAcquireFastMutex(&g_AHL.HiveLock);
    PAPP_HIVE_ENTRY entry = FindHive(&name);
    if (entry != NULL) {
        PrintPrefixed("Delete Hive Name = %wZ\n", &entry->HiveName);
        if (!NT_SUCCESS(AHLRemoveReference(Object, &entry->References))) {
            PrintPrefixed("    Removed item not found. Object = %p ProcessId = %p\n", Object, PsGetCurrentProcessId());
        }
        if (IsListEmpty(&entry->References)) {
            PrintPrefixed("Free Resource. Hive Name = %wZ\n", &entry->HiveName);
            UnlistHive(entry);
            rootKey = FreeHive(entry);
        }
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
    ReleaseRootKey(rootKey);
}

VOID AHLClear(VOID)
{
    LIST_ENTRY freed;
    InitializeListHead(&freed);
    ExAcquireFastMutex(&g_AHL.HiveLock);
    while (!IsListEmpty(&g_AHL.HiveList)) {
        PAPP_HIVE_ENTRY entry = CONTAINING_RECORD(g_AHL.HiveList.Flink, APP_HIVE_ENTRY, Links);
        UnlistHive(entry);
        InsertTailList(&freed, &entry->Links);
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
    while (!IsListEmpty(&freed)) {
        ReleaseRootKey(FreeHive(CONTAINING_RECORD(RemoveHeadList(&freed), APP_HIVE_ENTRY, Links)));
    }
}

// Does the recorded open (ProcessId, RootObject) of the hive RootName lack the hive's root key?
static BOOLEAN NeedsRootKey(HANDLE ProcessId, PVOID RootObject, PCUNICODE_STRING RootName)
{
    PAPP_HIVE_ENTRY entry = FindHive(RootName);
    return entry != NULL && entry->RootKey == NULL && FindReference(ProcessId, RootObject, &entry->References) != NULL;
}

// A key object of its own on the hive root, opened through RootObject with an empty relative
// name: every open makes a new key object, so the process's object stays free to go.
static NTSTATUS OpenRootKey(PVOID RootObject, PVOID* RootKey)
{
    static const UNICODE_STRING sameKey = {0, 0, NULL};
    HANDLE root = NULL;
    HANDLE key = NULL;
    OBJECT_ATTRIBUTES attributes;

    NTSTATUS status = ObOpenObjectByPointer(RootObject, OBJ_KERNEL_HANDLE, NULL, KEY_READ, *CmKeyObjectType, KernelMode, &root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)&sameKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(key, 0, *CmKeyObjectType, KernelMode, RootKey, NULL);
        ZwClose(key);
    }
    ZwClose(root);
    return status;
}

NTSTATUS AHLHoldRootKey(HANDLE ProcessId, PVOID RootObject, PCUNICODE_STRING RootName)
{
    UNICODE_STRING name = StoredHiveName(RootName);
    PVOID rootKey = NULL;

    ExAcquireFastMutex(&g_AHL.HiveLock);
    BOOLEAN needed = NeedsRootKey(ProcessId, RootObject, &name);
    ExReleaseFastMutex(&g_AHL.HiveLock);
    if (!needed) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = OpenRootKey(RootObject, &rootKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Another thread of the process may have held the root key meanwhile; the later one goes.
    ExAcquireFastMutex(&g_AHL.HiveLock);
    if (NeedsRootKey(ProcessId, RootObject, &name)) {
        FindHive(&name)->RootKey = rootKey;
        rootKey = NULL;
    }
    ExReleaseFastMutex(&g_AHL.HiveLock);
    ReleaseRootKey(rootKey);
    return STATUS_SUCCESS;
}

// Hive names are unique in the list, so the entry whose name begins FullName, followed by a
// separator or nothing, is the only one that can hold the process's pair. The relative name
// starts after the hive name and the one separator that follows it; for the root itself it is
// empty.
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName)
{
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;

    ExAcquireFastMutex(&g_AHL.HiveLock);
    for (PLIST_ENTRY link = g_AHL.HiveList.Flink; link != &g_AHL.HiveList; link = link->Flink) {
        PAPP_HIVE_ENTRY entry = CONTAINING_RECORD(link, APP_HIVE_ENTRY, Links);
        USHORT hiveLength = entry->HiveName.Length;
        if (!IsPrefixName(&entry->HiveName, FullName) ||
            (FullName->Length > hiveLength && FullName->Buffer[hiveLength / sizeof(WCHAR)] != L'\\')) {
            continue;
        }
        PVOID opened;
        status = AHLFindObject(ProcessId, &opened, &entry->References);
        if (NT_SUCCESS(status) && entry->RootKey == NULL) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (NT_SUCCESS(status)) {
            ObReferenceObject(entry->RootKey);
            *Object = entry->RootKey;
            ULONG skip = (ULONG)hiveLength + sizeof(WCHAR);
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
