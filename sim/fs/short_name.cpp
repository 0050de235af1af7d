// Generation of 8.3 short names, as NTFS makes them when short-name generation is on.
//
// A long name that is already a valid 8.3 name (ignoring case) gets none. Otherwise the name is
// upcased, spaces and all dots but the one before the extension are dropped, and the characters
// 8.3 names cannot hold become '_'; the short name is the first six characters of the base, '~'
// and a digit from 1 to 4, then '.' and the first three characters of the extension. From the
// fifth collision on, the base becomes its first two characters and four hexadecimal digits of a
// hash of the long name, followed by "~1" (then ~2...). Windows does not publish its hash; this
// kernel's is the x65599 hash of the upcased long name, folded to 16 bits.
#include "sim/fs/fs_internal.h"

#include <cstdio>

namespace vexsim {

namespace {

constexpr size_t kBaseChars = 8;
constexpr size_t kExtensionChars = 3;
constexpr int kPlainTries = 4;

bool IsLegalShortChar(char16_t c)
{
    if (c <= u' ' || c >= 0x7F) {
        return false;
    }
    return std::u16string_view(u"\"*+,/:;<=>?[\\]|.").find(c) == std::u16string_view::npos;
}

bool IsValidShortName(const std::u16string& name)
{
    size_t dot = name.find(u'.');
    std::u16string base = name.substr(0, dot);
    std::u16string extension = dot == std::u16string::npos ? u"" : name.substr(dot + 1);
    if (base.empty() || base.size() > kBaseChars || extension.size() > kExtensionChars ||
        (dot != std::u16string::npos && extension.empty())) {
        return false;
    }
    for (char16_t c : base + extension) {
        if (!IsLegalShortChar(c)) {
            return false;
        }
    }
    return true;
}

std::u16string Clean(const std::u16string& text)
{
    std::u16string out;
    for (char16_t c : Upcase(text)) {
        if (c == u' ' || c == u'.') {
            continue;
        }
        out += IsLegalShortChar(c) ? c : u'_';
    }
    return out;
}

bool IsTaken(const FsNode& directory, const std::u16string& candidate)
{
    for (auto& [key, child] : directory.children) {
        if (child->shortName == candidate || (child->shortName.empty() && key == candidate)) {
            return true;
        }
    }
    return false;
}

std::u16string Hex4(const std::u16string& longName)
{
    ULONG hash = 0;
    for (char16_t c : Upcase(longName)) {
        hash = hash * 65599 + c;
    }
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", (hash ^ (hash >> 16)) & 0xFFFF);
    return std::u16string(text, text + 4);
}

std::u16string Compose(const std::u16string& base, int number, const std::u16string& extension)
{
    std::u16string name = base + u"~";
    for (char c : std::to_string(number)) {
        name += static_cast<char16_t>(c);
    }
    return extension.empty() ? name : name + u"." + extension;
}

}  // namespace

std::u16string GenerateShortName(const FsNode& directory, const std::u16string& longName)
{
    if (IsValidShortName(longName)) {
        return {};
    }
    size_t dot = longName.rfind(u'.');
    bool hasExtension = dot != std::u16string::npos && dot != 0;
    std::u16string base = Clean(hasExtension ? longName.substr(0, dot) : longName);
    std::u16string extension = hasExtension ? Clean(longName.substr(dot + 1)).substr(0, kExtensionChars) : u"";
    if (base.empty()) {
        base = u"_";
    }
    for (int number = 1; number <= kPlainTries; ++number) {
        std::u16string candidate = Compose(base.substr(0, 6), number, extension);
        if (!IsTaken(directory, candidate)) {
            return candidate;
        }
    }
    std::u16string hashed = base.substr(0, 2) + Hex4(longName);
    for (int number = 1;; ++number) {
        std::u16string candidate = Compose(hashed, number, extension);
        if (!IsTaken(directory, candidate)) {
            return candidate;
        }
    }
}

}  // namespace vexsim
