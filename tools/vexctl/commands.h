// vexctl's subcommands, shared by the tool on the simulated machine and on Windows: one per I/O
// control of the driver, `watch` for the port's process messages and `log` to drain and decode the
// log. Each prints its decoded answer, or the status and what went wrong.
#pragma once

#include "client/control_client.h"
#include "client/port_client.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace vexctl {

// The commands of a script, one a line: words separated by blanks, quotes group words (a
// backslash before a closing quote keeps it in the word). Blank lines and lines whose first word
// begins with '#' hold none.
std::vector<std::vector<std::string>> ReadScript(std::istream& script);

class Session {
public:
    Session(vexclient::DeviceTransport& device, vexclient::PortTransport& port, std::ostream& out)
        : device_(device), control_(device), port_(port), out_(out)
    {
    }

    // Runs one subcommand with its arguments (args[0] is its name; "help" lists them all). False
    // when it failed or the arguments did not parse; what went wrong is printed. With echo the
    // command is printed first, after "> ".
    bool Run(const std::vector<std::string>& args, bool echo);

    // Runs every command, failed or not; false when any failed.
    bool RunAll(const std::vector<std::vector<std::string>>& commands, bool echo);

    // Subcommands of the machine the tool runs on. The hook adds them to the parser of each
    // command and hands the chosen one's action to `then`; the action prints to `out` and says
    // whether it succeeded.
    using Action = std::function<bool()>;
    using CommandHook = std::function<void(CLI::App& app, std::ostream& out, const std::function<void(Action)>& then)>;
    void AddCommands(CommandHook hook) { hooks_.push_back(std::move(hook)); }

private:
    friend class Commands;

    vexclient::DeviceTransport& device_;
    vexclient::ControlClient control_;
    vexclient::PortClient port_;
    std::ostream& out_;
    std::vector<CommandHook> hooks_;
    bool connected_ = false;
    uint64_t logEvent_ = 0;
};

}  // namespace vexctl
