// vexsim-run: replays a sandbox session described by a scenario file on a simulated Windows
// machine and shows every decision VexRegFilter made.
//
//   vexsim-run SCENARIO [--csv FILE] [--net-changes FILE] [--private-copy FILE] [--html FILE]
//                       [--log] [--port] [--debugger] [--no-trace]
//   vexsim-run SCENARIO --sweep-allocations [--sweep-limit N]
#include "tools/vexsim-run/allocation_sweep.h"
#include "tools/vexsim-run/scenario_reader.h"
#include "tools/vexsim-run/session_fork.h"
#include "tools/vexsim-run/session_report.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app{"Replays a sandbox session described by a scenario file on a simulated Windows machine, with "
                 "VexRegFilter loaded, and shows every decision the driver made."};
    std::string scenarioPath;
    vexrun::ReportOptions report;
    bool noTrace = false;
    bool sweep = false;
    vexrun::SweepOptions sweepOptions;
    app.add_option("scenario", scenarioPath, "the scenario file (TOML)")->required();
    app.add_option("--csv", report.csvPath, "write the trace as Process Monitor's CSV to FILE");
    app.add_option("--net-changes", report.netChangesPath,
                   "write what the sandboxed programs changed, as a .reg file with real key names, to FILE");
    app.add_option("--private-copy", report.privateCopyPath, "write the private copy as it stands, as a .reg file, to FILE");
    app.add_option("--html", report.htmlPath, "write a self-contained HTML report to FILE");
    app.add_flag("--log", report.log, "print the driver's decoded log records");
    app.add_flag("--port", report.port, "print the messages the port clients received");
    app.add_flag("--debugger", report.debugger, "print the kernel debugger's output");
    app.add_flag("--no-trace", noTrace, "do not print the trace");
    app.add_flag("--sweep-allocations", sweep, "run the scenario once per allocation failure point");
    app.add_option("--sweep-limit", sweepOptions.maxRuns, "walk at most this many failure points (with a stride)")
        ->default_val(sweepOptions.maxRuns);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        return vexrun::kExitBadScenario;
    }
    report.trace = !noTrace;

    vexrun::Scenario scenario;
    std::string error;
    if (!vexrun::ReadScenarioFile(scenarioPath, &scenario, &error)) {
        std::cerr << error << "\n";
        return vexrun::kExitBadScenario;
    }
    if (sweep) {
        return vexrun::SweepAllocations(scenario, sweepOptions, std::cout);
    }
    vexrun::ChildOutcome outcome = vexrun::RunInChild(
        [&](std::string&) { return vexrun::RunAndReport(scenario, report, std::cout); }, 0);
    if (outcome.stopped) {
        std::cout << "\nThe simulated machine stopped (the report above starts with *** STOP); the session ended there.\n"
                  << scenarioPath << ": machine stop: FAILED\n";
        return vexrun::kExitFailed;
    }
    return outcome.exitCode;
}
