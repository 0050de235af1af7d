// Counted wide strings for tests: owned UNICODE_STRINGs built from UTF-16 text, and conversions
// for readable assertions. GoogleTest was built with a 32-bit wchar_t, so assertions compare
// std::u16string or UTF-8 std::string, never wchar_t text.
#pragma once

#include "platform/platform.h"
#include "sim/rtl/utf.h"

#include <string>

namespace vextest {

// A UNICODE_STRING over its own copy of the text; Length counts the text without a NUL, and the
// buffer holds one more unit that is NUL, counted in MaximumLength when it fits.
class Wide {
public:
    Wide(std::u16string text) : text_(std::move(text)) { Point(); }
    Wide(const char16_t* text) : Wide(std::u16string(text)) {}
    Wide(const Wide& other) : text_(other.text_) { Point(); }
    Wide& operator=(const Wide& other)
    {
        text_ = other.text_;
        Point();
        return *this;
    }
    PUNICODE_STRING get() { return &string_; }
    PCWSTR c_str() const { return (PCWSTR)text_.c_str(); }

private:
    void Point()
    {
        string_.Buffer = (PWSTR)text_.data();
        string_.Length = (USHORT)(text_.size() * sizeof(WCHAR));
        // The longest names have no room left to count the NUL.
        string_.MaximumLength = (USHORT)(string_.Length <= 0xFFFC ? string_.Length + sizeof(WCHAR) : string_.Length);
    }
    std::u16string text_;
    UNICODE_STRING string_{};
};

inline std::u16string Text(PCUNICODE_STRING string) { return vexsim::ToU16(string); }
inline std::string Utf8(std::u16string_view text) { return vexsim::Utf16ToUtf8(text); }
inline std::u16string Utf16(std::string_view text) { return vexsim::Utf8ToUtf16(text); }

}  // namespace vextest
