// Containment: whatever a sandboxed program does, the real registry outside the redirect roots
// and the keys that stay outside the sandbox is byte for byte what it was. Seeded random sequences
// of creates, opens, value writes, deletes and renames, with names that sit beside the redirect
// roots and the Classes areas, are played and the registry exported before and after.
#include "tests/callback/callback_fixture.h"

#include "sim/regfile/registry_file.h"
#include "tests/support/containment.h"

#include <random>

namespace {

using namespace vextest;

const std::u16string kSid = kUserSid;

// Where the program's names start: the areas of the registry, and names that merely begin like a
// redirect root or a Classes area.
const std::u16string kPrefixes[] = {
    kSoftware + u"\\Area",
    kUser + u"\\Software\\Area",
    kUser + u"\\Software\\Classes\\Area",
    u"\\REGISTRY\\USER\\" + kSid + u"_Classes\\Area",
    kSoftware + u"\\Classes\\Area",
    kSoftware + u"\\Classes\\CLSID",
    kSoftware + u"\\Sample\\SandboxX",
    kRoot + u"X",
    kSoftware + u"\\ClassesX",
    kUser + u"\\Software\\ClassesX",
    std::u16string(kRedirectMachineClasses) + u"X",
    std::u16string(kRedirectUserClasses) + u"X",
    kSoftware + u"\\Wow6432Node\\Area",
};

const char16_t* const kComponents[] = {u"A", u"b", u"C", u"Deep"};

// What the real registry holds before the program starts: a few keys with values in every area.
std::string RealRegistryFile()
{
    std::string reg = "REGEDIT4\r\n";
    for (const std::u16string& prefix : kPrefixes) {
        for (const char* tail : {"", "\\A", "\\A\\b", "\\C"}) {
            reg += "\r\n[" + Utf8(prefix) + tail + "]\r\n\"v\"=dword:00000001\r\n";
        }
    }
    return reg;
}

class ContainmentTest : public CallbackTest {
protected:
    // One random step of the program.
    void Step(std::mt19937& random)
    {
        auto pick = [&](size_t count) { return (size_t)std::uniform_int_distribution<size_t>(0, count - 1)(random); };
        std::u16string name;
        HANDLE root = nullptr;
        if (!handles_.empty() && pick(2) == 0) {
            root = handles_[pick(handles_.size())];
        } else {
            name = kPrefixes[pick(sizeof(kPrefixes) / sizeof(kPrefixes[0]))];
        }
        for (size_t i = 0, levels = 1 + pick(3); i < levels; i++) {
            name += (name.empty() ? u"" : u"\\") + std::u16string(kComponents[pick(std::size(kComponents))]);
        }
        HANDLE handle = nullptr;
        switch (pick(6)) {
        case 0:
        case 1:
            if (NT_SUCCESS(Create(sandboxed, name, &handle, nullptr, root))) {
                handles_.push_back(handle);
            }
            break;
        case 2:
            if (NT_SUCCESS(Open(sandboxed, name, KEY_ALL_ACCESS, &handle, root))) {
                handles_.push_back(handle);
            }
            break;
        case 3:
            if (!handles_.empty()) {
                (void)SetDword(sandboxed, handles_[pick(handles_.size())], kComponents[pick(std::size(kComponents))], 2);
            }
            break;
        case 4:
            if (!handles_.empty()) {
                vexsim::UserModeScope user(sandboxed);
                (void)vexsim::NtDeleteKey(handles_[pick(handles_.size())]);
            }
            break;
        case 5:
            if (!handles_.empty()) {
                vexsim::UserModeScope user(sandboxed);
                Wide newName{std::u16string(kComponents[pick(std::size(kComponents))]) + u"r"};
                (void)vexsim::NtRenameKey(handles_[pick(handles_.size())], newName.get());
            }
            break;
        }
    }
    void CloseAll()
    {
        for (HANDLE handle : handles_) {
            EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, handle));
        }
        handles_.clear();
    }

    std::vector<HANDLE> handles_;
};

TEST_F(ContainmentTest, TheRealRegistryOutsideTheCopyNeverChanges)
{
    std::string reg = RealRegistryFile();
    vexsim::RegFileError error;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::ImportRegistryFile(std::span((const UCHAR*)reg.data(), reg.size()), {}, &error))
        << error.message;
    const RealRegistry before = RealRegistryOutsideSandbox();
    ASSERT_GT(before.machine.size(), 40u);
    for (unsigned seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        for (int step = 0; step < 150; step++) {
            Step(random);
        }
        CloseAll();
        RealRegistry after = RealRegistryOutsideSandbox();
        EXPECT_TRUE(before == after) << FirstDifference(before, after);
    }
}

}  // namespace
