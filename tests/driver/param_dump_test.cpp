// The parameter dump on the debug mailslot: the text of a full configuration, the detail the
// product's "DebugLogLevel" chooses (absent, of another type, shorter than its third byte,
// present), and a missing mailslot.
#include "tests/driver/control_fixture.h"

#include "sim/fs/file_system.h"
#include "sim/fs/mailslot.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace vextest;

const std::u16string kMailslot = u"TessalineSandbox_Dbg";
const std::u16string kProductKey = u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Tessaline\\Quillfen";

// One mailslot message: its level name and the text after the header.
struct DumpLine {
    std::string level;
    std::string text;
    bool operator==(const DumpLine&) const = default;
};

void PrintTo(const DumpLine& line, std::ostream* out)
{
    *out << line.level << ": " << line.text;
}

class ParamDumpTest : public ControlTest {
protected:
    void SetUp() override
    {
        ControlTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateMailslot(kMailslot));
    }

    static void SetDebugLogLevel(ULONG type, const Bytes& data)
    {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kProductKey));
        Wide name(u"DebugLogLevel");
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key.handle(), name.get(), 0, type, (PVOID)data.data(), (ULONG)data.size()));
    }

    // Sends the request and decodes what reached the mailslot. Every header names the service's
    // process and thread; the text follows it.
    std::vector<DumpLine> Dump()
    {
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_OUTPUT_CURRENT_PARAM).status);
        ULONG pid = (ULONG)(ULONG_PTR)PsGetProcessId(service->process());
        const std::regex header("0\\|\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d \\[service\\.exe \\(" + std::to_string(pid) +
                                "\\)\\] tid=\\d+ VexRegFilter : (Info|Warn|Error|Trace) \\[service\\.exe \\(" +
                                std::to_string(pid) + "\\)\\] ");
        std::vector<DumpLine> lines;
        for (const Bytes& message : vexsim::ReadMailslot(kMailslot)) {
            EXPECT_GE(message.size(), 2u);
            EXPECT_EQ(0, message[message.size() - 1] | message[message.size() - 2]) << "each message ends with its NUL";
            std::string text = Utf8(std::u16string((const char16_t*)message.data(), message.size() / 2 - 1));
            std::smatch match;
            EXPECT_TRUE(std::regex_search(text, match, header, std::regex_constants::match_continuous)) << text;
            lines.push_back({match[1].str(), match.suffix().str()});
        }
        return lines;
    }
};

std::vector<DumpLine> Headings(const std::string& root, const std::string& userClasses, const std::string& machineClasses)
{
    const std::string pattern = "*\\Sample\\Sandbox\\Reg\\*";
    return {
        {"Trace", "IRP = DEV_CTRL IOCTL = OUTPUT_PARAM\r\n"},
        {"Trace", "Param : RedirectRootKeyName = " + root + "\r\n"},
        {"Trace", "Param : RedirectUserClasses = " + userClasses + "\r\n"},
        {"Trace", "Param : RedirectMachineClasses = " + machineClasses + "\r\n"},
        {"Trace", "Param : RedirectRootKeyPattern = " + pattern + "\r\n"},
        {"Trace", "Param : RedirectRootKeyNameUser = " + root + "\\USER\r\n"},
        {"Trace", "Param : RedirectRootKeyNameMachine = " + root + "\\MACHINE\r\n"},
    };
}

TEST_F(ParamDumpTest, AFullConfigurationWithEveryItem)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    SetDebugLogLevel(REG_DWORD, UlongBytes({0x00010000}));
    ConfigureRedirectNames();
    ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept"));
    ASSERT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_SET_PROCESS, TextInput(u"C:\\Windows\\System32\\notepad.exe"), 4).status);
    PEPROCESS sandboxed = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"});
    PutUnderSandbox(sandboxed);
    std::string pid = std::to_string((ULONG)(ULONG_PTR)PsGetProcessId(sandboxed));

    vexsim::ClearDebugOutput();
    std::vector<DumpLine> expected = Headings(Utf8(kRedirectRoot), Utf8(kRedirectUserClasses), Utf8(kRedirectMachineClasses));
    std::vector<DumpLine> rest = {
        {"Trace", "Param : ExcludeKey : Count = 4\r\n"},
        {"Info", "Param : ExcludeKey : Path = " + Utf8(kRedirectRoot) + "\\\r\n"},
        {"Info", "Param : ExcludeKey : Path = " + Utf8(kRedirectUserClasses) + "\\\r\n"},
        {"Info", "Param : ExcludeKey : Path = " + Utf8(kRedirectMachineClasses) + "\\\r\n"},
        {"Info", "Param : ExcludeKey : Path = \\REGISTRY\\MACHINE\\SOFTWARE\\Kept\\\r\n"},
        {"Trace", "Param : ParentName : Count = 0\r\n"},
        {"Trace", "Param : ProcessName : Count = 1\r\n"},
        {"Info", "Param : ProcessName : C:\\Windows\\System32\\notepad.exe\r\n"},
        {"Trace", "Param : ExcProcName : Count = 0\r\n"},
        {"Trace", "Param : RootName : Count = 0\r\n"},
        {"Trace", "Param : Parent : Count = 0\r\n"},
        {"Trace", "Param : Child : Count = 1\r\n"},
        {"Info", "Param : Child : PID = " + pid + "\r\n"},
        {"Trace", "Param : Root : Count = 0\r\n"},
        {"Trace", "Param : Root : Child : Count = 0\r\n"},
        {"Trace", "Param : Cache : CopyKey : Count = 0\r\n"},
        {"Trace", "Param : Cache : CopySubkey : Count = 0\r\n"},
        {"Trace", "Param : Cache : Difference : Count = 0\r\n"},
        {"Trace", "Param : Cache : Process : Count = 0\r\n"},
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(expected, Dump());
    EXPECT_EQ((Lines{"VexRegFilter.sys: IOCTL_OUTPUT_CURRENT_PARAM", "DebugLogFlags 0x41"}), vexsim::DebugOutput());
    vexsim::EndProcess(sandboxed);
}

// Only the value's third byte chooses the items; a value that is not a DWORD or that stops before
// its third byte gives the headings and counts alone.
TEST_F(ParamDumpTest, TheThirdByteOfDebugLogLevelChoosesTheItems)
{
    ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept"));
    const struct {
        const char* what;
        ULONG type;
        Bytes data;
        std::string flagsLine;
        Lines extraLines;
        bool items;
    } cases[] = {
        {"bit 16", REG_DWORD, UlongBytes({0x00010000}), "DebugLogFlags 0x41", {}, true},
        {"only the low byte", REG_DWORD, UlongBytes({0x00000001}), "DebugLogFlags 0x40", {}, false},
        {"two bytes", REG_DWORD, {0xFF, 0xFF}, "DebugLogFlags 0x40", {}, false},
        {"three bytes", REG_DWORD, {0x00, 0x00, 0x01}, "DebugLogFlags 0x41", {}, true},
        {"no data", REG_DWORD, {}, "DebugLogFlags 0x40", {"DataLength = Zero"}, false},
        {"a string", REG_SZ, {'1', 0, 0, 0}, "DebugLogFlags 0x40", {"REG_XXX type = 00000001"}, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        SetDebugLogLevel(test.type, test.data);
        vexsim::ClearDebugOutput();
        std::vector<DumpLine> lines = Dump();
        Lines expected{"VexRegFilter.sys: IOCTL_OUTPUT_CURRENT_PARAM"};
        expected.insert(expected.end(), test.extraLines.begin(), test.extraLines.end());
        expected.push_back(test.flagsLine);
        EXPECT_EQ(expected, vexsim::DebugOutput());
        ASSERT_GE(lines.size(), 8u);
        EXPECT_EQ((DumpLine{"Trace", "Param : ExcludeKey : Count = 1\r\n"}), lines[7]);
        EXPECT_EQ(test.items, lines[8].level == "Info");
        EXPECT_EQ(test.items ? 21u : 20u, lines.size());
    }
}

TEST_F(ParamDumpTest, NoProductKeyOrValueOrMailslotMeansNoDump)
{
    vexsim::ClearDebugOutput();
    EXPECT_EQ(std::vector<DumpLine>{}, Dump());
    EXPECT_EQ((Lines{"VexRegFilter.sys: IOCTL_OUTPUT_CURRENT_PARAM",
                     "ZwOpenKey failed. Path = " + Utf8(u"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\Tessaline\\Quillfen") +
                         " NTStatus = c0000034",
                     "GetDebugLogFlags failed."}),
              vexsim::DebugOutput());

    {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kProductKey));
    }
    vexsim::ClearDebugOutput();
    EXPECT_EQ(std::vector<DumpLine>{}, Dump());
    EXPECT_EQ((Lines{"VexRegFilter.sys: IOCTL_OUTPUT_CURRENT_PARAM", "ZwQueryValueKey ValueName = DebugLogLevel NTStatus = c0000034",
                     "GetDebugLogFlags failed."}),
              vexsim::DebugOutput());

    SetDebugLogLevel(REG_DWORD, UlongBytes({0x00010000}));
    vexsim::DeleteMailslot(kMailslot);
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_OUTPUT_CURRENT_PARAM).status);
    EXPECT_EQ((Lines{"VexRegFilter.sys: IOCTL_OUTPUT_CURRENT_PARAM", "DebugLogFlags 0x41",
                     "ZwOpenFile failed. ObjectName = \\Device\\mailslot\\TessalineSandbox_Dbg NTStatus = c0000034"}),
              vexsim::DebugOutput());
}

TEST_F(ParamDumpTest, AnEmptyConfigurationGivesEmptyNamesAndZeroCounts)
{
    SetDebugLogLevel(REG_DWORD, UlongBytes({0x00010000}));
    std::vector<DumpLine> lines = Dump();
    // A name never set has no buffer, which the kernel's formatting shows as "(null)".
    std::vector<DumpLine> headings = {{"Trace", "IRP = DEV_CTRL IOCTL = OUTPUT_PARAM\r\n"}};
    for (const char* name : {"RedirectRootKeyName", "RedirectUserClasses", "RedirectMachineClasses", "RedirectRootKeyPattern",
                             "RedirectRootKeyNameUser", "RedirectRootKeyNameMachine"}) {
        headings.push_back({"Trace", "Param : " + std::string(name) + " = (null)\r\n"});
    }
    ASSERT_EQ(20u, lines.size());
    EXPECT_EQ(headings, std::vector<DumpLine>(lines.begin(), lines.begin() + 7));
    EXPECT_EQ((DumpLine{"Trace", "Param : ExcludeKey : Count = 0\r\n"}), lines[7]);
}

}  // namespace
