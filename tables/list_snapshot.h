// Snapshots of the driver's lists for the parameter dump: one allocation holding the entries and
// private copies of their names, taken under the list's own mutex and read after it is released.
#pragma once

#include "tables/global_data.h"

typedef struct _LIST_SNAPSHOT_ENTRY {
    UNICODE_STRING Name;  // the entry's name or key path (name lists, exclusion keys); a copy
    ULONG ProcessId;      // monitored lists
    ULONG Id;             // identifier of the setting (process lists)
} LIST_SNAPSHOT_ENTRY, *PLIST_SNAPSHOT_ENTRY;

typedef struct _LIST_SNAPSHOT {
    ULONG Count;
    PLIST_SNAPSHOT_ENTRY Entries;  // Count entries, in list order
} LIST_SNAPSHOT, *PLIST_SNAPSHOT;

// An empty snapshot of Count entries with NameBytes bytes of room for the copied names (called
// under the list's mutex). STATUS_INSUFFICIENT_RESOURCES when it cannot be had.
NTSTATUS AllocateListSnapshot(ULONG Count, SIZE_T NameBytes, PLIST_SNAPSHOT* Snapshot);
// Copies Name into the snapshot's name room after the entries already filled.
VOID CopySnapshotName(PLIST_SNAPSHOT Snapshot, ULONG Index, PCUNICODE_STRING Name);
VOID FreeListSnapshot(PLIST_SNAPSHOT Snapshot);

// The exclusion-key list's paths.
NTSTATUS DuplicateExcludeKeyList(PLIST_SNAPSHOT* Snapshot);
