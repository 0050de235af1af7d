// The net changes of a session: what the sandboxed programs changed, as a .reg file that gives the
// real registry the content they saw.
#include "tests/callback/callback_fixture.h"
#include "tools/vexsim-run/net_changes.h"

#include "sim/regfile/registry_file.h"

namespace vextest {
namespace {

const std::u16string kApp = kSoftware + u"\\Vendor\\App";

class NetChangesTest : public CallbackTest {
protected:
    void SetUp() override
    {
        CallbackTest::SetUp();
        options_.currentUserSid = kUserSid;
        ASSERT_EQ(STATUS_SUCCESS, Import("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n\"Keep\"=dword:00000001\r\n"
                                         "\"Change\"=dword:00000002\r\n\"Drop\"=dword:00000003\r\n"
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Old]\r\n\"x\"=dword:00000001\r\n"
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Stay]\r\n"
                                         "[HKEY_CURRENT_USER\\Software\\Vendor]\r\n\"Theme\"=\"dark\"\r\n"));
        std::string problem;
        ASSERT_EQ(STATUS_SUCCESS, vexrun::ComputeStartChanges(layout_, &atStart_, &problem)) << problem;
        ASSERT_FALSE(atStart_.empty()) << "the start prepares keys of its own";
    }

    NTSTATUS Import(const std::string& body)
    {
        std::string text = "REGEDIT4\r\n" + body;
        return vexsim::ImportRegistryFile(std::vector<UCHAR>(text.begin(), text.end()), options_, &error_);
    }
    std::string Export(const std::string& key)
    {
        std::vector<UCHAR> bytes;
        NTSTATUS status = vexsim::ExportRegistryFile(Utf16(key), vexsim::RegFileFormat::Regedit4, options_, &bytes, &error_);
        return NT_SUCCESS(status) ? std::string(bytes.begin(), bytes.end()) : "<" + error_.message + ">";
    }

    // The net changes seen by a sandboxed program, as a REGEDIT4 file.
    std::string NetChangeFile(PEPROCESS observer)
    {
        vexrun::NetChanges changes;
        std::string problem;
        EXPECT_EQ(STATUS_SUCCESS, vexrun::ComputeNetChanges(layout_, observer, atStart_, &changes, &problem)) << problem;
        std::vector<UCHAR> file;
        EXPECT_EQ(STATUS_SUCCESS,
                  vexrun::FormatNetChangesRegFile(changes, vexsim::RegFileFormat::Regedit4, options_, &file, &problem))
            << problem;
        return std::string(file.begin(), file.end());
    }

    // Runs one call as the program with a handle to name (created when create is set).
    template <typename Call>
    NTSTATUS With(PEPROCESS program, const std::u16string& name, bool create, Call call)
    {
        HANDLE key = nullptr;
        NTSTATUS status = create ? Create(program, name, &key) : Open(program, name, KEY_ALL_ACCESS, &key);
        if (NT_SUCCESS(status)) {
            vexsim::UserModeScope user(program);
            status = call(key);
            (void)vexsim::NtClose(key);
        }
        return status;
    }
    // Sets a string value, creating the key and the keys below `existing` on its way, after an
    // open of `existing` (which makes its copy), as a program's RegCreateKey walk does.
    NTSTATUS SetString(PEPROCESS program, const std::u16string& existing, const std::u16string& below,
                       const std::u16string& name, std::u16string data)
    {
        std::u16string key = existing;
        NTSTATUS opened = With(program, key, false, [](HANDLE) { return STATUS_SUCCESS; });
        for (size_t start = 0, end; NT_SUCCESS(opened) && start < below.size(); start = end + 1) {
            end = std::min(below.find(u'\\', start), below.size());
            key += u"\\" + below.substr(start, end - start);
            NTSTATUS status = With(program, key, true, [](HANDLE) { return STATUS_SUCCESS; });
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return With(program, key, false, [&](HANDLE handle) {
            Wide wide(name);
            return vexsim::NtSetValueKey(handle, wide.get(), 0, REG_SZ, data.data(), ULONG(data.size() + 1) * 2);
        });
    }

    const vexrun::SandboxLayout layout_{kRedirectRoot, kRedirectUserClasses, kRedirectMachineClasses};
    vexrun::NetChanges atStart_;
    vexsim::RegFileOptions options_;
    vexsim::RegFileError error_;
};

TEST_F(NetChangesTest, ASessionThatOnlyReadGivesAnEmptyExport)
{
    for (const std::u16string& name : {kApp, kApp + u"\\Old", kUser + u"\\Software\\Vendor"}) {
        HANDLE key;
        ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, name, KEY_READ, &key));  // the driver copies the key
        ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    }
    EXPECT_EQ("REGEDIT4\r\n", NetChangeFile(sandboxed));
}

TEST_F(NetChangesTest, TheExportImportedBesideTheRealRegistryGivesWhatTheSandboxSaw)
{
    ASSERT_EQ(STATUS_SUCCESS, With(sandboxed, kApp, false, [](HANDLE key) {
        ULONG twenty = 20;
        Wide change(u"Change"), drop(u"Drop");
        NTSTATUS status = vexsim::NtSetValueKey(key, change.get(), 0, REG_DWORD, &twenty, sizeof(twenty));
        return NT_SUCCESS(status) ? vexsim::NtDeleteValueKey(key, drop.get()) : status;
    }));
    ASSERT_EQ(STATUS_SUCCESS, SetString(sandboxed, kApp, u"", u"New", u"v\"1"));
    ASSERT_EQ(STATUS_SUCCESS, With(sandboxed, kApp + u"\\Old", false, vexsim::NtDeleteKey));  // a real key
    ASSERT_EQ(STATUS_SUCCESS, SetString(sandboxed, kApp, u"Added\\Deeper", u"", u"d"));
    ASSERT_EQ(STATUS_SUCCESS, With(sandboxed, kApp + u"\\Temp", true, vexsim::NtDeleteKey));  // never real
    ASSERT_EQ(STATUS_SUCCESS, SetString(sandboxed, kUser + u"\\Software\\Vendor", u"", u"Theme", u"light"));
    ASSERT_EQ(STATUS_SUCCESS, SetString(sandboxed, kUser + u"\\Software\\Classes", u".vex", u"", u"VexFile"));
    ASSERT_EQ(STATUS_SUCCESS, SetString(sandboxed, kSoftware + u"\\Classes", u"CLSID\\{0D1E}\\InprocServer32", u"", u"vex.dll"));
    // A 32-bit program under the sandbox writes to the 32-bit view of the machine's software.
    vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\setup32.exe"};
    params.userSid = Utf8(kUserSid);
    params.administrator = true;
    params.wow64 = true;
    PEPROCESS setup32 = vexsim::CreateUserProcess(params);
    PutUnderSandbox(setup32);
    ASSERT_EQ(STATUS_SUCCESS, SetString(setup32, kSoftware, u"Vendor32", u"bits", u"32"));

    const std::string file = NetChangeFile(sandboxed);
    EXPECT_EQ(file, NetChangeFile(setup32)) << "a 32-bit observer reads the names as written";
    vexsim::EndProcess(setup32);
    EXPECT_EQ("REGEDIT4\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{0D1E}]\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{0D1E}\\InprocServer32]\r\n@=\"vex.dll\"\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n\"Change\"=dword:00000014\r\n\"Drop\"=-\r\n"
              "\"New\"=\"v\\\"1\"\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Added]\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Added\\Deeper]\r\n@=\"d\"\r\n"
              "\r\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Old]\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Vendor32]\r\n\"bits\"=\"32\"\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Classes\\.vex]\r\n@=\"VexFile\"\r\n"
              "\r\n[HKEY_CURRENT_USER\\Software\\Vendor]\r\n\"Theme\"=\"light\"\r\n\r\n",
              file);

    ASSERT_EQ(STATUS_SUCCESS, vexsim::ImportRegistryFile(std::vector<UCHAR>(file.begin(), file.end()), options_, &error_))
        << error_.message;
    EXPECT_EQ("REGEDIT4\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App]\r\n\"Keep\"=dword:00000001\r\n\"Change\"=dword:00000014\r\n"
              "\"New\"=\"v\\\"1\"\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Added]\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Added\\Deeper]\r\n@=\"d\"\r\n"
              "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Stay]\r\n\r\n",
              Export("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App"));
    EXPECT_EQ("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Vendor]\r\n\"Theme\"=\"light\"\r\n\r\n",
              Export("HKEY_CURRENT_USER\\Software\\Vendor"));
    // Now the real registry holds what the sandbox shows: nothing is left to change.
    EXPECT_EQ("REGEDIT4\r\n", NetChangeFile(sandboxed));
}

}  // namespace
}  // namespace vextest
