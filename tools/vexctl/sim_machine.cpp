#include "tools/vexctl/sim_machine.h"

#include "client/sim_transport.h"
#include "driver/global.h"
#include "sim/debug/debug_output.h"
#include "sim/machine/machine.h"
#include "sim/ps/process.h"
#include "tools/vexctl/commands.h"

#include <ostream>

namespace vexctl {

namespace {

// The user-mode service the commands run as.
constexpr char16_t kServiceImage[] = u"\\Device\\HarddiskVolume3\\Program Files\\Vex\\vexctl.exe";

}  // namespace

int RunOnSimulatedMachine(const SimOptions& options, const std::vector<std::vector<std::string>>& commands, std::ostream& out)
{
    vexsim::BootMachine(options.config);
    vexsim::SetDebugEcho(options.debugOutput ? vexsim::DebugEcho::Stdout : vexsim::DebugEcho::Off);
    out << "Simulated Windows " << options.config.osMajorVersion << "." << options.config.osMinorVersion << " (build "
        << options.config.osBuildNumber << ")\n";
    NTSTATUS status = vexsim::LoadDriver(DriverEntry, "VexRegFilter");
    if (!NT_SUCCESS(status)) {
        out << "Loading VexRegFilter failed: " << vexclient::DescribeStatus(status) << "\n"
            << vexsim::FormatUnloadReport(vexsim::CheckLeftovers());
        vexsim::ShutdownMachine();
        return 1;
    }
    out << "VexRegFilter loaded\n";

    bool succeeded = true;
    PEPROCESS service = vexsim::CreateUserProcess(vexsim::ProcessParams{kServiceImage});
    {
        vexclient::SimTransport transport(service);
        Session session(transport, transport, out);
        succeeded = session.RunAll(commands, true);
    }
    vexsim::EndProcess(service);

    vexsim::UnloadResult unload = vexsim::UnloadDriver();
    if (!NT_SUCCESS(unload.status)) {
        out << "The unload was refused with " << vexclient::DescribeStatus(unload.status) << "\n";
        vexsim::ShutdownMachine();
        return 1;
    }
    out << vexsim::FormatUnloadReport(unload.leftovers);
    vexsim::ShutdownMachine();
    return succeeded && unload.leftovers.empty() ? 0 : 1;
}

}  // namespace vexctl
