#include "tools/vexsim-run/allocation_sweep.h"

#include "tools/vexsim-run/runner.h"
#include "tools/vexsim-run/session_fork.h"
#include "tools/vexsim-run/session_report.h"

#include <filesystem>
#include <string>

namespace vexrun {
namespace {

// A run with the nth allocation failing; the child answers the requests counted and, when the
// unload check was not clean, what it found.
ChildOutcome RunWithFailure(const Scenario& scenario, uint64_t failing, unsigned seconds)
{
    return RunInChild(
        [&](std::string& answer) {
            RunOptions options;
            options.failAllocation = failing;
            RunResult result = RunScenario(scenario, options);
            answer = std::to_string(result.allocationRequests);
            for (const std::string& leftover : result.leftovers) {
                answer += "\n" + leftover;
            }
            if (result.unloadRefused) {
                answer += "\nthe unload was refused";
            }
            return result.clean() ? 0 : 1;
        },
        seconds);
}

std::string Describe(const ChildOutcome& outcome)
{
    if (outcome.timedOut) {
        return "the run hung";
    }
    if (outcome.stopped) {
        return "the machine stopped";
    }
    size_t firstLine = outcome.answer.find('\n');
    return firstLine == std::string::npos ? "the unload check failed" : outcome.answer.substr(firstLine + 1);
}

}  // namespace

int SweepAllocations(const Scenario& scenario, const SweepOptions& options, std::ostream& out)
{
    std::string name = std::filesystem::path(scenario.file).filename().string();
    ChildOutcome baseline = RunWithFailure(scenario, 0, options.secondsPerRun);
    if (baseline.stopped || baseline.timedOut || baseline.exitCode != 0) {
        out << name << ": the run without failures did not end cleanly: " << Describe(baseline) << "\n";
        return kExitFailed;
    }
    uint64_t points = std::stoull(baseline.answer.substr(0, baseline.answer.find('\n')));
    uint64_t stride = options.maxRuns == 0 ? 1 : (points + options.maxRuns - 1) / options.maxRuns;
    stride = stride == 0 ? 1 : stride;
    uint64_t walked = 0, failures = 0;
    for (uint64_t failing = 1; failing <= points; failing += stride) {
        ChildOutcome outcome = RunWithFailure(scenario, failing, options.secondsPerRun);
        walked++;
        if (outcome.stopped || outcome.timedOut || outcome.exitCode != 0) {
            failures++;
            out << name << ": allocation " << failing << " failing: " << Describe(outcome) << "\n";
        }
    }
    out << name << ": " << walked << " failure points walked" << (stride > 1 ? " (every " + std::to_string(stride) + "th of " + std::to_string(points) + ")" : "")
        << ", " << failures << " failures\n";
    return failures == 0 ? kExitPassed : kExitFailed;
}

}  // namespace vexrun
