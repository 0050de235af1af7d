// Walking a key name through the tree for a create or an open. Host code only; the caller holds
// TreeLock().
#pragma once

#include "sim/cm/registry.h"

namespace vexsim {

struct ParseRequest {
    std::shared_ptr<KeyNode> root;  // the root handle's key; null for an absolute name
    std::u16string_view name;       // absolute names begin with \REGISTRY (checked by the caller)
    bool create = false;
    bool openLink = false;          // the last component may be a link key itself
    bool allowAppHiveRoot = false;  // the last component may name an application hive below \REGISTRY\A
    bool limitLevels = true;        // the caller's own name: at most kMaxLevelsPerCall components
};

struct ParseResult {
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_REPARSE: parse reparseName next
    std::shared_ptr<KeyNode> node;     // the key reached; null when a create found its place
    std::shared_ptr<KeyNode> parent;   // create: the key the new one goes under
    std::u16string newName;            // create: the new key's name
    std::u16string reparseName;        // an absolute name: a link's target and the rest of the path
};

// Syntax of a name given without a root handle, before any callback sees it: empty or relative
// names are bad syntax, the namespace root itself is no key.
[[nodiscard]] NTSTATUS CheckAbsoluteKeyName(std::u16string_view name);

ParseResult ParseKeyName(const ParseRequest& request);

}  // namespace vexsim
