// IsProcessUnderSandbox with 1, 16, 256 and 4,096 monitored processes, for a process outside the
// sandbox and for the last monitored one; KernelGetLongPathName on a path with a tilde, first call (directory queries) and
// answered from ProcessCache.
#include "process/name_utils.h"
#include "process/process_lists.h"

#include "bench/bench_machine.h"
#include "sim/fs/file_system.h"

#include <benchmark/benchmark.h>

namespace {

// Monitors state.range(0) processes and asks about Asked(count) until the state ends.
void AskIsProcessUnderSandbox(benchmark::State& state, HANDLE (*Asked)(int64_t count), BOOLEAN expected)
{
    vexbench::LoadedDriver driver;
    PLOCKED_LIST list = &g_VexRegFilterData.MonitoredProcessList;
    for (int64_t i = 0; i < state.range(0); i++) {
        HANDLE pid = (HANDLE)(ULONG_PTR)(1000 + 4 * i);
        InsertMonitoredProcess(list, PsInitialSystemProcess, pid, NULL, MONITORED_KIND_CHILD, 1);
    }
    HANDLE asked = Asked(state.range(0));
    for (auto _ : state) {
        if (IsProcessUnderSandbox(asked) != expected) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
}

void BM_IsProcessUnderSandboxOutside(benchmark::State& state)
{
    AskIsProcessUnderSandbox(state, [](int64_t) { return (HANDLE)(ULONG_PTR)8; }, FALSE);
}
BENCHMARK(BM_IsProcessUnderSandboxOutside)->Arg(1)->Arg(16)->Arg(256)->Arg(4096);

void BM_IsProcessUnderSandboxMember(benchmark::State& state)
{
    AskIsProcessUnderSandbox(state, [](int64_t count) { return (HANDLE)(ULONG_PTR)(1000 + 4 * (count - 1)); }, TRUE);
}
BENCHMARK(BM_IsProcessUnderSandboxMember)->Arg(4096);

class VolumeWithSuite : public vexbench::LoadedDriver {
public:
    VolumeWithSuite()
    {
        if (!NT_SUCCESS(vexsim::LayDownWindowsVolume()) ||
            !NT_SUCCESS(vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\suite.exe"))) {
            std::abort();
        }
    }
    vexbench::Wide path{u"C:\\PROGRA~1\\VENDOR~1\\suite.exe"};
};

void BM_KernelGetLongPathNameFirstCall(benchmark::State& state)
{
    VolumeWithSuite machine;
    for (auto _ : state) {
        CTDeleteAllElements(&g_VexRegFilterData.ProcessCache);
        UNICODE_STRING longPath;
        benchmark::DoNotOptimize(KernelGetLongPathName(machine.path.get(), &longPath));
        FreeOwnedString(&longPath);
    }
}
BENCHMARK(BM_KernelGetLongPathNameFirstCall);

void BM_KernelGetLongPathNameCached(benchmark::State& state)
{
    VolumeWithSuite machine;
    UNICODE_STRING longPath;
    KernelGetLongPathName(machine.path.get(), &longPath);
    FreeOwnedString(&longPath);
    for (auto _ : state) {
        benchmark::DoNotOptimize(KernelGetLongPathName(machine.path.get(), &longPath));
        FreeOwnedString(&longPath);
    }
}
BENCHMARK(BM_KernelGetLongPathNameCached);

}  // namespace
