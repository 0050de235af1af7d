// The machine API: what tests and tools use to boot a simulated Windows machine, load and unload
// a driver, and read what the kernel observed. Host code only.
#pragma once

#include "sim/core/components.h"

#include <string>

namespace vexsim {

// Boots a new machine; every component starts from its boot state. One machine at a time: a
// running machine is shut down first.
void BootMachine(const MachineConfig& config = MachineConfig{});

// Unloads a driver still loaded (its filters cannot refuse), ends the machine's threads and
// frees its state. Harmless when no machine runs.
void ShutdownMachine();

// Restarts the running machine with the configuration it booted with, as a reboot does: the
// registry keeps every non-volatile key with its values, class, security descriptor and
// last-write time (the keys a driver's install or the driver itself wrote among them), while
// volatile keys vanish and the boot-time volatile layout (HARDWARE, CurrentControlSet and the
// Classes links) is laid out anew. Everything else boots anew: no driver is loaded (a driver
// still loaded is unloaded first, as at shutdown, so nothing of it survives), callbacks,
// processes, handles, key objects, application hives, devices and pool start empty. The clock
// goes on from where it stood, so last-write times never lie in the future.
void RebootMachine();

// Installs the image's driver package (driver_package.h; a package that cannot be installed
// stops the machine with the problem), creates the driver object "\Driver\<name>" for an image
// with the given flags and calls the entry point with the service key
// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>", as the I/O manager does; the key
// is created when the package did not. A failing entry point leaves no driver loaded.
[[nodiscard]] NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& name, const DriverImage& image = DriverImage{});

struct UnloadResult {
    NTSTATUS status = STATUS_SUCCESS;  // the filter unload callback's answer, or success
    Leftovers leftovers;               // what the unload check found; empty when clean
};

// Unloads the loaded driver the way the system does: through its filter's unload callback when
// it registered a filter (a refusal leaves it loaded), then DriverUnload if it set one. Then runs
// the unload check.
UnloadResult UnloadDriver();

// Runs the unload check alone: what of the driver is still in the machine.
Leftovers CheckLeftovers();

// The unload report as the tools print it: a certificate when clean, otherwise one line per
// leftover.
std::string FormatUnloadReport(const Leftovers& leftovers);

// The loaded driver's object, or null.
PDRIVER_OBJECT LoadedDriverObject();

}  // namespace vexsim
