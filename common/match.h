// Name comparison: wildcard patterns, case-insensitive equality and prefixes, and the split of
// very deep key paths. Case is ignored character by character through RtlUpcaseUnicodeChar, as
// the registry ignores it. Every comparison reads the counted strings in place and allocates
// nothing, so running out of pool never changes an answer; they run on the path of registry
// operations. No shared state; any thread at PASSIVE_LEVEL.
#pragma once

#include "platform.h"

// Key paths are split into chunks of this many components for opening.
#define DEEP_KEY_PATH_COMPONENTS 32

// Does the whole of Name match the whole of Pattern? '*' matches any run of characters including
// none and '\'; '?' matches exactly one character. A star that meets the end of the name matches
// only when it is the pattern's last character, so "AB" matches "AB*" but not "AB**". A NUL inside
// either string ends it. False when either string is missing or has no buffer.
BOOLEAN IsMatchName(PCUNICODE_STRING Name, PCUNICODE_STRING Pattern);

// The same on NUL-terminated strings.
BOOLEAN MatchNamePattern(PCWSTR String, PCWSTR Pattern);

// Does Path end with a '\'? False for a missing or empty one.
BOOLEAN HasTrailingSeparator(PCUNICODE_STRING Path);

// The key lists compare key paths in their normalised form: the path followed by one '' when it
// does not already end with one. These read that form in place; a missing or empty KeyPath has
// none, and every test on it is false.
// Does KeyPath in normalised form match Pattern (as IsMatchName)?
BOOLEAN IsMatchKeyPath(PCUNICODE_STRING KeyPath, PCUNICODE_STRING Pattern);
// Is Name equal to KeyPath in normalised form, ignoring case?
BOOLEAN IsSameKeyPath(PCUNICODE_STRING Name, PCUNICODE_STRING KeyPath);
// Does KeyPath in normalised form begin with Prefix, ignoring case?
BOOLEAN IsPrefixOfKeyPath(PCUNICODE_STRING Prefix, PCUNICODE_STRING KeyPath);

// Case-insensitive equality; false when either is missing.
BOOLEAN IsSameName(PCUNICODE_STRING A, PCUNICODE_STRING B);

// Does Name begin with Prefix, ignoring case? No separator rule: \A\B is a prefix of \A\BC.
BOOLEAN IsPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name);

// Splits off the part of Rest that one registry call may walk: DEEP_KEY_PATH_COMPONENTS levels, of
// which an absolute name's first is REGISTRY. Chunk is that part and Rest what follows its
// separator (empty when one call reaches the whole name); both are views. A trailing separator is
// no level.
VOID NextKeyPathChunk(PUNICODE_STRING Rest, BOOLEAN Absolute, PUNICODE_STRING Chunk);
