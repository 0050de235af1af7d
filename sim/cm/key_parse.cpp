// Walking a key name through the tree for a create or an open: the level limit, symbolic links,
// the closed \REGISTRY\A and the 32-bit view of a WOW64 caller.
#include "sim/cm/key_parse.h"

#include <array>

namespace vexsim {

namespace {

const std::u16string kWowNode = u"Wow6432Node";

// The COM registration subkeys of a Classes root that a 32-bit caller finds in Wow6432Node;
// the rest of Classes is shared between the views.
bool IsRedirectedClassesSubkey(std::u16string_view name)
{
    static const std::array<std::u16string_view, 5> kRedirected{u"CLSID", u"DirectShow", u"Interface", u"Media Type",
                                                                u"MediaFoundation"};
    for (std::u16string_view redirected : kRedirected) {
        if (SameName(name, redirected)) {
            return true;
        }
    }
    return false;
}

// The node a component is looked up (or created) in: the 32-bit view moves HKLM\SOFTWARE's
// subkeys but Classes, and a Classes root's COM subkeys, into their Wow6432Node.
KeyNode* ViewParent(KeyNode& current, std::u16string_view component, bool view32)
{
    if (!view32 || current.wow == WowRedirect::None) {
        return &current;
    }
    bool redirected = current.wow == WowRedirect::SoftwareRoot ? !SameName(component, u"Classes")
                                                                : IsRedirectedClassesSubkey(component);
    if (!redirected) {
        return &current;
    }
    auto wow = FindSubkey(current, kWowNode);
    return wow != nullptr ? wow.get() : &current;
}

bool IsAppHiveParent(const KeyNode& node)
{
    return node.parent != nullptr && node.parent->parent == nullptr && node.upcasedName == u"A";
}

std::u16string JoinRemaining(const std::vector<std::u16string_view>& components, size_t from)
{
    std::u16string rest;
    for (size_t i = from; i < components.size(); i++) {
        rest += kPathSeparator;
        rest += components[i];
    }
    return rest;
}

}  // namespace

NTSTATUS CheckAbsoluteKeyName(std::u16string_view name)
{
    if (name.empty() || name[0] != kPathSeparator) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (name.size() == 1) {
        return STATUS_OBJECT_TYPE_MISMATCH;  // the object directory \ is no key
    }
    return STATUS_SUCCESS;
}

// More than 32 components in one call: Windows gives no documented status; the walk refuses the
// name as too long, so a caller splits it, as deep-path code does on Windows.
ParseResult ParseKeyName(const ParseRequest& request)
{
    ParseResult result;
    std::shared_ptr<KeyNode> current = request.root;
    std::u16string_view name = request.name;
    std::vector<std::u16string_view> components;
    if (current == nullptr) {
        result.status = SplitKeyPath(name.substr(1), components);
        if (!NT_SUCCESS(result.status)) {
            return result;
        }
        current = RegistryRoot();
        if (components.size() > kMaxLevelsPerCall) {
            result.status = STATUS_NAME_TOO_LONG;
            return result;
        }
        components.erase(components.begin());  // REGISTRY itself, checked by the caller
    } else {
        if (!name.empty() && name[0] == kPathSeparator) {
            result.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
            return result;
        }
        result.status = SplitKeyPath(name, components);
        if (!NT_SUCCESS(result.status)) {
            return result;
        }
        if (components.size() > kMaxLevelsPerCall) {
            result.status = STATUS_NAME_TOO_LONG;
            return result;
        }
        if (current->deleted) {
            result.status = STATUS_KEY_DELETED;
            return result;
        }
    }

    for (size_t i = 0; i < components.size(); i++) {
        bool last = i + 1 == components.size();
        std::u16string_view component = components[i];
        std::shared_ptr<KeyNode> next;
        KeyNode* parent = &*current;
        if (IsAppHiveParent(*current)) {
            // \REGISTRY\A cannot be walked by name: an application hive is reached only through
            // the handle its loading returned. The loader's own first open is the exception.
            if (!(request.allowAppHiveRoot && last)) {
                result.status = STATUS_ACCESS_DENIED;
                return result;
            }
            next = FindAppHiveRoot(component);
        } else {
            if (request.view32 && current->wow != WowRedirect::None && SameName(component, kWowNode)) {
                // A 32-bit view finds no Wow6432Node below a redirected key: it already is in it.
                result.status = STATUS_OBJECT_NAME_NOT_FOUND;
                return result;
            }
            parent = ViewParent(*current, component, request.view32);
            next = FindSubkey(*parent, component);
        }
        if (next == nullptr) {
            if (last && request.create) {
                result.parent = parent == &*current ? current : FindSubkey(*current, kWowNode);
                result.newName = std::u16string(component);
                result.status = STATUS_SUCCESS;
                return result;
            }
            result.status = STATUS_OBJECT_NAME_NOT_FOUND;
            return result;
        }
        current = std::move(next);
        if (current->isLink && !(last && request.openLink)) {
            std::u16string target = LinkTargetOf(*current);
            if (target.empty() || target[0] != kPathSeparator) {
                result.status = STATUS_OBJECT_NAME_NOT_FOUND;
                return result;
            }
            result.reparseName = target + JoinRemaining(components, i + 1);
            result.status = STATUS_REPARSE;
            return result;
        }
    }
    if (request.view32 && current->wow == WowRedirect::SoftwareRoot) {
        if (auto wow = FindSubkey(*current, kWowNode)) {
            current = std::move(wow);
        }
    }
    result.node = std::move(current);
    result.status = STATUS_SUCCESS;
    return result;
}

}  // namespace vexsim
