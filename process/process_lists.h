// The eleven process lists and sandbox membership.
//
// Five name lists hold the image paths user mode registers, each with an identifier from the
// identifier manager; six monitored lists hold live processes by id, each entry carrying the
// identifier of the setting that caught it. Every list is a LOCKED_LIST of g_VexRegFilterData,
// guarded by its own fast mutex. A list's mutex is never held across a log write or a wait; the
// only lock of the driver's taken inside one is the identifier manager's, as a new name gets its
// entry and identifier in the hold that appends it, so a name already present costs neither.
// Removals collect entries under the mutex and release identifiers, log and free after it. A
// name occurs at most once in a name list, also under concurrent additions. Start-up initialises
// the lists; redirection stop and unload clear them.
//
// A monitored entry never outlives its process: an insert refuses a process that has begun to
// exit (its exit status is set before the exit notification runs), under the same mutex that the
// removal by process id of that notification takes, so either the insert comes first and the
// removal finds the entry, or the insert sees the exit. An exit that no notification saw (the
// routine was not registered) leaves its entries until the id is given to a new process, whose
// creation removes them before it is classified; by then the insert refuses the old process.
#pragma once

#include "tables/global_data.h"

// Kinds of monitored entries (a bit set; look-ups take a mask).
#define MONITORED_KIND_PROCESS 1
#define MONITORED_KIND_CHILD 2
#define MONITORED_KIND_ANY 3

// Name-list family; settings are added by the registrations and removed by DeleteProcessById.
BOOLEAN FindProcessName(PLOCKED_LIST List, PCWSTR Name, PULONG Id);
VOID ClearProcessNameList(PLOCKED_LIST List, BOOLEAN Logged);

// Monitored-list family. Process must stay referenced during the insert, which refuses a process
// that has begun to exit with STATUS_PROCESS_IS_TERMINATING; a list that is not a monitored list
// is refused with STATUS_INVALID_PARAMETER.
NTSTATUS InsertMonitoredProcess(PLOCKED_LIST List, PEPROCESS Process, HANDLE ProcessId, HANDLE ParentProcessId, ULONG Kind,
                                ULONG Id);
BOOLEAN FindMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId, ULONG KindMask, PULONG Id);
// Removes every entry of an exited process, each with its "PROC = EXITS" record.
VOID DeleteMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId);
// The same for the entries an earlier process of the id left, whose exit went unseen, as a new
// process of the id is created. An insert holds a reference to its process, so the id cannot
// name a new process before every insert of the old one has completed: a list whose presence
// count shows no entry of the id is passed without its mutex.
VOID DeleteStaleMonitoredProcess(PLOCKED_LIST List, HANDLE ProcessId);
VOID ClearMonitoredProcessList(PLOCKED_LIST List, BOOLEAN Logged);
BOOLEAN IsMonitoredProcessListEmpty(PLOCKED_LIST List);

// Output of the pid list requests: u32 Count, then Count u32 process ids (List is
// MonitoredProcessList or MonitoredChildOfRootProcessList), or Count pairs of u32 process id and
// parent process id (MonitoredProcessList).
NTSTATUS GetMonitoredPidList(PLOCKED_LIST List, PVOID Buffer, ULONG Length);
NTSTATUS GetMonitoredPidPpidList(PVOID Buffer, ULONG Length);

// Settings from the control requests; each writes the setting's identifier to Id.
NTSTATUS SetParentProcess(PCWSTR Name, PULONG Id);
NTSTATUS SetProcess(PCWSTR Name, PULONG Id);
NTSTATUS SetRootProcess(PCWSTR Name, PULONG Id);
NTSTATUS AddExclusionProcess(PCWSTR Name, PULONG Id);
NTSTATUS AddProcessTreeMonitor(PCWSTR Name, PULONG Id);

// Removes the setting with this identifier and every monitored entry captured under it; the
// identifier is given back only after the last removal.
VOID DeleteProcessById(ULONG Id);

// Snapshots for the parameter dump (tables/list_snapshot.h): a name list's names and
// identifiers, a monitored list's process ids and identifiers.
struct _LIST_SNAPSHOT;
NTSTATUS DuplicateProcessNameList(PLOCKED_LIST List, struct _LIST_SNAPSHOT** Snapshot);
NTSTATUS DuplicateMonProcList(PLOCKED_LIST List, struct _LIST_SNAPSHOT** Snapshot);

// Empties all eleven lists; Logged writes a record per removed entry.
VOID ClearProcessLists(BOOLEAN Logged);

// Is the process under the sandbox (in MonitoredProcessList)? The registry callback's question.
BOOLEAN IsProcessUnderSandbox(HANDLE ProcessId);

// Answers (1 or 0) of IOCTL_SANDBOX_IS_UNDER_SANDBOX, IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX and
// IOCTL_EXIST_PROCESS_TREE.
ULONG AnswerIsUnderSandbox(HANDLE ProcessId);
ULONG AnswerIsExistUnderSandbox(VOID);
ULONG AnswerExistProcessTree(ULONG Id, HANDLE ProcessId);
