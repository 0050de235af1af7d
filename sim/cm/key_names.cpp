// Key and value names: case-insensitive comparison through the upper-case table, path
// splitting and the name limits.
#include "sim/cm/registry.h"

#include "sim/rtl/utf.h"

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

// The status for a component beyond 255 characters is not documented; STATUS_INVALID_PARAMETER
// is what the registry answers for its other name limits.
NTSTATUS SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>& components)
{
    components.clear();
    if (!path.empty() && path.back() == kPathSeparator) {
        path.remove_suffix(1);
    }
    if (path.empty()) {
        return STATUS_SUCCESS;
    }
    size_t start = 0;
    for (;;) {
        size_t end = path.find(kPathSeparator, start);
        std::u16string_view component = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (component.empty()) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (component.size() > kMaxKeyNameChars) {
            return STATUS_INVALID_PARAMETER;
        }
        components.push_back(component);
        if (end == std::u16string_view::npos) {
            return STATUS_SUCCESS;
        }
        start = end + 1;
    }
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
