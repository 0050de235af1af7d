// Boot, shutdown and unload check of the I/O manager. Boot needs the System process, so the
// object manager boots first; shutdown stops the worker before the object manager shuts down.
#include "sim/core/components.h"
#include "sim/fs/file_system.h"
#include "sim/fs/mailslot.h"
#include "sim/io/io_internal.h"

namespace vexsim {

void IoBoot(const MachineConfig& config)
{
    UNREFERENCED_PARAMETER(config);
    IoShutdown();
    StartWorkQueue();
}

void IoShutdown()
{
    StopWorkQueue();
    ResetIrps();
    ResetFileSystems();
    ResetMailslots();
    ResetSymbolicLinks();
    ResetDevices();
}

void IoLeftovers(Leftovers& out)
{
    ReportDevices(out);
    ReportSymbolicLinks(out);
    ReportWorkItems(out);
}

}  // namespace vexsim
