#include "tools/vexctl/sim_machine.h"

#include "client/sim_transport.h"
#include "driver/global.h"
#include "sim/debug/debug_output.h"
#include "sim/fs/file_system.h"
#include "sim/machine/machine.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/process_start.h"
#include "sim/rtl/utf8.h"
#include "tools/vexctl/commands.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <ostream>

namespace vexctl {

namespace {

// The user-mode service the commands run as.
constexpr char16_t kServiceImage[] = u"\\Device\\HarddiskVolume3\\Program Files\\Vex\\vexctl.exe";

struct ProcessStart {
    std::string image;
    std::string commandLine;
    bool console = false;
    bool pe32 = false;
    uint32_t session = 1;
    uint32_t parent = 0;
};

// Lays the image file down when it is missing, starts the process and loads its system
// libraries, as a program's start does.
bool StartProcess(const ProcessStart& start, std::ostream& out)
{
    vexsim::StartParams params;
    params.imagePath = vexsim::Utf8ToUtf16(start.image);
    params.commandLine = vexsim::Utf8ToUtf16(start.commandLine);
    params.sessionId = start.session;
    NTSTATUS status = vexsim::CreateFilePath(params.imagePath, vexsim::ImageTraits{USHORT(start.console ? 3 : 2), start.pe32});
    if (start.parent != 0) {
        params.parent = vexsim::ReferenceProcessById(start.parent);
        if (params.parent == nullptr) {
            out << "error: no process " << start.parent << "\n";
            return false;
        }
    }
    PEPROCESS process = nullptr;
    if (NT_SUCCESS(status)) {
        status = vexsim::StartProcess(params, &process);
    }
    if (params.parent != nullptr) {
        vexsim::DereferenceObject(params.parent);
    }
    if (NT_SUCCESS(status)) {
        status = vexsim::LoadSystemLibraries(process);
    }
    if (!NT_SUCCESS(status)) {
        out << "error: " << vexclient::DescribeStatus(status) << "\n";
        return false;
    }
    out << "pid " << process->id << "\n";
    return true;
}

bool EndProcess(uint32_t processId, std::ostream& out)
{
    PEPROCESS process = vexsim::ReferenceProcessById(processId);
    if (process == nullptr) {
        out << "error: no process " << processId << "\n";
        return false;
    }
    vexsim::EndProcess(process);
    vexsim::DereferenceObject(process);
    out << "ok\n";
    return true;
}

// The machine's own subcommands: processes start and end, so that what the driver tracks and
// announces can be seen.
void AddMachineCommands(Session& session)
{
    session.AddCommands([](CLI::App& app, std::ostream& out, const std::function<void(Session::Action)>& then) {
        auto start = std::make_shared<ProcessStart>();
        CLI::App* command = app.add_subcommand("start-process", "starts a process of the simulated machine (prints its id)");
        command->set_help_flag();
        command->add_option("image", start->image, "a path such as C:\\Apps\\app.exe; the file is made if missing")->required();
        command->add_flag("--console", start->console, "the image is a console program");
        command->add_flag("--32bit", start->pe32, "the image is 32-bit");
        command->add_option("--session", start->session, "the session the process runs in")->default_str("1");
        command->add_option("--command-line", start->commandLine, "the command line (default: the image path in quotes)");
        command->add_option("--parent", start->parent, "the parent's process id (default: the System process)");
        command->callback([start, &out, then] { then([start, &out] { return StartProcess(*start, out); }); });

        auto processId = std::make_shared<uint32_t>(0);
        command = app.add_subcommand("end-process", "ends a process of the simulated machine");
        command->set_help_flag();
        command->add_option("pid", *processId)->required();
        command->callback([processId, &out, then] { then([processId, &out] { return EndProcess(*processId, out); }); });
    });
}

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
    status = vexsim::LayDownWindowsVolume();
    if (!NT_SUCCESS(status)) {
        out << "Laying down the C: volume failed: " << vexclient::DescribeStatus(status) << "\n";
    }

    bool succeeded = true;
    PEPROCESS service = vexsim::CreateUserProcess(vexsim::ProcessParams{kServiceImage});
    {
        vexclient::SimTransport transport(service);
        Session session(transport, transport, out);
        AddMachineCommands(session);
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
