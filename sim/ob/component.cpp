// Boot, shutdown and unload check of the object manager together with processes and threads.
#include "sim/executive/exports.h"
#include "sim/core/components.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/ps/notify_routines.h"
#include "sim/ps/process.h"
#include "sim/ps/system_thread.h"
#include "sim/ps/thread.h"

namespace vexsim {

void ObjectsBoot(const MachineConfig& config)
{
    UNREFERENCED_PARAMETER(config);
    ObjectsShutdown();
    ResetObjectStore();
    ResetNotifyRoutines();
    BootProcesses();
    // Drivers look these up at run time rather than importing them.
    RegisterExport(u"ZwQueryInformationProcess", (void*)&ZwQueryInformationProcess);
    RegisterExport(u"ZwQuerySystemInformation", (void*)&ZwQuerySystemInformation);
    RegisterExport(u"PsGetProcessSectionBaseAddress", (void*)&PsGetProcessSectionBaseAddress);
    RegisterExport(u"PsGetProcessPeb", (void*)&PsGetProcessPeb);
    RegisterExport(u"MmCopyMemory", (void*)&MmCopyMemory);
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
    ReportNotifyRoutines(out);
    ReportKernelHandles(out);
    ReportDriverReferences(out);
    ReportRunningSystemThreads(out);
}

}  // namespace vexsim
