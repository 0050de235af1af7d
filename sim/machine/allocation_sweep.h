// Allocation-failure sweeps over end-to-end sequences: every allocation request a sequence makes
// is failed in turn, one per run, each run starting from the same prepared machine, and what each
// run left is judged. Tests and the scenario runner share it, and print its summary line. Host
// code only.
//
// A sweep first runs the sequence with no failure to count its allocation requests N (and to
// judge the clean run), then for i = 1..N prepares again, fails the i-th request of the sequence
// and judges the result. The sequence must be deterministic from its prepared state (requests
// made by other threads while it runs shift the points, and the walk still covers N of them).
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>
#include <vector>

namespace vexsim {

struct AllocationSweepSteps {
    // Brings the machine to the sequence's starting state: typically boots it, loads the driver
    // and sets the registry up. No failure is injected while it runs.
    std::function<void()> prepare;
    // The sequence itself: only its allocation requests are counted and failed.
    std::function<void()> act;
    // Judges the run (injected failures are cleared first) and leaves the machine for the next
    // prepare: returns what is wrong, nothing when the run is sound. failingRequest is 0 for the
    // clean run.
    std::function<std::vector<std::string>(ULONG64 failingRequest)> judge;
};

struct AllocationSweepResult {
    std::string sequence;
    ULONG64 failurePoints = 0;           // runs with one request failed
    ULONG64 failedRuns = 0;              // runs (the clean one included) with a problem
    std::vector<std::string> failures;   // "failure point <i>: <problem>" (0: the clean run)

    // "<sequence>: N failure points walked, M failures", M being failedRuns.
    std::string Summary() const;
};

AllocationSweepResult SweepAllocationFailures(const std::string& sequence, const AllocationSweepSteps& steps);

}  // namespace vexsim
