// vexctl on Linux: runs subcommands against VexRegFilter on a freshly booted simulated machine.
//
//   vexctl [--os MAJOR.MINOR] [--debug-output] [--file SCRIPT] [SUBCOMMAND ARGS...]
//
// The subcommand of the command line runs after the script's lines; `vexctl help` lists them.
#include "tools/vexctl/commands.h"
#include "tools/vexctl/sim_machine.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app("Runs vexctl subcommands against VexRegFilter on a simulated Windows machine.", "vexctl");
    vexctl::SimOptions options;
    std::string version;
    std::string script;
    app.add_option("--os", version, "the Windows version the machine reports, MAJOR.MINOR");
    app.add_flag("--debug-output", options.debugOutput, "print what the driver prints to the kernel debugger");
    app.add_option("--file", script, "run the subcommands of this file, one a line")->check(CLI::ExistingFile);
    app.prefix_command();
    CLI11_PARSE(app, argc, argv);

    if (!version.empty()) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(version.c_str(), "%u.%u", &major, &minor) != 2) {
            std::cerr << "--os takes MAJOR.MINOR\n";
            return 2;
        }
        options.config.osMajorVersion = major;
        options.config.osMinorVersion = minor;
    }
    std::vector<std::vector<std::string>> commands;
    if (!script.empty()) {
        std::ifstream file(script);
        commands = vexctl::ReadScript(file);
    }
    if (!app.remaining().empty()) {
        commands.push_back(app.remaining());
    }
    if (commands.empty()) {
        commands.push_back({"help"});
    }
    return vexctl::RunOnSimulatedMachine(options, commands, std::cout);
}
