#include "sim/machine/allocation_sweep.h"

#include "sim/executive/fault_injection.h"

namespace vexsim {

std::string AllocationSweepResult::Summary() const
{
    return sequence + ": " + std::to_string(failurePoints) + " failure points walked, " + std::to_string(failedRuns) +
           " failures";
}

namespace {

void Judge(const AllocationSweepSteps& steps, ULONG64 failingRequest, AllocationSweepResult& result)
{
    std::vector<std::string> problems = steps.judge(failingRequest);
    if (problems.empty()) {
        return;
    }
    result.failedRuns++;
    for (const std::string& problem : problems) {
        result.failures.push_back("failure point " + std::to_string(failingRequest) + ": " + problem);
    }
}

}  // namespace

AllocationSweepResult SweepAllocationFailures(const std::string& sequence, const AllocationSweepSteps& steps)
{
    AllocationSweepResult result;
    result.sequence = sequence;
    ClearAllocationFailures();
    steps.prepare();
    ULONG64 before = AllocationRequestCount();
    steps.act();
    ULONG64 points = AllocationRequestCount() - before;
    Judge(steps, 0, result);
    for (ULONG64 failing = 1; failing <= points; failing++) {
        steps.prepare();
        FailNthAllocation(failing);
        steps.act();
        ClearAllocationFailures();
        result.failurePoints++;
        Judge(steps, failing, result);
    }
    return result;
}

}  // namespace vexsim
