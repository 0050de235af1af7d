// A user-mode program's registry calls, as the native API sees them from that process: every call
// runs inside a UserModeScope of the program's process and returns the status the program gets.
#pragma once

#include "sim/cm/user_registry.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/wide.h"

#include <cstring>
#include <string>

namespace vextest {

struct Program {
    PEPROCESS process = nullptr;

    NTSTATUS Open(const std::u16string& name, ACCESS_MASK access, HANDLE* key, HANDLE root = nullptr) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        *key = nullptr;
        return vexsim::NtOpenKeyEx(key, access, &attributes, 0);
    }
    NTSTATUS Create(const std::u16string& name, HANDLE* key, HANDLE root = nullptr) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        ULONG disposition = 0;
        *key = nullptr;
        return vexsim::NtCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition);
    }
    NTSTATUS Close(HANDLE key) const
    {
        vexsim::UserModeScope user(process);
        return vexsim::NtClose(key);
    }
    NTSTATUS SetDword(HANDLE key, const std::u16string& name, ULONG value) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        return vexsim::NtSetValueKey(key, wide.get(), 0, REG_DWORD, &value, sizeof(value));
    }
    // The value's first four bytes of data land in *data (0 when it has fewer).
    NTSTATUS QueryValue(HANDLE key, const std::u16string& name, ULONG* data) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        alignas(8) UCHAR buffer[512];
        ULONG length = 0;
        NTSTATUS status = vexsim::NtQueryValueKey(key, wide.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length);
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        *data = 0;
        if (NT_SUCCESS(status) && info->DataLength >= sizeof(ULONG)) {
            memcpy(data, info->Data, sizeof(ULONG));
        }
        return status;
    }
    NTSTATUS QueryKey(HANDLE key, ULONG* subkeys, ULONG* values) const
    {
        vexsim::UserModeScope user(process);
        alignas(8) UCHAR buffer[1024];
        ULONG length = 0;
        NTSTATUS status = vexsim::NtQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &length);
        auto* info = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
        *subkeys = NT_SUCCESS(status) ? info->SubKeys : 0;
        *values = NT_SUCCESS(status) ? info->Values : 0;
        return status;
    }
    // Enumerates subkeys and values by index until the first failure; counts what it saw and
    // returns the status that ended each walk (STATUS_NO_MORE_ENTRIES when complete), subkeys'.
    NTSTATUS Enumerate(HANDLE key, ULONG* subkeys, ULONG* values, NTSTATUS* valuesStatus) const
    {
        vexsim::UserModeScope user(process);
        alignas(8) UCHAR buffer[1024];
        ULONG length = 0;
        NTSTATUS status;
        for (*subkeys = 0; NT_SUCCESS(status = vexsim::NtEnumerateKey(key, *subkeys, KeyBasicInformation, buffer, sizeof(buffer), &length));) {
            ++*subkeys;
        }
        for (*values = 0; NT_SUCCESS(*valuesStatus = vexsim::NtEnumerateValueKey(key, *values, KeyValueBasicInformation, buffer,
                                                                                 sizeof(buffer), &length));) {
            ++*values;
        }
        return status;
    }
    NTSTATUS DeleteKey(HANDLE key) const
    {
        vexsim::UserModeScope user(process);
        return vexsim::NtDeleteKey(key);
    }
    NTSTATUS DeleteValue(HANDLE key, const std::u16string& name) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        return vexsim::NtDeleteValueKey(key, wide.get());
    }
    NTSTATUS Rename(HANDLE key, const std::u16string& name) const
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        return vexsim::NtRenameKey(key, wide.get());
    }
};

}  // namespace vextest
