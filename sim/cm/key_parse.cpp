// Walking a key name through the tree for a create or an open: the level limit, symbolic links
// and the closed \REGISTRY\A. The name is walked as given: the 32-bit view of a WOW64 caller was
// applied to it before (wow64_view.cpp).
#include "sim/cm/key_parse.h"

namespace vexsim {

namespace {

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
    if (name[1] == kPathSeparator) {
        return STATUS_OBJECT_NAME_INVALID;  // an empty name in the object directory
    }
    return STATUS_SUCCESS;
}

// More than 32 components in the caller's own name: Windows gives no documented status; the walk
// refuses the name as too long, so a caller splits it, as deep-path code does on Windows. A name
// a link produced is not held to it: links are bounded by the reparse limit (key_open.cpp).
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
        if (request.limitLevels && components.size() > kMaxLevelsPerCall) {
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
        if (request.limitLevels && components.size() > kMaxLevelsPerCall) {
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
        if (IsAppHiveParent(*current)) {
            // \REGISTRY\A cannot be walked by name: an application hive is reached only through
            // the handle its loading returned. The loader's own first open is the exception.
            if (!(request.allowAppHiveRoot && last)) {
                result.status = STATUS_ACCESS_DENIED;
                return result;
            }
            next = FindAppHiveRoot(component);
        } else {
            next = FindSubkey(*current, component);
        }
        if (next == nullptr) {
            if (last && request.create) {
                result.parent = current;
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
            if (target.empty()) {
                result.status = STATUS_OBJECT_NAME_NOT_FOUND;
                return result;
            }
            if (target[0] != kPathSeparator) {
                result.status = STATUS_OBJECT_NAME_INVALID;  // a relative target, refused since Windows 10 1607
                return result;
            }
            result.reparseName = target + JoinRemaining(components, i + 1);
            result.status = STATUS_REPARSE;
            return result;
        }
    }
    result.node = std::move(current);
    result.status = STATUS_SUCCESS;
    return result;
}

}  // namespace vexsim
