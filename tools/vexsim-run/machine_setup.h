// The machine a scenario describes, laid down before the driver loads: boot with its Windows
// version and users, volumes and image files, and the registry content of .reg and hive files.
// Host code only.
#pragma once

#include "tools/vexsim-run/scenario.h"

#include <string>
#include <vector>

namespace vexrun {

// Boots the machine and lays it down; each problem is a "file:line: ..." line.
std::vector<std::string> SetUpMachine(const MachineSpec& machine);

}  // namespace vexrun
