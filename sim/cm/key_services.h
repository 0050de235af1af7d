// The key services with the caller's previous mode as an argument: the Zw* routines call them as
// KernelMode, the user-mode calls of user_registry.h as UserMode. Host code only.
#pragma once

#include "sim/cm/registry.h"

namespace vexsim {

[[nodiscard]] NTSTATUS QueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                                PULONG resultLength, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS EnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS informationClass,
                                    PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS QueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                     KEY_VALUE_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                                     PULONG resultLength, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS EnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS informationClass,
                                         PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS SetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type,
                                   PVOID data, ULONG dataSize, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS DeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS DeleteKey(HANDLE keyHandle, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS RenameKey(HANDLE keyHandle, PUNICODE_STRING newName, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS FlushKey(HANDLE keyHandle, KPROCESSOR_MODE mode);
[[nodiscard]] NTSTATUS QueryKeySecurity(HANDLE handle, SECURITY_INFORMATION securityInformation,
                                        PSECURITY_DESCRIPTOR securityDescriptor, ULONG length, PULONG resultLength,
                                        KPROCESSOR_MODE mode);

// Output arguments of the query services: ResultLength must be given, and a buffer whenever
// Length is not zero.
[[nodiscard]] NTSTATUS CheckOutputBuffer(PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode);

}  // namespace vexsim
