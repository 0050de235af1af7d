// Conversions between UTF-16 and UTF-8 with the standard library alone, so that host programs of
// either target (the Windows build of the control client among them) share them with the
// simulated kernel.
#pragma once

#include <string>
#include <string_view>

namespace vexsim {

// Invalid input (a lone surrogate, a malformed UTF-8 sequence) becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// Strict UTF-8: false at the first malformed sequence (an encoded U+FFFD is well-formed), with
// *badOffset at its first byte.
[[nodiscard]] bool Utf8ToUtf16Strict(std::string_view text, std::u16string* out, size_t* badOffset);

}  // namespace vexsim
