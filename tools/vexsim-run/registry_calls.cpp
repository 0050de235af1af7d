#include "tools/vexsim-run/registry_calls.h"

#include "sim/cm/user_registry.h"

#include "sim/rtl/utf.h"

#include <cstring>
#include <vector>

namespace vexrun {
namespace {

// Runs a query that answers a too-small buffer with the size it needs, growing the buffer until
// the answer fits.
template <typename Query>
NTSTATUS QueryGrowing(std::vector<unsigned char>& buffer, Query query)
{
    buffer.resize(256);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = query(buffer.data(), (ULONG)buffer.size(), &needed);
        if ((status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) && needed > buffer.size()) {
            buffer.resize(needed);
            continue;
        }
        return status;
    }
}

}  // namespace

NTSTATUS CallOpenKey(HANDLE parent, const std::u16string& name, ACCESS_MASK access, bool create, ULONG createOptions,
                     HANDLE* key, bool* created)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, parent, nullptr);
    *created = false;
    if (!create) {
        return vexsim::NtOpenKeyEx(key, access, &attributes, 0);
    }
    ULONG disposition = 0;
    NTSTATUS status = vexsim::NtCreateKey(key, access, &attributes, 0, nullptr, createOptions, &disposition);
    *created = NT_SUCCESS(status) && disposition == REG_CREATED_NEW_KEY;
    return status;
}

NTSTATUS CallQueryValue(HANDLE key, const std::u16string& name, ValueData* value)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    std::vector<unsigned char> buffer;
    NTSTATUS status = QueryGrowing(buffer, [&](void* data, ULONG length, ULONG* needed) {
        return vexsim::NtQueryValueKey(key, &counted, KeyValuePartialInformation, data, length, needed);
    });
    if (NT_SUCCESS(status)) {
        auto* information = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
        value->type = information->Type;
        value->bytes.assign(information->Data, information->Data + information->DataLength);
    }
    return status;
}

NTSTATUS CallEnumerateKey(HANDLE key, ULONG index, std::u16string* name)
{
    std::vector<unsigned char> buffer;
    NTSTATUS status = QueryGrowing(buffer, [&](void* data, ULONG length, ULONG* needed) {
        return vexsim::NtEnumerateKey(key, index, KeyBasicInformation, data, length, needed);
    });
    if (NT_SUCCESS(status)) {
        auto* information = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
        name->assign(reinterpret_cast<const char16_t*>(information->Name), information->NameLength / sizeof(WCHAR));
    }
    return status;
}

NTSTATUS CallEnumerateValue(HANDLE key, ULONG index, std::u16string* name, ValueData* value)
{
    std::vector<unsigned char> buffer;
    NTSTATUS status = QueryGrowing(buffer, [&](void* data, ULONG length, ULONG* needed) {
        return vexsim::NtEnumerateValueKey(key, index, KeyValueFullInformation, data, length, needed);
    });
    if (NT_SUCCESS(status)) {
        auto* information = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        name->assign(reinterpret_cast<const char16_t*>(information->Name), information->NameLength / sizeof(WCHAR));
        value->type = information->Type;
        const unsigned char* data = buffer.data() + information->DataOffset;
        value->bytes.assign(data, data + information->DataLength);
    }
    return status;
}

NTSTATUS CallSetValue(HANDLE key, const std::u16string& name, const ValueData& value)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    std::vector<uint8_t> data = value.bytes;
    return vexsim::NtSetValueKey(key, &counted, 0, value.type, data.empty() ? nullptr : data.data(), (ULONG)data.size());
}

NTSTATUS CallDeleteValue(HANDLE key, const std::u16string& name)
{
    UNICODE_STRING counted = vexsim::CountedView(name);
    return vexsim::NtDeleteValueKey(key, &counted);
}

NTSTATUS CallRenameKey(HANDLE key, const std::u16string& newName)
{
    UNICODE_STRING counted = vexsim::CountedView(newName);
    return vexsim::NtRenameKey(key, &counted);
}

}  // namespace vexrun
