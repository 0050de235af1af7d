// Boot, shutdown and unload check of the configuration manager.
#include "sim/cm/callbacks.h"
#include "sim/cm/registry.h"
#include "sim/executive/exports.h"
#include "sim/ob/object.h"

namespace vexsim {

void RegistryBoot(const MachineConfig& config, KeptRegistry kept)
{
    RegistryShutdown();
    {
        std::lock_guard lock(TreeLock());
        BuildRegistryTree(config, std::move(kept));
    }
    CreateRegistryRootObject();
    SetQueryNameProcedure(KeyObjectType(), QueryKeyObjectName);
    SetRegistryRunning(true);
    // Drivers may look the key services up at run time rather than import them.
    RegisterExport(u"ZwSetInformationKey", (void*)&ZwSetInformationKey);
    RegisterExport(u"ZwRenameKey", (void*)&ZwRenameKey);
    RegisterExport(u"ZwOpenKeyEx", (void*)&ZwOpenKeyEx);
    RegisterExport(u"CmCallbackGetKeyObjectID", (void*)&CmCallbackGetKeyObjectID);
    RegisterExport(u"CmSetCallbackObjectContext", (void*)&CmSetCallbackObjectContext);
}

KeptRegistry KeepRegistryForRestart()
{
    std::lock_guard lock(TreeLock());
    return DetachRegistryTree();
}

// Runs before the object manager shuts down: key objects it frees later see a stopped registry
// and go without notifications.
void RegistryShutdown()
{
    SetRegistryRunning(false);
    ResetCallbacks();
    ReleaseRegistryRootObject();
    std::lock_guard lock(TreeLock());
    ClearRegistryTree();
}

void RegistryLeftovers(Leftovers& out)
{
    ReportCallbackLeftovers(out);
}

}  // namespace vexsim
