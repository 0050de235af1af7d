#include "sim/ps/system_thread.h"

#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"

#include <mutex>
#include <system_error>
#include <thread>

namespace vexsim {

namespace {

// Thrown by PsTerminateSystemThread, caught only by the trampoline.
struct SystemThreadTermination {
    NTSTATUS exitStatus;
};

struct SystemThreadRecord {
    PETHREAD thread;  // referenced until joined
    std::thread host;
};

std::mutex g_threadsLock;
std::vector<SystemThreadRecord> g_threads;  // guarded by g_threadsLock

void RunSystemThread(PETHREAD thread, PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    SetCurrentContext(ContextOfThread(thread, KernelMode));
    NTSTATUS exitStatus = STATUS_SUCCESS;
    try {
        startRoutine(startContext);
    } catch (const SystemThreadTermination& termination) {
        exitStatus = termination.exitStatus;
    }
    KIRQL irql = CurrentContext().irql;
    if (irql != PASSIVE_LEVEL) {
        StopMachine("system thread " + std::to_string(thread->id) + " ended at IRQL " + std::to_string(irql) +
                    " instead of PASSIVE_LEVEL");
    }
    EndThreadObject(thread, exitStatus);
}

// Threads run in the System process only: a process handle that names any other process is not
// supported by this kernel.
NTSTATUS CheckTargetProcess(HANDLE processHandle)
{
    if (processHandle == nullptr) {
        return STATUS_SUCCESS;
    }
    PVOID process;
    NTSTATUS status = ReferenceObjectByHandle(processHandle, 0, *PsProcessType, KernelMode, &process, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool isSystem = process == PsInitialSystemProcess;
    DereferenceObject(process);
    return isSystem ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

}  // namespace

std::vector<PETHREAD> RunningSystemThreads()
{
    std::lock_guard lock(g_threadsLock);
    std::vector<PETHREAD> out;
    for (const auto& record : g_threads) {
        if (!record.thread->exited.load()) {
            out.push_back(record.thread);
        }
    }
    return out;
}

void JoinSystemThreads()
{
    std::vector<SystemThreadRecord> joining;
    {
        std::lock_guard lock(g_threadsLock);
        joining.swap(g_threads);
    }
    for (auto& record : joining) {
        if (record.host.get_id() == std::this_thread::get_id()) {
            StopMachine("a system thread shut the machine down");
        }
        record.host.join();
        DereferenceObject(record.thread);
    }
}

void ReportRunningSystemThreads(std::vector<std::string>& out)
{
    for (PETHREAD thread : RunningSystemThreads()) {
        out.push_back("system thread " + std::to_string(thread->id) + " still running");
    }
}

}  // namespace vexsim

using namespace vexsim;

// A handle to the new thread is always a kernel handle. Callers outside the System process that
// pass object attributes must ask for OBJ_KERNEL_HANDLE: without it Windows would put the handle
// in the calling user process's table, which is never what a driver wants, so the call fails
// with STATUS_INVALID_PARAMETER here.
extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                               HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                               PVOID StartContext)
{
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ThreadHandle = nullptr;
    if (ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0 &&
        CurrentContext().process != PsInitialSystemProcess) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckTargetProcess(ProcessHandle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PETHREAD thread = CreateThreadObject(PsInitialSystemProcess, StartRoutine, true);
    HANDLE handle = OpenHandle(thread, OBJ_KERNEL_HANDLE, MapAccess(*PsThreadType, DesiredAccess));
    std::thread host;
    try {
        host = std::thread(RunSystemThread, thread, StartRoutine, StartContext);
    } catch (const std::system_error&) {
        EndThreadObject(thread, STATUS_INSUFFICIENT_RESOURCES);
        (void)CloseHandle(handle, KernelMode);
        DereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard lock(g_threadsLock);
        g_threads.push_back({thread, std::move(host)});
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(PsInitialSystemProcess->id);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(thread->id);
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

extern "C" __attribute__((noreturn)) NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    PETHREAD thread = CurrentContext().thread;
    if (!thread->systemThread) {
        StopMachine("PsTerminateSystemThread called on thread " + std::to_string(thread->id) +
                    ", which PsCreateSystemThread did not start");
    }
    throw SystemThreadTermination{ExitStatus};
}
