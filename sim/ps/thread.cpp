#include "sim/ps/thread.h"

#include "sim/executive/dispatcher.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace vexsim {

namespace {

std::mutex g_adoptedLock;
std::vector<PETHREAD> g_adoptedThreads;  // threads given to host threads, each referenced; guarded by g_adoptedLock

void DeleteThread(PVOID body)
{
    auto* thread = static_cast<PETHREAD>(body);
    DereferenceObject(thread->process);
    thread->~_ETHREAD();
}

std::string DescribeThread(PVOID body)
{
    auto* thread = static_cast<PETHREAD>(body);
    return "(tid " + std::to_string(thread->id) + " of pid " + std::to_string(thread->process->id) + ")";
}

_OBJECT_TYPE g_threadType{
    "Thread",
    {STANDARD_RIGHTS_READ | 0x0008 | 0x0040 | 0x0800,
     STANDARD_RIGHTS_WRITE | 0x0002 | 0x0010 | 0x0020 | 0x0080 | 0x0100 | 0x0400,
     STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE | 0x0001,
     THREAD_ALL_ACCESS},
    THREAD_ALL_ACCESS,
    nullptr,
    DeleteThread,
    DescribeThread,
};
POBJECT_TYPE g_threadTypePointer = &g_threadType;

}  // namespace

PETHREAD CreateThreadObject(PEPROCESS process, PKSTART_ROUTINE startRoutine, bool systemThread)
{
    PVOID body = CreateObject(&g_threadType, sizeof(_ETHREAD));
    auto* thread = new (body) _ETHREAD{};
    thread->header.Type = kThreadObjectType;
    thread->header.Size = sizeof(_ETHREAD) / sizeof(LONG) > 0xFF ? 0xFF : sizeof(_ETHREAD) / sizeof(LONG);
    thread->header.WaitListHead.Flink = &thread->header.WaitListHead;
    thread->header.WaitListHead.Blink = &thread->header.WaitListHead;
    thread->id = AllocateClientId();
    ReferenceObject(process);
    thread->process = process;
    thread->startRoutine = startRoutine;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    thread->createTime = now.QuadPart;
    thread->systemThread = systemThread;
    std::lock_guard lock(ProcessLock());
    process->threads.push_back(thread);
    return thread;
}

void EndThreadObject(PETHREAD thread, NTSTATUS exitStatus)
{
    {
        std::lock_guard lock(ProcessLock());
        if (thread->exited.exchange(true)) {
            return;
        }
        thread->exitStatus = exitStatus;
        auto& threads = thread->process->threads;
        threads.erase(std::remove(threads.begin(), threads.end(), thread), threads.end());
    }
    SignalDispatcherObject(&thread->header);
}

ThreadContext ContextOfThread(PETHREAD thread, KPROCESSOR_MODE previousMode)
{
    ThreadContext context;
    context.machine = CurrentBoot();
    context.thread = thread;
    context.process = thread->process;
    context.irql = PASSIVE_LEVEL;
    context.previousMode = previousMode;
    return context;
}

void AdoptHostThread(ThreadContext& context)
{
    if (PsInitialSystemProcess == nullptr) {
        StopMachine("kernel code ran on a host thread while no machine is booted");
    }
    PETHREAD thread = CreateThreadObject(PsInitialSystemProcess, nullptr, false);
    {
        std::lock_guard lock(g_adoptedLock);
        g_adoptedThreads.push_back(thread);
    }
    context = ContextOfThread(thread, KernelMode);
}

void ForgetAdoptedThreads()
{
    std::lock_guard lock(g_adoptedLock);
    g_adoptedThreads.clear();
}

}  // namespace vexsim

using namespace vexsim;

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(VOID)
{
    return CurrentContext().thread;
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID)
{
    return reinterpret_cast<HANDLE>(CurrentContext().thread->id);
}

extern "C" KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID)
{
    return CurrentContext().previousMode;
}
