// Container hives: the hive roots below \REGISTRY\WC that a Windows container's registry lives in.
#include "sim/cm/registry.h"
#include "sim/cm/registry_host.h"

namespace vexsim {

NTSTATUS LoadContainerHive(std::u16string_view name)
{
    if (name.empty() || name.find(kPathSeparator) != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name.size() > kMaxKeyNameChars) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(TreeLock());
    std::shared_ptr<KeyNode> containers = FindSubkey(*RegistryRoot(), u"WC");
    if (FindSubkey(*containers, name) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    InsertSubkey(*containers, name, DefaultKeySecurity())->isHiveRoot = true;
    return STATUS_SUCCESS;
}

}  // namespace vexsim
