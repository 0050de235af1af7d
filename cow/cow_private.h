// Helpers the copy-on-write files share.
#pragma once

#include "cow/cow.h"

// Opens Name relative to Root, or absolute when Root is none, with the layer's attributes.
NTSTATUS OpenKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ACCESS_MASK Access);

// Creates Name (or opens it when it exists) relative to Root, or absolute when Root is none, with
// KEY_ALL_ACCESS, the layer's attributes, no class and CreateOptions.
NTSTATUS CreateKeyAt(PHANDLE Handle, HANDLE Root, PCUNICODE_STRING Name, ULONG CreateOptions);

// Closes an open handle and forgets it; harmless on none.
VOID CloseKey(PHANDLE Handle);

// "\REGISTRY\" in characters, and the shortest full name a tree is built along: that prefix and one
// more character.
#define REGISTRY_PREFIX_CHARS 10
#define MIN_FULL_KEY_NAME_BYTES 21

// The longest name of one key the registry allows, in bytes.
#define REG_MAX_KEY_NAME_BYTES (255 * sizeof(WCHAR))

// Room the copy routines add to an enumeration entry beyond the name and data the key's maxima
// announce.
#define KEY_ENTRY_SLACK_BYTES 88

// The fixed part of a key's KEY_FULL_INFORMATION (counts and maxima), asked for with a size query
// and a second query into a buffer of that size. Caller names the operation in the lines printed.
// A failed allocation gives STATUS_INSUFFICIENT_RESOURCES, or with KeepSizeStatus the status of the
// size query.
NTSTATUS QueryKeyCounts(PCSTR Caller, HANDLE Key, BOOLEAN KeepSizeStatus, PKEY_FULL_INFORMATION Counts);

// An enumeration of a key's subkeys with one entry buffer, sized from the key's MaxNameLen, and the
// full name of the subkey in turn, built after the parent's name. A subkey renamed or added after
// the key's maxima were taken can have a longer name than they announced: it ends the
// enumeration with STATUS_BUFFER_OVERFLOW instead of being written past the buffers.
typedef struct _SUBKEY_WALK {
    PCSTR Caller;                  // the operation, in the lines printed
    UNICODE_STRING FullName;       // parent name and separator, then the subkey's name and a separator
    USHORT ParentBytes;            // the length of the parent name and its separator
    PKEY_BASIC_INFORMATION Entry;  // the current subkey's entry
    ULONG EntryBytes;
} SUBKEY_WALK, *PSUBKEY_WALK;

// Allocates the walk's buffers ("<Caller> - <FullNameLabel> allocate error", "<Caller> -
// KeyBasicInfo allocate error": STATUS_INSUFFICIENT_RESOURCES, nothing left allocated).
NTSTATUS BeginSubkeyWalk(PSUBKEY_WALK Walk, PCSTR Caller, PCSTR FullNameLabel, PCUNICODE_STRING ParentName, ULONG MaxNameLen);
VOID EndSubkeyWalk(PSUBKEY_WALK Walk);

// Enumerates subkey Index of Key: Walk->FullName becomes its full name with a trailing separator
// (a history key), Name its own name inside that buffer. The enumeration's status, or
// STATUS_BUFFER_OVERFLOW for a name longer than the maxima announced.
NTSTATUS NextSubkey(PSUBKEY_WALK Walk, HANDLE Key, ULONG Index, PUNICODE_STRING Name);

// Makes an empty stub in the copy for every subkey of the real key that has none and was never
// prepared (a prepared copy the sandbox deleted stays deleted): relative to Copy, or by full name
// when Copy is none, with the create options of the stub's name. STATUS_SUCCESS only when every subkey of the real key has its stub; otherwise
// the first failure (an enumeration error other than the end of the list, a name longer than the
// maxima announced, a stub that could not be created).
NTSTATUS CreateSubkeyStubs(PSUBKEY_WALK Walk, HANDLE Real, HANDLE Copy, ULONG SubKeys);

// Copies the values of Source into Target, except values Target already has, values on the
// exclude-value list of SourceName and every value of a URL-allowlist key. With DifferenceHash an
// excluded value marks TargetName in DifferenceHistory (with that hash): the copy then lacks a value
// the real key has. The enumeration entry is sized from Counts.
NTSTATUS CopyKeyValues(PCSTR Caller, HANDLE Source, HANDLE Target, PCUNICODE_STRING SourceName,
                       PCUNICODE_STRING TargetName, PULONG DifferenceHash, const KEY_FULL_INFORMATION* Counts);

// Has the copy of a key (full name ending in a separator) been prepared before?
BOOLEAN IsPreparedKey(PCUNICODE_STRING RedirectNameWithSeparator);

// A key's security descriptor (group, DACL and SACL; the owner is not copied) in a VexR allocation
// the caller frees, and its application to another key. Name appears in the failure lines.
NTSTATUS QueryKeySecurity(HANDLE Key, PCUNICODE_STRING Name, PSECURITY_DESCRIPTOR* Descriptor);
NTSTATUS ApplyKeySecurity(HANDLE Key, PCUNICODE_STRING Name, PSECURITY_DESCRIPTOR Descriptor);

// A process in a Windows container reaches the user's classes redirect through the container's own
// hive: when the key object's name differs from RedirectName and lies in the driver's key below a
// container's user classes, RedirectName (a VexR buffer it owns) is replaced by the object's name,
// and Hash, when given, becomes that name's history hash. Caller names the operation in the lines
// printed. Fails only when the object's name cannot be had; an allocation failure keeps the old name.
NTSTATUS ApplySiloCorrection(PCSTR Caller, PVOID KeyObject, PUNICODE_STRING RedirectName, PULONG Hash);
