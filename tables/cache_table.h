// Cache table: a set of counted wide-string keys, each with an optional counted wide-string value,
// kept in the platform's generic table ordered by the key's hash, then its length, then the
// upcased key. Each table is guarded by its own fast mutex and copies what it stores.
#pragma once

#include "platform.h"

typedef struct _CACHE_TABLE {
    RTL_GENERIC_TABLE Table;  // ordered tree of CT_ELEMENT; no table context
    FAST_MUTEX Lock;          // guards Table
} CACHE_TABLE, *PCACHE_TABLE;

typedef struct _CT_ELEMENT {
    ULONG Hash;            // x65599 hash of the key
    BOOLEAN KeySeparator;  // a lookup's key is followed by one '\' its buffer does not hold; never in the table
    UNICODE_STRING Key;    // owned copy of the key
    UNICODE_STRING Value;  // owned copy of the value, exactly its length; empty when none
} CT_ELEMENT, *PCT_ELEMENT;

// Every operation returns STATUS_INVALID_PARAMETER for a missing table (or key, or out-pointer).
// Every operation that walks or changes the table refuses to run at DISPATCH_LEVEL or above, where
// it could not take the lock (STATUS_UNSUCCESSFUL).

// Prepares an empty table.
NTSTATUS CTInitialize(PCACHE_TABLE Table);

// Empties the table; it stays initialised and usable.
NTSTATUS CTFinalize(PCACHE_TABLE Table);

NTSTATUS CTGetElementCount(PCACHE_TABLE Table, PULONG Count);

// Finds Key: STATUS_SUCCESS or STATUS_NOT_FOUND. The hash is Hash when given, otherwise computed
// from Key (upcased when CaseInsensitive); it is stored in OutHash when asked, found or not. When
// the element has a value and Value is given, Value receives a NUL-terminated private copy that
// the caller frees with the VexR tag; an element without a value leaves Value untouched.
NTSTATUS CTLookupElement(PCACHE_TABLE Table, PCUNICODE_STRING Key, PUNICODE_STRING Value, PULONG Hash,
                         PULONG OutHash, BOOLEAN CaseInsensitive);

// CTLookupElement, without a value, of Key followed by one '\' that Key's buffer does not hold;
// Hash is the hash of that whole. So a key path is looked up in normalised form without a copy.
NTSTATUS CTLookupElementWithSeparator(PCACHE_TABLE Table, PCUNICODE_STRING Key, ULONG Hash);

// Adds Key with an optional Value unless an equal element exists, in which case nothing changes.
// A failed insert leaves nothing in the table. A Value longer than 0xFFFC bytes, whose copy with
// its NUL no counted string could hold, is refused with STATUS_INVALID_PARAMETER.
NTSTATUS CTInsertElement(PCACHE_TABLE Table, PCUNICODE_STRING Key, PCUNICODE_STRING Value, PULONG Hash,
                         BOOLEAN CaseInsensitive);

// Removes and frees every element.
NTSTATUS CTDeleteAllElements(PCACHE_TABLE Table);
