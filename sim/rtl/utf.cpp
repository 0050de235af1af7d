#include "sim/rtl/utf.h"

namespace vexsim {

size_t WideLength(PCWSTR text)
{
    size_t units = 0;
    while (text[units] != UNICODE_NULL) {
        ++units;
    }
    return units;
}

std::u16string ToU16(PCWSTR text, size_t units)
{
    std::u16string out(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
        out[i] = static_cast<char16_t>(text[i]);
    }
    return out;
}

std::u16string ToU16(PCWSTR text)
{
    return ToU16(text, WideLength(text));
}

std::u16string ToU16(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return ToU16(text->Buffer, text->Length / sizeof(WCHAR));
}

UNICODE_STRING CountedView(const std::u16string& text)
{
    auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()))};
}

}  // namespace vexsim
