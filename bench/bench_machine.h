// A booted machine for the length of one benchmark, and the test suite's counted strings.
#pragma once

#include "sim/machine/machine.h"
#include "tests/support/wide.h"

namespace vexbench {

using vextest::Wide;

class Machine {
public:
    Machine() { vexsim::BootMachine(); }
    ~Machine() { vexsim::ShutdownMachine(); }
};

}  // namespace vexbench
