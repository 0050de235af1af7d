// A whole sandbox session on a fresh machine, for tests that boot many machines in one test
// (failure sweeps) or drive one from several threads: boot with the sandboxed user's hives, the
// real registry imported from a .reg text, the driver loaded, redirection started, an elevated
// program put under the sandbox and an ordinary one outside. End undoes it and reports, instead of
// asserting, what the unload found, so a caller can count problems.
#pragma once

#include "driver/global.h"
#include "sim/machine/machine.h"
#include "sim/ps/process.h"
#include "sim/regfile/registry_file.h"
#include "tests/support/program.h"
#include "tests/support/redirection.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace vextest {

class SandboxSession {
public:
    void Begin(const std::string& realRegistryFile, vexsim::MachineConfig config = {})
    {
        config.userSids.push_back(Utf8(kUserSid));
        vexsim::BootMachine(config);
        vexsim::RegFileError error;
        if (vexsim::ImportRegistryFile(std::span((const UCHAR*)realRegistryFile.data(), realRegistryFile.size()), {}, &error) !=
                STATUS_SUCCESS ||
            vexsim::LoadDriver(DriverEntry, "VexRegFilter") != STATUS_SUCCESS) {
            std::abort();
        }
        StartRedirection();
        sandboxed.process = StartProgram(u"sandboxed.exe", true);
        outsider.process = StartProgram(u"outside.exe", false);
        PutUnderSandbox(sandboxed.process);
    }

    // Ends the programs, unloads the driver and shuts the machine down; returns what went wrong.
    std::vector<std::string> End()
    {
        std::vector<std::string> problems;
        for (Program* program : {&sandboxed, &outsider}) {
            vexsim::EndProcess(program->process);
            program->process = nullptr;
        }
        vexsim::UnloadResult unloaded = vexsim::UnloadDriver();
        if (unloaded.status != STATUS_SUCCESS) {
            problems.push_back("the unload was refused");
        }
        if (!unloaded.leftovers.empty()) {
            problems.push_back("the unload check found: " + vexsim::FormatUnloadReport(unloaded.leftovers));
        }
        vexsim::ShutdownMachine();
        return problems;
    }

    static PEPROCESS StartProgram(const std::u16string& image, bool elevated)
    {
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\" + image};
        params.userSid = Utf8(kUserSid);
        params.administrator = elevated;
        return vexsim::CreateUserProcess(params);
    }

    Program sandboxed;
    Program outsider;
};

}  // namespace vextest
