// One session as the tool reports it: the trace as it runs, then the outputs asked for and a
// summary line, and the exit code. Host code only.
#pragma once

#include "tools/vexsim-run/runner.h"

#include <ostream>
#include <string>

namespace vexrun {

// Exit codes of vexsim-run.
constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;      // an expectation not met, a machine stop, a leftover at unload
constexpr int kExitBadScenario = 2; // the scenario or the command line cannot be used

struct ReportOptions {
    bool trace = true;        // the trace as text
    bool log = false;         // the decoded log records
    bool port = false;        // the port clients' messages
    bool debugger = false;    // the kernel debugger's output
    std::string csvPath;          // the trace as Process Monitor's CSV; empty: none
    std::string netChangesPath;   // the net changes as a .reg file (REGEDIT4); empty: none
    std::string privateCopyPath;  // the private copy as a .reg file (REGEDIT4); empty: none
    std::string htmlPath;         // the self-contained HTML report; empty: none
};

// Runs the scenario and writes what was asked to `out` (files to their paths); returns the exit
// code. A file that cannot be written fails the session.
int RunAndReport(const Scenario& scenario, const ReportOptions& options, std::ostream& out);

// The summary line: "<file>: <n> operations, <m> failures, unload check clean: PASSED".
std::string SummaryLine(const Scenario& scenario, const RunResult& result);

}  // namespace vexrun
