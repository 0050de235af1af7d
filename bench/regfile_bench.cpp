// Importing registry files into a booted machine: a file of 10,000 keys with two values each, one
// key with 40,000 values, and 40,000 subkeys listed in reverse order (the worst order for a
// sorted list). Each import goes into a freshly booted machine; the boot is outside the timing.
#include "bench/bench_machine.h"
#include "sim/regfile/registry_file.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kRoot = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench";

std::vector<UCHAR> Regedit4(const std::string& body)
{
    std::string text = "REGEDIT4\r\n\r\n" + body;
    return std::vector<UCHAR>(text.begin(), text.end());
}

std::vector<UCHAR> ManyKeys(int keys)
{
    std::string body;
    for (int i = 0; i < keys; i++) {
        body += kRoot + "\\Group" + std::to_string(i / 100) + "\\Key" + std::to_string(i) + "]\r\n";
        body += "\"Name\"=\"value " + std::to_string(i) + "\"\r\n\"Size\"=dword:" + std::to_string(i) + "\r\n\r\n";
    }
    return Regedit4(body);
}

std::vector<UCHAR> ManyValues(int values)
{
    std::string body = kRoot + "]\r\n";
    for (int i = 0; i < values; i++) {
        body += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i) + "\r\n";
    }
    return Regedit4(body);
}

std::vector<UCHAR> SubkeysInReverse(int subkeys)
{
    std::string body;
    for (int i = subkeys - 1; i >= 0; i--) {
        body += kRoot + "\\Key" + std::to_string(100000 + i) + "]\r\n";
    }
    return Regedit4(body);
}

void Import(benchmark::State& state, const std::vector<UCHAR>& file)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = std::make_unique<vexbench::Machine>();
        state.ResumeTiming();
        vexsim::RegFileError error;
        NTSTATUS status = vexsim::ImportRegistryFile(file, vexsim::RegFileOptions{}, &error);
        state.PauseTiming();
        machine.reset();  // the shutdown frees the imported keys, outside the timing
        state.ResumeTiming();
        if (status != STATUS_SUCCESS) {
            state.SkipWithError(error.message.c_str());
            break;
        }
    }
}

void BM_ImportTenThousandKeys(benchmark::State& state) { Import(state, ManyKeys(10000)); }
void BM_ImportOneKeyWithFortyThousandValues(benchmark::State& state) { Import(state, ManyValues(40000)); }
void BM_ImportFortyThousandSubkeysInReverseOrder(benchmark::State& state) { Import(state, SubkeysInReverse(40000)); }

BENCHMARK(BM_ImportTenThousandKeys)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportOneKeyWithFortyThousandValues)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImportFortyThousandSubkeysInReverseOrder)->Unit(benchmark::kMillisecond);

}  // namespace
