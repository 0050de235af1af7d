// The run-time library as a machine component. Its routines keep no machine state; only the
// debugger capture starts afresh with every boot.
#include "sim/core/components.h"
#include "sim/debug/debug_output.h"
#include "sim/executive/exports.h"

namespace vexsim {

void RuntimeBoot(const MachineConfig& /*config*/)
{
    ClearDebugOutput();
    // Drivers that must load on systems where it is not exported look it up by name.
    RegisterExport(u"RtlSetSaclSecurityDescriptor", reinterpret_cast<void*>(&RtlSetSaclSecurityDescriptor));
}

void RuntimeShutdown()
{
}

}  // namespace vexsim
