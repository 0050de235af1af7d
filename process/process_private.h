// Records and helpers the process folder shares.
#pragma once

#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "process/process_lists.h"

typedef struct _PROCESS_NAME_ENTRY {
    LIST_ENTRY Links;
    UNICODE_STRING Name;  // as user mode gave it; own buffer of Length + 2 bytes, NUL-terminated
    ULONG Id;             // from the identifier manager, released when the entry goes
    ULONG Kind;           // 2 for parent, root and tree-monitor names, 1 otherwise; informational
} PROCESS_NAME_ENTRY, *PPROCESS_NAME_ENTRY;

typedef struct _MONITORED_PROCESS_ENTRY {
    LIST_ENTRY Links;
    PEPROCESS Process;       // at insertion; no reference held; informational
    HANDLE ProcessId;        // the key of every look-up
    HANDLE ParentProcessId;  // in MonitoredProcessList and DescendantProcessList; 0 elsewhere
    ULONG Id;                // identifier of the setting that caused the entry; never owned
    ULONG Kind;              // MONITORED_KIND_PROCESS or MONITORED_KIND_CHILD
} MONITORED_PROCESS_ENTRY, *PMONITORED_PROCESS_ENTRY;

// What differs between the members of the name-list family.
typedef struct _NAME_LIST_TRAITS {
    PCWSTR Operation;           // "IOCTL = SET_PARENT" and the like, in records
    ULONG Kind;                 // Kind of its entries
    NTSTATUS AllocationStatus;  // what an allocation failure yields
} NAME_LIST_TRAITS, *PNAME_LIST_TRAITS;

const NAME_LIST_TRAITS* NameListTraits(PLOCKED_LIST List);

// A counted view of a NUL-terminated name whose text and NUL fit a counted string; otherwise
// STATUS_INVALID_PARAMETER with its debugger line.
NTSTATUS MeasureProcessName(PCWSTR Name, PUNICODE_STRING View);

// A new name entry holding a copy of Name (Kind and AllocationStatus from the list), not linked;
// failures print their debugger lines.
NTSTATUS AllocateProcessNameEntry(PLOCKED_LIST List, PCUNICODE_STRING Name, PPROCESS_NAME_ENTRY* Entry);

// The name-list family on counted names.
BOOLEAN FindProcessNameCounted(PLOCKED_LIST List, PCUNICODE_STRING Name, PULONG Id);
VOID DeleteProcessNameCounted(PLOCKED_LIST List, PCUNICODE_STRING Name, ULONG Id, BOOLEAN ByName);
VOID FreeProcessNameEntry(PPROCESS_NAME_ENTRY Entry);

// Appends Entry with a new identifier unless the list already holds its name; then *Existing is
// set and *Id receives the existing identifier. Lookup and append share one hold of the mutex.
VOID AppendProcessNameOnce(PLOCKED_LIST List, PPROCESS_NAME_ENTRY Entry, PULONG Id, PBOOLEAN Existing);

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
