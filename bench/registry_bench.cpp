// The simulated configuration manager's own costs, which the driver's overhead is measured
// against: an open six levels deep by absolute name without and with a callback that returns at
// once, an enumeration of a key with 5,000 subkeys, and a value query.
#include "bench/bench_machine.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr char16_t kDeepKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench\\Level5\\Level6";

HANDLE Create(const std::u16string& name, HANDLE root = nullptr)
{
    vexbench::Wide wide(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    if (ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr) != STATUS_SUCCESS) {
        std::abort();
    }
    return key;
}

void MakeDeepKey()
{
    (void)ZwClose(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench"));
    (void)ZwClose(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench\\Level5"));
    (void)ZwClose(Create(kDeepKey));
}

void OpenAndClose(benchmark::State& state)
{
    vexbench::Wide name(kDeepKey);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    for (auto _ : state) {
        HANDLE key = nullptr;
        if (ZwOpenKey(&key, KEY_READ, &oa) != STATUS_SUCCESS) {
            state.SkipWithError("open failed");
            break;
        }
        (void)ZwClose(key);
    }
}

void OpenSixLevelsDeep(benchmark::State& state)
{
    vexbench::Machine machine;
    MakeDeepKey();
    OpenAndClose(state);
}
BENCHMARK(OpenSixLevelsDeep);

NTSTATUS NTAPI ReturnAtOnce(PVOID, PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

void OpenSixLevelsDeepWithCallback(benchmark::State& state)
{
    vexbench::Machine machine;
    MakeDeepKey();
    vexbench::Wide altitude(u"320000");
    LARGE_INTEGER cookie{};
    if (CmRegisterCallbackEx(ReturnAtOnce, altitude.get(), nullptr, nullptr, &cookie, nullptr) != STATUS_SUCCESS) {
        std::abort();
    }
    OpenAndClose(state);
    (void)CmUnRegisterCallback(cookie);
}
BENCHMARK(OpenSixLevelsDeepWithCallback);

void EnumerateFiveThousandSubkeys(benchmark::State& state)
{
    vexbench::Machine machine;
    HANDLE parent = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Many");
    for (int i = 0; i < 5000; i++) {
        std::string name = "Subkey" + std::to_string(i);
        (void)ZwClose(Create(std::u16string(name.begin(), name.end()), parent));
    }
    std::vector<UCHAR> buffer(512);
    for (auto _ : state) {
        ULONG index = 0;
        ULONG length = 0;
        while (ZwEnumerateKey(parent, index, KeyBasicInformation, buffer.data(), (ULONG)buffer.size(), &length) ==
               STATUS_SUCCESS) {
            index++;
        }
        benchmark::DoNotOptimize(index);
    }
    (void)ZwClose(parent);
}
BENCHMARK(EnumerateFiveThousandSubkeys)->Unit(benchmark::kMillisecond);

void QueryValue(benchmark::State& state)
{
    vexbench::Machine machine;
    HANDLE key = Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Values");
    vexbench::Wide name(u"Setting");
    ULONG data = 42;
    (void)ZwSetValueKey(key, name.get(), 0, REG_DWORD, &data, sizeof(data));
    UCHAR buffer[64];
    for (auto _ : state) {
        ULONG length = 0;
        benchmark::DoNotOptimize(
            ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length));
    }
    (void)ZwClose(key);
}
BENCHMARK(QueryValue);

}  // namespace
