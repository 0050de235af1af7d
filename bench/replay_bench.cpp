// Replays 100,000 registry operations of one program (open, query value, enumerate a subkey, set
// value, close, over 100 keys in turn) and reports the time per operation:
// - under the sandbox (every key copied on its first open, then redirected to its copy);
// - by a program outside the sandbox while redirection runs (the callback lets it pass);
// - without the driver.
// The driver's log is not armed, as in a session nobody records.
#include "bench/bench_machine.h"
#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/regfile/registry_file.h"
#include "tests/support/redirection.h"
#include "tools/vexsim-run/registry_calls.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kKeys = 100;
constexpr int kOperations = 100000;
constexpr int kOperationsPerRound = 5;

enum class Setting { WithoutDriver, OutsideSandbox, UnderSandbox };

void Check(NTSTATUS status, const char* what)
{
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "replay: %s failed: %08x\n", what, (unsigned)status);
        std::abort();
    }
}

std::u16string KeyName(int index) { return u"\\REGISTRY\\MACHINE\\SOFTWARE\\Replay\\Key" + vextest::Utf16(std::to_string(index)); }

// The replayed keys: each with a value and a subkey.
void ImportKeys()
{
    std::string text = "REGEDIT4\r\n\r\n";
    for (int i = 0; i < kKeys; i++) {
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Replay\\Key" + std::to_string(i) + "\\Child]\r\n\r\n";
        text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Replay\\Key" + std::to_string(i) + "]\r\n\"Value\"=dword:00000001\r\n\r\n";
    }
    vexsim::RegFileError error;
    Check(vexsim::ImportRegistryFile(std::vector<UCHAR>(text.begin(), text.end()), vexsim::RegFileOptions{}, &error), "import");
}

void Replay(benchmark::State& state, Setting setting)
{
    vexsim::BootMachine(vexbench::MeasuredMachineConfig());
    ImportKeys();
    if (setting != Setting::WithoutDriver) {
        Check(vexsim::LoadDriver(DriverEntry, "VexRegFilter"), "load");
        vextest::StartRedirection();
    }
    vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\Apps\\replay.exe"};
    params.administrator = true;
    PEPROCESS program = vexsim::CreateUserProcess(params);
    if (setting == Setting::UnderSandbox) {
        vextest::PutUnderSandbox(program);
    }
    std::vector<std::u16string> names;
    for (int i = 0; i < kKeys; i++) {
        names.push_back(KeyName(i));
    }
    const std::u16string valueName = u"Value";
    vexrun::ValueData data{REG_DWORD, {2, 0, 0, 0}};
    for (auto _ : state) {
        vexsim::UserModeScope user(program);
        for (int round = 0; round < kOperations / kOperationsPerRound; round++) {
            HANDLE key = nullptr;
            bool created = false;
            Check(vexrun::CallOpenKey(nullptr, names[round % kKeys], KEY_ALL_ACCESS, false, 0, &key, &created), "open");
            vexrun::ValueData value;
            Check(vexrun::CallQueryValue(key, valueName, &value), "query");
            std::u16string child;
            Check(vexrun::CallEnumerateKey(key, 0, &child), "enumerate");
            Check(vexrun::CallSetValue(key, valueName, data), "set");
            Check(vexsim::NtClose(key), "close");
        }
    }
    state.counters["per_operation"] =
        benchmark::Counter(kOperations, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    vexsim::EndProcess(program);
    if (setting != Setting::WithoutDriver) {
        (void)vexsim::UnloadDriver();
    }
    vexsim::ShutdownMachine();
}

void ReplayUnderSandbox(benchmark::State& state) { Replay(state, Setting::UnderSandbox); }
void ReplayOutsideSandbox(benchmark::State& state) { Replay(state, Setting::OutsideSandbox); }
void ReplayWithoutDriver(benchmark::State& state) { Replay(state, Setting::WithoutDriver); }

BENCHMARK(ReplayUnderSandbox)->Unit(benchmark::kMillisecond);
BENCHMARK(ReplayOutsideSandbox)->Unit(benchmark::kMillisecond);
BENCHMARK(ReplayWithoutDriver)->Unit(benchmark::kMillisecond);

}  // namespace
