// The executive of the simulated kernel: tagged pool with a verifier's ledger (pool.cpp),
// allocation-failure injection (fault_injection.cpp), IRQL (irql.cpp), dispatcher objects and
// waits (dispatcher.cpp), fast mutexes (fast_mutex.cpp) and their lock-order graph (lock_order.cpp), the simulated clock (clock.cpp), time
// fields (time_fields.cpp), the reported version (version.cpp), the export table (exports.cpp)
// and bug checks (bugcheck.cpp).
//
// Life cycle: ExecutiveBoot puts every part in its boot state (empty ledger, no injected
// failures, clock and version from the configuration, nothing hidden). The unload check asks
// ExecutiveLeftovers for what the driver still holds: every live pool allocation is one line.
// ExecutiveShutdown returns the memory of whatever is still allocated to the host.
//
// Locks: each part has its own mutex except the dispatcher objects and fast mutexes, which share
// the one dispatcher lock; no part calls into another while holding its lock, except the clock,
// which takes the dispatcher lock to wake timed waits.
#include "sim/core/components.h"
#include "sim/executive/bugcheck.h"
#include "sim/executive/clock.h"
#include "sim/executive/exports.h"
#include "sim/executive/fault_injection.h"
#include "sim/executive/lock_order.h"
#include "sim/executive/pool.h"
#include "sim/executive/version.h"

namespace vexsim {

void ExecutiveBoot(const MachineConfig& config)
{
    ResetPool();
    ResetFaultInjection();
    ResetClock(config);
    ResetVersion(config);
    ResetExports();
    ResetLockOrder(config.lockOrderChecking);
}

void ExecutiveShutdown()
{
    ResetPool();
    ClearAllocationFailures();
}

void ExecutiveLeftovers(Leftovers& out)
{
    for (const PoolAllocation& block : LivePoolAllocations()) {
        out.push_back("pool allocation of tag '" + FormatPoolTag(block.tag) + "', " + std::to_string(block.size) +
                      " bytes at " + FormatAddress(block.address) + ", allocated by " + FormatAddress(block.caller));
    }
}

}  // namespace vexsim
