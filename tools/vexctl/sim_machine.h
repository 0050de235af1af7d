// vexctl on the simulated machine: boots a machine, loads VexRegFilter, runs subcommands as a
// user-mode service process of that machine, then unloads the driver and prints the unload check.
#pragma once

#include "sim/core/components.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace vexctl {

struct SimOptions {
    vexsim::MachineConfig config;
    bool debugOutput = false;  // echo what the driver prints to the kernel debugger on stdout
};

// Runs the commands, each echoed before its answer. Returns the tool's exit code: 0 when the
// driver loaded, every command succeeded and the unload check is clean.
int RunOnSimulatedMachine(const SimOptions& options, const std::vector<std::vector<std::string>>& commands, std::ostream& out);

}  // namespace vexctl
