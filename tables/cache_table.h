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
    UNICODE_STRING Key;    // owned copy of the key
    UNICODE_STRING Value;  // owned copy of the value, exactly its length; empty when none
} CT_ELEMENT, *PCT_ELEMENT;
