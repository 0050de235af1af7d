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

// Preparing the copy of a key for an intercepted create (NotifyClass RegNtPreCreateKeyEx) or open
// (RegNtPreOpenKeyEx). A copy recorded in CopyKeyHistory is only opened (or, for a create, made
// anew when the sandbox deleted it); otherwise it is made from the real key and recorded. A create
// of a key that has no real counterpart, below a real parent whose copy was never prepared,
// prepares that parent first as its first open would; a parent the sandbox deleted stays deleted.
// RedirectName owns a VexR buffer and may be replaced by the container correction; Hash receives
// RedirectName's history hash; KeyObject receives a referenced key object of the copy, which the
// caller hands to the configuration manager; Disposition is REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY. On failure no key object is handed back and Disposition is 0. A first
// copy that runs out of pool while it is filled or recorded fails with
// STATUS_INSUFFICIENT_RESOURCES and stays unrecorded, so the next open fills it again.
NTSTATUS PrepareRedirectKey(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PCUNICODE_STRING OriginalName,
                            PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass, ACCESS_MASK Access, PULONG Disposition,
                            PULONG Hash, PVOID* KeyObject);
// The two halves of PrepareRedirectKey; Hash is in and out (recomputed when the name is replaced).
NTSTATUS CreateRedirectKeyFirstTime(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                    PCUNICODE_STRING OriginalName, PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass,
                                    ACCESS_MASK Access, PULONG Disposition, PULONG Hash, PVOID* KeyObject);
NTSTATUS OpenOrCreateRedirectKey(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                 PCUNICODE_STRING OriginalName, PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass,
                                 ACCESS_MASK Access, PULONG Disposition, PULONG Hash, PVOID* KeyObject);

// Opens or creates the copy RedirectName (its last level; with CreateMissing every missing level)
// and references it for Access; with CopyValues fills it from OriginalName (CopySubkeyValue) unless
// the real key is hidden. A real key that cannot be opened, or a fill that fails for any reason but
// lack of pool, still gives STATUS_SUCCESS. On failure no key object is handed back.
NTSTATUS CreateRedirectTree(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PCUNICODE_STRING OriginalName,
                            PUNICODE_STRING RedirectName, BOOLEAN CopyValues, ACCESS_MASK Access, BOOLEAN CreateMissing,
                            PULONG Hash, PVOID* KeyObject);

// Creates every missing key of Name below the redirect root it lies under (or below \REGISTRY),
// with Name's create options: the Handle of the last key and a reference on it for Access. Hash,
// when given, follows a container correction of Name. STATUS_INVALID_PARAMETER for a name shorter
// than 21 bytes.
NTSTATUS CreateTreeAndGetKey(PUNICODE_STRING Name, ACCESS_MASK Access, PHANDLE Handle, PVOID* KeyObject, PULONG Hash);
// The same walk with every key non-volatile, keeping nothing open: the status of the last create.
NTSTATUS CreateTreeNonVolatile(PCUNICODE_STRING Name);

// Opens the existing copy RedirectName (nothing is created) and references it for Access.
NTSTATUS GetKeyObject(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PUNICODE_STRING RedirectName,
                      ACCESS_MASK Access, PVOID* KeyObject, PULONG Hash);

// Does the key exist (and can it be opened for reading)?
BOOLEAN IsExistKey(PCUNICODE_STRING Name);

// The prepared-key enumeration: when redirection starts, one system thread per Classes redirect
// root enters each key directly below the root into CopyKeyHistory, so that copies made before
// are opened as they are and never filled from the real keys again. The walk runs while
// redirection is active and can be stopped before its next subkey.
typedef struct _ENUM_PREPARED_KEY_WORK {
    PVOID Thread;                 // the referenced thread object; none until it is referenced
    UNICODE_STRING RootName;      // own copy of the root key's full name, exactly sized
    volatile LONG StopRequested;  // set by DeleteEnumPreparedKeyThread; read before every subkey
} ENUM_PREPARED_KEY_WORK, *PENUM_PREPARED_KEY_WORK;

// Starts the walk of RootName in a slot of g_VexRegFilterData. A slot that holds a thread already
// is refused with STATUS_INVALID_PARAMETER and left empty (its thread stopped); any other failure
// leaves the slot empty and no thread running.
NTSTATUS CreateEnumPreparedKeyThread(PENUM_PREPARED_KEY_WORK* Slot, PCUNICODE_STRING RootName);
// Stops the slot's thread, waits until it has ended and releases its record; the slot is empty.
VOID DeleteEnumPreparedKeyThread(PENUM_PREPARED_KEY_WORK* Slot);
// Stops every prepared-key thread: called by the redirection stop and by unload, before the
// registry callback is unregistered.
VOID DeleteEnumPreparedKeyThreads(VOID);
// The thread routine and its walk of Name (depth 1 is the root's first level).
VOID NTAPI EnumPreparedKeyThread(PVOID Context);
NTSTATUS EnumPreparedKey(PENUM_PREPARED_KEY_WORK Work, PCUNICODE_STRING Name, ULONG Depth);
