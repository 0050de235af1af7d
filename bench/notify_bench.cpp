// OnImageLoaded runs for every image load in the system. For a process without a record it does
// one search of the record list under its mutex and nothing else: measured with 1, 16 and 256
// records of other processes.
#include "notify/notify_private.h"

#include "bench/bench_machine.h"

#include <benchmark/benchmark.h>

namespace {

void BM_OnImageLoadedWithoutRecord(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    PROCESS_TRAITS console = {1, TRUE, TRUE, FALSE};
    for (int64_t i = 0; i < state.range(0); i++) {
        PVEX_PROCESS_DATA record = AllocateProcessData((HANDLE)(ULONG_PTR)(1000 + 4 * i), 0, &console, NULL);
        InsertTailList(&g_NotifyChannel.ProcessData.Head, &record->Links);
    }
    vexbench::Wide kernelBase(u"\\Device\\HarddiskVolume3\\Windows\\System32\\KernelBase.dll");
    IMAGE_INFO info = {};
    for (auto _ : state) {
        OnImageLoaded(kernelBase.get(), (HANDLE)(ULONG_PTR)8, &info);
    }
}
BENCHMARK(BM_OnImageLoadedWithoutRecord)->Arg(1)->Arg(16)->Arg(256);

}  // namespace
