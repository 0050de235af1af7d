// Knowledge about registry names that does not come from user mode: the built-in exclusion list
// (EL), the application-hive list (AHL) with its per-process references, and the name patterns
// of container (silo) paths and application hives (HL).
//
// Life cycle: ELInitialize and HLInitialize run at start-up, ELFinalize and HLFinalize at unload.
// The EL list is read-only between them. The hive list changes with the opens and closes of hive
// roots by sandboxed processes and is emptied by a stop (AHLClear). The patterns are written only
// at start-up and unload and read without a lock.
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
    UNICODE_STRING HiveName;  // owned copy of the hive root's name; unique in the list, case ignored
} APP_HIVE_ENTRY, *PAPP_HIVE_ENTRY;

typedef struct _HIVE_REFERENCE {
    LIST_ENTRY Links;    // in APP_HIVE_ENTRY.References
    HANDLE ProcessId;    // the process that opened the hive root
    PVOID Object;        // the key object it opened
    ULONG References;    // opens of Object by ProcessId not yet closed; the record goes at 0
} HIVE_REFERENCE, *PHIVE_REFERENCE;

// The hive list and the name patterns. Each pattern owns a NUL-terminated VexR buffer; a pattern
// that could not be built is empty and matches nothing.
typedef struct _HL_DATA {
    LIST_ENTRY HiveList;                      // APP_HIVE_ENTRY records
    FAST_MUTEX HiveLock;                      // guards HiveList and everything below it
    UNICODE_STRING SiloUserClassesPattern;    // a silo's user classes hive and below
    UNICODE_STRING SiloUserClassesOwnPattern; // the driver's own key below a silo's user classes
    UNICODE_STRING SiloUserSidClassesPattern; // the Classes key of a silo's user hive and below
    UNICODE_STRING SiloUserSidPattern;        // a silo's user hive and below
    UNICODE_STRING AppHiveRootPattern;        // an application hive root
    UNICODE_STRING AppHiveRootSlashPattern;   // an application hive root with a trailing '\'
    UNICODE_STRING AppHiveSubkeyPattern;      // anything below an application hive root
} HL_DATA, *PHL_DATA;

extern HL_DATA g_HLData;

NTSTATUS ELInitialize(VOID);
VOID ELFinalize(VOID);
NTSTATUS ELInsertKey(PCUNICODE_STRING Key);
// Does a built-in key begin Name? No separator rule: "...\Enum" also covers "...\Enumerator".
BOOLEAN ELIsExcludeKey(PCUNICODE_STRING Name);

NTSTATUS HLInitialize(VOID);
VOID HLFinalize(VOID);
// Is Name an application hive root, with or without a trailing '\'?
BOOLEAN IsAppHiveRootName(PCUNICODE_STRING Name);

// Records an open of the hive root HiveName by ProcessId through Object.
NTSTATUS AHLInsert(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName);
// Forgets one such open; the hive entry goes with its last reference.
VOID AHLDelete(HANDLE ProcessId, PVOID Object, PCUNICODE_STRING HiveName);
VOID AHLClear(VOID);
// The key object through which ProcessId opened the hive that FullName lies in, and the part of
// FullName below the hive root (a view into FullName; empty for the root itself).
NTSTATUS AHLLookup(HANDLE ProcessId, PCUNICODE_STRING FullName, PVOID* Object, PUNICODE_STRING RelativeName);

// Reference operations on one hive entry's list; called with HiveLock held.
NTSTATUS AHLAddReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References);
NTSTATUS AHLRemoveReference(HANDLE ProcessId, PVOID Object, PLIST_ENTRY References);
NTSTATUS AHLFindObject(HANDLE ProcessId, PVOID* Object, PLIST_ENTRY References);
