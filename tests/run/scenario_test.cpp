// Scenario files that cannot be used are refused with the line at fault; a session that changes
// nothing has no net changes; a machine stop ends a session's child, not the tool.
#include "platform/platform.h"
#include "tools/vexsim-run/runner.h"
#include "tools/vexsim-run/scenario_reader.h"
#include "tools/vexsim-run/session_fork.h"

#include <gtest/gtest.h>

namespace {

// The parts every process scenario below shares: a machine, a service that sandboxes app.exe, and
// the process itself.
const std::string kService = R"(
[[machine.file]]
path = 'C:\Apps\app.exe'

[[service]]
request = "set_redirect_key_name"
key = 'HKLM\SOFTWARE\Vex\Sandbox\Reg'

[[service]]
request = "set_redirect_user_classes_key_name"
key = 'HKCU\Software\Classes\Vex\Sandbox'

[[service]]
request = "set_redirect_machine_classes_key_name"
key = 'HKLM\SOFTWARE\Classes\Vex\Sandbox'

[[service]]
request = "set_process"
image = 'C:\Apps\app.exe'

[[service]]
request = "start_reg_redirect"

[[process]]
name = "app"
image = 'C:\Apps\app.exe'
)";

std::string Read(const std::string& text)
{
    vexrun::Scenario scenario;
    std::string error;
    return vexrun::ReadScenarioText(text, "s.toml", ".", &scenario, &error) ? "" : error;
}

TEST(ScenarioReaderTest, ProblemsNameTheirLine)
{
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"title = \"x\"\ntitel = \"y\"\n", "s.toml:2: unknown key \"titel\" (expected one of: title, machine, service, port_client, process)"},
        {"[machine\n", "s.toml:1: "},
        {"[machine]\nwindows = 10\n", "s.toml:2: \"windows\" must be a string"},
        {"[machine]\nwindows = \"ten\"\n", "s.toml:2: \"windows\" must be MAJOR.MINOR or MAJOR.MINOR.BUILD"},
        {"[[machine.registry]]\nhive = \"SOFTWARE\"\n", "s.toml:1: missing \"mount\""},
        {"[[machine.registry]]\nreg = \"a.reg\"\nhive = \"b\"\n", "s.toml:1: a registry source names either"},
        {"[[service]]\nrequest = \"set_redirect_key\"\n", "s.toml:2: unknown request \"set_redirect_key\""},
        {"[[service]]\nrequest = \"add_exclude_key_name\"\nkey = 'HKXX\\A'\n", "s.toml:3: \"HKXX\\A\" is not a key path"},
        {"[[service]]\nrequest = \"delete_process\"\nsetting = \"none\"\n", "s.toml:3: no earlier process request is labelled \"none\""},
        {kService + "[[process.op]]\nop = \"query_value\"\nhandle = \"h\"\n", "s.toml:29: no open handle is named \"h\""},
        {kService + "[[process.op]]\nop = \"open\"\nkey = 'HKLM\\A'\nhandle = \"h\"\n[[process.op]]\nop = \"close\"\nhandle = \"h\"\n"
                    "[[process.op]]\nop = \"close\"\nhandle = \"h\"\n",
         "s.toml:36: no open handle is named \"h\""},
        {kService + "[[process.op]]\nop = \"open\"\nkey = 'Software'\nhandle = \"h\"\n", "s.toml:29: \"Software\" is not a key path"},
        {kService + "[[process.op]]\nop = \"set_value\"\nhandle = \"h\"\n", "s.toml:29: no open handle"},
        {kService + "[[process.op]]\nop = \"open\"\nkey = 'HKLM\\A'\nhandle = \"h\"\n[[process.op]]\nop = \"set_value\"\n"
                    "handle = \"h\"\ntype = \"REG_DWORD\"\ndata = \"one\"\n",
         "s.toml:35: REG_DWORD data must be a non-negative integer that fits"},
        {kService + "[[process.op]]\nop = \"open\"\nkey = 'HKLM\\A'\nhandle = \"h\"\nexpect_status = \"MISSING\"\n",
         "s.toml:31: unknown result \"MISSING\""},
        {kService + "[[process.op]]\nop = \"frobnicate\"\n", "s.toml:28: unknown operation \"frobnicate\""},
        {kService + "parent = \"app\"\n", "s.toml:27: no earlier process is named \"app\""},
    };
    for (const Case& c : cases) {
        std::string error = Read(c.text);
        EXPECT_EQ(0u, error.rfind(c.error, 0)) << "got: " << error << "\nfor:\n" << c.text;
    }
}

TEST(ScenarioRunTest, ASessionThatOnlyReadsChangesNothing)
{
    vexrun::Scenario scenario;
    std::string error;
    ASSERT_TRUE(vexrun::ReadScenarioText(kService + R"(
[[process.op]]
op = "open"
key = 'HKLM\SOFTWARE\Microsoft'
handle = "microsoft"

[[process.op]]
op = "enum_keys"
handle = "microsoft"
)",
                                         "s.toml", ".", &scenario, &error))
        << error;
    vexrun::RunOptions options;
    options.netChanges = true;
    vexrun::RunResult result = vexrun::RunScenario(scenario, options);
    EXPECT_TRUE(result.passed()) << (result.failures.empty() ? "" : result.failures[0]);
    EXPECT_TRUE(result.netChanges.empty()) << result.netChanges.keys[0].path.size();
    EXPECT_EQ("RegOpenKey", result.trace.at(1).operation);
}

TEST(ScenarioRunTest, AMachineStopEndsOnlyTheChild)
{
    vexrun::ChildOutcome outcome = vexrun::RunInChild(
        [](std::string&) {
            KeBugCheckEx(0xE2, 0, 0, 0, 0);  // MANUALLY_INITIATED_CRASH
            return 0;
        },
        0);
    EXPECT_TRUE(outcome.stopped);
    outcome = vexrun::RunInChild([](std::string& answer) { return answer = "fine", 3; }, 0);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(3, outcome.exitCode);
    EXPECT_EQ("fine", outcome.answer);
}

}  // namespace
