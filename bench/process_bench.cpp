// IsProcessUnderSandbox for a process outside the sandbox with 1, 16 and 256 monitored
// processes; KernelGetLongPathName on a path with a tilde, first call (directory queries) and
// answered from ProcessCache.
#include "process/name_utils.h"
#include "process/process_lists.h"

#include "bench/bench_machine.h"
#include "sim/fs/file_system.h"

#include <benchmark/benchmark.h>

namespace {

void BM_IsProcessUnderSandboxOutside(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    PLOCKED_LIST list = &g_VexRegFilterData.MonitoredProcessList;
    for (int64_t i = 0; i < state.range(0); i++) {
        HANDLE pid = (HANDLE)(ULONG_PTR)(1000 + 4 * i);
        InsertMonitoredProcess(list, PsInitialSystemProcess, pid, NULL, MONITORED_KIND_CHILD, 1);
    }
    HANDLE outside = (HANDLE)(ULONG_PTR)8;
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsProcessUnderSandbox(outside));
    }
}
BENCHMARK(BM_IsProcessUnderSandboxOutside)->Arg(1)->Arg(16)->Arg(256);

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
