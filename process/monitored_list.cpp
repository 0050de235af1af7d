// The monitored-list family: live processes by id, and the pid list outputs.
#include "process/process_private.h"

#include "common/locking.h"
#include "log/log.h"

// What differs between the members of the monitored-list family: one row per list.
typedef struct _MONITORED_LIST_TRAITS {
    PLOCKED_LIST List;
    ULONG StoredKind;           // the Kind every entry gets; 0: the caller's
    BOOLEAN StoresParent;       // ParentProcessId is kept
    PCWSTR DeletedText;         // record text of a removal
    NTSTATUS AllocationStatus;  // what an allocation failure yields
} MONITORED_LIST_TRAITS;

static const MONITORED_LIST_TRAITS g_MonitoredLists[] = {
    {.List = &g_VexRegFilterData.MonitoredParentProcessList,
     .StoredKind = MONITORED_KIND_CHILD,
     .StoresParent = FALSE,
     .DeletedText = L"status = DELETED_PARENT",
     .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED},
    {.List = &g_VexRegFilterData.MonitoredProcessList,
     .StoredKind = 0,
     .StoresParent = TRUE,
     .DeletedText = L"status = DELETED_PROCESS",
     .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED},
    {.List = &g_VexRegFilterData.MonitoredRootProcessList,
     .StoredKind = MONITORED_KIND_CHILD,
     .StoresParent = FALSE,
     .DeletedText = L"status = DELETED_ROOT",
     .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED},
    {.List = &g_VexRegFilterData.MonitoredChildOfRootProcessList,
     .StoredKind = MONITORED_KIND_PROCESS,
     .StoresParent = FALSE,
     .DeletedText = L"status = DELETED_CHILD_OF_ROOT",
     .AllocationStatus = STATUS_MEMORY_NOT_ALLOCATED},
    {.List = &g_VexRegFilterData.PTreeMonList,
     .StoredKind = MONITORED_KIND_CHILD,
     .StoresParent = FALSE,
     .DeletedText = L"status = DELETED_MONITOR",
     .AllocationStatus = STATUS_INSUFFICIENT_RESOURCES},
    {.List = &g_VexRegFilterData.DescendantProcessList,
     .StoredKind = MONITORED_KIND_CHILD,
     .StoresParent = TRUE,
     .DeletedText = L"status = DELETED_DESCENDANT",
     .AllocationStatus = STATUS_INSUFFICIENT_RESOURCES},
};

// Which process ids each list may hold, told without its mutex: per bucket of process ids, the
// number of entries in the list. A bucket counts an entry up under the mutex once the entry is
// linked, and down once it is unlinked, so an empty bucket proves that no entry has the id; a
// bucket that counts shows only that the list has to be walked. The registry callback asks for
// every operation of every process, and so answers a process outside the sandbox without
// taking the mutex.
#define PRESENCE_BUCKET_BITS 6
#define PRESENCE_BUCKETS (1 << PRESENCE_BUCKET_BITS)

static LONG g_Presence[RTL_NUMBER_OF(g_MonitoredLists)][PRESENCE_BUCKETS];

static LONG* PresenceOf(ULONG ListIndex, HANDLE ProcessId)
{
    // Process ids are multiples of four; the multiplier spreads neighbouring ids over the buckets.
    ULONG key = (ULONG)((ULONG_PTR)ProcessId >> 2) * 0x9E3779B1u;
    return &g_Presence[ListIndex][key >> (32 - PRESENCE_BUCKET_BITS)];
}

static const MONITORED_LIST_TRAITS* MonitoredListTraits(PLOCKED_LIST List)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_MonitoredLists); i++) {
        if (g_MonitoredLists[i].List == List) {
            return &g_MonitoredLists[i];
        }
    }
    return NULL;
}

// Only MonitoredProcessList tells its kinds apart in records.
static PCWSTR DeletedText(const MONITORED_LIST_TRAITS* Traits, PMONITORED_PROCESS_ENTRY Entry)
{
    if (Traits->List == &g_VexRegFilterData.MonitoredProcessList && (Entry->Kind & MONITORED_KIND_PROCESS) == 0) {
        return L"status = DELETED_CHILD";
    }
    return Traits->DeletedText;
}

// A process whose exit has begun has its exit status; until then it reads STATUS_PENDING.
static BOOLEAN HasBegunToExit(PEPROCESS Process)
{
    return PsGetProcessExitStatus(Process) != STATUS_PENDING;
}

NTSTATUS InsertMonitoredProcess(PLOCKED_LIST List, PEPROCESS Process, HANDLE ProcessId, HANDLE ParentProcessId, ULONG Kind,
                                ULONG Id)
{
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    NTSTATUS status = STATUS_SUCCESS;
    if (traits == NULL || Process == NULL || ProcessId == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PMONITORED_PROCESS_ENTRY entry =
        (PMONITORED_PROCESS_ENTRY)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*entry), VEXR_TAG);
    if (entry == NULL) {
        return traits->AllocationStatus;
    }
    entry->Process = Process;
    entry->ProcessId = ProcessId;
    entry->ParentProcessId = traits->StoresParent ? ParentProcessId : NULL;
    entry->Id = Id;
    entry->Kind = traits->StoredKind != 0 ? traits->StoredKind : Kind;
    // Checked under the mutex that the exit's removal takes: see process_lists.h.
    ExAcquireFastMutex(&List->Lock);
    if (HasBegunToExit(Process)) {
        status = STATUS_PROCESS_IS_TERMINATING;
    } else {
        InsertTailList(&List->Head, &entry->Links);
        InterlockedIncrement(PresenceOf((ULONG)(traits - g_MonitoredLists), ProcessId));
        entry = NULL;
    }
    ExReleaseFastMutex(&List->Lock);
    if (entry != NULL) {
        ExFreePoolWithTag(entry, VEXR_TAG);
    }
    return status;
}

BOOLEAN FindMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId, ULONG KindMask, PULONG Id)
{
    BOOLEAN found = FALSE;
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    if (ProcessId == NULL) {
        return FALSE;
    }
    if (traits != NULL && ReadCountAcquire(PresenceOf((ULONG)(traits - g_MonitoredLists), ProcessId)) == 0) {
        return FALSE;
    }
    ExAcquireFastMutex(&List->Lock);
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(link, MONITORED_PROCESS_ENTRY, Links);
        if (entry->ProcessId == ProcessId && (entry->Kind & KindMask) != 0) {
            if (Id != NULL) {
                *Id = entry->Id;
            }
            found = TRUE;
            break;
        }
    }
    ExReleaseFastMutex(&List->Lock);
    return found;
}

static BOOLEAN HasProcessId(PLIST_ENTRY Link, PVOID Context)
{
    return CONTAINING_RECORD(Link, MONITORED_PROCESS_ENTRY, Links)->ProcessId == (HANDLE)Context;
}

static BOOLEAN HasSettingId(PLIST_ENTRY Link, PVOID Context)
{
    return CONTAINING_RECORD(Link, MONITORED_PROCESS_ENTRY, Links)->Id == *(PULONG)Context;
}

// Unlinks the entries Match accepts, then writes a record for each and frees it: an exit's record
// when Exited, otherwise one naming Operation, and none without an Operation.
static VOID RemoveMonitoredEntries(PLOCKED_LIST List, LIST_ENTRY_MATCH Match, PVOID Context, BOOLEAN Exited,
                                   PCWSTR Operation)
{
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    HANDLE current = PsGetCurrentProcessId();
    LIST_ENTRY removed;
    if (traits == NULL) {
        return;
    }
    UnlinkMatchingEntries(List, Match, Context, &removed);
    while (!IsListEmpty(&removed)) {
        PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&removed), MONITORED_PROCESS_ENTRY, Links);
        ULONG pid = (ULONG)(ULONG_PTR)entry->ProcessId;
        InterlockedDecrement(PresenceOf((ULONG)(traits - g_MonitoredLists), entry->ProcessId));
        if (Exited) {
            WriteLog(PROCESS_RECORD_LEVEL, current, NULL, L"%s %s id = %d pid = %d", L"PROC = EXITS",
                     DeletedText(traits, entry), entry->Id, pid);
        } else if (Operation != NULL) {
            WriteLog(PROCESS_RECORD_LEVEL, current, NULL, L"%s %s %s id = %d pid = %d", IRP_DEV_CTRL, Operation,
                     DeletedText(traits, entry), entry->Id, pid);
        }
        ExFreePoolWithTag(entry, VEXR_TAG);
    }
}

VOID DeleteMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId)
{
    if (ProcessId != NULL) {
        RemoveMonitoredEntries(List, HasProcessId, ProcessId, TRUE, NULL);
    }
}

VOID RemoveMonitoredProcessesById(PLOCKED_LIST List, ULONG Id, PCWSTR Operation)
{
    RemoveMonitoredEntries(List, HasSettingId, &Id, FALSE, Operation);
}

VOID ClearMonitoredProcessList(PLOCKED_LIST List, BOOLEAN Logged)
{
    RemoveMonitoredEntries(List, IsAnyEntry, NULL, FALSE, Logged ? OP_STOP : NULL);
}

BOOLEAN IsMonitoredProcessListEmpty(PLOCKED_LIST List)
{
    ExAcquireFastMutex(&List->Lock);
    BOOLEAN empty = IsListEmpty(&List->Head);
    ExReleaseFastMutex(&List->Lock);
    return empty;
}

// Writes Count and, when they fit, the entries' ids (and parent ids) as u32 after it.
static NTSTATUS WriteIdList(PLOCKED_LIST List, PVOID Buffer, ULONG Length, BOOLEAN WithParents)
{
    if (Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Length < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PULONG out = (PULONG)Buffer;
    ULONG perEntry = WithParents ? 2 : 1;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;
    ExAcquireFastMutex(&List->Lock);
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        count++;
    }
    out[0] = count;
    if ((ULONG64)count * perEntry * sizeof(ULONG) + sizeof(ULONG) > Length) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PULONG at = out + 1;
        for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
            PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(link, MONITORED_PROCESS_ENTRY, Links);
            *at++ = (ULONG)(ULONG_PTR)entry->ProcessId;
            if (WithParents) {
                *at++ = (ULONG)(ULONG_PTR)entry->ParentProcessId;
            }
        }
    }
    ExReleaseFastMutex(&List->Lock);
    return status;
}

NTSTATUS GetMonitoredPidList(PLOCKED_LIST List, PVOID Buffer, ULONG Length)
{
    return WriteIdList(List, Buffer, Length, FALSE);
}

NTSTATUS GetMonitoredPidPpidList(PVOID Buffer, ULONG Length)
{
    return WriteIdList(&g_VexRegFilterData.MonitoredProcessList, Buffer, Length, TRUE);
}
