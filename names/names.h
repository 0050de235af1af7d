// Name translation: full key names, redirect and original names, the Classes prefixes and their
// WOW64 relocation, the exclusion and sharing rules, and the choice of the Classes view.
//
// Every full key name begins with "\REGISTRY\" in some case; comparisons ignore case. Output
// strings get new zero-filled VexR buffers that the caller owns and frees; an output named
// "empty on entry" must own no buffer. A name whose length would not fit a counted string is
// refused with STATUS_NAME_TOO_LONG.
//
// The redirect names and Classes prefixes in g_VexRegFilterData are written only while
// redirection is stopped; everything here reads them without a lock and may run on any number of
// threads at once.
#pragma once

#include "platform.h"

// Full key names.
NTSTATUS CreateFullName(PLARGE_INTEGER Cookie, PVOID RootObject, PCUNICODE_STRING ObjectName, PUNICODE_STRING FullName);

// Redirect and original names.
NTSTATUS GetRegistryPath(PLARGE_INTEGER Cookie, PVOID RootObject, PCUNICODE_STRING ObjectName, PUNICODE_STRING FullName,
                         PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName);
NTSTATUS CreateRedirectFullName(PCUNICODE_STRING FullName, PUNICODE_STRING RedirectFullName);
NTSTATUS CreateOriginalFullName(PCUNICODE_STRING FullName, PUNICODE_STRING OriginalFullName);
BOOLEAN IsRedirectedFullName(PCUNICODE_STRING FullName);
NTSTATUS RelocateUnderUser(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS CreateRedirectRootKeyPattern(PCUNICODE_STRING RootKeyName, PUNICODE_STRING Pattern);

// Classes prefixes built from UserSid, and the five Classes subkeys with a 32-bit copy.
NTSTATUS CreateRelatedKeyName(PCUNICODE_STRING UserSid);
VOID FreeRelatedKeyNames(VOID);
NTSTATUS GetClassesRootPrefix(PUNICODE_STRING ClassesPrefix, PCUNICODE_STRING UserSid);
NTSTATUS GetUserClassesPrefix(PUNICODE_STRING ClassesPrefix, PCUNICODE_STRING UserSid);
BOOLEAN IsUnderCuSidClasses(PCUNICODE_STRING Name);
BOOLEAN IsUnderCuClasses(PCUNICODE_STRING Name);
BOOLEAN IsUnderLmClasses(PCUNICODE_STRING Name);
BOOLEAN IsUnderRedirectedCuSidClasses(PCUNICODE_STRING Name);
BOOLEAN IsUnderRedirectedCuClasses(PCUNICODE_STRING Name);
BOOLEAN IsUnderRedirectedLmClasses(PCUNICODE_STRING Name);
NTSTATUS RelocateUnderClassesRootWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RelocateUnderUserClassesWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RelocateUnderMachineClassesWow64(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

// Exclusion and sharing rules.
BOOLEAN IsExcludeName(PCUNICODE_STRING FullName);
BOOLEAN IsMachineSharedKey(PCUNICODE_STRING KeyName);
BOOLEAN IsUserChoiceFileExtKey(PCUNICODE_STRING Name);
BOOLEAN IsUserChoiceUrlKey(PCUNICODE_STRING Name);
BOOLEAN IsCertificateStoreKey(PCUNICODE_STRING Name);

// Applies the WOW64 registry view (KEY_WOW64_64KEY / KEY_WOW64_32KEY) to a name pair.
NTSTATUS GetActualPathForClassesWow64(PUNICODE_STRING OriginalFullName, PUNICODE_STRING RedirectFullName, ULONG Wow64Flags);
// Can the view change what GetActualPathForClassesWow64 makes of the name? FALSE: both views
// give the same pair.
BOOLEAN DependsOnWow64View(PCUNICODE_STRING OriginalFullName);

// Is Name a key below Prefix: Prefix (case ignored), a separator and more? Missing or unset
// strings: false.
BOOLEAN IsProperPrefixName(PCUNICODE_STRING Prefix, PCUNICODE_STRING Name);
