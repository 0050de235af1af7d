// A booted machine for the length of one benchmark, optionally with the driver loaded, and the
// test suite's counted strings.
#pragma once

#include "driver/global.h"
#include "sim/machine/machine.h"
#include "tests/support/wide.h"

#include <cstdlib>

namespace vexbench {

using vextest::Wide;

// A machine as figures are measured on: the lock-order check is the verifier's work, not the
// kernel's, and is off, as Driver Verifier is when a driver's speed is measured.
inline vexsim::MachineConfig MeasuredMachineConfig()
{
    vexsim::MachineConfig config;
    config.lockOrderChecking = false;
    return config;
}

class Machine {
public:
    Machine() { vexsim::BootMachine(MeasuredMachineConfig()); }
    ~Machine() { vexsim::ShutdownMachine(); }
};

// The driver loaded for the length of one benchmark and unloaded at its end; a failed load ends
// the run, as figures without the driver mean nothing.
class LoadedDriver : public Machine {
public:
    LoadedDriver()
    {
        if (vexsim::LoadDriver(DriverEntry, "VexRegFilter") != STATUS_SUCCESS) {
            std::abort();
        }
    }
    ~LoadedDriver() { (void)vexsim::UnloadDriver(); }
};

}  // namespace vexbench
