// vexsim-run: boots a simulated Windows machine, loads VexRegFilter, shows what the driver printed
// to the kernel debugger, unloads it and prints the unload check.
//
//   vexsim-run [--os MAJOR.MINOR]
#include "driver/global.h"
#include "sim/debug/debug_output.h"
#include "sim/machine/machine.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: vexsim-run [--os MAJOR.MINOR]\n");
    return 2;
}

bool ParseVersion(const char* text, vexsim::MachineConfig& config)
{
    unsigned major = 0, minor = 0;
    if (std::sscanf(text, "%u.%u", &major, &minor) != 2) {
        return false;
    }
    config.osMajorVersion = major;
    config.osMinorVersion = minor;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    vexsim::MachineConfig config;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--os") == 0 && i + 1 < argc && ParseVersion(argv[i + 1], config)) {
            i++;
        } else {
            return Usage();
        }
    }

    std::printf("Booting a simulated Windows %u.%u machine (build %u).\n", config.osMajorVersion, config.osMinorVersion,
                config.osBuildNumber);
    vexsim::BootMachine(config);
    vexsim::SetDebugEcho(vexsim::DebugEcho::Stdout);

    std::printf("Loading VexRegFilter; kernel debugger output follows.\n");
    std::fflush(stdout);
    NTSTATUS status = vexsim::LoadDriver(DriverEntry, "VexRegFilter");
    std::fflush(stdout);
    std::printf("DriverEntry returned 0x%08X.\n", (unsigned)status);

    vexsim::Leftovers leftovers;
    if (NT_SUCCESS(status)) {
        std::printf("Unloading VexRegFilter.\n");
        std::fflush(stdout);
        vexsim::UnloadResult result = vexsim::UnloadDriver();
        std::fflush(stdout);
        if (!NT_SUCCESS(result.status)) {
            std::printf("The unload was refused with 0x%08X.\n", (unsigned)result.status);
            vexsim::ShutdownMachine();
            return 1;
        }
        leftovers = result.leftovers;
    } else {
        leftovers = vexsim::CheckLeftovers();
    }
    std::printf("%s", vexsim::FormatUnloadReport(leftovers).c_str());
    vexsim::ShutdownMachine();
    return leftovers.empty() && NT_SUCCESS(status) ? 0 : 1;
}
