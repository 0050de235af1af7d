// vexctl.exe: runs subcommands against VexRegFilter on this Windows machine.
//
//   vexctl.exe [--file SCRIPT] [SUBCOMMAND ARGS...]
//
// The subcommand of the command line runs after the script's lines; `vexctl.exe help` lists them.
// Arguments are taken from the wide command line, so paths in any language arrive whole.
#include "client/windows_transport.h"
#include "tools/vexctl/commands.h"

#include <CLI/CLI.hpp>

#include <windows.h>
#include <shellapi.h>

#include <fstream>
#include <iostream>

namespace {

std::string Utf8(const wchar_t* text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    }
    return out;
}

}  // namespace

int main()
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        std::cerr << "vexctl: cannot read the command line\n";
        return 2;
    }
    std::vector<std::string> args;
    for (int i = count - 1; i > 0; i--) {
        args.push_back(Utf8(wide[i]));
    }
    LocalFree(wide);
    SetConsoleOutputCP(CP_UTF8);

    CLI::App app("Drives VexRegFilter on this machine through its control device and port.", "vexctl");
    std::string script;
    app.add_option("--file", script, "run the subcommands of this file, one a line")->check(CLI::ExistingFile);
    app.prefix_command();
    try {
        app.parse(args);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
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
    vexclient::WindowsTransport transport;
    vexctl::Session session(transport, transport, std::cout);
    return session.RunAll(commands, commands.size() > 1) ? 0 : 1;
}
