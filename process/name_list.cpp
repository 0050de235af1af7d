// The name-list family: settings by image path, each owning an identifier.
#include "process/process_private.h"

#include "log/log.h"
#include "common/match.h"
#include "tables/id_manager.h"

static const NAME_LIST_TRAITS g_ParentNames = {OP_SET_PARENT, 2, STATUS_MEMORY_NOT_ALLOCATED};
static const NAME_LIST_TRAITS g_ProcessNames = {OP_SET_PROCESS, 1, STATUS_MEMORY_NOT_ALLOCATED};
static const NAME_LIST_TRAITS g_ExclusionNames = {OP_ADD_EXC_PROC, 1, STATUS_MEMORY_NOT_ALLOCATED};
static const NAME_LIST_TRAITS g_RootNames = {OP_SET_ROOT, 2, STATUS_MEMORY_NOT_ALLOCATED};
static const NAME_LIST_TRAITS g_TreeMonitorNames = {OP_ADD_PTREE_MONITOR, 2, STATUS_INSUFFICIENT_RESOURCES};

const NAME_LIST_TRAITS* NameListTraits(PLOCKED_LIST List)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (List == &data->ParentProcessNameList) {
        return &g_ParentNames;
    }
    if (List == &data->ProcessNameList) {
        return &g_ProcessNames;
    }
    if (List == &data->ExclusionProcessNameList) {
        return &g_ExclusionNames;
    }
    if (List == &data->RootProcessNameList) {
        return &g_RootNames;
    }
    return &g_TreeMonitorNames;
}

NTSTATUS MeasureProcessName(PCWSTR Name, PUNICODE_STRING View)
{
    size_t bytes = 0;
    NTSTATUS status = RtlStringCbLengthW(Name, MAX_COUNTED_BYTES, &bytes);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - RtlStringCbLengthW error %x\n", status);
        return STATUS_INVALID_PARAMETER;
    }
    View->Buffer = (PWSTR)Name;
    View->Length = (USHORT)bytes;
    View->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS AllocateProcessNameEntry(PLOCKED_LIST List, PCUNICODE_STRING Name, PPROCESS_NAME_ENTRY* Entry)
{
    const NAME_LIST_TRAITS* traits = NameListTraits(List);
    *Entry = NULL;
    PPROCESS_NAME_ENTRY entry = (PPROCESS_NAME_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        DbgPrint("VexRegFilter - process name entry allocate error\n");
        return traits->AllocationStatus;
    }
    entry->Name.Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, Name->Length + sizeof(WCHAR), VEXR_TAG);
    if (entry->Name.Buffer == NULL) {
        DbgPrint("VexRegFilter - current process list allocate error\n");
        ExFreePoolWithTag(entry, VEXR_TAG);
        return traits->AllocationStatus;
    }
    RtlCopyMemory(entry->Name.Buffer, Name->Buffer, Name->Length);
    entry->Name.Length = Name->Length;
    entry->Name.MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
    entry->Kind = traits->Kind;
    *Entry = entry;
    return STATUS_SUCCESS;
}

VOID FreeProcessNameEntry(PPROCESS_NAME_ENTRY Entry)
{
    FreeOwnedString(&Entry->Name);
    ExFreePoolWithTag(Entry, VEXR_TAG);
}

// Under the list's mutex: the identifier of the first entry named Name.
static BOOLEAN FindNameLocked(PLOCKED_LIST List, PCUNICODE_STRING Name, PULONG Id)
{
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        PPROCESS_NAME_ENTRY entry = CONTAINING_RECORD(link, PROCESS_NAME_ENTRY, Links);
        if (IsSameName(&entry->Name, Name)) {
            if (Id != NULL) {
                *Id = entry->Id;
            }
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN FindProcessNameCounted(PLOCKED_LIST List, PCUNICODE_STRING Name, PULONG Id)
{
    ExAcquireFastMutex(&List->Lock);
    BOOLEAN found = FindNameLocked(List, Name, Id);
    ExReleaseFastMutex(&List->Lock);
    return found;
}

BOOLEAN FindProcessName(PLOCKED_LIST List, PCWSTR Name, PULONG Id)
{
    if (Name == NULL) {
        return FALSE;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return FindProcessNameCounted(List, &name, Id);
}

// The identifier is issued before the mutex is taken, so that no other component is called
// under it; an addition that loses a race to an equal name gives its identifier back.
VOID AppendProcessNameOnce(PLOCKED_LIST List, PPROCESS_NAME_ENTRY Entry, PULONG Id, PBOOLEAN Existing)
{
    ULONG newId = IssueId();
    ExAcquireFastMutex(&List->Lock);
    *Existing = FindNameLocked(List, &Entry->Name, Id);
    if (!*Existing) {
        Entry->Id = newId;
        *Id = newId;
        InsertTailList(&List->Head, &Entry->Links);
    }
    ExReleaseFastMutex(&List->Lock);
    if (*Existing) {
        ReleaseId(newId);
    }
}

typedef struct _NAME_MATCH {
    PCUNICODE_STRING Name;  // by name when set
    ULONG Id;               // by identifier otherwise
} NAME_MATCH;

static BOOLEAN IsMatchingNameEntry(PLIST_ENTRY Link, PVOID Context)
{
    NAME_MATCH* match = (NAME_MATCH*)Context;
    PPROCESS_NAME_ENTRY entry = CONTAINING_RECORD(Link, PROCESS_NAME_ENTRY, Links);
    return match->Name != NULL ? IsSameName(&entry->Name, match->Name) : entry->Id == match->Id;
}

// Releases the identifiers of the removed entries, writes their records (Operation null: none)
// and frees them.
static VOID RetireNameEntries(PLIST_ENTRY Removed, PCWSTR Operation)
{
    while (!IsListEmpty(Removed)) {
        PPROCESS_NAME_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(Removed), PROCESS_NAME_ENTRY, Links);
        ReleaseId(entry->Id);
        if (Operation != NULL) {
            WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d path = %wZ", IRP_DEV_CTRL,
                     Operation, L"status = DELETED_SETTING", entry->Id, &entry->Name);
        }
        FreeProcessNameEntry(entry);
    }
}

VOID DeleteProcessNameCounted(PLOCKED_LIST List, PCUNICODE_STRING Name, ULONG Id, BOOLEAN ByName)
{
    NAME_MATCH match = {ByName ? Name : NULL, Id};
    LIST_ENTRY removed;
    if (ByName && Name == NULL) {
        return;
    }
    UnlinkMatchingEntries(List, IsMatchingNameEntry, &match, &removed);
    RetireNameEntries(&removed, ByName ? NameListTraits(List)->Operation : OP_DEL_PROCESS);
}

VOID DeleteProcessName(PLOCKED_LIST List, PCWSTR Name, ULONG Id, BOOLEAN ByName)
{
    UNICODE_STRING name;
    if (ByName && Name != NULL) {
        RtlInitUnicodeString(&name, Name);
    }
    DeleteProcessNameCounted(List, ByName && Name != NULL ? &name : NULL, Id, ByName);
}

VOID ClearProcessNameList(PLOCKED_LIST List, BOOLEAN Logged)
{
    LIST_ENTRY removed;
    UnlinkMatchingEntries(List, IsAnyEntry, NULL, &removed);
    RetireNameEntries(&removed, Logged ? OP_STOP : NULL);
}
