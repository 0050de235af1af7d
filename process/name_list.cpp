// The name-list family: settings by image path, each owning an identifier.
#include "process/process_private.h"

#include "common/locking.h"
#include "common/match.h"
#include "log/log.h"
#include "tables/id_manager.h"

// Kinds of name entries: images whose process trees matter, and images that matter themselves.
#define NAME_KIND_TREE 2
#define NAME_KIND_IMAGE 1

const NAME_LIST_TRAITS g_ParentProcessNames = {
    .List = &g_VexRegFilterData.ParentProcessNameList,
    .Operation = OP_SET_PARENT,
    .Kind = NAME_KIND_TREE,
    .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED,
};
const NAME_LIST_TRAITS g_ProcessNames = {
    .List = &g_VexRegFilterData.ProcessNameList,
    .Operation = OP_SET_PROCESS,
    .Kind = NAME_KIND_IMAGE,
    .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED,
};
const NAME_LIST_TRAITS g_ExclusionProcessNames = {
    .List = &g_VexRegFilterData.ExclusionProcessNameList,
    .Operation = OP_ADD_EXC_PROC,
    .Kind = NAME_KIND_IMAGE,
    .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED,
};
const NAME_LIST_TRAITS g_RootProcessNames = {
    .List = &g_VexRegFilterData.RootProcessNameList,
    .Operation = OP_SET_ROOT,
    .Kind = NAME_KIND_TREE,
    .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED,
};
const NAME_LIST_TRAITS g_TreeMonitorNames = {
    .List = &g_VexRegFilterData.PTreeMonNameList,
    .Operation = OP_ADD_PTREE_MONITOR,
    .Kind = NAME_KIND_TREE,
    .AllocationStatus = STATUS_INSUFFICIENT_RESOURCES,
};

// Entries per name list, read without the list's mutex: counted up under the mutex once an entry
// is linked, and down once it is unlinked, so a count of 0 proves that the list holds no name.
// Every process creation looks its image up in each list, most of which are usually empty.
static const NAME_LIST_TRAITS* const g_NameLists[] = {&g_ParentProcessNames, &g_ProcessNames, &g_ExclusionProcessNames,
                                                      &g_RootProcessNames, &g_TreeMonitorNames};
static LONG g_NameCounts[RTL_NUMBER_OF(g_NameLists)];

// NULL for a list that is not a name list.
static LONG* NameCountOf(PLOCKED_LIST List)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_NameLists); i++) {
        if (g_NameLists[i]->List == List) {
            return &g_NameCounts[i];
        }
    }
    return NULL;
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

// A new entry holding a copy of Name, not linked; failures print their debugger lines.
static NTSTATUS AllocateProcessNameEntry(const NAME_LIST_TRAITS* Traits, PCUNICODE_STRING Name, PPROCESS_NAME_ENTRY* Entry)
{
    *Entry = NULL;
    PPROCESS_NAME_ENTRY entry = (PPROCESS_NAME_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        DbgPrint("VexRegFilter - process name entry allocate error\n");
        return Traits->AllocationStatus;
    }
    entry->Name.Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, Name->Length + sizeof(WCHAR), VEXR_TAG);
    if (entry->Name.Buffer == NULL) {
        DbgPrint("VexRegFilter - current process list allocate error\n");
        ExFreePoolWithTag(entry, VEXR_TAG);
        return Traits->AllocationStatus;
    }
    RtlCopyMemory(entry->Name.Buffer, Name->Buffer, Name->Length);
    entry->Name.Length = Name->Length;
    entry->Name.MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
    entry->Kind = Traits->Kind;
    *Entry = entry;
    return STATUS_SUCCESS;
}

static VOID FreeProcessNameEntry(PPROCESS_NAME_ENTRY Entry)
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

BOOLEAN FindProcessName(PLOCKED_LIST List, PCWSTR Name, PULONG Id)
{
    LONG* count = NameCountOf(List);
    if (Name == NULL || (count != NULL && ReadCountAcquire(count) == 0)) {
        return FALSE;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ExAcquireFastMutex(&List->Lock);
    BOOLEAN found = FindNameLocked(List, &name, Id);
    ExReleaseFastMutex(&List->Lock);
    return found;
}

// The look-up, the new entry and its identifier share one hold of the list's mutex, so a name
// already present costs neither an allocation nor an identifier, and two additions of one name
// cannot both append. The identifier manager's mutex is taken inside the list's: the one nesting
// of locks there is.
NTSTATUS InsertProcessName(const NAME_LIST_TRAITS* Traits, PCUNICODE_STRING Name, PULONG Id, PBOOLEAN Added)
{
    PLOCKED_LIST list = Traits->List;
    PPROCESS_NAME_ENTRY entry = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    *Added = FALSE;
    ExAcquireFastMutex(&list->Lock);
    if (!FindNameLocked(list, Name, Id)) {
        status = AllocateProcessNameEntry(Traits, Name, &entry);
        if (NT_SUCCESS(status)) {
            entry->Id = IssueId();
            *Id = entry->Id;
            InsertTailList(&list->Head, &entry->Links);
            InterlockedIncrement(NameCountOf(list));
            *Added = TRUE;
        }
    }
    ExReleaseFastMutex(&list->Lock);
    return status;
}

static BOOLEAN HasId(PLIST_ENTRY Link, PVOID Context)
{
    return CONTAINING_RECORD(Link, PROCESS_NAME_ENTRY, Links)->Id == *(PULONG)Context;
}

// Unlinks the entries Match accepts, then writes their records (Operation null: none), gives their
// identifiers back when asked to, and frees them. TRUE when an entry went.
static BOOLEAN RemoveNameEntries(PLOCKED_LIST List, LIST_ENTRY_MATCH Match, PVOID Context, PCWSTR Operation,
                                 BOOLEAN ReleaseIds)
{
    LIST_ENTRY removed;
    LONG* count = NameCountOf(List);
    UnlinkMatchingEntries(List, Match, Context, &removed);
    BOOLEAN any = !IsListEmpty(&removed);
    while (!IsListEmpty(&removed)) {
        PPROCESS_NAME_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&removed), PROCESS_NAME_ENTRY, Links);
        if (count != NULL) {
            InterlockedDecrement(count);
        }
        if (ReleaseIds) {
            ReleaseId(entry->Id);
        }
        if (Operation != NULL) {
            WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d path = %wZ", IRP_DEV_CTRL,
                     Operation, L"status = DELETED_SETTING", entry->Id, &entry->Name);
        }
        FreeProcessNameEntry(entry);
    }
    return any;
}

BOOLEAN RemoveProcessNamesById(PLOCKED_LIST List, ULONG Id, PCWSTR Operation)
{
    return RemoveNameEntries(List, HasId, &Id, Operation, FALSE);
}

VOID ClearProcessNameList(PLOCKED_LIST List, BOOLEAN Logged)
{
    RemoveNameEntries(List, IsAnyEntry, NULL, Logged ? OP_STOP : NULL, TRUE);
}
