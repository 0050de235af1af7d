// Name comparison: wildcard patterns, case-insensitive equality and prefixes, and the split of
// very deep key paths. Case is ignored character by character through RtlUpcaseUnicodeChar, as
// the registry ignores it. No shared state; any thread at PASSIVE_LEVEL.
#pragma once

#include "platform.h"

// Key paths are split into chunks of this many components for opening.
#define DEEP_KEY_PATH_COMPONENTS 32

// Does the whole of Name match the whole of Pattern? '*' matches any run of characters including
// none and '\'; '?' matches exactly one character. A star that meets the end of the name matches
// only when it is the pattern's last character, so "AB" matches "AB*" but not "AB**". False when
// either string is missing or its copy cannot be allocated.
BOOLEAN IsMatchName(PCUNICODE_STRING Name, PCUNICODE_STRING Pattern);

// The same on NUL-terminated strings.
BOOLEAN MatchNamePattern(PCWSTR String, PCWSTR Pattern);

// Case-insensitive equality; false when either is missing.
BOOLEAN IsSameName(PCUNICODE_STRING A, PCUNICODE_STRING B);

// Does Name begin with Prefix, ignoring case? No separator rule: \A\B is a prefix of \A\BC.
BOOLEAN IsPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name);

// Splits a non-empty Path after its 32nd separator (a trailing '\' does not count): Head gets the
// first 32 components and Tail the rest without a trailing '\'. When there is nothing to split,
// Head is Path itself and Tail is left as it was. Both are views into Path's buffer.
NTSTATUS SplitDeepKeyPath(PCUNICODE_STRING Path, PUNICODE_STRING Head, PUNICODE_STRING Tail);
