// The registry as a user process calls it: the native key services with previous mode UserMode,
// handles in the process's own table, access checked against each key's DACL with the process's
// token, and the 32-bit view for WOW64 processes (KEY_WOW64_64KEY asks for the 64-bit one).
// Output buffers, result lengths, returned handles and dispositions, value data and security
// descriptors are the process's memory (process_memory.h): an unmapped or read-only address gives
// STATUS_ACCESS_VIOLATION. Names and object attributes are read as host memory.
// Host code only; every call is valid only inside a UserModeScope.
#pragma once

#include "platform/platform.h"

#include <string>

namespace vexsim {

[[nodiscard]] NTSTATUS NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                   ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
[[nodiscard]] NTSTATUS NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
[[nodiscard]] NTSTATUS NtOpenKeyEx(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                   ULONG OpenOptions);
[[nodiscard]] NTSTATUS NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                  ULONG Length, PULONG ResultLength);
[[nodiscard]] NTSTATUS NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                      PVOID KeyInformation, ULONG Length, PULONG ResultLength);
[[nodiscard]] NTSTATUS NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                       KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                       ULONG Length, PULONG ResultLength);
[[nodiscard]] NTSTATUS NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                           KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                           PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
[[nodiscard]] NTSTATUS NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                     PVOID Data, ULONG DataSize);
[[nodiscard]] NTSTATUS NtDeleteKey(HANDLE KeyHandle);
[[nodiscard]] NTSTATUS NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
[[nodiscard]] NTSTATUS NtRenameKey(HANDLE KeyHandle, PUNICODE_STRING NewName);
[[nodiscard]] NTSTATUS NtFlushKey(HANDLE KeyHandle);
// On key handles; objects of other types carry no descriptor here (STATUS_NOT_SUPPORTED).
[[nodiscard]] NTSTATUS NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                             PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                             PULONG LengthNeeded);
[[nodiscard]] NTSTATUS NtClose(HANDLE Handle);

// Loads a new, empty application hive as RegLoadAppKey does and opens its root for the process
// (callbacks see the open of \REGISTRY\A\{GUID}). The hive is reachable only through that handle
// and keys opened relative to it, and unloads when the last key object inside it goes. The
// loader owns the hive: its root grants the loading user KEY_ALL_ACCESS (UserHiveSecurity).
// hiveName, when given, receives \REGISTRY\A\{GUID}.
[[nodiscard]] NTSTATUS LoadApplicationHive(ACCESS_MASK DesiredAccess, PHANDLE RootHandle,
                                           std::u16string* hiveName = nullptr);

}  // namespace vexsim
