#include "sim/core/kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vexsim {

namespace {
thread_local ThreadContext t_context;
std::atomic<ULONG64> g_boot{0};
}

ULONG64 CurrentBoot()
{
    return g_boot.load();
}

void StartNewBoot()
{
    ++g_boot;
}

ThreadContext& CurrentContext()
{
    if (t_context.waitMustFollow) {
        t_context.waitMustFollow = false;
        StopMachine("KeSetEvent with Wait = TRUE was not followed at once by KeWaitForSingleObject: it returns at "
                    "DISPATCH_LEVEL holding the dispatcher lock, and any other call, or returning, deadlocks Windows");
    }
    if (t_context.thread == nullptr || t_context.machine != CurrentBoot()) {
        t_context = ThreadContext{};
        t_context.machine = CurrentBoot();
        AdoptHostThread(t_context);
    }
    return t_context;
}

bool TakeWaitAfterSetEvent(KIRQL* irqlBeforeSetEvent)
{
    if (!t_context.waitMustFollow) {
        return false;
    }
    t_context.waitMustFollow = false;
    *irqlBeforeSetEvent = t_context.irqlBeforeSetEvent;
    return true;
}

// A host thread the machine has not adopted yet runs at PASSIVE_LEVEL; it is not adopted here, so
// the check changes no reference count.
void RequirePassiveLevel(const char* routine)
{
    bool adopted = t_context.thread != nullptr && t_context.machine == CurrentBoot();
    if (KIRQL irql = adopted ? t_context.irql : PASSIVE_LEVEL; irql != PASSIVE_LEVEL) {
        StopMachine(std::string(routine) + " called at IRQL " + std::to_string(irql) +
                    ": it runs at PASSIVE_LEVEL only (a driver holding a fast mutex is at APC_LEVEL)");
    }
}

void SetCurrentContext(const ThreadContext& context)
{
    t_context = context;
    t_context.machine = CurrentBoot();
}

void StopMachine(const std::string& report)
{
    std::fprintf(stderr, "*** STOP: %s\n", report.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace vexsim
