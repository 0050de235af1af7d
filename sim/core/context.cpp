#include "sim/core/kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

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
    if (t_context.thread == nullptr || t_context.machine != CurrentBoot()) {
        t_context = ThreadContext{};
        t_context.machine = CurrentBoot();
        AdoptHostThread(t_context);
    }
    return t_context;
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
