// Name translation on absolute names: full names, the name triple, the Classes prefixes and
// their relocation, the exclusion and sharing rules and the Classes view, with the configuration
// the control requests would set.
#include "names/names.h"

#include "driver/global.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using vextest::Utf8;
using vextest::Wide;

const std::u16string R = vextest::kRedirectRoot;
const std::u16string UC = vextest::kRedirectUserClasses;
const std::u16string MC = vextest::kRedirectMachineClasses;

struct Triple {
    NTSTATUS status;
    std::u16string full, original, redirect;
    bool exactlySized = false;  // the original and redirect names fill their buffers
};

std::u16string TakeText(UNICODE_STRING& string)
{
    std::u16string text = vextest::Text(&string);
    FreeOwnedString(&string);
    return text;
}

Triple GetPath(const std::u16string& objectName)
{
    Wide name(objectName);
    UNICODE_STRING full = {}, original = {}, redirect = {};
    NTSTATUS status = GetRegistryPath(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &full, &original, &redirect);
    bool exactlySized = original.MaximumLength == original.Length && redirect.MaximumLength == redirect.Length;
    return {status, TakeText(full), TakeText(original), TakeText(redirect), exactlySized};
}

class NameTranslationTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        vextest::ConfigureRedirectNames();
    }
};

TEST_F(NameTranslationTest, FullNamesOfAbsoluteNamesFoldTheOwnKeyAndTheControlSet)
{
    struct Row {
        std::u16string name, full;
        USHORT spare = 0;  // capacity beyond the length
    } rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample"},
        {u"\\registry\\machine\\software\\x", u"\\registry\\machine\\software\\x"},  // absolute in any case
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Tessaline\\VexRegFilter\\Parameters",
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Tessaline\\VexRegFilter\\Parameters", 24},  // first 26 characters keep their case
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Sample", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Sample"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet0010", u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet0"},  // no separator rule
        {u"\\Registry\\Machine\\SYSTEM\\ControlSet002\\X", u"\\Registry\\Machine\\SYSTEM\\ControlSet002\\X"},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_classes",
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes"},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_classes\\CLSID",
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\CLSID"},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid\\Software\\Classes\\X",
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\X"},  // pattern 2 before pattern 3
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid", u"\\Registry\\User\\S-1-5-21-1-2-3-1001"},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid\\Software\\Sample",
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Sample"},
    };
    for (const Row& row : rows) {
        Wide name(row.name);
        UNICODE_STRING full = {};
        EXPECT_EQ(STATUS_SUCCESS, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &full)) << Utf8(row.name);
        EXPECT_EQ(full.Length + row.spare, full.MaximumLength) << Utf8(row.name);
        EXPECT_EQ(Utf8(row.full), Utf8(TakeText(full))) << Utf8(row.name);
    }
}

TEST_F(NameTranslationTest, SiloNamesFoldOntoWhatIsConfigured)
{
    const std::u16string silo = u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555";
    const std::u16string user = u"\\Registry\\User\\S-1-5-21-1-2-3-1001";
    struct Row {
        std::u16string name, withSidOnly, withNothing;
    } rows[] = {
        // The user-hive fold needs only the SID; the Classes folds need the Classes prefix.
        {silo + u"user_sid\\Software\\Sample", user + u"\\Software\\Sample", silo + u"user_sid\\Software\\Sample"},
        {silo + u"user_sid\\Software\\Classes\\X", user + u"\\Software\\Classes\\X", silo + u"user_sid\\Software\\Classes\\X"},
        {silo + u"user_classes\\CLSID", silo + u"user_classes\\CLSID", silo + u"user_classes\\CLSID"},
    };
    auto fullName = [](const std::u16string& text) {
        Wide name(text);
        UNICODE_STRING full = {};
        EXPECT_EQ(STATUS_SUCCESS, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &full)) << Utf8(text);
        return Utf8(TakeText(full));
    };
    FreeRelatedKeyNames();
    for (const Row& row : rows) {
        EXPECT_EQ(Utf8(row.withSidOnly), fullName(row.name));
    }
    FreeOwnedString(&g_VexRegFilterData.UserSid);
    for (const Row& row : rows) {
        EXPECT_EQ(Utf8(row.withNothing), fullName(row.name));
    }
}

TEST_F(NameTranslationTest, ARelativeNameWithoutRootObjectIsRefused)
{
    Wide name(u"Software\\Sample"), registryOnly(u"\\REGISTRY");  // no trailing separator: relative
    UNICODE_STRING full = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &full));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, registryOnly.get(), &full));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, NULL, &full));
    EXPECT_EQ(nullptr, full.Buffer);
}

TEST_F(NameTranslationTest, GetRegistryPathGivesOnePairPerKeyFromEitherSide)
{
    struct Row {
        std::u16string full, original, redirect;
    } rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Demo", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Demo", R + u"\\MACHINE\\SOFTWARE\\Demo"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Demo", u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Demo",
         R + u"\\USER\\S-1-5-21-1-2-3-1001\\Software\\Demo"},
        {u"\\REGISTRY\\USER\\.DEFAULT\\Software\\Demo", u"\\REGISTRY\\USER\\.DEFAULT\\Software\\Demo", R + u"\\USER\\.DEFAULT\\Software\\Demo"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\.txt", u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", UC + u"\\.txt"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt",
         UC + u"\\.txt"},
        {u"\\REGISTRY\\USER\\S-1-5-21-9-9-9-1002_Classes\\.txt", u"\\REGISTRY\\USER\\S-1-5-21-9-9-9-1002_Classes\\.txt",
         R + u"\\USER\\S-1-5-21-9-9-9-1002_Classes\\.txt"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", MC + u"\\CLSID\\{X}"},
        {R + u"\\MACHINE\\SOFTWARE\\Demo", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Demo", R + u"\\MACHINE\\SOFTWARE\\Demo"},
        {UC + u"\\.txt", u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", UC + u"\\.txt"},
        {MC + u"\\CLSID\\{X}", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", MC + u"\\CLSID\\{X}"},
        // Opened relative to the user-classes redirect root through the classes hive: redirected,
        // and the original takes its characters from the link form, not from the name as given.
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\Sample\\Sandbox\\.txt",
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", UC + u"\\.txt"},
        {R + u"\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample\\Sandbox\\.txt",
         u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", UC + u"\\.txt"},  // redirected twice
        // The first nine characters of a redirected name are taken as the name spells them.
        {u"\\registry\\MACHINE\\SOFTWARE\\Sample\\Sandbox\\Reg\\MACHINE\\X", u"\\registry\\MACHINE\\X", R + u"\\MACHINE\\X"},
        // Keys beside a redirect root or a Classes area, whose names merely continue its last
        // component, are ordinary keys with a copy of their own.
        {R + u"X\\Y", R + u"X\\Y", R + R.substr(9) + u"X\\Y"},
        {MC + u"X\\Y", MC + u"X\\Y", MC + u"\\Sample\\SandboxX\\Y"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\ClassesX", u"\\REGISTRY\\MACHINE\\SOFTWARE\\ClassesX",
         R + u"\\MACHINE\\SOFTWARE\\ClassesX"},
        {UC + u"X", UC + u"X", UC + u"\\Sample\\SandboxX"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\Sample\\SandboxX", u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample\\SandboxX",
         UC + u"\\Sample\\SandboxX"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_ClassesX", u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_ClassesX",
         R + u"\\USER\\S-1-5-21-1-2-3-1001_ClassesX"},
    };
    for (const Row& row : rows) {
        Triple triple = GetPath(row.full);
        EXPECT_EQ(STATUS_SUCCESS, triple.status) << Utf8(row.full);
        EXPECT_EQ(Utf8(row.full), Utf8(triple.full));
        EXPECT_EQ(Utf8(row.original), Utf8(triple.original)) << Utf8(row.full);
        EXPECT_EQ(Utf8(row.redirect), Utf8(triple.redirect)) << Utf8(row.full);
        EXPECT_TRUE(triple.exactlySized) << Utf8(row.full);
    }
}

TEST_F(NameTranslationTest, TracesFollowTheTranslationOnlyWhenTracingIsOn)
{
    const std::string r = Utf8(R), demo = "\\REGISTRY\\MACHINE\\SOFTWARE\\Demo", redirected = r + "\\MACHINE\\SOFTWARE\\Demo";
    auto run = [&] {
        vexsim::ClearDebugOutput();
        EXPECT_EQ(STATUS_SUCCESS, GetPath(R + u"\\MACHINE\\SOFTWARE\\Demo").status);
        Wide top(u"\\REGISTRY\\MACHINE");
        EXPECT_TRUE(IsExcludeName(top.get()));
        return vexsim::DebugOutput();
    };
    EXPECT_TRUE(run().empty());
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_TRACE;
    std::vector<std::string> lines = run();
    g_VexRegFilterData.DebugLogFlags = 0;
    const std::vector<std::string> notRedirected = {"VexRegFilter - IsRedirectedFullName() : FALSE", "\t[FullName] : " + demo};
    std::vector<std::string> expected = {
        "VexRegFilter - CreateFullName() - enter",
        "VexRegFilter - CreateFullName() [ObjectName] : " + redirected,
        "VexRegFilter - CreateFullName() - exit",
        "VexRegFilter - IsRedirectedFullName() : TRUE",
        "\t[g_VexRegFilterData.RedirectRootKeyName] : " + r,
        "\t[FullName] : " + redirected,
        "VexRegFilter.sys: CreateOriginalFullName() - enter",
        "VexRegFilter.sys: CreateOriginalFullName() [FullName] : " + redirected,
        "VexRegFilter.sys: CreateOriginalFullName() [OriginalFullName] : " + demo,
        "VexRegFilter.sys: CreateOriginalFullName() - exit",
        notRedirected[0], notRedirected[1],
        "VexRegFilter.sys: CreateRedirectFullName() - enter",
        "VexRegFilter.sys: CreateRedirectFullName() [FullName] : " + demo,
        notRedirected[0], notRedirected[1],
        "VexRegFilter.sys: CreateRedirectFullName() [RedirectFullName] : " + redirected,
        "VexRegFilter - CreateRedirectFullName() - exit",
        "VexRegFilter.sys: IsExcludeName() - enter",
        "VexRegFilter.sys: IsExcludeName() [FullName] : \\REGISTRY\\MACHINE",
        "VexRegFilter.sys: IsExcludeName() [Exclude] : 1",
        "VexRegFilter.sys: IsExcludeName() - exit",
    };
    EXPECT_EQ(expected, lines);

    // Each Classes rule names the root it compared with.
    struct Rule {
        std::u16string name;
        std::string rootLine;  // empty: not redirected
    } rules[] = {
        {MC + u"\\X", "\t[g_VexRegFilterData.RedirectMachineClasses] : " + Utf8(MC)},
        {UC + u"\\X", "\t[g_VexRegFilterData.RedirectUserClasses] : " + Utf8(UC)},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\Sample\\Sandbox\\X", "\t[g_VexRegFilterData.RedirectUserClasses] : " + Utf8(UC)},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\X", ""},
    };
    for (const Rule& rule : rules) {
        Wide name(rule.name);
        vexsim::ClearDebugOutput();
        g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_TRACE;
        const bool redirected = !rule.rootLine.empty();
        EXPECT_EQ(redirected, (bool)IsRedirectedFullName(name.get())) << Utf8(rule.name);
        g_VexRegFilterData.DebugLogFlags = 0;
        std::vector<std::string> ruleLines = {redirected ? "VexRegFilter - IsRedirectedFullName() : TRUE" : "VexRegFilter - IsRedirectedFullName() : FALSE"};
        if (redirected) {
            ruleLines.push_back(rule.rootLine);
        }
        ruleLines.push_back("\t[FullName] : " + Utf8(rule.name));
        EXPECT_EQ(ruleLines, vexsim::DebugOutput()) << Utf8(rule.name);
    }
}

TEST_F(NameTranslationTest, RedirectRootsThemselvesAreNotRedirectedNames)
{
    const std::u16string userClassesInClassesHive = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\Sample\\Sandbox";
    for (const std::u16string& root : {R, UC, MC, userClassesInClassesHive}) {
        Wide name(root);
        EXPECT_FALSE(IsRedirectedFullName(name.get())) << Utf8(root);
        Wide below(root + u"\\X");
        EXPECT_TRUE(IsRedirectedFullName(below.get())) << Utf8(root);
        UNICODE_STRING redirect = {};
        EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateRedirectFullName(below.get(), &redirect));
        EXPECT_EQ(nullptr, redirect.Buffer);
    }
}

TEST_F(NameTranslationTest, OriginalNamesAreRefusedForClassesNamesOutsideTheirRedirectRoot)
{
    // Cutting the redirect root's length from a shorter name would read past it.
    Wide shortUserName(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\X");
    Wide shortMachineName(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\X");
    UNICODE_STRING original = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateOriginalFullName(shortUserName.get(), &original));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateOriginalFullName(shortMachineName.get(), &original));
    EXPECT_EQ(nullptr, original.Buffer);

    Wide general(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Demo");
    ASSERT_EQ(STATUS_SUCCESS, CreateOriginalFullName(general.get(), &original));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Demo", Utf8(TakeText(original)));
}

TEST_F(NameTranslationTest, NamesTooLongForACountedStringAreRefused)
{
    // 32,767 characters fit a counted string; with the redirect root in front they do not.
    std::u16string longName = u"\\REGISTRY\\MACHINE\\SOFTWARE\\" + std::u16string(32767 - 27, u'a');
    Triple triple = GetPath(longName);
    EXPECT_EQ(STATUS_NAME_TOO_LONG, triple.status);
    EXPECT_TRUE(triple.full.empty() && triple.original.empty() && triple.redirect.empty());

    // The control-set rewrite makes a name four characters longer.
    std::u16string controlSet = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\" + std::u16string(32767 - 39, u'a');
    Wide name(controlSet);
    UNICODE_STRING full = {};
    EXPECT_EQ(STATUS_NAME_TOO_LONG, CreateFullName(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &full));
    EXPECT_EQ(nullptr, full.Buffer);
    EXPECT_EQ(0, full.Length);

    // A Wow6432Node relocation adds twelve characters.
    std::u16string clsid = u"\\Registry\\Machine\\Software\\Classes\\CLSID\\" + std::u16string(32767 - 41, u'a');
    Wide source(clsid);
    UNICODE_STRING relocated = {};
    EXPECT_EQ(STATUS_NAME_TOO_LONG, RelocateUnderMachineClassesWow64(&relocated, source.get()));
    EXPECT_EQ(nullptr, relocated.Buffer);
}

TEST_F(NameTranslationTest, EveryAllocationFailureOfGetRegistryPathLeavesAllThreeEmptyAndSaysWhere)
{
    const std::string relocateFailed = "VexRegFilter.sys: RelocateUnderUser() : DestinationString->Buffer allocate error";
    const std::string redirect2 = "VexRegFilter.sys: GetRegistryPath - CreateRedirectFullName2 fail c000009a";
    const std::string original1 = "VexRegFilter.sys: GetRegistryPath - CreateOriginalFullName1 fail c000009a";
    const std::string redirect1 = "VexRegFilter.sys: GetRegistryPath - CreateRedirectFullName1 fail c000009a";
    const std::string copyFailed = "VexRegFilter.sys: GetRegistryPath - OriginalFullName->Buffer allocate error";
    struct Walk {
        std::u16string name;
        std::set<std::string> lines;  // every line some failing run prints
    } walks[] = {
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\.txt",
         {relocateFailed, "VexRegFilter.sys: GetRegistryPath - RelocateUnderUser error",
          "VexRegFilter.sys: CreateRedirectFullName() : RelocateUnderUser error", redirect2}},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\Sample\\Sandbox\\.txt",
         {relocateFailed, "VexRegFilter.sys: CreateOriginalFullName() : RelocateUnderUser error", original1, redirect1}},
        {R + u"\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample\\Sandbox\\.txt",
         {original1, "VexRegFilter.sys: GetRegistryPath - CreateOriginalFullName2 fail c000009a", redirect1}},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services", {copyFailed, redirect2}},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid\\Software\\X",
         {"VexRegFilter.sys: CreateFullName - Temporary.Buffer allocate error", copyFailed, redirect2}},
    };
    for (const Walk& walk : walks) {
        const std::u16string& name = walk.name;
        vexsim::ClearDebugOutput();
        const Triple clean = GetPath(name);
        EXPECT_TRUE(vexsim::DebugOutput().empty()) << Utf8(name) << ": a translation that succeeds prints nothing";
        size_t before = vextest::LivePoolAllocations();
        Wide objectName(name);
        UNICODE_STRING full = {}, original = {}, redirect = {};
        std::set<std::string> printed;
        auto run = [&] {
            vexsim::ClearDebugOutput();
            return GetRegistryPath(&g_VexRegFilterData.CallbackCookie, NULL, objectName.get(), &full, &original, &redirect);
        };
        NTSTATUS last = vextest::ForEachAllocationFailure(run, [&](NTSTATUS status, int failing) {
            for (const std::string& line : vexsim::DebugOutput()) {
                printed.insert(line);
            }
            // A silo-pattern test whose copy fails answers "no match", which is no failure of the
            // whole: the name is then translated as given, without the fold.
            if (NT_SUCCESS(status)) {
                Triple got = {status, TakeText(full), TakeText(original), TakeText(redirect)};
                if (got.full != clean.full) {
                    EXPECT_EQ(Utf8(name), Utf8(got.full)) << "allocation " << failing;
                } else {
                    EXPECT_TRUE(got.original == clean.original && got.redirect == clean.redirect) << Utf8(name) << " allocation " << failing;
                }
                return;
            }
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << Utf8(name) << " allocation " << failing;
            for (UNICODE_STRING* out : {&full, &original, &redirect}) {
                EXPECT_TRUE(out->Buffer == nullptr && out->Length == 0 && out->MaximumLength == 0) << Utf8(name) << " allocation " << failing;
            }
            EXPECT_EQ(before, vextest::LivePoolAllocations()) << Utf8(name) << " allocation " << failing;
        });
        EXPECT_EQ(STATUS_SUCCESS, last);
        EXPECT_EQ(walk.lines, printed) << Utf8(name);
        FreeOwnedString(&full);
        FreeOwnedString(&original);
        FreeOwnedString(&redirect);
        EXPECT_EQ(before, vextest::LivePoolAllocations());
    }
}

TEST_F(NameTranslationTest, OnlyAFullNameHasARedirectName)
{
    Wide registry(u"\\REGISTRY"), shorter(u"\\REGISTR");
    UNICODE_STRING redirect = {};
    ASSERT_EQ(STATUS_SUCCESS, CreateRedirectFullName(registry.get(), &redirect));
    EXPECT_EQ(Utf8(R), Utf8(TakeText(redirect)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateRedirectFullName(shorter.get(), &redirect));
    EXPECT_EQ(nullptr, redirect.Buffer);
}

TEST_F(NameTranslationTest, RedirectRootPatternKeepsThePartAfterSoftware)
{
    UNICODE_STRING pattern = {};
    Wide root(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox\\Reg"), outside(u"\\REGISTRY\\USER\\Sample");
    ASSERT_EQ(STATUS_SUCCESS, CreateRedirectRootKeyPattern(root.get(), &pattern));
    size_t built = vextest::LivePoolAllocations();
    ASSERT_EQ(STATUS_SUCCESS, CreateRedirectRootKeyPattern(root.get(), &pattern));
    EXPECT_EQ(built, vextest::LivePoolAllocations()) << "the pattern it replaces is freed";
    EXPECT_EQ(pattern.Length, pattern.MaximumLength);
    EXPECT_EQ("*\\Sample\\Sandbox\\Reg\\*", Utf8(TakeText(pattern)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateRedirectRootKeyPattern(outside.get(), &pattern));
    EXPECT_EQ(nullptr, pattern.Buffer);
}

}  // namespace
