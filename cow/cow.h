// Copy-on-write of keys: the private copy of a key under the redirect roots, made from the real key
// the first time a sandboxed process uses it, and the opens and creates the driver performs on its
// own account.
//
// Every key of the copy is created with KEY_ALL_ACCESS and open-if semantics
// (OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE), so concurrent preparations of one key
// converge on the same copy. Keys of the copy are volatile, except those of the user's Internet
// Settings subtree (GetRedirectCreateOptions). All handles handed out are kernel handles the
// caller closes; every routine runs at PASSIVE_LEVEL on the caller's thread and keeps no state
// beyond the three key histories and the prepared-key thread slots of g_VexRegFilterData.
#pragma once

#include "platform.h"

// The attributes of every open and create of this layer.
#define COW_KEY_ATTRIBUTES (OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE)

// REG_OPTION_VOLATILE for every key of the copy, REG_OPTION_NON_VOLATILE for the key named by
// RedirectInternetSettingsKey and the keys below it.
ULONG GetRedirectCreateOptions(PCUNICODE_STRING Name);

// Opening keys for the driver's own work. Names of any depth are opened: the first 32 levels in
// one call, the rest one level at a time. A name inside an application hive is reached through
// the hive root that the current process opened (the application-hive list). The create variants
// create only the last level, with GetRedirectCreateOptions; the levels above must exist. On
// failure no handle is returned and nothing stays open.
NTSTATUS OpenRegistryKey(PHANDLE Handle, PCUNICODE_STRING Name, ACCESS_MASK Access);
NTSTATUS CreateRegistryKey(PHANDLE Handle, PCUNICODE_STRING Name);
// The same with KEY_ALL_ACCESS for an intercepted operation, whose create or open information
// block (REG_OPEN_KEY_INFORMATION_V1 is the same type) is Information, or none: a name
// deeper than 32 levels that the caller addressed as one level below a redirected root key is
// reached directly from that root key. The create variant does not look into application hives.
NTSTATUS OpenRegistryKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PHANDLE Handle,
                           PCUNICODE_STRING Name);
NTSTATUS CreateRegistryKeyEx(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PHANDLE Handle,
                             PCUNICODE_STRING Name);

// Fills a first-time copy from its real key: an empty stub for every subkey that was never
// prepared, then the values (CopyKeyValues rules). Records RedirectName in DifferenceHistory, and in
// CopySubkeyHistory when every stub is there. Real is open for KEY_READ, Copy with full access;
// Hash is RedirectName's history hash or none.
NTSTATUS CopySubkeyValue(HANDLE Real, HANDLE Copy, PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName, PULONG Hash);

// Makes the missing stubs of a copy by full name. STATUS_SUCCESS when every subkey of the real key
// has its stub (or there is nothing to copy: a hidden or missing real key); the caller then records
// the copy in CopySubkeyHistory.
NTSTATUS CopySubkey(PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName);

// Carries a key's last-write time over to another key (through the resolved ZwSetInformationKey).
NTSTATUS CopyWriteTimeInfo(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName);

// Gives TargetName the group, DACL and SACL of SourceName.
NTSTATUS CopySecurityObject(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName);

// Copies a whole tree: every key with its security and values, created with the copy's create
// options. Excluded keys and everything below them are left out, and symbolic links are neither
// followed nor copied. The tree is walked without recursion, so its depth costs pool, not stack.
NTSTATUS CopyTreeAndSecurity(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName);

// Creates KeyName with every missing key above it (volatile) and writes one value into it.
NTSTATUS CreateRegData(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize);
