// The driver loaded and a service process that drives it through the control device, with the
// helpers the control tests share: byte layouts of inputs and answers, and kernel reads of keys.
#pragma once

#include "driver/control_codes.h"
#include "sim/debug/debug_output.h"
#include "sim/ps/process.h"
#include "tests/support/control_service.h"
#include "tests/support/kernel_key.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirection.h"
#include "tests/support/wide.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vextest {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

inline Bytes UlongBytes(std::initializer_list<ULONG> values)
{
    Bytes bytes(values.size() * sizeof(ULONG));
    size_t at = 0;
    for (ULONG value : values) {
        std::memcpy(bytes.data() + at, &value, sizeof(value));
        at += sizeof(value);
    }
    return bytes;
}

// The value block of IOCTL_SANDBOX_SET_REG_VALUE.
inline Bytes RegValueBlock(const std::u16string& key, const std::u16string& name, ULONG type, const Bytes& data,
                           ULONG dataSize)
{
    Bytes block(SET_REG_VALUE_REQUEST_SIZE, 0);
    std::memcpy(block.data() + SET_REG_VALUE_KEY_NAME_OFFSET, key.data(), std::min<size_t>(key.size() * 2, SET_REG_VALUE_NAME_BYTES));
    std::memcpy(block.data() + SET_REG_VALUE_VALUE_NAME_OFFSET, name.data(),
                std::min<size_t>(name.size() * 2, SET_REG_VALUE_NAME_BYTES));
    std::memcpy(block.data() + SET_REG_VALUE_TYPE_OFFSET, &type, sizeof(type));
    std::memcpy(block.data() + SET_REG_VALUE_DATA_OFFSET, data.data(), std::min<size_t>(data.size(), SET_REG_VALUE_DATA_BYTES));
    std::memcpy(block.data() + SET_REG_VALUE_DATA_SIZE_OFFSET, &dataSize, sizeof(dataSize));
    return block;
}

// A value as a kernel caller reads it: its type and data, or nothing when key or value is missing.
struct ReadValueResult {
    ULONG type;
    Bytes data;
};
inline std::optional<ReadValueResult> ReadValue(const std::u16string& key, const std::u16string& name)
{
    Wide keyName(key);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, keyName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (ZwOpenKey(&handle, KEY_READ, &attributes) != STATUS_SUCCESS) {
        return std::nullopt;
    }
    Wide valueName(name);
    Bytes buffer(4096);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(handle, valueName.get(), KeyValuePartialInformation, buffer.data(), (ULONG)buffer.size(), &length);
    ZwClose(handle);
    if (status != STATUS_SUCCESS) {
        return std::nullopt;
    }
    auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer.data();
    return ReadValueResult{info->Type, Bytes(info->Data, info->Data + info->DataLength)};
}

inline bool KeyExists(const std::u16string& key)
{
    Wide keyName(key);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, keyName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (ZwOpenKey(&handle, KEY_READ, &attributes) != STATUS_SUCCESS) {
        return false;
    }
    ZwClose(handle);
    return true;
}

class ControlTest : public DriverTest {
protected:
    ControlTest() { config.userSids.push_back(Utf8(kUserSid)); }
    void SetUp() override
    {
        DriverTest::SetUp();
        service = std::make_unique<ControlService>();
        vexsim::ClearDebugOutput();
    }
    void TearDown() override
    {
        service.reset();
        DriverTest::TearDown();
    }
    ControlReply Send(ULONG code, const Bytes& input = {}, ULONG outputLength = 0) const
    {
        return service->Send(code, input, outputLength);
    }
    std::unique_ptr<ControlService> service;
};

}  // namespace vextest
