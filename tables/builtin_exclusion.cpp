// The built-in exclusion list: machine keys of device and audio configuration that are never
// redirected, whatever the configuration says.
#include "tables/builtin_lists.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"

static LIST_ENTRY g_ELList;
static FAST_MUTEX g_ELLock;

static const PCWSTR g_BuiltInExcludeKeys[] = {
    L"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices",
    L"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\MMDevices",
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class",
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles",
};

NTSTATUS ELInsertKey(PCUNICODE_STRING Key)
{
    NTSTATUS status = STATUS_SUCCESS;
    PEL_ENTRY entry = NULL;

    ExAcquireFastMutex(&g_ELLock);
    for (PLIST_ENTRY link = g_ELList.Flink; link != &g_ELList; link = link->Flink) {
        if (IsSameName(&CONTAINING_RECORD(link, EL_ENTRY, Links)->Key, Key)) {
            goto Exit;
        }
    }
    entry = (PEL_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        PrintPrefixed("exclude information allocate error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    status = AllocateName(&entry->Key, Key->Length);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("exclude information name allocate error\n");
        ExFreePoolWithTag(entry, VEXR_TAG);
        goto Exit;
    }
    AppendName(&entry->Key, Key);
    InsertTailList(&g_ELList, &entry->Links);

Exit:
    ExReleaseFastMutex(&g_ELLock);
    return status;
}

NTSTATUS ELInitialize(VOID)
{
    ExInitializeFastMutex(&g_ELLock);
    InitializeListHead(&g_ELList);
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_BuiltInExcludeKeys); i++) {
        UNICODE_STRING key;
        RtlInitUnicodeString(&key, g_BuiltInExcludeKeys[i]);
        (VOID)ELInsertKey(&key);
    }
    return STATUS_SUCCESS;
}

VOID ELFinalize(VOID)
{
    ExAcquireFastMutex(&g_ELLock);
    while (!IsListEmpty(&g_ELList)) {
        PEL_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&g_ELList), EL_ENTRY, Links);
        FreeOwnedString(&entry->Key);
        ExFreePoolWithTag(entry, VEXR_TAG);
    }
    ExReleaseFastMutex(&g_ELLock);
}

BOOLEAN ELIsExcludeKey(PCUNICODE_STRING Name)
{
    BOOLEAN excluded = FALSE;
    ExAcquireFastMutex(&g_ELLock);
    for (PLIST_ENTRY link = g_ELList.Flink; link != &g_ELList; link = link->Flink) {
        if (IsPrefixName(&CONTAINING_RECORD(link, EL_ENTRY, Links)->Key, Name)) {
            excluded = TRUE;
            break;
        }
    }
    ExReleaseFastMutex(&g_ELLock);
    return excluded;
}
