// Work items and the delayed work queue.
//
// One worker thread of the System process serves the queue at PASSIVE_LEVEL, one item at a time,
// in queue order. Queuing references the item's device until the routine has returned. A routine
// may free its own item (the worker then frees it when the routine returns) or queue it again.
// Freeing a queued item, queuing a queued item, or touching an item that was never allocated
// stops the machine. The queue lock guards the item set, the queue and the worker's state; it is
// never held while a routine runs.
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/executive/fault_injection.h"
#include "sim/ob/object.h"
#include "sim/ps/thread.h"

#include <condition_variable>
#include <deque>
#include <set>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;         // given at allocation
    PIO_WORKITEM_ROUTINE routine;  // given at queuing
    PVOID context;
    bool queued;
    bool running;
    bool freed;                    // freed by its own routine; released when the routine returns
};

namespace vexsim {

namespace {


std::mutex g_queueLock;
std::condition_variable g_queueChanged;
std::set<PIO_WORKITEM> g_items;         // allocated and not yet released
std::deque<PIO_WORKITEM> g_queue;
bool g_workerBusy = false;
bool g_stopWorker = false;
std::thread g_worker;
PETHREAD g_workerThread = nullptr;      // referenced while the worker runs

void RequireItem(PIO_WORKITEM item, const char* call)
{
    if (g_items.count(item) == 0 || item->freed) {
        StopMachine(std::string(call) + " on a work item that was not allocated or is already freed");
    }
}

void RunOne(std::unique_lock<std::mutex>& lock)
{
    PIO_WORKITEM item = g_queue.front();
    g_queue.pop_front();
    item->queued = false;
    item->running = true;
    g_workerBusy = true;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    PDEVICE_OBJECT device = item->device;
    lock.unlock();
    routine(device, context);
    if (CurrentContext().irql != PASSIVE_LEVEL) {
        StopMachine("work item routine returned at IRQL " + std::to_string(CurrentContext().irql));
    }
    DereferenceObject(device);
    lock.lock();
    item->running = false;
    if (item->freed) {
        g_items.erase(item);
        delete item;
    }
    g_workerBusy = false;
    g_queueChanged.notify_all();
}

void WorkerLoop()
{
    SetCurrentContext(ContextOfThread(g_workerThread, KernelMode));
    std::unique_lock lock(g_queueLock);
    for (;;) {
        g_queueChanged.wait(lock, [] { return g_stopWorker || !g_queue.empty(); });
        if (g_stopWorker) {
            return;
        }
        RunOne(lock);
    }
}

}  // namespace

void WaitForWorkQueueIdle()
{
    if (std::this_thread::get_id() == g_worker.get_id()) {
        StopMachine("the work queue's own worker waited for the queue to drain");
    }
    std::unique_lock lock(g_queueLock);
    g_queueChanged.wait(lock, [] { return g_queue.empty() && !g_workerBusy; });
}

void StartWorkQueue()
{
    g_workerThread = CreateThreadObject(PsInitialSystemProcess, nullptr, false);
    g_stopWorker = false;
    g_worker = std::thread(WorkerLoop);
}

// Items still queued are dropped without running; the unload check has reported them.
void StopWorkQueue()
{
    {
        std::lock_guard lock(g_queueLock);
        g_stopWorker = true;
    }
    g_queueChanged.notify_all();
    if (g_worker.joinable()) {
        g_worker.join();
    }
    if (g_workerThread != nullptr) {
        EndThreadObject(g_workerThread, STATUS_SUCCESS);
        DereferenceObject(g_workerThread);
        g_workerThread = nullptr;
    }
    std::lock_guard lock(g_queueLock);
    for (PIO_WORKITEM item : g_queue) {
        DereferenceObject(item->device);
    }
    g_queue.clear();
    for (PIO_WORKITEM item : g_items) {
        delete item;
    }
    g_items.clear();
}

void ReportWorkItems(std::vector<std::string>& out)
{
    std::lock_guard lock(g_queueLock);
    for (PIO_WORKITEM item : g_items) {
        if (item->queued) {
            out.push_back("work item for " + NameForReport(item->device) + " queued and not run");
        }
        if (!item->freed) {
            out.push_back("work item for " + NameForReport(item->device) + " allocated and not freed");
        }
    }
}

}  // namespace vexsim

using namespace vexsim;

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject == nullptr) {
        StopMachine("IoAllocateWorkItem without a device object");
    }
    if (ShouldFailAllocation(kWorkItemTag)) {
        return nullptr;
    }
    auto* item = new _IO_WORKITEM{DeviceObject, nullptr, nullptr, false, false, false};
    std::lock_guard lock(g_queueLock);
    g_items.insert(item);
    return item;
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    std::lock_guard lock(g_queueLock);
    RequireItem(IoWorkItem, "IoFreeWorkItem");
    if (IoWorkItem->queued) {
        StopMachine("IoFreeWorkItem on a work item that is queued and has not run");
    }
    if (IoWorkItem->running) {
        IoWorkItem->freed = true;
        return;
    }
    g_items.erase(IoWorkItem);
    delete IoWorkItem;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                      PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);  // every queue type is served by the one delayed worker
    {
        std::lock_guard lock(g_queueLock);
        RequireItem(IoWorkItem, "IoQueueWorkItem");
        if (IoWorkItem->queued) {
            StopMachine("IoQueueWorkItem on a work item that is already queued");
        }
        if (WorkerRoutine == nullptr) {
            StopMachine("IoQueueWorkItem without a routine");
        }
        ReferenceObject(IoWorkItem->device);
        IoWorkItem->routine = WorkerRoutine;
        IoWorkItem->context = Context;
        IoWorkItem->queued = true;
        g_queue.push_back(IoWorkItem);
    }
    g_queueChanged.notify_all();
}
