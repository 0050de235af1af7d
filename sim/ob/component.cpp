// Boot, shutdown and unload check of the object manager together with processes and threads.
#include "sim/executive/exports.h"
#include "sim/core/components.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/system_thread.h"
#include "sim/ps/thread.h"

namespace vexsim {

void ObjectsBoot(const MachineConfig& config)
{
    UNREFERENCED_PARAMETER(config);
    ObjectsShutdown();
    ResetObjectStore();
    BootProcesses();
    // Drivers look these up at run time rather than importing them.
    RegisterExport(u"ZwQueryInformationProcess", (void*)&ZwQueryInformationProcess);
    RegisterExport(u"ZwQuerySystemInformation", (void*)&ZwQuerySystemInformation);
}

// The I/O manager's worker thread must have stopped before this runs.
void ObjectsShutdown()
{
    JoinSystemThreads();
    ForgetAdoptedThreads();
    ShutdownProcesses();
    ClearNamespace();
    DestroyAllObjects();
    KernelHandleTable().CloseAll();
}

void ObjectsLeftovers(Leftovers& out)
{
    ReportKernelHandles(out);
    ReportDriverReferences(out);
    ReportRunningSystemThreads(out);
}

}  // namespace vexsim
