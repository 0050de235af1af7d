// The monitored-list family: live processes by id, and the pid list outputs.
#include "process/process_private.h"

#include "log/log.h"

// What differs between the members of the monitored-list family.
typedef struct _MONITORED_LIST_TRAITS {
    ULONG StoredKind;           // the Kind every entry gets; 0: the caller's
    BOOLEAN StoresParent;       // ParentProcessId is kept
    PCWSTR DeletedText;         // record text of a removal
    NTSTATUS AllocationStatus;
} MONITORED_LIST_TRAITS;

static const MONITORED_LIST_TRAITS g_MonitoredParents = {2, FALSE, L"status = DELETED_PARENT", STATUS_MEMORY_NOT_ALLOCATED};
static const MONITORED_LIST_TRAITS g_MonitoredProcesses = {0, TRUE, L"status = DELETED_PROCESS", STATUS_MEMORY_NOT_ALLOCATED};
static const MONITORED_LIST_TRAITS g_MonitoredRoots = {2, FALSE, L"status = DELETED_ROOT", STATUS_MEMORY_NOT_ALLOCATED};
static const MONITORED_LIST_TRAITS g_ChildrenOfRoots = {1, FALSE, L"status = DELETED_CHILD_OF_ROOT", STATUS_MEMORY_NOT_ALLOCATED};
static const MONITORED_LIST_TRAITS g_TreeMonitors = {2, FALSE, L"status = DELETED_MONITOR", STATUS_INSUFFICIENT_RESOURCES};
static const MONITORED_LIST_TRAITS g_Descendants = {2, TRUE, L"status = DELETED_DESCENDANT", STATUS_INSUFFICIENT_RESOURCES};

static const MONITORED_LIST_TRAITS* MonitoredListTraits(PLOCKED_LIST List)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (List == &data->MonitoredParentProcessList) {
        return &g_MonitoredParents;
    }
    if (List == &data->MonitoredProcessList) {
        return &g_MonitoredProcesses;
    }
    if (List == &data->MonitoredRootProcessList) {
        return &g_MonitoredRoots;
    }
    if (List == &data->MonitoredChildOfRootProcessList) {
        return &g_ChildrenOfRoots;
    }
    if (List == &data->PTreeMonList) {
        return &g_TreeMonitors;
    }
    return &g_Descendants;
}

// Only MonitoredProcessList tells its kinds apart in records.
static PCWSTR DeletedText(PLOCKED_LIST List, PMONITORED_PROCESS_ENTRY Entry)
{
    if (List == &g_VexRegFilterData.MonitoredProcessList && (Entry->Kind & MONITORED_KIND_PROCESS) == 0) {
        return L"status = DELETED_CHILD";
    }
    return MonitoredListTraits(List)->DeletedText;
}

NTSTATUS InsertMonitoredProcess(PLOCKED_LIST List, PEPROCESS Process, HANDLE ProcessId, HANDLE ParentProcessId, ULONG Kind,
                                ULONG Id)
{
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    if (Process == NULL || ProcessId == NULL) {
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
    ExAcquireFastMutex(&List->Lock);
    InsertTailList(&List->Head, &entry->Links);
    ExReleaseFastMutex(&List->Lock);
    return STATUS_SUCCESS;
}

BOOLEAN FindMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId, ULONG KindMask, PULONG Id)
{
    BOOLEAN found = FALSE;
    if (ProcessId == NULL) {
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

typedef struct _MONITORED_MATCH {
    HANDLE ProcessId;  // by process id when set
    ULONG Id;          // by identifier otherwise
} MONITORED_MATCH;

static BOOLEAN IsMatchingMonitoredEntry(PLIST_ENTRY Link, PVOID Context)
{
    MONITORED_MATCH* match = (MONITORED_MATCH*)Context;
    PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(Link, MONITORED_PROCESS_ENTRY, Links);
    return match->ProcessId != NULL ? entry->ProcessId == match->ProcessId : entry->Id == match->Id;
}

typedef enum _MONITORED_REMOVAL { RemovedByExit, RemovedById, RemovedByStop, RemovedSilently } MONITORED_REMOVAL;

static VOID RetireMonitoredEntries(PLOCKED_LIST List, PLIST_ENTRY Removed, MONITORED_REMOVAL How)
{
    HANDLE current = PsGetCurrentProcessId();
    while (!IsListEmpty(Removed)) {
        PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(Removed), MONITORED_PROCESS_ENTRY, Links);
        ULONG pid = (ULONG)(ULONG_PTR)entry->ProcessId;
        if (How == RemovedByExit) {
            WriteLog(PROCESS_RECORD_LEVEL, current, NULL, L"%s %s id = %d pid = %d", L"PROC = EXITS", DeletedText(List, entry),
                     entry->Id, pid);
        } else if (How != RemovedSilently) {
            WriteLog(PROCESS_RECORD_LEVEL, current, NULL, L"%s %s %s id = %d pid = %d", IRP_DEV_CTRL,
                     How == RemovedById ? OP_DEL_PROCESS : OP_STOP, DeletedText(List, entry), entry->Id, pid);
        }
        ExFreePoolWithTag(entry, VEXR_TAG);
    }
}

VOID DeleteMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId, ULONG Id, BOOLEAN ByProcessId)
{
    MONITORED_MATCH match = {ByProcessId ? ProcessId : NULL, Id};
    LIST_ENTRY removed;
    if (ByProcessId && ProcessId == NULL) {
        return;
    }
    UnlinkMatchingEntries(List, IsMatchingMonitoredEntry, &match, &removed);
    RetireMonitoredEntries(List, &removed, ByProcessId ? RemovedByExit : RemovedById);
}

VOID ClearMonitoredProcessList(PLOCKED_LIST List, BOOLEAN Logged)
{
    LIST_ENTRY removed;
    UnlinkMatchingEntries(List, IsAnyEntry, NULL, &removed);
    RetireMonitoredEntries(List, &removed, Logged ? RemovedByStop : RemovedSilently);
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
    out[0] = 0;
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
