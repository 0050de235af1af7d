// The run-time library as a machine component. Its routines keep no machine state; only the
// debugger capture starts afresh with every boot.
#include "sim/core/components.h"
#include "sim/debug/debug_output.h"

namespace vexsim {

void RuntimeBoot(const MachineConfig& /*config*/)
{
    ClearDebugOutput();
}

void RuntimeShutdown()
{
}

}  // namespace vexsim
