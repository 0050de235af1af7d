#include "sim/io/io_internal.h"
#include "sim/ob/object.h"

#include <cstdio>
#include <set>

namespace vexsim {

namespace {

constexpr ULONG kMultipleIrpCompleteRequests = 0x44;

std::mutex g_irpsLock;
std::set<PIRP> g_irpsInFlight;  // IRPs sent to a driver and not yet returned; guarded by g_irpsLock

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Describe(const IrpRequest& request)
{
    return "IRP_MJ " + std::to_string(request.stack.MajorFunction) + " on " + NameForReport(request.stack.DeviceObject) +
           " (" + NameForReport(request.stack.DeviceObject->DriverObject) + ")";
}

}  // namespace

std::unique_ptr<IrpRequest> BuildIrp(UCHAR majorFunction, PDEVICE_OBJECT device, PFILE_OBJECT file)
{
    auto request = std::make_unique<IrpRequest>();
    IRP& irp = request->irp;
    irp.Type = kIoTypeIrp;
    irp.Size = sizeof(IRP) + sizeof(IO_STACK_LOCATION);
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.RequestorMode = CurrentContext().previousMode;
    irp.Tail.Overlay.Thread = CurrentContext().thread;
    irp.Tail.Overlay.CurrentStackLocation = &request->stack;
    irp.Tail.Overlay.OriginalFileObject = file;
    irp.ThreadListEntry.Flink = irp.ThreadListEntry.Blink = &irp.ThreadListEntry;
    request->stack.MajorFunction = majorFunction;
    request->stack.DeviceObject = device;
    request->stack.FileObject = file;
    return request;
}

NTSTATUS CallDriver(IrpRequest& request)
{
    PDEVICE_OBJECT device = request.stack.DeviceObject;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[request.stack.MajorFunction];
    if (dispatch == nullptr) {
        StopMachine("the driver cleared its dispatch entry for " + Describe(request));
    }
    {
        std::lock_guard lock(g_irpsLock);
        g_irpsInFlight.insert(&request.irp);
    }
    KIRQL irql = CurrentContext().irql;
    LONG criticalRegions = CurrentContext().criticalRegions;
    NTSTATUS status = dispatch(device, &request.irp);
    {
        std::lock_guard lock(g_irpsLock);
        g_irpsInFlight.erase(&request.irp);
    }
    if (!request.completed) {
        StopMachine("dispatch routine returned " + Hex(status) + " without completing " + Describe(request));
    }
    if (status != request.irp.IoStatus.Status) {
        StopMachine("dispatch routine returned " + Hex(status) + " but completed " + Describe(request) + " with " +
                    Hex(request.irp.IoStatus.Status));
    }
    if (CurrentContext().irql != irql) {
        StopMachine("dispatch routine for " + Describe(request) + " returned at IRQL " +
                    std::to_string(CurrentContext().irql) + " instead of " + std::to_string(irql));
    }
    if (CurrentContext().criticalRegions != criticalRegions) {
        StopMachine("dispatch routine for " + Describe(request) + " returned inside " +
                    std::to_string(CurrentContext().criticalRegions - criticalRegions) +
                    " critical region(s) it entered (KeEnterCriticalRegion without KeLeaveCriticalRegion)");
    }
    return status;
}

void ResetIrps()
{
    std::lock_guard lock(g_irpsLock);
    g_irpsInFlight.clear();
}

}  // namespace vexsim

using namespace vexsim;

extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    {
        std::lock_guard lock(g_irpsLock);
        if (g_irpsInFlight.count(Irp) == 0) {
            StopMachine("IoCompleteRequest on an IRP that is not being dispatched");
        }
    }
    auto* request = reinterpret_cast<IrpRequest*>(Irp);
    if (request->completed) {
        BugCheck(kMultipleIrpCompleteRequests, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                 "IRP completed twice (" + Describe(*request) + ")");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        StopMachine("IRP completed with STATUS_PENDING (" + Describe(*request) + ")");
    }
    request->completed = true;
}
