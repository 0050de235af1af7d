// Key names of .reg files: the predefined root names and native \REGISTRY names, turned into the
// components below \REGISTRY that the key tree is walked with.
#include "sim/regfile/regfile.h"

#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

struct RootName {
    std::u16string_view name;                   // as a .reg header writes it
    std::vector<std::u16string_view> native;    // components below \REGISTRY; HKCU adds the SID
    bool isCurrentUser;
};

const RootName kRoots[] = {
    {u"\\REGISTRY", {}, false},
    {u"HKEY_LOCAL_MACHINE", {u"MACHINE"}, false},
    {u"HKEY_USERS", {u"USER"}, false},
    {u"HKEY_CURRENT_USER", {u"USER"}, true},
    // The machine's classes. On Windows the root merges the user's classes over them; a file
    // cannot say which user's, so a machine set up from a file gets the machine-wide ones.
    {u"HKEY_CLASSES_ROOT", {u"MACHINE", u"SOFTWARE", u"Classes"}, false},
};

// A .reg file writes a key's path with single backslashes and at most one at the end: two in a
// row, or one at the start, leave an empty component and make the header malformed, although the
// registry itself would read them as one separator.
bool HasEmptyComponent(std::u16string_view rest)
{
    if (!rest.empty() && rest.back() == kPathSeparator) {
        rest.remove_suffix(1);
    }
    return !rest.empty() && (rest.front() == kPathSeparator || rest.back() == kPathSeparator ||
                             rest.find(u"\\\\") != std::u16string_view::npos);
}

std::vector<std::u16string_view> SplitAtSeparators(std::u16string_view text)
{
    std::vector<std::u16string_view> parts;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find(kPathSeparator, start), text.size());
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::u16string RegFileKeyName(std::u16string_view nativeName, const RegFileOptions& options)
{
    const RootName* best = nullptr;
    size_t bestLength = 0;
    for (const RootName& root : kRoots) {
        if (root.native.empty() || root.name == u"HKEY_CLASSES_ROOT" ||
            (root.isCurrentUser && options.currentUserSid.empty())) {
            continue;
        }
        std::u16string prefix = u"\\REGISTRY";
        for (std::u16string_view component : root.native) {
            prefix += u"\\" + std::u16string(component);
        }
        if (root.isCurrentUser) {
            prefix += u"\\" + options.currentUserSid;
        }
        bool under = nativeName.size() >= prefix.size() && SameName(nativeName.substr(0, prefix.size()), prefix) &&
                     (nativeName.size() == prefix.size() || nativeName[prefix.size()] == kPathSeparator);
        if (under && prefix.size() > bestLength) {
            best = &root;
            bestLength = prefix.size();
        }
    }
    return best == nullptr ? std::u16string(nativeName) : std::u16string(best->name) + std::u16string(nativeName.substr(bestLength));
}

NTSTATUS NativeComponentsOf(std::u16string_view keyName, const RegFileOptions& options,
                            std::vector<std::u16string>* components, std::string* problem)
{
    size_t rootEnd = keyName.find(kPathSeparator, keyName.starts_with(kPathSeparator) ? 1 : 0);
    std::u16string_view rootName = keyName.substr(0, rootEnd);
    std::u16string_view rest = rootEnd == std::u16string_view::npos ? std::u16string_view() : keyName.substr(rootEnd + 1);
    const RootName* root = nullptr;
    for (const RootName& candidate : kRoots) {
        if (SameName(candidate.name, rootName)) {
            root = &candidate;
        }
    }
    if (root == nullptr) {
        *problem = "unknown root key \"" + Excerpt(rootName) + "\"";
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    components->assign(root->native.begin(), root->native.end());
    if (root->isCurrentUser) {
        if (options.currentUserSid.empty()) {
            *problem = "HKEY_CURRENT_USER needs a user SID in the options";
            return STATUS_INVALID_PARAMETER;
        }
        components->push_back(options.currentUserSid);
    }
    std::vector<std::u16string_view> parts;
    if (HasEmptyComponent(rest)) {
        *problem = "invalid key name \"" + Excerpt(keyName) + "\": an empty component between backslashes";
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!NT_SUCCESS(SplitKeyPath(rest, parts))) {
        size_t index = 0;
        for (std::u16string_view part : SplitAtSeparators(rest)) {
            index++;
            if (part.size() > kMaxKeyNameChars) {
                *problem = "component " + std::to_string(index) + " of the key name after the root (\"" + Excerpt(part) +
                           "\") is longer than 255 characters";
                break;
            }
        }
        return STATUS_OBJECT_NAME_INVALID;
    }
    components->insert(components->end(), parts.begin(), parts.end());
    return STATUS_SUCCESS;
}

}  // namespace vexsim
