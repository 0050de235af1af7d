// Runs a scenario once per allocation failure point: the nth allocation request after the
// driver's load fails, for n from 1 to the number of requests a clean run makes. Each run happens
// in its own child process and must end without a machine stop or a hang and with a clean unload
// check; expectations may fail (the failure must show somewhere). Host code only.
#pragma once

#include "tools/vexsim-run/scenario.h"

#include <ostream>

namespace vexrun {

struct SweepOptions {
    uint64_t maxRuns = 400;        // more failure points than this are walked with a stride
    unsigned secondsPerRun = 60;   // a run that takes longer counts as hung
};

// Prints each failing point and the line "<file>: N failure points walked, M failures"; returns
// the exit code.
int SweepAllocations(const Scenario& scenario, const SweepOptions& options, std::ostream& out);

}  // namespace vexrun
