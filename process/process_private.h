// Records and helpers the process folder shares.
#pragma once

#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "process/process_lists.h"

typedef struct _PROCESS_NAME_ENTRY {
    LIST_ENTRY Links;
    UNICODE_STRING Name;  // as user mode gave it; own buffer of Length + 2 bytes, NUL-terminated
    ULONG Id;             // from the identifier manager, released when the setting goes
    ULONG Kind;           // 2 for parent, root and tree-monitor names, 1 otherwise; informational
} PROCESS_NAME_ENTRY, *PPROCESS_NAME_ENTRY;

typedef struct _MONITORED_PROCESS_ENTRY {
    LIST_ENTRY Links;
    struct _MONITORED_PROCESS_ENTRY* NextInBucket;  // the list's index by process id, in list order
    PEPROCESS Process;       // at insertion; no reference held; informational
    HANDLE ProcessId;        // the key of every look-up
    HANDLE ParentProcessId;  // in MonitoredProcessList and DescendantProcessList; 0 elsewhere
    ULONG Id;                // identifier of the setting that caused the entry; never owned
    ULONG Kind;              // MONITORED_KIND_PROCESS or MONITORED_KIND_CHILD
} MONITORED_PROCESS_ENTRY, *PMONITORED_PROCESS_ENTRY;

// What differs between the members of the name-list family: one record per list, naming it.
typedef struct _NAME_LIST_TRAITS {
    PLOCKED_LIST List;
    PCWSTR Operation;           // "IOCTL = SET_PARENT" and the like, in records
    ULONG Kind;                 // Kind of its entries
    NTSTATUS AllocationStatus;  // what an allocation failure yields
} NAME_LIST_TRAITS;

extern const NAME_LIST_TRAITS g_ParentProcessNames;
extern const NAME_LIST_TRAITS g_ProcessNames;
extern const NAME_LIST_TRAITS g_ExclusionProcessNames;
extern const NAME_LIST_TRAITS g_RootProcessNames;
extern const NAME_LIST_TRAITS g_TreeMonitorNames;

// A counted view of a NUL-terminated name whose text and NUL fit a counted string; otherwise
// STATUS_INVALID_PARAMETER with its debugger line.
NTSTATUS MeasureProcessName(PCWSTR Name, PUNICODE_STRING View);

// Adds Name to the list with a new identifier in *Id and sets *Added, unless the list holds the
// name already: then *Id receives its identifier. Fails only when a new entry cannot be allocated.
NTSTATUS InsertProcessName(const NAME_LIST_TRAITS* Traits, PCUNICODE_STRING Name, PULONG Id, PBOOLEAN Added);

// Removes the entries carrying Id from one list, recording each with Operation, but leaves the
// identifier issued: the caller gives it back once no list holds it. TRUE when a name entry went.
BOOLEAN RemoveProcessNamesById(PLOCKED_LIST List, ULONG Id, PCWSTR Operation);
VOID RemoveMonitoredProcessesById(PLOCKED_LIST List, ULONG Id, PCWSTR Operation);

// Removes the setting Id and every monitored entry captured under it, in the order of the lists,
// recording each removal with Operation; the identifier is given back after the last removal.
VOID DeleteSettingById(ULONG Id, PCWSTR Operation);

// Unlinks every entry of the list that Match accepts onto Removed (a list head of the caller's)
// under the list's mutex, so the caller can log and free them after releasing it.
typedef BOOLEAN (*LIST_ENTRY_MATCH)(PLIST_ENTRY Entry, PVOID Context);
VOID UnlinkMatchingEntries(PLOCKED_LIST List, LIST_ENTRY_MATCH Match, PVOID Context, PLIST_ENTRY Removed);
BOOLEAN IsAnyEntry(PLIST_ENTRY Entry, PVOID Context);

// The record texts.
#define PROCESS_RECORD_LEVEL 0x40
#define OP_SET_PARENT L"IOCTL = SET_PARENT"
#define OP_SET_PROCESS L"IOCTL = SET_PROCESS"
#define OP_ADD_EXC_PROC L"IOCTL = ADD_EXC_PROC"
#define OP_SET_ROOT L"IOCTL = SET_ROOT"
#define OP_ADD_PTREE_MONITOR L"IOCTL = ADD_PTREE_MONITOR"
#define OP_DEL_PROCESS L"IOCTL = DEL_PROCESS"
#define OP_STOP L"IOCTL = STOP"
#define IRP_DEV_CTRL L"IRP = DEV_CTRL"
