// WriteLog as writers call it: at a level the mask leaves out (the cost every writer pays while
// nobody listens, against an uncontended fast-mutex round trip in the same run), and at an armed level with the queue full, so each write also drops the
// oldest record (the steady state of a log nobody drains), with the process name given or
// looked up by id.
#include "log/log.h"

#include "bench/bench_machine.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

// A client process that arms the log with its own event, as the control client does.
class ArmedLog {
public:
    explicit ArmedLog(ULONG flags)
    {
        client_ = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\logclient.exe"});
        vexsim::UserModeScope user(client_);
        HANDLE event;
        if (vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event) != STATUS_SUCCESS) {
            std::abort();
        }
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), flags};
        if (StartLogging(&request) != STATUS_SUCCESS) {
            std::abort();
        }
    }
    HANDLE ClientId() const { return reinterpret_cast<HANDLE>(client_->id); }

private:
    PEPROCESS client_;
};

void FillQueue()
{
    while (GetLogCount() < LOG_QUEUE_LIMIT) {
        WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"filler.exe", L"filler %d", 0);
    }
}

void WriteLogDisabledLevel(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    ArmedLog log(LOG_LEVEL_TRACE);
    for (auto _ : state) {
        benchmark::DoNotOptimize(WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"notepad.exe", L"key %s", L"\\REGISTRY\\MACHINE"));
    }
}
BENCHMARK(WriteLogDisabledLevel);

// The baseline of the disabled level: taking and releasing a fast mutex nobody else wants.
void FastMutexRoundTrip(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    for (auto _ : state) {
        ExAcquireFastMutex(&mutex);
        benchmark::ClobberMemory();
        ExReleaseFastMutex(&mutex);
    }
}
BENCHMARK(FastMutexRoundTrip);

void WriteLogFullQueueNameGiven(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    ArmedLog log(LOG_LEVEL_INFO);
    FillQueue();
    for (auto _ : state) {
        benchmark::DoNotOptimize(WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"notepad.exe", L"key %s", L"\\REGISTRY\\MACHINE"));
    }
    state.counters["queued"] = GetLogCount();
}
BENCHMARK(WriteLogFullQueueNameGiven);

// The name comes from a process snapshot taken for every record.
void WriteLogFullQueueNameLookedUp(benchmark::State& state)
{
    vexbench::LoadedDriver driver;
    ArmedLog log(LOG_LEVEL_INFO);
    for (int i = 0; i < state.range(0); i++) {
        vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Windows\\svchost.exe"});
    }
    FillQueue();
    for (auto _ : state) {
        benchmark::DoNotOptimize(WriteLog(LOG_LEVEL_INFO, log.ClientId(), nullptr, L"key %s", L"\\REGISTRY\\MACHINE"));
    }
}
BENCHMARK(WriteLogFullQueueNameLookedUp)->Arg(0)->Arg(100);

}  // namespace
