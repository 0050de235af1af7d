#include "tools/vexsim-run/value_data.h"

#include "sim/rtl/utf8.h"

#include <cstdio>

namespace vexrun {
namespace {

constexpr const char* kTypeNames[] = {"REG_NONE",     "REG_SZ",        "REG_EXPAND_SZ", "REG_BINARY",
                                      "REG_DWORD",    "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ",
                                      "REG_RESOURCE_LIST", "REG_FULL_RESOURCE_DESCRIPTOR",
                                      "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
constexpr size_t kShownBytes = 16;

std::u16string Utf16Units(const std::vector<uint8_t>& data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    return text;
}

}  // namespace

std::string ValueTypeName(uint32_t type)
{
    if (type < std::size(kTypeNames)) {
        return kTypeNames[type];
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", type);
    return text;
}

std::optional<uint32_t> ParseValueTypeName(std::string_view name)
{
    for (uint32_t type = 0; type < std::size(kTypeNames); type++) {
        if (name == kTypeNames[type]) {
            return type;
        }
    }
    return std::nullopt;
}

std::vector<uint8_t> EncodeString(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), 2, 0);
    return bytes;
}

std::vector<uint8_t> EncodeMultiString(const std::vector<std::u16string>& strings)
{
    std::vector<uint8_t> bytes;
    for (const std::u16string& text : strings) {
        std::vector<uint8_t> one = EncodeString(text);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> EncodeNumber(uint64_t value, size_t bytes)
{
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; i++) {
        data[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return data;
}

std::string DescribeValue(uint32_t type, const std::vector<uint8_t>& data)
{
    std::string text = "Type: " + ValueTypeName(type) + ", Length: " + std::to_string(data.size()) + ", Data: ";
    if (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) {
        std::u16string units = Utf16Units(data);
        while (!units.empty() && units.back() == u'\0') {
            units.pop_back();
        }
        for (char16_t& c : units) {
            if (c == u'\0') {
                c = u' ';  // Process Monitor shows a multi-string's strings separated by blanks
            }
        }
        return text + vexsim::Utf16ToUtf8(units);
    }
    if ((type == kRegDword && data.size() == 4) || (type == kRegQword && data.size() == 8)) {
        uint64_t value = 0;
        for (size_t i = 0; i < data.size(); i++) {
            value |= static_cast<uint64_t>(data[i]) << (8 * i);
        }
        return text + std::to_string(value);
    }
    for (size_t i = 0; i < data.size() && i < kShownBytes; i++) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%s%02X", i == 0 ? "" : " ", data[i]);
        text += hex;
    }
    if (data.size() > kShownBytes) {
        text += " ...";
    }
    return text;
}

}  // namespace vexrun
