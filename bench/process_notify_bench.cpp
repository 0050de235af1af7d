// Process creation with the process notify routine registered against without, in one run:
// argument 0 starts a process outside every setting, 1 a child of a monitored parent, which joins
// the sandbox. Each iteration starts (and ends) one process each way; the "ratio" counter is the
// creation time with the routine over the time without.
#include "driver/process_notify.h"
#include "process/process_lists.h"

#include "bench/bench_machine.h"
#include "sim/fs/file_system.h"
#include "sim/ps/process_start.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

const char16_t kSuite[] = u"C:\\Program Files\\Vendor Suite\\suite.exe";

PEPROCESS StartOrAbort(const std::u16string& image, PEPROCESS parent)
{
    vexsim::StartParams params;
    params.imagePath = image;
    params.parent = parent;
    PEPROCESS process = nullptr;
    if (vexsim::StartProcess(params, &process) != STATUS_SUCCESS) {
        std::abort();
    }
    return process;
}

void BM_ProcessCreationWithRoutineOverWithout(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    if (!NT_SUCCESS(vexsim::LayDownWindowsVolume()) || !NT_SUCCESS(vexsim::CreateFilePath(kSuite))) {
        std::abort();
    }
    bool sandboxedChild = state.range(0) != 0;
    PEPROCESS parent = sandboxedChild ? StartOrAbort(kSuite, nullptr) : nullptr;
    ULONG id;
    if (!NT_SUCCESS(SetParentProcess((PCWSTR)kSuite, &id))) {  // the scan finds the parent
        std::abort();
    }
    double seconds[2] = {0, 0};  // without, with the routine
    for (auto _ : state) {
        double iteration = 0;
        for (int registered = 0; registered < 2; registered++) {
            (void)(registered != 0 ? RegisterProcessNotify() : UnregisterProcessNotify());
            auto start = std::chrono::steady_clock::now();
            PEPROCESS process = StartOrAbort(u"C:\\Windows\\System32\\notepad.exe", parent);
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            seconds[registered] += elapsed;
            iteration += elapsed;
            if (sandboxedChild && registered != 0 && !IsProcessUnderSandbox(PsGetProcessId(process))) {
                std::abort();
            }
            vexsim::EndProcess(process);
        }
        state.SetIterationTime(iteration);
    }
    (void)UnregisterProcessNotify();
    state.counters["without_us"] = benchmark::Counter(seconds[0] * 1e6 / (double)state.iterations());
    state.counters["with_us"] = benchmark::Counter(seconds[1] * 1e6 / (double)state.iterations());
    state.counters["ratio"] = benchmark::Counter(seconds[1] / seconds[0]);
}
BENCHMARK(BM_ProcessCreationWithRoutineOverWithout)->Arg(0)->Arg(1)->UseManualTime();

}  // namespace
