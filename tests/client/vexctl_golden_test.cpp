// vexctl on the simulated machine: each script's output, from the first echoed command to the
// unload check, exactly. One case a line: the script, then what vexctl prints for it.
#include "tools/vexctl/commands.h"
#include "tools/vexctl/sim_machine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct GoldenCase {
    std::string script;
    std::string output;
};

const std::string kRefused = "error: 0xC000000D STATUS_INVALID_PARAMETER";

// What vexctl prints between loading the driver and the unload check.
std::string RunScript(const std::string& script)
{
    std::istringstream in(script);
    std::ostringstream out;
    vexctl::RunOnSimulatedMachine(vexctl::SimOptions{}, vexctl::ReadScript(in), out);
    const std::string header = "Simulated Windows 10.0 (build 19045)\nVexRegFilter loaded\n";
    const std::string footer = "Unload check: clean. Nothing of the driver is left in the machine.\n";
    std::string text = out.str();
    EXPECT_EQ(0u, text.rfind(header, 0)) << text;
    EXPECT_TRUE(text.size() >= footer.size() && text.compare(text.size() - footer.size(), footer.size(), footer) == 0) << text;
    return text.size() >= header.size() + footer.size() ? text.substr(header.size(), text.size() - header.size() - footer.size())
                                                        : text;
}

TEST(VexctlGoldenTest, ScriptsPrintTheirAnswers)
{
    const GoldenCase cases[] = {
        {"# a comment\n\nbogus", "> bogus\nerror: no subcommand bogus (vexctl help lists them)\n"},
        {"set-process", "> set-process\nerror: image is required\n"},
        {"exist-process-tree 1 x", "> exist-process-tree 1 x\nerror: Could not convert: pid = x\n"},
        {"set-reg-value k v --dword 1 --sz s", "> set-reg-value k v --dword 1 --sz s\nerror: --dword excludes --sz\n"},
        {"set-reg-value k v --binary 0", "> set-reg-value k v --binary 0\nerror: --binary takes pairs of hexadecimal digits\n"},
        {"get-surrogate-pid-list a*b", "> get-surrogate-pid-list a*b\n" + kRefused + ": a surrogate image name holds the separator '*'\n"},
        {"add-exclude-key \"\\REGISTRY\\MACHINE\\SOFTWARE\\A B\"",
         "> add-exclude-key \"\\REGISTRY\\MACHINE\\SOFTWARE\\A B\"\nok\n"},
        {"get-pid-list\nstop-logging", "> get-pid-list\n0 processes\n> stop-logging\nok\n"},
        {"start-process C:\\Apps\\t.exe --console\nend-process 24\nend-process 24",
         "> start-process C:\\Apps\\t.exe --console\npid 24\n> end-process 24\nok\n> end-process 24\nerror: no process 24\n"},
        {"connect", "> connect\nconnected\n"},
    };
    for (const GoldenCase& c : cases) {
        EXPECT_EQ(c.output, RunScript(c.script)) << c.script;
    }
}

}  // namespace
