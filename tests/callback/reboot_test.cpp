// After a session, a restart of the machine leaves under the redirect roots only what the service
// laid down and the non-volatile copy of the user's Internet Settings: every key the sandboxed
// program made or copied was volatile.
#include "tests/support/containment.h"
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace vextest;

const std::u16string kUserKey = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid);
const std::u16string kInternetSettingsTail = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The native names, in UTF-8 and sorted, of the keys an export of key shows (link keys are never
// exported).
std::vector<std::string> KeysUnder(const std::u16string& key)
{
    std::vector<UCHAR> bytes;
    vexsim::RegFileError error;
    EXPECT_EQ(STATUS_SUCCESS, vexsim::ExportRegistryFile(key, vexsim::RegFileFormat::Regedit4, {}, &bytes, &error)) << error.message;
    std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> names;
    for (size_t at = text.find("\r\n["); at != std::string::npos; at = text.find("\r\n[", at + 3)) {
        std::string name = text.substr(at + 3, text.find(']', at) - at - 3);
        for (auto [from, to] : {std::pair{"HKEY_LOCAL_MACHINE", "\\REGISTRY\\MACHINE"}, std::pair{"HKEY_USERS", "\\REGISTRY\\USER"}}) {
            if (name.rfind(from, 0) == 0) {
                name = to + name.substr(std::string(from).size());
            }
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RebootTest, OnlyTheInternetSettingsCopySurvivesUnderTheRedirectRoots)
{
    const std::string real = "REGEDIT4\r\n"
                             "\r\n[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Zones]\r\n"
                             "\"Flags\"=dword:00000001\r\n"
                             "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub]\r\n\"v\"=dword:00000001\r\n"
                             "\r\n[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Vendor]\r\n";
    SandboxSession session;
    session.Begin(real);
    const Program& program = session.sandboxed;
    // The session: copies on open, new keys and values in the machine, user and Classes halves.
    for (const std::u16string& name : {std::u16string(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App\\Sub\\New"), kUserKey + u"\\Software\\Vendor\\Made",
                                       kUserKey + u"\\Software\\Classes\\.vex", std::u16string(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.vex")}) {
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, program.Create(name, &key)) << Utf8(name);
        EXPECT_EQ(STATUS_SUCCESS, program.SetDword(key, u"made", 1));
        EXPECT_EQ(STATUS_SUCCESS, program.Close(key));
    }
    std::vector<std::string> during = KeysUnder(kRedirectRoot);
    const std::u16string settingsCopy = std::u16string(kRedirectRoot) + u"\\USER\\" + kUserSid + kInternetSettingsTail;
    ASSERT_NE(during.end(), std::find(during.begin(), during.end(), Utf8(std::u16string(kRedirectRoot) + u"\\MACHINE\\SOFTWARE\\Vendor\\App\\Sub\\New")));
    ASSERT_NE(during.end(), std::find(during.begin(), during.end(), Utf8(settingsCopy + u"\\Zones")));

    vexsim::EndProcess(session.sandboxed.process);
    vexsim::EndProcess(session.outsider.process);
    vexsim::UnloadResult unloaded = vexsim::UnloadDriver();
    ASSERT_TRUE(unloaded.leftovers.empty()) << vexsim::FormatUnloadReport(unloaded.leftovers);
    vexsim::RebootMachine();

    // What the service laid down, the path down to the Internet Settings copy, and the copy.
    std::vector<std::string> expected = {Utf8(kRedirectRoot), Utf8(std::u16string(kRedirectRoot) + u"\\MACHINE"),
                                         Utf8(settingsCopy + u"\\Zones")};
    for (std::u16string path = settingsCopy; path.size() > std::u16string(kRedirectRoot).size(); path.resize(path.rfind(u'\\'))) {
        expected.push_back(Utf8(path));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, KeysUnder(kRedirectRoot));
    for (const char16_t* classes : {kRedirectUserClasses, kRedirectMachineClasses}) {
        EXPECT_EQ(std::vector<std::string>{Utf8(classes)}, KeysUnder(classes));
    }
    std::vector<UCHAR> zones;
    vexsim::RegFileError error;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::ExportRegistryFile(settingsCopy + u"\\Zones", vexsim::RegFileFormat::Regedit4, {}, &zones, &error));
    EXPECT_NE(std::string::npos, std::string(zones.begin(), zones.end()).find("\"Flags\"=dword:00000001"));
    vexsim::ShutdownMachine();
}

}  // namespace
