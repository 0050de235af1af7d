// Key histories and the exclusion lists of keys and values.
//
// All three work on normalised key paths: the path with one trailing backslash appended when it
// has none, so that a key and the keys below it are told apart by prefix. What is stored is a
// private normalised copy; the tests (IsThereExcludeKey, IsThereExcludeValue,
// RegistryHistoryExists) read the caller's path in normalised form in place and allocate nothing,
// so running out of pool never changes their answers. An empty path is refused: it has no last
// character to normalise, and as the exclusion "\" it would cover the whole registry.
//
// ExcludeKeyList (guarded by ExcludeKeyLock) holds EXCLUDE_KEY_ENTRY in insertion order; no
// entry's KeyPath is a prefix of another's. ExcludeValueList (guarded by ExcludeValueLock) holds
// EXCLUDE_VALUE_ENTRY in insertion order, each (key, value) pair once. Both lists are filled by
// the configuration requests and emptied by the reset requests, by a stop and at unload. The
// locks are held only while walking or changing a list; copies to store are made before taking them.
#pragma once

#include "platform.h"
#include "tables/cache_table.h"

typedef struct _EXCLUDE_KEY_ENTRY {
    LIST_ENTRY Links;        // in ExcludeKeyList
    UNICODE_STRING KeyPath;  // normalised key path, always ending in '\'
} EXCLUDE_KEY_ENTRY, *PEXCLUDE_KEY_ENTRY;

typedef struct _EXCLUDE_VALUE_ENTRY {
    LIST_ENTRY Links;          // in ExcludeValueList
    UNICODE_STRING KeyPath;    // the input up to and including its last '\', exactly sized
    UNICODE_STRING ValueName;  // the rest of the input, exactly sized
} EXCLUDE_VALUE_ENTRY, *PEXCLUDE_VALUE_ENTRY;

// A normalised copy of a non-empty KeyPath in Copy (a VexR buffer with room for one more
// character): STATUS_INVALID_PARAMETER for a missing or empty path, STATUS_NAME_TOO_LONG when the
// backslash would not fit a counted string, STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS CreateNormalizedKeyPath(PCUNICODE_STRING KeyPath, PUNICODE_STRING Copy);

// The separator that normalisation appends to a non-empty KeyPath, as text for a debugger line
// that shows the normalised path without making it: "\\" or "".
PCSTR NormalizingSeparator(PCUNICODE_STRING KeyPath);

// Records KeyPath (or with ParentOnly its parent key) in a history. Hash is the hash of the
// normalised full path from RegistryHistoryExists, or none; it is never used for the parent.
NTSTATUS InsertRegistryHistory(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, BOOLEAN ParentOnly);

// Is KeyPath recorded in the history? OutHash receives the hash of the normalised path, found or not.
// Nothing is allocated: the path is read in place.
BOOLEAN RegistryHistoryExists(PCACHE_TABLE Table, PCUNICODE_STRING KeyPath, PULONG Hash, PULONG OutHash);

// The hash of KeyPath's normalised form, the one RegistryHistoryExists hands out, computed without
// allocating. STATUS_INVALID_PARAMETER for a missing or empty path.
NTSTATUS RegistryHistoryHash(PCUNICODE_STRING KeyPath, PULONG Hash);

// Adds an exclusion key unless an entry already covers it; removes the entries it covers.
NTSTATUS InsertExcludeKey(PCUNICODE_STRING KeyPath);
// Is KeyName an excluded key or below one?
BOOLEAN IsThereExcludeKey(PCUNICODE_STRING KeyName);
// Removes KeyPath and every entry below it; always STATUS_SUCCESS.
NTSTATUS RemoveSubkeysExcludeKey(PCUNICODE_STRING KeyPath);
VOID ResetExcludeKey(VOID);

// Adds "key\value" as an excluded value of exactly that key.
NTSTATUS InsertExcludeValue(PCUNICODE_STRING KeyAndValueName);
// Is the value (or, without ValueName, any value) of exactly KeyName excluded?
BOOLEAN IsThereExcludeValue(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName);
VOID ResetExcludeValue(VOID);
