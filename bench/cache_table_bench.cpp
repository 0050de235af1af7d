// CTLookupElement in a table of 100,000 keys, hit and miss.
#include "tables/cache_table.h"

#include "bench/bench_machine.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

std::u16string KeyName(int i)
{
    std::string digits = std::to_string(i);
    return u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\Product\\Key" + std::u16string(digits.begin(), digits.end()) + u"\\";
}

class FilledTable {
public:
    explicit FilledTable(int keys)
    {
        CTInitialize(&table);
        for (int i = 0; i < keys; i++) {
            vexbench::Wide key(KeyName(i));
            CTInsertElement(&table, key.get(), NULL, NULL, TRUE);
        }
    }
    ~FilledTable() { CTFinalize(&table); }
    CACHE_TABLE table = {};
};

void LookupHit(benchmark::State& state)
{
    vexbench::Machine machine;
    FilledTable filled(100000);
    std::vector<vexbench::Wide> probes;
    for (int i = 0; i < 1024; i++) {
        probes.emplace_back(KeyName((i * 7919) % 100000));
    }
    size_t next = 0;
    for (auto _ : state) {
        NTSTATUS status = CTLookupElement(&filled.table, probes[next++ % probes.size()].get(), NULL, NULL, NULL, TRUE);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(LookupHit);

void LookupMiss(benchmark::State& state)
{
    vexbench::Machine machine;
    FilledTable filled(100000);
    std::vector<vexbench::Wide> probes;
    for (int i = 0; i < 1024; i++) {
        probes.emplace_back(KeyName(100000 + i));
    }
    size_t next = 0;
    for (auto _ : state) {
        NTSTATUS status = CTLookupElement(&filled.table, probes[next++ % probes.size()].get(), NULL, NULL, NULL, TRUE);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(LookupMiss);

}  // namespace
