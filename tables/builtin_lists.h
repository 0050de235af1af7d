// Lists about registry names that do not come from user mode: the built-in exclusion list (EL) and
// the application-hive list (AHL) with its per-process references. The name patterns that go with
// them are built with the name rules (names/name_patterns.h).
//
// Life cycle: ELInitialize runs at start-up and ELFinalize at unload; the EL list is read-only
// between them. The hive list is prepared at start-up (AHLInitialize, through HLInitialize),
// changes with the opens and closes of hive roots by sandboxed processes and is emptied by a stop
// and at unload (AHLClear).
//
// Locks: the EL list and the hive list each have their own fast mutex, held only while walking or
// changing the list. AHLLookup hands back a name that points into the caller's string, so
// nothing of the hive list escapes its lock.
#pragma once

#include "platform.h"

typedef struct _EL_ENTRY {
    LIST_ENTRY Links;    // in the built-in exclusion list
    UNICODE_STRING Key;  // owned, exactly sized copy of the key name as given, no trailing separator added
} EL_ENTRY, *PEL_ENTRY;

typedef struct _APP_HIVE_ENTRY {
    LIST_ENTRY Links;         // in the hive list
    LIST_ENTRY References;    // HIVE_REFERENCE records, one per (process, key object)
    UNICODE_STRING HiveName;  // owned copy of the hive root's name without a trailing '\'; unique, case ignored
} APP_HIVE_ENTRY, *PAPP_HIVE_ENTRY;

typedef struct _HIVE_REFERENCE {
    LIST_ENTRY Links;    // in APP_HIVE_ENTRY.References
    HANDLE ProcessId;    // the process that opened the hive root
    PVOID Object;        // the key object it opened
    ULONG References;    // opens of Object by ProcessId not yet closed; the record goes at 0
} HIVE_REFERENCE, *PHIVE_REFERENCE;

NTSTATUS ELInitialize(VOID);
VOID ELFinalize(VOID);
NTSTATUS ELInsertKey(PCUNICODE_STRING Key);
// Does a built-in key begin Name? No separator rule: "...\Enum" also covers "...\Enumerator".
BOOLEAN ELIsExcludeKey(PCUNICODE_STRING Name);

// Prepares the empty hive list and its lock.
VOID AHLInitialize(VOID);

// Records an open of the hive root HiveName (with or without a trailing '\') by ProcessId through
// Object.
NTSTATUS AHLInsert(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName);
// Forgets one such open; the hive entry goes with its last reference.
VOID AHLDelete(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName);
VOID AHLClear(VOID);
// The key object through which ProcessId opened the hive that FullName lies in, and the part of
// FullName below the hive root and its separator (a view into FullName; empty for the root itself).
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName);

// Reference operations on one hive entry's list; called with HiveLock held.
NTSTATUS AHLAddReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References);
NTSTATUS AHLRemoveReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References);
NTSTATUS AHLFindObject(HANDLE ProcessId, PVOID* Object, PLIST_ENTRY References);
