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

// Each list's index by process id. Presence counts, per bucket, the entries of the list whose
// id falls in it, and is read without the mutex: a bucket counts an entry up under the mutex once
// the entry is linked, and down once it is unlinked, so an empty bucket proves that no entry has
// the id. The registry callback asks for every operation of every process, and so answers a
// process outside the sandbox without taking the mutex. Chain holds, under the mutex, the
// bucket's entries in the order of the list, so a look-up by id walks one bucket's entries and
// finds the first entry of the id that the list holds.
#define INDEX_BUCKET_BITS 9
#define INDEX_BUCKETS (1 << INDEX_BUCKET_BITS)

typedef struct _MONITORED_INDEX {
    LONG Presence[INDEX_BUCKETS];
    PMONITORED_PROCESS_ENTRY Chain[INDEX_BUCKETS];
} MONITORED_INDEX;

static MONITORED_INDEX g_Index[RTL_NUMBER_OF(g_MonitoredLists)];

static ULONG BucketOf(HANDLE ProcessId)
{
    // Process ids are multiples of four; the multiplier spreads neighbouring ids over the buckets.
    ULONG key = (ULONG)((ULONG_PTR)ProcessId >> 2) * 0x9E3779B1u;
    return key >> (32 - INDEX_BUCKET_BITS);
}

static MONITORED_INDEX* IndexOf(const MONITORED_LIST_TRAITS* Traits)
{
    return &g_Index[Traits - g_MonitoredLists];
}

// Caller holds the list's mutex.
static VOID LinkEntry(const MONITORED_LIST_TRAITS* Traits, PMONITORED_PROCESS_ENTRY Entry)
{
    ULONG bucket = BucketOf(Entry->ProcessId);
    PMONITORED_PROCESS_ENTRY* last = &IndexOf(Traits)->Chain[bucket];
    while (*last != NULL) {
        last = &(*last)->NextInBucket;
    }
    Entry->NextInBucket = NULL;
    *last = Entry;
    InsertTailList(&Traits->List->Head, &Entry->Links);
    InterlockedIncrement(&IndexOf(Traits)->Presence[bucket]);
}

// Caller holds the list's mutex; Link is where the chain points to Entry.
static VOID UnlinkEntry(const MONITORED_LIST_TRAITS* Traits, PMONITORED_PROCESS_ENTRY* Link, PLIST_ENTRY Removed)
{
    PMONITORED_PROCESS_ENTRY entry = *Link;
    *Link = entry->NextInBucket;
    RemoveEntryList(&entry->Links);
    InsertTailList(Removed, &entry->Links);
    InterlockedDecrement(&IndexOf(Traits)->Presence[BucketOf(entry->ProcessId)]);
}

// Where the chain of Entry's bucket points to it; caller holds the list's mutex.
static PMONITORED_PROCESS_ENTRY* ChainLinkOf(const MONITORED_LIST_TRAITS* Traits, PMONITORED_PROCESS_ENTRY Entry)
{
    PMONITORED_PROCESS_ENTRY* link = &IndexOf(Traits)->Chain[BucketOf(Entry->ProcessId)];
    while (*link != Entry) {
        link = &(*link)->NextInBucket;
    }
    return link;
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
        LinkEntry(traits, entry);
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
    if (ProcessId == NULL || traits == NULL) {
        return FALSE;
    }
    ULONG bucket = BucketOf(ProcessId);
    if (ReadCountAcquire(&IndexOf(traits)->Presence[bucket]) == 0) {
        return FALSE;
    }
    ExAcquireFastMutex(&List->Lock);
    for (PMONITORED_PROCESS_ENTRY entry = IndexOf(traits)->Chain[bucket]; entry != NULL; entry = entry->NextInBucket) {
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

static BOOLEAN HasSettingId(PMONITORED_PROCESS_ENTRY Entry, PVOID Context)
{
    return Entry->Id == *(PULONG)Context;
}

static BOOLEAN IsAnyMonitoredEntry(PMONITORED_PROCESS_ENTRY Entry, PVOID Context)
{
    UNREFERENCED_PARAMETER(Entry);
    UNREFERENCED_PARAMETER(Context);
    return TRUE;
}

typedef BOOLEAN (*MONITORED_ENTRY_MATCH)(PMONITORED_PROCESS_ENTRY Entry, PVOID Context);

// Unlinks, under the list's mutex, the entries of ProcessId (walking its bucket only), or with
// no ProcessId the entries Match accepts, onto Removed in the order of the list.
static VOID UnlinkMonitoredEntries(const MONITORED_LIST_TRAITS* Traits, HANDLE ProcessId, MONITORED_ENTRY_MATCH Match,
                                   PVOID Context, PLIST_ENTRY Removed)
{
    PLOCKED_LIST list = Traits->List;
    InitializeListHead(Removed);
    ExAcquireFastMutex(&list->Lock);
    if (ProcessId != NULL) {
        PMONITORED_PROCESS_ENTRY* link = &IndexOf(Traits)->Chain[BucketOf(ProcessId)];
        while (*link != NULL) {
            if ((*link)->ProcessId == ProcessId) {
                UnlinkEntry(Traits, link, Removed);
            } else {
                link = &(*link)->NextInBucket;
            }
        }
    } else {
        PLIST_ENTRY next;
        for (PLIST_ENTRY at = list->Head.Flink; at != &list->Head; at = next) {
            next = at->Flink;
            PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(at, MONITORED_PROCESS_ENTRY, Links);
            if (Match(entry, Context)) {
                UnlinkEntry(Traits, ChainLinkOf(Traits, entry), Removed);
            }
        }
    }
    ExReleaseFastMutex(&list->Lock);
}

// Unlinks the entries (those of ProcessId, or else those Match accepts), then writes a record for
// each and frees it: an exit's record when Exited, otherwise one naming Operation, and none
// without an Operation.
static VOID RemoveMonitoredEntries(PLOCKED_LIST List, HANDLE ProcessId, MONITORED_ENTRY_MATCH Match, PVOID Context,
                                   BOOLEAN Exited, PCWSTR Operation)
{
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    HANDLE current = PsGetCurrentProcessId();
    LIST_ENTRY removed;
    if (traits == NULL) {
        return;
    }
    UnlinkMonitoredEntries(traits, ProcessId, Match, Context, &removed);
    while (!IsListEmpty(&removed)) {
        PMONITORED_PROCESS_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&removed), MONITORED_PROCESS_ENTRY, Links);
        ULONG pid = (ULONG)(ULONG_PTR)entry->ProcessId;
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
        RemoveMonitoredEntries(List, ProcessId, NULL, NULL, TRUE, NULL);
    }
}

VOID DeleteStaleMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId)
{
    const MONITORED_LIST_TRAITS* traits = MonitoredListTraits(List);
    if (traits != NULL && ProcessId != NULL && ReadCountAcquire(&IndexOf(traits)->Presence[BucketOf(ProcessId)]) != 0) {
        RemoveMonitoredEntries(List, ProcessId, NULL, NULL, TRUE, NULL);
    }
}

VOID RemoveMonitoredProcessesById(PLOCKED_LIST List, ULONG Id, PCWSTR Operation)
{
    RemoveMonitoredEntries(List, NULL, HasSettingId, &Id, FALSE, Operation);
}

VOID ClearMonitoredProcessList(PLOCKED_LIST List, BOOLEAN Logged)
{
    RemoveMonitoredEntries(List, NULL, IsAnyMonitoredEntry, NULL, FALSE, Logged ? OP_STOP : NULL);
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
