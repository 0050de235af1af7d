// What the registry callback costs, each figure against its baseline in the same run:
// - an open and close by a program outside the sandbox with the driver's callback registered,
//   against an empty callback at the same altitude;
// - a value query by a program outside the sandbox, against the same with an empty callback;
// - a sandboxed open of a key whose copy is prepared, against the native open of the same key;
// - the first sandboxed open of a key with 602 subkeys and 20 values, against creating those keys
//   and values natively;
// - enumerating a copy that nothing changed since its first open (its subkey stubs answer, after
//   the driver's two history look-ups), against enumerating the real key.
// The ratios, of CPU time per iteration (the machine may be shared), are printed after the figures.
#include "bench/bench_machine.h"
#include "callback/callback.h"
#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tables/cache_table.h"
#include "tests/support/redirection.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const std::u16string kBench = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench";
const std::u16string kWide = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wide";  // 602 subkeys, 20 values
const std::u16string kWideCopy = std::u16string(vextest::kRedirectRoot) + u"\\MACHINE\\SOFTWARE\\Wide";
constexpr int kWideSubkeys = 602;
constexpr int kWideValues = 20;

void Check(NTSTATUS status)
{
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "benchmark setup failed: %08x\n", (unsigned)status);
        std::abort();
    }
}

std::u16string Numbered(const char16_t* stem, int number)
{
    return stem + vextest::Utf16(std::to_string(number));
}

// Fills a key with the wide key's subkeys and values.
void Fill(HANDLE key)
{
    for (int i = 0; i < kWideSubkeys; i++) {
        vextest::KernelKey subkey;
        Check(subkey.Create(Numbered(u"Subkey", i), key));
    }
    for (int i = 0; i < kWideValues; i++) {
        vexbench::Wide name(Numbered(u"Value", i));
        ULONG data = (ULONG)i;
        Check(ZwSetValueKey(key, name.get(), 0, REG_DWORD, &data, sizeof(data)));
    }
}

NTSTATUS DeleteTree(HANDLE key)
{
    std::vector<UCHAR> buffer(512);
    ULONG length = 0;
    while (ZwEnumerateKey(key, 0, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length) == STATUS_SUCCESS) {
        auto* info = (PKEY_BASIC_INFORMATION)buffer.data();
        vextest::KernelKey child;
        Check(child.Create(std::u16string((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR)), key));
        Check(DeleteTree(child.handle()));
    }
    return ZwDeleteKey(key);
}

// The driver loaded with redirection started, a sandboxed program and one outside, and the keys
// the figures use.
class Sandbox : public vexbench::LoadedDriver {
public:
    Sandbox()
    {
        vextest::StartRedirection();
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"};
        params.administrator = true;
        sandboxed = vexsim::CreateUserProcess(params);
        params.imagePath = u"\\Device\\HarddiskVolume3\\App\\outside.exe";
        outsider = vexsim::CreateUserProcess(params);
        vextest::PutUnderSandbox(sandboxed);
        vextest::KernelKey bench;
        Check(bench.CreatePath(kBench));
        vextest::KernelKey wide;
        Check(wide.CreatePath(kWide));
        Fill(wide.handle());
    }
    ~Sandbox()
    {
        vexsim::EndProcess(sandboxed);
        vexsim::EndProcess(outsider);
    }

    static NTSTATUS Open(PEPROCESS process, const std::u16string& name, HANDLE* key)
    {
        vexsim::UserModeScope user(process);
        vexbench::Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return vexsim::NtOpenKeyEx(key, KEY_READ, &oa, 0);
    }
    static void Close(PEPROCESS process, HANDLE key)
    {
        vexsim::UserModeScope user(process);
        Check(vexsim::NtClose(key));
    }
    // Back to before the first open of the wide key: no copy, empty histories.
    static void ForgetWideCopy()
    {
        vextest::KernelKey copy;
        if (NT_SUCCESS(copy.Create(kWideCopy))) {
            Check(DeleteTree(copy.handle()));
        }
        for (PCACHE_TABLE table : {&g_VexRegFilterData.CopyKeyHistory, &g_VexRegFilterData.CopySubkeyHistory,
                                   &g_VexRegFilterData.DifferenceHistory}) {
            Check(CTDeleteAllElements(table));
        }
    }

    PEPROCESS sandboxed = nullptr;
    PEPROCESS outsider = nullptr;
};

void OpenAndCloseLoop(benchmark::State& state, PEPROCESS process, const std::u16string& name)
{
    vexbench::Wide wide(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    vexsim::UserModeScope user(process);
    for (auto _ : state) {
        HANDLE key = nullptr;
        if (vexsim::NtOpenKeyEx(&key, KEY_READ, &oa, 0) != STATUS_SUCCESS) {
            state.SkipWithError("open failed");
            break;
        }
        (void)vexsim::NtClose(key);
    }
}

void OutsideOpenCloseWithDriverCallback(benchmark::State& state)
{
    Sandbox sandbox;
    OpenAndCloseLoop(state, sandbox.outsider, kBench);
}
BENCHMARK(OutsideOpenCloseWithDriverCallback);

NTSTATUS NTAPI LetPass(PVOID, PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

void OutsideOpenCloseWithEmptyCallback(benchmark::State& state)
{
    Sandbox sandbox;
    UnregisterRegistryCallback();
    LARGE_INTEGER cookie{};
    Check(CmRegisterCallbackEx(LetPass, &g_VexRegFilterData.Altitude, nullptr, nullptr, &cookie, nullptr));
    OpenAndCloseLoop(state, sandbox.outsider, kBench);
    Check(CmUnRegisterCallback(cookie));
}
BENCHMARK(OutsideOpenCloseWithEmptyCallback);

void QueryValueLoop(benchmark::State& state, PEPROCESS process, const std::u16string& name)
{
    HANDLE key = nullptr;
    Check(Sandbox::Open(process, name, &key));
    vexbench::Wide value(u"Value0");
    UCHAR buffer[64];
    vexsim::UserModeScope user(process);
    for (auto _ : state) {
        ULONG length = 0;
        if (vexsim::NtQueryValueKey(key, value.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length) != STATUS_SUCCESS) {
            state.SkipWithError("query failed");
            break;
        }
    }
    Check(vexsim::NtClose(key));
}

void OutsideQueryValueWithDriverCallback(benchmark::State& state)
{
    Sandbox sandbox;
    QueryValueLoop(state, sandbox.outsider, kWide);
}
BENCHMARK(OutsideQueryValueWithDriverCallback);

void OutsideQueryValueWithEmptyCallback(benchmark::State& state)
{
    Sandbox sandbox;
    UnregisterRegistryCallback();
    LARGE_INTEGER cookie{};
    Check(CmRegisterCallbackEx(LetPass, &g_VexRegFilterData.Altitude, nullptr, nullptr, &cookie, nullptr));
    QueryValueLoop(state, sandbox.outsider, kWide);
    Check(CmUnRegisterCallback(cookie));
}
BENCHMARK(OutsideQueryValueWithEmptyCallback);

void PreparedRedirectedOpen(benchmark::State& state)
{
    Sandbox sandbox;
    HANDLE first = nullptr;
    Check(Sandbox::Open(sandbox.sandboxed, kBench, &first));
    Sandbox::Close(sandbox.sandboxed, first);
    OpenAndCloseLoop(state, sandbox.sandboxed, kBench);
}
BENCHMARK(PreparedRedirectedOpen);

void NativeOpenOfTheSameKey(benchmark::State& state)
{
    Sandbox sandbox;
    OpenAndCloseLoop(state, sandbox.outsider, kBench);
}
BENCHMARK(NativeOpenOfTheSameKey);

void FirstOpenOfAWideKey(benchmark::State& state)
{
    Sandbox sandbox;
    for (auto _ : state) {
        state.PauseTiming();
        Sandbox::ForgetWideCopy();
        state.ResumeTiming();
        HANDLE key = nullptr;
        Check(Sandbox::Open(sandbox.sandboxed, kWide, &key));
        Sandbox::Close(sandbox.sandboxed, key);
    }
}
BENCHMARK(FirstOpenOfAWideKey)->Unit(benchmark::kMillisecond);

void CreateTheWideKeyNatively(benchmark::State& state)
{
    Sandbox sandbox;
    for (auto _ : state) {
        state.PauseTiming();
        {
            vextest::KernelKey old;
            if (NT_SUCCESS(old.Create(kWide + u"Native"))) {
                Check(DeleteTree(old.handle()));
            }
        }
        state.ResumeTiming();
        vextest::KernelKey key;
        Check(key.Create(kWide + u"Native"));
        Fill(key.handle());
    }
}
BENCHMARK(CreateTheWideKeyNatively)->Unit(benchmark::kMillisecond);

void EnumerateAll(benchmark::State& state, PEPROCESS process, HANDLE key)
{
    std::vector<UCHAR> buffer(512);
    vexsim::UserModeScope user(process);
    for (auto _ : state) {
        ULONG length = 0;
        for (ULONG index = 0;; index++) {
            NTSTATUS status = vexsim::NtEnumerateKey(key, index, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length);
            if (status != STATUS_SUCCESS) {
                if (status != STATUS_NO_MORE_ENTRIES || index != kWideSubkeys) {
                    state.SkipWithError("enumeration failed");
                }
                break;
            }
        }
    }
}

void EnumerateAnUnchangedCopy(benchmark::State& state)
{
    Sandbox sandbox;
    HANDLE key = nullptr;
    Check(Sandbox::Open(sandbox.sandboxed, kWide, &key));
    EnumerateAll(state, sandbox.sandboxed, key);
    Sandbox::Close(sandbox.sandboxed, key);
}
BENCHMARK(EnumerateAnUnchangedCopy)->Unit(benchmark::kMillisecond);

void EnumerateTheRealKey(benchmark::State& state)
{
    Sandbox sandbox;
    HANDLE key = nullptr;
    Check(Sandbox::Open(sandbox.outsider, kWide, &key));
    EnumerateAll(state, sandbox.outsider, key);
    Sandbox::Close(sandbox.outsider, key);
}
BENCHMARK(EnumerateTheRealKey)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's CPU time per iteration for the ratios: the median of its repetitions
// when it was repeated.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const double time = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[run.run_name.function_name] = time;
            } else if (run.run_type == Run::RT_Iteration) {
                seconds[run.run_name.function_name] = time;
            }
        }
    }
    double Seconds(const std::string& name) const
    {
        auto median = medians.find(name);
        if (median != medians.end()) {
            return median->second;
        }
        auto single = seconds.find(name);
        return single != seconds.end() ? single->second : 0;
    }
    std::map<std::string, double> seconds;
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const struct {
        const char* measured;
        const char* baseline;
        const char* goal;
    } ratios[] = {
        {"OutsideOpenCloseWithDriverCallback", "OutsideOpenCloseWithEmptyCallback", "<= 1.05"},
        {"OutsideQueryValueWithDriverCallback", "OutsideQueryValueWithEmptyCallback", "<= 1.05"},
        {"PreparedRedirectedOpen", "NativeOpenOfTheSameKey", "<= 2.5"},
        {"FirstOpenOfAWideKey", "CreateTheWideKeyNatively", "<= 1.5"},
        {"EnumerateAnUnchangedCopy", "EnumerateTheRealKey", "(no goal)"},
    };
    for (const auto& ratio : ratios) {
        const double measured = reporter.Seconds(ratio.measured), baseline = reporter.Seconds(ratio.baseline);
        if (measured > 0 && baseline > 0) {
            std::printf("%-36s / %-36s = %6.2fx  goal %s\n", ratio.measured, ratio.baseline, measured / baseline, ratio.goal);
        }
    }
    benchmark::Shutdown();
    return 0;
}
