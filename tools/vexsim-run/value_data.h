// Registry value types and data as people read them: the REG_* names, and data shown the way
// Process Monitor's detail column shows it. Host code only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexrun {

// The value types the tool treats specially.
inline constexpr uint32_t kRegSz = 1, kRegExpandSz = 2, kRegLink = 6, kRegDword = 4, kRegMultiSz = 7, kRegQword = 11;

// "REG_SZ", "REG_DWORD", ...; the number in hexadecimal for a type without a name.
std::string ValueTypeName(uint32_t type);
std::optional<uint32_t> ParseValueTypeName(std::string_view name);

// Strings as the registry stores them: UTF-16LE with a terminating NUL; a multi-string with a
// second NUL after the last string.
std::vector<uint8_t> EncodeString(std::u16string_view text);
std::vector<uint8_t> EncodeMultiString(const std::vector<std::u16string>& strings);
std::vector<uint8_t> EncodeNumber(uint64_t value, size_t bytes);

// "Type: REG_SZ, Length: 12, Data: hello": text for string types, the number for DWORD and QWORD,
// the first bytes in hexadecimal otherwise.
std::string DescribeValue(uint32_t type, const std::vector<uint8_t>& data);

}  // namespace vexrun
