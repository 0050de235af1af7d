// Key and value names: case-insensitive comparison through the upper-case table, path
// splitting and the name limits.
#include "sim/cm/registry.h"

#include "sim/rtl/utf.h"

#include <algorithm>

namespace vexsim {

std::u16string UpcaseName(std::u16string_view name)
{
    std::u16string upcased(name);
    for (char16_t& unit : upcased) {
        unit = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(unit)));
    }
    return upcased;
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i] != b[i] &&
            RtlUpcaseUnicodeChar(static_cast<WCHAR>(a[i])) != RtlUpcaseUnicodeChar(static_cast<WCHAR>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Backslashes in a row separate like one, so empty components vanish ("a\\b\\" is a\b, as on
// Windows). The status for a component beyond 255 characters is not documented;
// STATUS_INVALID_PARAMETER is what the registry answers for its other name limits.
NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& components)
{
    components.clear();
    size_t start = 0;
    while (start < path.size()) {
        size_t end = std::min(path.find(kPathSeparator, start), path.size());
        std::u16string_view component = path.substr(start, end - start);
        if (component.size() > kMaxKeyNameChars) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!component.empty()) {
            components.push_back(component);
        }
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CaptureCountedName(PCUNICODE_STRING name, std::u16string& text)
{
    text.clear();
    if (name == nullptr) {
        return STATUS_SUCCESS;
    }
    if (name->Length % sizeof(WCHAR) != 0 || (name->Length != 0 && name->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    text = ToU16(name);
    return STATUS_SUCCESS;
}

}  // namespace vexsim
