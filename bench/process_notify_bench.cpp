// Process creation with the process notify routine registered against without, in one run:
// argument 0 starts a process outside every setting, 1 a child of a monitored parent, which joins
// the sandbox. Each iteration starts (and ends) one process each way; the "ratio" counter is the
// creation time with the routine over the time without. Times are the thread's CPU time (the
// routine runs on the creating thread), as the machine may be shared with other work.
#include "driver/process_notify.h"
#include "process/process_lists.h"

#include "bench/bench_machine.h"
#include "sim/fs/file_system.h"
#include "sim/ps/process_start.h"

#include <benchmark/benchmark.h>

#include <ctime>

namespace {

double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

const char16_t kSuite[] = u"C:\\Program Files\\Vendor Suite\\suite.exe";

// Each started process ends before the next starts, so one id serves them all, as ids are reused
// on Windows; it also keeps the image's place in the address space the same (a fresh id each
// time would move it up until it left the user address range).
constexpr ULONG_PTR kStartedId = 0x400;

PEPROCESS StartOrAbort(const std::u16string& image, PEPROCESS parent, ULONG_PTR id = 0)
{
    vexsim::StartParams params;
    params.imagePath = image;
    params.parent = parent;
    params.id = id;
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
            double start = ThreadSeconds();
            PEPROCESS process = StartOrAbort(u"C:\\Windows\\System32\\notepad.exe", parent, kStartedId);
            double elapsed = ThreadSeconds() - start;
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
