// Runs a scenario on a fresh simulated machine: lays the machine down, loads VexRegFilter,
// configures it as the service would through the control client, connects the port clients, runs
// each process's registry operations as that process, checks what they must give, then ends the
// processes, stops redirection, unloads the driver and runs the unload check. Host code only.
//
// A machine stop (a bug check) ends the host process, as it ends Windows: callers that must
// report one run the session in a child process (session_fork.h).
#pragma once

#include "sim/core/kernel.h"
#include "tools/logdecode/log_decoder.h"
#include "tools/vexsim-run/net_changes.h"
#include "tools/vexsim-run/scenario.h"
#include "tools/vexsim-run/trace.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vexrun {

struct RunOptions {
    // Each trace row as soon as its operation has run (a session that stops the machine still
    // shows what led there).
    std::function<void(const TraceRow&)> onTraceRow;
    // At the end of the session, while redirection still runs: the private copy as it stands,
    // and the net changes the sandboxed programs made (seen by an observer process put under the
    // sandbox through the driver's own process settings).
    bool privateCopy = false;
    bool netChanges = false;
    // 0: no failure; n: the nth allocation request after the driver's load fails (once).
    uint64_t failAllocation = 0;
};

struct RunResult {
    std::vector<TraceRow> trace;
    std::vector<std::string> failures;          // "file:line: ..." for each expectation not met
    std::vector<std::string> setupProblems;     // what kept the session from running as written
    std::vector<vextools::LogRecord> log;       // every record the driver queued
    std::vector<std::string> portMessages;      // "client: pid ... started ..."
    std::vector<std::string> debugger;          // the kernel debugger's lines
    std::vector<std::string> leftovers;         // the unload check; empty when clean
    bool unloadRefused = false;
    uint64_t allocationRequests = 0;            // counted from the driver's load to the unload check
    uint64_t injectedFailures = 0;
    std::vector<uint8_t> privateCopy;           // REGEDIT4 text of the copy's roots
    NetChanges netChanges;

    bool clean() const { return leftovers.empty() && !unloadRefused; }
    bool passed() const { return failures.empty() && setupProblems.empty() && clean(); }
};

RunResult RunScenario(const Scenario& scenario, const RunOptions& options = RunOptions{});

}  // namespace vexrun
