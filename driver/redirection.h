// Redirection's two states and its configuration. CallbackCookie is the state: zero is stopped.
// While stopped, user mode sets the three redirect names and may write values into the private
// copy; the start prepares the copy's fixed keys and registers the registry callback, the notify
// routines and the prepared-key threads; the stop unregisters them and discards the whole
// configuration. Every handler here runs under the configuration lock (configuration_lock.h),
// which the caller holds; the registry callback reads the names without a lock, and only while
// started, when nothing here changes them.
#pragma once

#include "platform.h"

// The setters. Path is the caller's text; while started each prints its line and changes nothing.
// A setter builds every name it sets before it replaces any: a failure leaves the former names.
NTSTATUS SetRedirectKeyName(PCUNICODE_STRING Path);
NTSTATUS SetRedirectUserClassesKeyName(PCUNICODE_STRING Path);
NTSTATUS SetRedirectMachineClassesKeyName(PCUNICODE_STRING Path);

// Writes one value into the private copy. KeyName must be a redirect root or a key below one;
// any other key is refused with STATUS_ACCESS_DENIED. InputLength is only printed.
NTSTATUS SetRegValue(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize,
                     ULONG InputLength);

NTSTATUS StartRegRedirect(VOID);
NTSTATUS StopRegRedirect(VOID);

// "LongPathsEnabled" = 1 in the copy's ...\System\CurrentControlSet\Control\FileSystem.
NTSTATUS CreateLongPathsEnabled(VOID);

// Frees the names the setters and the start built. Only while no callback can read them.
VOID FreeRedirectNames(VOID);
