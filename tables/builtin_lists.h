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
// changing the list; no key is opened or released under it. AHLLookup hands back a name that
// points into the caller's string and a root key with a reference of its own.
//
// Key objects in the hive list. The registry announces a key object's close
// (RegNtPreKeyHandleClose) only when the object is torn down, its last reference gone. So the
// pair of a process's open keeps that process's key object as an identity alone, never
// referenced and never used: a reference would keep the object alive and its close would never
// come. The pair goes when that object's close comes, in whichever process it comes, before the
// object's memory is freed, so no pair ever names a freed object. A key object the list may hand
// out is a different one: the hive's RootKey, which the driver opens on the hive root itself
// (AHLHoldRootKey) through a process's key object while an operation of that process holds it,
// and keeps referenced until the hive's last pair goes. Releasing it then lets the hive unload.
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
    PVOID RootKey;            // referenced key object of the hive root the driver opened; none until held
} APP_HIVE_ENTRY, *PAPP_HIVE_ENTRY;

typedef struct _HIVE_REFERENCE {
    LIST_ENTRY Links;    // in APP_HIVE_ENTRY.References
    HANDLE ProcessId;    // the process that opened the hive root
    PVOID Object;        // the key object it opened: an identity, never referenced or used
    ULONG References;    // opens of Object by ProcessId recorded; the record goes with Object
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
// Object, a key object of the hive root HiveName, is being torn down: its pairs go, whichever
// process recorded them, and the hive entry goes with its last pair.
VOID AHLDelete(PVOID Object, PCUNICODE_STRING HiveName);
VOID AHLClear(VOID);
// Is no hive recorded? Read without the lock: a pair is recorded before its object can be closed.
BOOLEAN AHLIsEmpty(VOID);
// ProcessId works below its hive root through RootObject, a key object of the root named
// RootName that the current operation holds: unless the hive already has its RootKey, opens one
// on the root through RootObject. STATUS_SUCCESS also when RootObject is no recorded open (the
// list then has nothing to hold); the open's status when it fails.
NTSTATUS AHLHoldRootKey(HANDLE ProcessId, PVOID RootObject, PCUNICODE_STRING RootName);
// The hive that FullName lies in, when ProcessId recorded an open of its root: the hive's
// RootKey with a new reference that the caller drops (ObDereferenceObject), and the part of
// FullName below the hive root and its separator (a view into FullName; empty for the root
// itself). STATUS_OBJECT_NAME_NOT_FOUND without such a hive, or before its RootKey is held.
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName);

// Reference operations on one hive entry's list; called with HiveLock held.
NTSTATUS AHLAddReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References);
// Removes every pair of Object: STATUS_NOT_FOUND when there is none.
NTSTATUS AHLRemoveReference(PVOID Object, PLIST_ENTRY References);
// The identity object of ProcessId's first pair: STATUS_OBJECT_NAME_NOT_FOUND when it has none.
NTSTATUS AHLFindObject(HANDLE ProcessId, PVOID* Object, PLIST_ENTRY References);
