// IsMatchName on the built-in patterns for typical key names, and on names built to make a
// backtracking matcher expensive.
#include "common/match.h"

#include "bench/bench_machine.h"
#include "tests/support/backtracking_match.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void MatchName(benchmark::State& state, const char16_t* patternText, const char16_t* nameText)
{
    vexbench::Machine machine;
    vexbench::Wide pattern(patternText);
    vexbench::Wide name(nameText);
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsMatchName(name.get(), pattern.get()));
    }
}
BENCHMARK_CAPTURE(MatchName, TypicalUserKey, u"\\REGISTRY\\USER\\S-?-?-?*\\",
                  u"\\REGISTRY\\USER\\S-1-5-21-3623811015-3361044348-30300820-1013\\Software\\Microsoft\\Windows\\");
BENCHMARK_CAPTURE(MatchName, CertificatePattern, u"\\REGISTRY\\*\\Microsoft\\SystemCertificates\\*",
                  u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\");

// A name of n 'a's against "*a*a*a*a*b": every star retries every run before failing, which
// takes time exponential in the number of stars for a plain backtracking matcher.
void MatchAdversarialName(benchmark::State& state)
{
    vexbench::Machine machine;
    vexbench::Wide pattern(u"*a*a*a*a*a*a*a*b");
    vexbench::Wide name(std::u16string((size_t)state.range(0), u'a'));
    for (auto _ : state) {
        benchmark::DoNotOptimize(IsMatchName(name.get(), pattern.get()));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(MatchAdversarialName)->DenseRange(16, 40, 8)->RangeMultiplier(4)->Range(64, 16384)->Complexity();

void BacktrackingAdversarialName(benchmark::State& state)
{
    vexbench::Machine machine;
    std::u16string name((size_t)state.range(0), u'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(vextest::BacktrackingMatch(name.c_str(), u"*a*a*a*a*a*a*a*b"));
    }
}
BENCHMARK(BacktrackingAdversarialName)->DenseRange(16, 40, 8);

}  // namespace
