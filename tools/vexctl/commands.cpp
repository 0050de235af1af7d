#include "tools/vexctl/commands.h"

#include "sim/rtl/utf8.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>

namespace vexctl {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// Every level bit of the log.
constexpr uint32_t kAllLevels = 0x7F;

constexpr uint32_t kWaitForever = 0xFFFFFFFF;

std::u16string Wide(const std::string& text) { return vexsim::Utf8ToUtf16(text); }

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

// "12AB 00": hexadecimal digits in pairs, blanks between pairs allowed.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes)
{
    std::string digits;
    for (char c : text) {
        if (c == ' ') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

}  // namespace

// The subcommands of one run, parsed into this object's fields; the chosen one's action runs after
// the parse.
class Commands {
public:
    explicit Commands(Session& session) : s_(session), app_("Drives the VexRegFilter driver through its control device and port.", "")
    {
        app_.require_subcommand(1, 1);
        app_.set_help_flag();
        app_.add_subcommand("help", "lists the subcommands")->callback([this] { Then([this] {
            s_.out_ << app_.get_formatter()->make_help(&app_, "vexctl", CLI::AppFormatMode::Normal);
            return true;
        }); });
        AddProcessSettings();
        AddMembership();
        AddRedirection();
        AddExclusions();
        AddLog();
        AddListings();
        AddPort();
        for (const Session::CommandHook& hook : s_.hooks_) {
            hook(app_, s_.out_, [this](Session::Action action) { Then(std::move(action)); });
        }
    }

    bool Run(std::vector<std::string> args)
    {
        if (args.empty()) {
            s_.out_ << "error: no subcommand (vexctl help lists them)\n";
            return false;
        }
        auto named = [&](const CLI::App* command) { return command->get_name() == args[0]; };
        if (app_.get_subcommands(named).empty()) {
            s_.out_ << "error: no subcommand " << args[0] << " (vexctl help lists them)\n";
            return false;
        }
        std::reverse(args.begin(), args.end());
        try {
            app_.parse(args);
        } catch (const CLI::ParseError& error) {
            s_.out_ << "error: " << error.what() << "\n";
            return false;
        }
        return action_ ? action_() : false;
    }

private:
    void Then(std::function<bool()> action) { action_ = std::move(action); }

    CLI::App* Command(const char* name, const char* help)
    {
        CLI::App* command = app_.add_subcommand(name, help);
        command->set_help_flag();
        return command;
    }

    // Prints a failed or undecodable answer; true when there is none.
    template <typename T>
    bool Succeeded(const vexclient::Result<T>& result)
    {
        if (!vexclient::Succeeded(result.status)) {
            s_.out_ << "error: " << vexclient::DescribeStatus(result.status);
            if (!result.problem.empty()) {
                s_.out_ << ": " << result.problem;
            }
            s_.out_ << "\n";
            return false;
        }
        if (!result.problem.empty()) {
            s_.out_ << "error: the answer to a request that completed with " << vexclient::DescribeStatus(result.status)
                    << " is malformed: " << result.problem << "\n";
            return false;
        }
        return true;
    }

    bool Print(const vexclient::Result<vexclient::Done>& result)
    {
        if (!Succeeded(result)) {
            return false;
        }
        s_.out_ << "ok";
        if (result.status != vexclient::kStatusSuccess) {
            s_.out_ << " (" << vexclient::DescribeStatus(result.status) << ")";
        }
        s_.out_ << "\n";
        return true;
    }

    bool Print(const vexclient::Result<uint32_t>& result)
    {
        if (Succeeded(result)) {
            s_.out_ << "id " << result.value << "\n";
            return true;
        }
        return false;
    }

    bool Print(const vexclient::Result<bool>& result)
    {
        if (Succeeded(result)) {
            s_.out_ << (result.value ? "true" : "false") << "\n";
            return true;
        }
        return false;
    }

    bool Print(const vexclient::Result<std::vector<uint32_t>>& result)
    {
        if (!Succeeded(result)) {
            return false;
        }
        s_.out_ << result.value.size() << " processes\n";
        for (uint32_t processId : result.value) {
            s_.out_ << "  pid " << processId << "\n";
        }
        return true;
    }

    bool Print(const vexclient::Result<std::vector<vexclient::PidPair>>& result)
    {
        if (!Succeeded(result)) {
            return false;
        }
        s_.out_ << result.value.size() << " processes\n";
        for (const vexclient::PidPair& pair : result.value) {
            s_.out_ << "  pid " << pair.processId << " parent " << pair.parentProcessId << "\n";
        }
        return true;
    }

    bool Print(const vexclient::Result<std::vector<vextools::ProcessMessage>>& result)
    {
        if (!Succeeded(result)) {
            return false;
        }
        s_.out_ << result.value.size() << " processes\n";
        for (const vextools::ProcessMessage& message : result.value) {
            s_.out_ << "  " << vextools::DescribeProcessMessage(message) << "\n";
        }
        return true;
    }

    bool Print(const vexclient::Result<std::vector<vextools::LogRecord>>& result)
    {
        if (!Succeeded(result)) {
            return false;
        }
        if (result.value.empty()) {
            s_.out_ << "no log records\n";
            return true;
        }
        for (const vextools::LogRecord& record : result.value) {
            s_.out_ << "[" << record.levelName << "] pid " << record.processId << " " << record.processName << ": "
                    << record.message << "\n";
        }
        return true;
    }

    // A subcommand whose one argument is a text (an image path or a key path).
    template <typename Call>
    void AddTextCommand(const char* name, const char* help, const char* what, Call call)
    {
        auto text = std::make_shared<std::string>();
        CLI::App* command = Command(name, help);
        command->add_option(what, *text)->required();
        command->callback([this, text, call] { Then([this, text, call] { return Print((s_.control_.*call)(Wide(*text))); }); });
    }

    // A subcommand without arguments.
    template <typename Call>
    void AddPlainCommand(const char* name, const char* help, Call call)
    {
        Command(name, help)->callback([this, call] { Then([this, call] { return Print((s_.control_.*call)()); }); });
    }

    void AddProcessSettings()
    {
        using C = vexclient::ControlClient;
        AddTextCommand("set-parent-process", "sandboxes the descendants of an image (prints the setting's id)", "image", &C::SetParentProcess);
        AddTextCommand("set-process", "sandboxes an image (prints the setting's id)", "image", &C::SetProcess);
        AddTextCommand("set-root-process", "tracks an image as the root of a process tree (prints the setting's id)", "image",
                       &C::SetRootProcess);
        AddTextCommand("add-exclusion-process", "keeps an image out of the sandbox (prints the setting's id)", "image",
                       &C::AddExclusionProcess);
        AddTextCommand("add-process-tree-monitor", "monitors the process tree of an image (prints the setting's id)", "image",
                       &C::AddProcessTreeMonitor);
        CLI::App* command = Command("delete-process", "removes a process setting and the processes it captured");
        command->add_option("id", id_)->required();
        command->callback([this] { Then([this] { return Print(s_.control_.DeleteProcess(id_)); }); });
    }

    void AddMembership()
    {
        CLI::App* command = Command("is-under-sandbox", "whether a process is under the sandbox");
        command->add_option("pid", processId_)->required();
        command->callback([this] { Then([this] { return Print(s_.control_.IsUnderSandbox(processId_)); }); });
        AddPlainCommand("is-exist-under-sandbox", "whether any process is under the sandbox", &vexclient::ControlClient::IsExistUnderSandbox);
        command = Command("exist-process-tree", "whether a process belongs to the tree of a monitor setting");
        command->add_option("id", id_)->required();
        command->add_option("pid", processId_)->required();
        command->callback([this] { Then([this] { return Print(s_.control_.ExistProcessTree(id_, processId_)); }); });
        AddPlainCommand("get-pid-list", "the processes under the sandbox", &vexclient::ControlClient::GetPidListUnderSandbox);
        AddPlainCommand("get-child-of-root-pid-list", "the children of tracked root processes",
                        &vexclient::ControlClient::GetChildOfRootPidList);
        AddPlainCommand("get-pid-ppid-list", "the processes under the sandbox with their parents", &vexclient::ControlClient::GetPidPpidList);
    }

    void AddRedirection()
    {
        using C = vexclient::ControlClient;
        AddTextCommand("set-redirect-key", "the root key of the private copy", "key", &C::SetRedirectKeyName);
        AddTextCommand("set-user-classes-key", "the private copy's key for the user's class registrations", "key",
                       &C::SetRedirectUserClassesKeyName);
        AddTextCommand("set-machine-classes-key", "the private copy's key for the machine's class registrations", "key",
                       &C::SetRedirectMachineClassesKeyName);
        AddPlainCommand("start-redirect", "starts redirection", &C::StartRegRedirect);
        AddPlainCommand("stop-redirect", "stops redirection and discards the configuration", &C::StopRegRedirect);

        CLI::App* command = Command("set-reg-value", "writes a value into the private copy");
        command->add_option("key", value_.key)->required();
        command->add_option("name", value_.name)->required();
        auto* dword = command->add_option("--dword", value_.dword, "REG_DWORD data");
        auto* sz = command->add_option("--sz", value_.text, "REG_SZ data");
        auto* binary = command->add_option("--binary", value_.hex, "REG_BINARY data in hexadecimal");
        dword->excludes(sz)->excludes(binary);
        sz->excludes(binary);
        command->add_option("--type", value_.type, "the value type, when not the one of the data option");
        command->callback([this, dword, sz] { Then([this, dword, sz] { return SetRegValue(dword->count() > 0, sz->count() > 0); }); });
    }

    bool SetRegValue(bool dword, bool sz)
    {
        vexclient::RegValue value{Wide(value_.key), Wide(value_.name), kRegBinary, {}};
        if (dword) {
            value.type = kRegDword;
            for (int i = 0; i < 4; i++) {
                value.data.push_back(static_cast<uint8_t>(value_.dword >> (8 * i)));
            }
        } else if (sz) {
            value.type = kRegSz;
            for (char16_t unit : Wide(value_.text) + u'\0') {
                value.data.push_back(static_cast<uint8_t>(unit));
                value.data.push_back(static_cast<uint8_t>(unit >> 8));
            }
        } else if (!ParseHexBytes(value_.hex, &value.data)) {
            s_.out_ << "error: --binary takes pairs of hexadecimal digits\n";
            return false;
        }
        if (value_.type) {
            value.type = *value_.type;
        }
        return Print(s_.control_.SetRegValue(value));
    }

    void AddExclusions()
    {
        using C = vexclient::ControlClient;
        AddTextCommand("add-exclude-key", "keeps a key and its subkeys outside the sandbox", "key", &C::AddExcludeKeyName);
        AddPlainCommand("reset-exclude-keys", "forgets the excluded keys", &C::ResetExcludeKeyName);
        CLI::App* command = Command("add-exclude-value", "keeps a value of a key outside the sandbox");
        command->add_option("key", value_.key)->required();
        command->add_option("name", value_.name)->required();
        command->callback([this] { Then([this] { return Print(s_.control_.AddExcludeValueName(Wide(value_.key), Wide(value_.name))); }); });
        AddPlainCommand("reset-exclude-values", "forgets the excluded values", &C::ResetExcludeValueName);
    }

    void AddLog()
    {
        CLI::App* command = Command("start-logging", "arms the log with a new event of this process");
        command->add_option("--levels", levels_, "mask of level bits")->default_str(Hex(kAllLevels));
        command->callback([this] { Then([this] { return Print(StartLogging()); }); });
        AddPlainCommand("stop-logging", "disarms the log and discards its records", &vexclient::ControlClient::StopLogging);
        AddPlainCommand("get-log-data", "drains the queued log records", &vexclient::ControlClient::GetLogData);
        AddPlainCommand("output-current-param", "dumps the driver's parameters to its debug mailslot",
                        &vexclient::ControlClient::OutputCurrentParam);

        command = Command("log", "drains and prints the log; arms it first when given levels");
        auto* levels = command->add_option("--levels", levels_, "arm the log for this mask of level bits first");
        command->add_flag("--follow", follow_, "go on printing records as the driver queues them");
        command->callback([this, levels] { Then([this, levels] { return Log(levels->count() > 0); }); });
    }

    vexclient::Result<vexclient::Done> StartLogging()
    {
        vexclient::Result<vexclient::Done> result;
        result.status = s_.device_.CreateLogEvent(&s_.logEvent_);
        if (vexclient::Succeeded(result.status)) {
            result = s_.control_.StartLogging(s_.logEvent_, levels_);
        }
        return result;
    }

    bool Log(bool arm)
    {
        if (arm && !Succeeded(StartLogging())) {
            return false;
        }
        for (;;) {
            if (!Print(s_.control_.GetLogData())) {
                return false;
            }
            if (!follow_) {
                return true;
            }
            if (s_.logEvent_ == 0) {
                s_.out_ << "error: --follow waits on the event of this vexctl's own start-logging or --levels\n";
                return false;
            }
            // The wait ends only when the event is signalled, or at once on a machine whose clock
            // does not move while the tool waits.
            vexclient::NtStatus waited = s_.device_.WaitLogEvent(s_.logEvent_, kWaitForever);
            if (waited == vexclient::kStatusTimeout) {
                return true;
            }
            if (!vexclient::Succeeded(waited)) {
                s_.out_ << "error: waiting for the log event: " << vexclient::DescribeStatus(waited) << "\n";
                return false;
            }
        }
    }

    void AddListings()
    {
        AddPlainCommand("get-cui-pid-list", "the running console programs", &vexclient::ControlClient::GetCuiPidList);
        CLI::App* command = Command("get-surrogate-pid-list", "declares the surrogate image names and lists the running surrogates");
        command->add_option("names", names_, "image file names such as dllhost.exe");
        command->callback([this] { Then([this] {
            std::vector<std::u16string> names;
            for (const std::string& name : names_) {
                names.push_back(Wide(name));
            }
            return Print(s_.control_.GetSurrogatePidList(names));
        }); });
    }

    void AddPort()
    {
        Command("connect", "connects to the port now, so that later messages reach watch")->callback([this] { Then([this] {
            return Connect();
        }); });
        CLI::App* command = Command("watch", "prints the process messages of the port, replying to each");
        command->add_option("--count", count_, "stop after this many messages (0: never)")->default_str("0");
        command->callback([this] { Then([this] { return Watch(); }); });
    }

    bool Connect()
    {
        vexclient::NtStatus status = s_.port_.Connect();
        if (!vexclient::Succeeded(status)) {
            s_.out_ << "error: connecting to the port: " << vexclient::DescribeStatus(status) << "\n";
            return false;
        }
        s_.connected_ = true;
        s_.out_ << "connected\n";
        return true;
    }

    bool Watch()
    {
        if (!s_.connected_ && !Connect()) {
            return false;
        }
        for (uint32_t received = 0; count_ == 0 || received < count_; received++) {
            vexclient::Result<vextools::ProcessMessage> message = s_.port_.Next();
            if (!Succeeded(message)) {
                return false;
            }
            s_.out_ << vextools::DescribeProcessMessage(message.value) << "\n";
        }
        return true;
    }

    Session& s_;
    CLI::App app_;
    std::function<bool()> action_;

    uint32_t id_ = 0;
    uint32_t processId_ = 0;
    uint32_t levels_ = kAllLevels;
    uint32_t count_ = 0;
    bool follow_ = false;
    std::vector<std::string> names_;
    struct {
        std::string key;
        std::string name;
        uint32_t dword = 0;
        std::string text;
        std::string hex;
        std::optional<uint32_t> type;
    } value_;
};

bool Session::Run(const std::vector<std::string>& args, bool echo)
{
    if (echo) {
        out_ << ">";
        for (std::string word : args) {
            out_ << " " << CLI::detail::add_quotes_if_needed(word);
        }
        out_ << "\n";
    }
    return Commands(*this).Run(args);
}

bool Session::RunAll(const std::vector<std::vector<std::string>>& commands, bool echo)
{
    bool succeeded = true;
    for (const std::vector<std::string>& command : commands) {
        succeeded = Run(command, echo) && succeeded;
    }
    return succeeded;
}

std::vector<std::vector<std::string>> ReadScript(std::istream& script)
{
    std::vector<std::vector<std::string>> commands;
    for (std::string line; std::getline(script, line);) {
        std::vector<std::string> words = CLI::detail::split_up(line);
        if (!words.empty() && words[0][0] != '#') {
            commands.push_back(std::move(words));
        }
    }
    return commands;
}

}  // namespace vexctl
