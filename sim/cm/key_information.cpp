// Key and value information classes.
#include "sim/cm/key_information.h"

#include "sim/ps/process_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace vexsim {

namespace {

// A class offset when the key has no class: Windows documents none; the registry reports
// 0xFFFFFFFF, an offset no buffer can have.
constexpr ULONG kNoClassOffset = 0xFFFFFFFF;

template <typename Fixed>
void PutFixed(Answer& answer, const Fixed& fixed, ULONG fixedSize)
{
    answer.fixedSize = fixedSize;
    answer.bytes.resize(fixedSize);
    std::memcpy(answer.bytes.data(), &fixed, fixedSize);
}

void Append(Answer& answer, const void* data, size_t size)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    answer.bytes.insert(answer.bytes.end(), bytes, bytes + size);
}

void Append(Answer& answer, const std::u16string& text)
{
    Append(answer, text.data(), text.size() * sizeof(char16_t));
}

void PadTo(Answer& answer, size_t alignment)
{
    answer.bytes.resize((answer.bytes.size() + alignment - 1) / alignment * alignment);
}

ULONG Bytes(const std::u16string& text)
{
    return static_cast<ULONG>(text.size() * sizeof(char16_t));
}

struct KeyCounts {
    ULONG subKeys = 0;
    ULONG maxNameLen = 0;
    ULONG maxClassLen = 0;
    ULONG values = 0;
    ULONG maxValueNameLen = 0;
    ULONG maxValueDataLen = 0;
};

KeyCounts CountsOf(const KeyNode& node)
{
    KeyCounts counts;
    counts.subKeys = static_cast<ULONG>(node.subkeys.size());
    for (const auto& subkey : node.subkeys) {
        counts.maxNameLen = std::max(counts.maxNameLen, Bytes(subkey->name));
        counts.maxClassLen = std::max(counts.maxClassLen, Bytes(subkey->className));
    }
    counts.values = static_cast<ULONG>(node.values.size());
    for (const KeyValue& value : node.values) {
        counts.maxValueNameLen = std::max(counts.maxValueNameLen, Bytes(value.name));
        counts.maxValueDataLen = std::max(counts.maxValueDataLen, static_cast<ULONG>(value.data.size()));
    }
    return counts;
}

}  // namespace

bool IsKeyInformationClass(KEY_INFORMATION_CLASS informationClass)
{
    return informationClass >= KeyBasicInformation && informationClass <= KeyHandleTagsInformation;
}

bool IsValueInformationClass(KEY_VALUE_INFORMATION_CLASS informationClass)
{
    return informationClass >= KeyValueBasicInformation && informationClass <= KeyValuePartialInformationAlign64;
}

// KeyTrustInformation and KeyLayerInformation are not modelled: they are refused like unknown
// classes.
NTSTATUS BuildKeyAnswer(const KeyNode& node, KEY_INFORMATION_CLASS informationClass, Answer& answer)
{
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = node.lastWriteTime;
    switch (informationClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION fixed{lastWrite, 0, Bytes(node.name), {0}};
        PutFixed(answer, fixed, offsetof(KEY_BASIC_INFORMATION, Name));
        Append(answer, node.name);
        return STATUS_SUCCESS;
    }
    case KeyNodeInformation: {
        constexpr ULONG fixedSize = offsetof(KEY_NODE_INFORMATION, Name);
        ULONG classOffset = node.className.empty() ? kNoClassOffset : fixedSize + Bytes(node.name);
        KEY_NODE_INFORMATION fixed{lastWrite, 0, classOffset, Bytes(node.className), Bytes(node.name), {0}};
        PutFixed(answer, fixed, fixedSize);
        Append(answer, node.name);
        Append(answer, node.className);
        return STATUS_SUCCESS;
    }
    case KeyFullInformation: {
        constexpr ULONG fixedSize = offsetof(KEY_FULL_INFORMATION, Class);
        KeyCounts counts = CountsOf(node);
        KEY_FULL_INFORMATION fixed{lastWrite,          0,
                                   node.className.empty() ? kNoClassOffset : fixedSize,
                                   Bytes(node.className), counts.subKeys,
                                   counts.maxNameLen,  counts.maxClassLen,
                                   counts.values,      counts.maxValueNameLen,
                                   counts.maxValueDataLen, {0}};
        PutFixed(answer, fixed, fixedSize);
        Append(answer, node.className);
        return STATUS_SUCCESS;
    }
    case KeyNameInformation: {
        std::u16string fullName = FullNameOf(node);
        KEY_NAME_INFORMATION fixed{Bytes(fullName), {0}};
        PutFixed(answer, fixed, offsetof(KEY_NAME_INFORMATION, Name));
        Append(answer, fullName);
        return STATUS_SUCCESS;
    }
    case KeyCachedInformation: {
        KeyCounts counts = CountsOf(node);
        KEY_CACHED_INFORMATION fixed{lastWrite,     0, counts.subKeys, counts.maxNameLen, counts.values,
                                     counts.maxValueNameLen, counts.maxValueDataLen, Bytes(node.name)};
        PutFixed(answer, fixed, sizeof(fixed));
        return STATUS_SUCCESS;
    }
    case KeyFlagsInformation: {
        KEY_FLAGS_INFORMATION fixed{0, (node.isVolatile ? ULONG(REG_FLAG_VOLATILE) : 0u) |
                                           (node.isLink ? ULONG(REG_FLAG_LINK) : 0u),
                                    0};
        PutFixed(answer, fixed, sizeof(fixed));
        return STATUS_SUCCESS;
    }
    case KeyVirtualizationInformation:
    case KeyHandleTagsInformation: {
        ULONG none = 0;  // no virtualization, no handle tags
        PutFixed(answer, none, sizeof(none));
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Data in the full classes starts at the next 4-byte boundary after the name (8 for the Align64
// classes); Windows documents neither.
NTSTATUS BuildValueAnswer(const KeyValue& value, KEY_VALUE_INFORMATION_CLASS informationClass, Answer& answer)
{
    const auto dataLength = static_cast<ULONG>(value.data.size());
    switch (informationClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION fixed{0, value.type, Bytes(value.name), {0}};
        PutFixed(answer, fixed, offsetof(KEY_VALUE_BASIC_INFORMATION, Name));
        Append(answer, value.name);
        return STATUS_SUCCESS;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        constexpr ULONG fixedSize = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        size_t alignment = informationClass == KeyValueFullInformation ? 4 : 8;
        auto dataOffset = static_cast<ULONG>((fixedSize + Bytes(value.name) + alignment - 1) / alignment * alignment);
        KEY_VALUE_FULL_INFORMATION fixed{0, value.type, dataOffset, dataLength, Bytes(value.name), {0}};
        PutFixed(answer, fixed, fixedSize);
        Append(answer, value.name);
        PadTo(answer, alignment);
        Append(answer, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION fixed{0, value.type, dataLength, {0}};
        PutFixed(answer, fixed, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
        Append(answer, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformationAlign64: {
        KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 fixed{value.type, dataLength, {0}};
        PutFixed(answer, fixed, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data));
        Append(answer, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS CopyAnswer(const Answer& answer, PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode)
{
    const auto total = static_cast<ULONG>(answer.bytes.size());
    NTSTATUS status = CopyToCaller(mode, resultLength, &total, sizeof(total));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length < answer.fixedSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG copied = std::min(length, total);
    status = CopyToCaller(mode, buffer, answer.bytes.data(), copied);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return copied < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace vexsim
