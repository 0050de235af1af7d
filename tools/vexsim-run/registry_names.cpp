#include "tools/vexsim-run/registry_names.h"

#include "sim/rtl/utf8.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vexrun {
namespace {

struct NamedResult {
    uint32_t status;
    const char* name;
};

// Process Monitor's names for the statuses registry calls answer.
constexpr NamedResult kResults[] = {
    {0x00000000u, "SUCCESS"},
    {0x00000104u, "REPARSE"},
    {0x80000005u, "BUFFER OVERFLOW"},
    {0x8000001Au, "NO MORE ENTRIES"},
    {0xC0000008u, "INVALID HANDLE"},
    {0xC000000Du, "INVALID PARAMETER"},
    {0xC0000022u, "ACCESS DENIED"},
    {0xC0000023u, "BUFFER TOO SMALL"},
    {0xC0000033u, "NAME INVALID"},
    {0xC0000034u, "NAME NOT FOUND"},
    {0xC0000035u, "NAME COLLISION"},
    {0xC000003Au, "PATH NOT FOUND"},
    {0xC000009Au, "INSUFFICIENT RESOURCES"},
    {0xC0000121u, "CANNOT DELETE"},
    {0xC000017Cu, "KEY DELETED"},
    {0xC0000180u, "KEY HAS CHILDREN"},
    {0xC0000181u, "CHILD MUST BE VOLATILE"},
};

struct Root {
    std::u16string_view abbreviation;
    std::u16string_view longName;
};

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        char16_t a = text[i], b = prefix[i];
        if (a < 128 && b < 128 && std::toupper(a) != std::toupper(b)) {
            return false;
        }
        if ((a >= 128 || b >= 128) && a != b) {
            return false;
        }
    }
    return true;
}

// The rest of path after root when path is the root itself or continues with a backslash.
std::optional<std::u16string_view> AfterRoot(std::u16string_view path, std::u16string_view root)
{
    if (!StartsWithNoCase(path, root)) {
        return std::nullopt;
    }
    std::u16string_view rest = path.substr(root.size());
    if (rest.empty()) {
        return rest;
    }
    if (rest[0] != u'\\') {
        return std::nullopt;
    }
    return rest;
}

}  // namespace

std::u16string NativeKeyPath(std::u16string_view path, std::u16string_view userSid)
{
    const std::u16string user = u"\\REGISTRY\\USER\\" + std::u16string(userSid);
    const struct {
        std::u16string_view name;
        std::u16string native;
    } roots[] = {
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"HKCU", user},
        {u"HKEY_CURRENT_USER", user},
        {u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        {u"HKU", u"\\REGISTRY\\USER"},
        {u"HKEY_USERS", u"\\REGISTRY\\USER"},
        {u"\\REGISTRY", u"\\REGISTRY"},
    };
    for (const auto& root : roots) {
        if (std::optional<std::u16string_view> rest = AfterRoot(path, root.name)) {
            if (root.native.find(u"\\USER\\") != std::u16string::npos && userSid.empty()) {
                return {};
            }
            return root.native + std::u16string(*rest);
        }
    }
    return {};
}

std::string DisplayKeyPath(std::u16string_view nativePath, std::u16string_view userSid)
{
    const std::u16string user = u"\\REGISTRY\\USER\\" + std::u16string(userSid);
    const std::u16string userClasses = user + u"_Classes";
    const Root roots[] = {
        {u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"HKCU\\Software\\Classes", userClasses},
        {u"HKCU", user},
        {u"HKU", u"\\REGISTRY\\USER"},
    };
    for (const Root& root : roots) {
        if (root.longName.find(u"\\USER\\") != std::u16string_view::npos && userSid.empty()) {
            continue;
        }
        if (std::optional<std::u16string_view> rest = AfterRoot(nativePath, root.longName)) {
            return vexsim::Utf16ToUtf8(std::u16string(root.abbreviation) + std::u16string(*rest));
        }
    }
    return vexsim::Utf16ToUtf8(nativePath);
}

std::string ResultName(uint32_t status)
{
    for (const NamedResult& named : kResults) {
        if (named.status == status) {
            return named.name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", status);
    return text;
}

std::optional<uint32_t> ParseResultName(std::string_view text)
{
    for (const NamedResult& named : kResults) {
        if (text == named.name) {
            return named.status;
        }
    }
    if (text.size() > 2 && text.size() <= 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string digits(text.substr(2));
        char* end = nullptr;
        unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (end != nullptr && *end == '\0' && digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
            return static_cast<uint32_t>(value);
        }
    }
    return std::nullopt;
}

}  // namespace vexrun
