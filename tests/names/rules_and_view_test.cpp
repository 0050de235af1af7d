// The exclusion and sharing rules, the Classes prefixes with their WOW64 relocation, and the
// Classes view applied to name pairs.
#include "names/names.h"

#include "common/name_buffer.h"

#include "driver/global.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirect_config.h"
#include "tests/support/wide.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using vextest::Utf8;
using vextest::Wide;

const std::u16string UC = vextest::kRedirectUserClasses;
const std::u16string MC = vextest::kRedirectMachineClasses;

class NameRulesTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        vextest::ConfigureRedirectNames();
    }
};

struct Verdict {
    std::u16string name;
    bool expected;
};

TEST_F(NameRulesTest, OnlyTheTopOfTheRegistryIsExcluded)
{
    const Verdict rows[] = {
        {u"\\REGISTRY", true},
        {u"\\REGISTRY\\MACHINE", true},  // two separators
        {u"\\REGISTRY\\MACHINE\\", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE", false},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\", false},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software", false},    // four separators, no trailing one
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\", false},  // five, although the pattern would match
        {u"\\REGISTRY\\USER\\.DEFAULT", true},
        {u"\\REGISTRY\\USER\\.DEFAULT\\Software", false},
        {u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}", true},
        {u"\\REGISTRY\\A\\{0a1b2c3d-0000-1111-2222-333344445555}\\Sub", false},
        {u"\\REGISTRY\\WC\\Silo0a1b2c3d-0000-1111-2222-333344445555user_sid", false},
        {u"\\REGISTRY\\A", true},  // two separators: the top, whatever the hive
        {u"\\REGISTRY\\WC", true},
        {u"\\REGISTRY\\A\\X", false},  // three: only the named roots
        {u"\\REGISTRY\\WC\\X\\", false},
        {u"", true},  // no separator at all counts as the top
    };
    for (const Verdict& row : rows) {
        Wide name(row.name);
        EXPECT_EQ(row.expected, (bool)IsExcludeName(name.get())) << Utf8(row.name);
    }
    EXPECT_FALSE(IsExcludeName(NULL));
    // Only the counted characters are counted, whatever the buffer holds after them.
    Wide below(u"\\REGISTRY\\A\\X");
    UNICODE_STRING top = *below.get();
    top.Length = 11 * sizeof(WCHAR);
    EXPECT_TRUE(IsExcludeName(&top));
    // A long single component cannot get its separator within a counted string: not excluded.
    Wide longRoot(u"\\REGISTRY\\USER\\" + std::u16string(32767 - 15, u'x'));
    EXPECT_FALSE(IsExcludeName(longRoot.get()));
}

TEST_F(NameRulesTest, SharedKeysFollowTheFirstRowThatFits)
{
    const Verdict rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Classes", true},  // row 1 after the appended separator
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\ClassesX", false},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\AppId\\{Z}", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{Z}", false},  // row 2 decides
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\x.exe", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", false},  // row 33 decides
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Theme\\x", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Ole", true},
        {u"\\registry\\machine\\software\\wow6432node\\microsoft\\transaction server\\x", true},  // last subkey of the last row
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Notepad", false},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Sample", false},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\SOFTWARE\\WOW6432Node\\Classes\\CLSID", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\SOFTWARE\\Classes\\WOW6432Node\\AppId", true},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\SOFTWARE\\Classes\\WOW6432Node\\CLSID", false},
        {u"\\REGISTRY\\USER\\.DEFAULT\\SOFTWARE\\WOW6432Node\\Classes\\CLSID", false},
        {u"", false},
    };
    for (const Verdict& row : rows) {
        Wide name(row.name);
        EXPECT_EQ(row.expected, (bool)IsMachineSharedKey(name.get())) << Utf8(row.name);
    }
}

TEST_F(NameRulesTest, SpecialKeysMatchTheirPatterns)
{
    const std::u16string fileExts = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.txt";
    const std::u16string urls = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http";
    const std::u16string roaming = u"\\REGISTRY\\USER\\X\\Software\\Microsoft\\Windows\\Roaming\\OpenWith\\";
    const Verdict fileRows[] = {
        {fileExts + u"\\UserChoice", true},
        {fileExts + u"\\UserChoice\\", true},
        {fileExts + u"\\UserChoice\\Sub", false},
        {fileExts + u"\\UserChoiceLatest\\Sub", true},
        {roaming + u"FileExts\\.htm\\UserChoiceLatest", true},
        {fileExts, false},
    };
    for (const Verdict& row : fileRows) {
        Wide name(row.name);
        EXPECT_EQ(row.expected, (bool)IsUserChoiceFileExtKey(name.get())) << Utf8(row.name);
    }
    const Verdict urlRows[] = {
        {urls + u"\\UserChoice", true},
        {urls + u"\\UserChoice\\Sub", false},
        {urls + u"\\UserChoiceLatest\\Sub", true},
        {roaming + u"UrlAssociations\\https\\UserChoice\\", true},
        {fileExts + u"\\UserChoice", false},
    };
    for (const Verdict& row : urlRows) {
        Wide name(row.name);
        EXPECT_EQ(row.expected, (bool)IsUserChoiceUrlKey(name.get())) << Utf8(row.name);
    }
    const Verdict certificateRows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates\\Root\\Certificates\\X", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificates", true},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\SystemCertificatesX", false},
        {u"\\REGISTRY\\USER\\X\\Software\\Policies\\Microsoft\\EnterpriseCertificates", true},
    };
    for (const Verdict& row : certificateRows) {
        Wide name(row.name);
        EXPECT_EQ(row.expected, (bool)IsCertificateStoreKey(name.get())) << Utf8(row.name);
    }
    EXPECT_FALSE(IsUserChoiceFileExtKey(NULL) || IsUserChoiceUrlKey(NULL) || IsCertificateStoreKey(NULL));
}

TEST_F(NameRulesTest, ClassesPrefixesAreBuiltFromTheSid)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_EQ("\\Registry\\User\\S-1-5-21-1-2-3-1001_Classes", Utf8(vextest::Text(&data->CuSidClasses)));
    EXPECT_EQ(data->UserSid.Length + 46, data->CuSidClasses.MaximumLength);
    EXPECT_EQ("\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes", Utf8(vextest::Text(&data->CuClasses)));
    EXPECT_EQ(data->UserSid.Length + 64, data->CuClasses.MaximumLength);
    EXPECT_EQ("\\Registry\\Machine\\Software\\Classes", Utf8(vextest::Text(&data->LmClasses)));
    EXPECT_EQ(data->LmClasses.Length, data->LmClasses.MaximumLength);

    // Each subkey prefix is its area and suffix i, with room for the longest suffix (32 bytes).
    const char* suffixes[] = {"\\CLSID", "\\DirectShow", "\\Interface", "\\Media Type", "\\MediaFoundation"};
    struct Area {
        const UNICODE_STRING* prefix;
        const UNICODE_STRING* entries;
    } areas[] = {{&data->CuSidClasses, data->RedirectedCuSidClasses}, {&data->CuClasses, data->RedirectedCuClasses},
                 {&data->LmClasses, data->RedirectedLmClasses}};
    for (const Area& area : areas) {
        for (size_t i = 0; i < std::size(suffixes); i++) {
            EXPECT_EQ(Utf8(vextest::Text(area.prefix)) + suffixes[i], Utf8(vextest::Text(&area.entries[i])));
            EXPECT_EQ(area.prefix->Length + 32, area.entries[i].MaximumLength) << suffixes[i];
        }
    }

    Wide clsidX(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSIDX"), wow(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{X}");
    EXPECT_FALSE(IsUnderRedirectedLmClasses(clsidX.get()));  // a key beside CLSID, shared by both views
    EXPECT_FALSE(IsUnderRedirectedLmClasses(wow.get()));
}

TEST_F(NameRulesTest, EveryAllocationFailureOfTheClassesPrefixesStopsThereAndSaysWhere)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    // The eighteen prefixes in the order they are built, each with the line of its failure.
    std::vector<std::pair<const UNICODE_STRING*, std::string>> order = {
        {&data->CuSidClasses, "VexRegFilter.sys: CreateRelatedKeyName : Failed to GetClassesRootPrefix. status = c000009a"},
        {&data->CuClasses, "VexRegFilter.sys: CreateRelatedKeyName : Failed to GetUserClassesPrefix. status = c000009a"},
        {&data->LmClasses, "VexRegFilter.sys: LmClasses.Buffer allocate error"},
    };
    for (int i = 0; i < 5; i++) {
        const std::string index = "[" + std::to_string(i) + "]";
        order.push_back({&data->RedirectedCuSidClasses[i], "VexRegFilter.sys: RedirectedCuSidClasses" + index + ".Buffer allocate error"});
        order.push_back({&data->RedirectedCuClasses[i], "VexRegFilter.sys: RedirectedCuClasses" + index + ".Buffer allocate error"});
        order.push_back({&data->RedirectedLmClasses[i], "VexRegFilter.sys: RedirectedLmClasses" + index + ".Buffer allocate error"});
    }
    NTSTATUS last = vextest::ForEachAllocationFailure(
        [&] {
            vexsim::ClearDebugOutput();
            return CreateRelatedKeyName(&data->UserSid);
        },
        [&](NTSTATUS status, int failing) {
            ASSERT_LE((size_t)failing, order.size());
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << order[failing - 1].second;
            EXPECT_EQ(order[failing - 1].second, vexsim::DebugOutput().back());
            for (size_t j = 0; j < order.size(); j++) {
                EXPECT_EQ(j + 1 < (size_t)failing, order[j].first->Buffer != nullptr) << order[failing - 1].second << ": prefix " << j;
            }
        });
    EXPECT_EQ(STATUS_SUCCESS, last);
    EXPECT_TRUE(vextest::HasDebugLine("    Redirected(LM)[4]  = '\\Registry\\Machine\\Software\\Classes\\MediaFoundation'"));
}

TEST_F(NameRulesTest, FreeingTheClassesPrefixesTwiceLeavesAllEighteenEmpty)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    vextest::SetOwnedName(data->InternetSettingsKey, u"\\REGISTRY\\USER\\X", false);
    FreeRelatedKeyNames();
    FreeRelatedKeyNames();
    EXPECT_NE(nullptr, data->InternetSettingsKey.Buffer) << "only the eighteen";
    EXPECT_EQ(nullptr, data->CuSidClasses.Buffer);
    EXPECT_EQ(0, data->LmClasses.MaximumLength);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(nullptr, data->RedirectedCuClasses[i].Buffer);
    }
    Wide name(u"\\Registry\\Machine\\Software\\Classes\\CLSID");
    EXPECT_FALSE(IsUnderLmClasses(name.get()));  // an empty prefix contains nothing
}

TEST_F(NameRulesTest, EveryEntryPointRefusesMissingArguments)
{
    Wide name(u"\\Registry\\Machine\\Software\\Classes\\CLSID"), sid(u"S-1-5-21-1-2-3-1001");
    UNICODE_STRING out = {}, other = {};
    const std::pair<const char*, NTSTATUS> calls[] = {
        {"GetClassesRootPrefix(none, sid)", GetClassesRootPrefix(NULL, sid.get())},
        {"GetClassesRootPrefix(out, none)", GetClassesRootPrefix(&out, NULL)},
        {"GetUserClassesPrefix(none, sid)", GetUserClassesPrefix(NULL, sid.get())},
        {"GetUserClassesPrefix(out, none)", GetUserClassesPrefix(&out, NULL)},
        {"RelocateUnderUser(none, name)", RelocateUnderUser(NULL, name.get())},
        {"RelocateUnderUser(out, none)", RelocateUnderUser(&out, NULL)},
        {"RelocateUnderMachineClassesWow64(none, name)", RelocateUnderMachineClassesWow64(NULL, name.get())},
        {"RelocateUnderMachineClassesWow64(out, none)", RelocateUnderMachineClassesWow64(&out, NULL)},
        {"CreateRedirectFullName(none, out)", CreateRedirectFullName(NULL, &out)},
        {"CreateRedirectFullName(name, none)", CreateRedirectFullName(name.get(), NULL)},
        {"CreateOriginalFullName(none, out)", CreateOriginalFullName(NULL, &out)},
        {"CreateOriginalFullName(name, none)", CreateOriginalFullName(name.get(), NULL)},
        {"CreateRedirectRootKeyPattern(none, out)", CreateRedirectRootKeyPattern(NULL, &out)},
        {"CreateRedirectRootKeyPattern(name, none)", CreateRedirectRootKeyPattern(name.get(), NULL)},
        {"GetActualPathForClassesWow64(none, out)", GetActualPathForClassesWow64(NULL, &out, 0)},
        {"GetActualPathForClassesWow64(name, none)", GetActualPathForClassesWow64(name.get(), NULL, 0)},
        {"GetRegistryPath(none, out, out)", GetRegistryPath(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), NULL, &out, &other)},
        {"GetRegistryPath(out, none, out)", GetRegistryPath(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &out, NULL, &other)},
        {"GetRegistryPath(out, out, none)", GetRegistryPath(&g_VexRegFilterData.CallbackCookie, NULL, name.get(), &out, &other, NULL)},
    };
    for (const auto& [call, status] : calls) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, status) << call;
    }
    EXPECT_TRUE(out.Buffer == nullptr && other.Buffer == nullptr);
    EXPECT_FALSE(IsMachineSharedKey(NULL));
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RelocateUnderUser(&out, name.get())) << "a name outside the classes hive";
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: RelocateUnderUser() : RtlPrefixUnicodeString error"}, vexsim::DebugOutput());
}

// The rules read names in place (tests/names/pool_pressure_test.cpp walks them with the pool
// failing); an empty name is simply not shared.
TEST_F(NameRulesTest, AnEmptyNameIsNotSharedAndThePrefixBuildersReplaceTheirString)
{
    Wide empty(u"");
    vexsim::ClearDebugOutput();
    EXPECT_FALSE(IsMachineSharedKey(empty.get()));
    EXPECT_TRUE(vexsim::DebugOutput().empty());

    // The prefix builders replace what the string held.
    UNICODE_STRING prefix = {};
    ASSERT_EQ(STATUS_SUCCESS, GetClassesRootPrefix(&prefix, &g_VexRegFilterData.UserSid));
    size_t built = vextest::LivePoolAllocations();
    ASSERT_EQ(STATUS_SUCCESS, GetClassesRootPrefix(&prefix, &g_VexRegFilterData.UserSid));
    EXPECT_EQ(built, vextest::LivePoolAllocations());
    FreeOwnedString(&prefix);
}

TEST_F(NameRulesTest, RelocationsInsertWow6432NodeAfterTheAreaInItsOwnCase)
{
    Wide machine(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}"), outside(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Demo");
    UNICODE_STRING relocated = {};
    ASSERT_EQ(STATUS_SUCCESS, RelocateUnderMachineClassesWow64(&relocated, machine.get()));
    EXPECT_EQ("\\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID\\{X}", Utf8(vextest::Text(&relocated)));
    EXPECT_EQ(machine.get()->Length + 24, relocated.MaximumLength);
    FreeOwnedString(&relocated);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RelocateUnderMachineClassesWow64(&relocated, outside.get()));
    EXPECT_TRUE(vextest::HasDebugLine("RelocateUnderMachineClassesWow64() : RtlPrefixUnicodeString error"));
    EXPECT_EQ(nullptr, relocated.Buffer);
}

struct ViewRow {
    std::u16string original;
    ULONG flags;
    std::u16string originalAfter, redirectAfter;  // empty: unchanged
};

TEST_F(NameRulesTest, ClassesViewFoldsSharedKeysAndMovesClassesSubkeysFor32BitCallers)
{
    const ViewRow rows[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Classes\\CLSID\\{X}", KEY_WOW64_64KEY,
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", MC + u"\\CLSID\\{X}"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Classes\\CLSID\\{X}", KEY_WOW64_32KEY,
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", MC + u"\\CLSID\\{X}"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", KEY_WOW64_32KEY,
         u"\\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID\\{X}", MC + u"\\Wow6432Node\\CLSID\\{X}"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", KEY_WOW64_64KEY, u"", u""},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{X}", KEY_WOW64_64KEY | KEY_WOW64_32KEY, u"", u""},  // 64-bit wins
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", 0, u"\\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID",
         MC + u"\\Wow6432Node\\CLSID"},
        {u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Interface\\{Y}", KEY_WOW64_32KEY,
         u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Wow6432Node\\Interface\\{Y}", UC + u"\\Wow6432Node\\Interface\\{Y}"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\.txt", KEY_WOW64_32KEY, u"", u""},
        {u"\\Registry\\User\\S-1-5-21-1-2-3-1001_Classes\\.txt", KEY_WOW64_32KEY, u"", u""},
        {u"\\Registry\\User\\S-1-5-21-1-2-3-1001\\Software\\Classes\\.txt", KEY_WOW64_32KEY, u"", u""},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{X}", KEY_WOW64_32KEY, u"", u""},
    };
    for (const ViewRow& row : rows) {
        UNICODE_STRING original = {}, redirect = {};
        Wide source(row.original);
        ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&original, source.get()));
        ASSERT_EQ(STATUS_SUCCESS, CreateRedirectFullName(&original, &redirect));
        std::u16string redirectBefore = vextest::Text(&redirect);

        EXPECT_EQ(STATUS_SUCCESS, GetActualPathForClassesWow64(&original, &redirect, row.flags)) << Utf8(row.original);
        EXPECT_EQ(Utf8(row.originalAfter.empty() ? row.original : row.originalAfter), Utf8(vextest::Text(&original))) << Utf8(row.original);
        EXPECT_EQ(Utf8(row.redirectAfter.empty() ? redirectBefore : row.redirectAfter), Utf8(vextest::Text(&redirect))) << Utf8(row.original);
        FreeOwnedString(&original);
        FreeOwnedString(&redirect);
    }

    // With the detail bit the new pair is printed.
    UNICODE_STRING original = {}, redirect = {};
    Wide source(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID");
    ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&original, source.get()));
    ASSERT_EQ(STATUS_SUCCESS, CreateRedirectFullName(&original, &redirect));
    vexsim::ClearDebugOutput();
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
    EXPECT_EQ(STATUS_SUCCESS, GetActualPathForClassesWow64(&original, &redirect, KEY_WOW64_32KEY));
    g_VexRegFilterData.DebugLogFlags = 0;
    EXPECT_EQ((std::vector<std::string>{
                  "VexRegFilter.sys: GetActualPathForClassesWow64 # Original   : \\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID",
                  "VexRegFilter.sys: GetActualPathForClassesWow64 # Redirected : " + Utf8(MC) + "\\Wow6432Node\\CLSID",
              }),
              vexsim::DebugOutput());
    FreeOwnedString(&original);
    FreeOwnedString(&redirect);
}

TEST_F(NameRulesTest, EveryAllocationFailureOfTheClassesViewLeavesBothNamesEmpty)
{
    struct Walk {
        std::u16string name;
        std::set<std::string> lines;  // every line some failing run prints
    } walks[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Classes\\CLSID\\{X}",
         {"VexRegFilter.sys: GetActualPathForClassesWow64 - CreateRedirectFullName fail c000009a"}},
        {u"\\Registry\\User\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{X}",
         {"VexRegFilter.sys: CreateRedirectFullName() : RelocateUnderUser error",
          "VexRegFilter.sys: GetActualPathForClassesWow64 - CreateRedirectFullName fail c000009a",
          "VexRegFilter.sys: GetActualPathForClassesWow64 - RelocateUnderClassesRootWow64 fail c000009a",
          "VexRegFilter.sys: RelocateUnderClassesRootWow64() : DestinationString->Buffer allocate error",
          "VexRegFilter.sys: RelocateUnderUser() : DestinationString->Buffer allocate error"}},
    };
    for (const Walk& walk : walks) {
        const std::u16string& name = walk.name;
        Wide source(name);
        size_t before = vextest::LivePoolAllocations();
        std::set<std::string> printed;
        for (int failing = 1;; failing++) {
            UNICODE_STRING original = {}, redirect = {};
            ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&original, source.get()));
            ASSERT_EQ(STATUS_SUCCESS, CreateRedirectFullName(&original, &redirect));
            ULONG64 injectedBefore = vexsim::InjectedFailureCount();
            vexsim::ClearDebugOutput();
            vexsim::FailNthAllocation((ULONG64)failing);
            NTSTATUS status = GetActualPathForClassesWow64(&original, &redirect, KEY_WOW64_32KEY);
            vexsim::ClearAllocationFailures();
            for (const std::string& line : vexsim::DebugOutput()) {
                printed.insert(line);
            }
            bool reached = vexsim::InjectedFailureCount() != injectedBefore;
            if (reached && !NT_SUCCESS(status)) {
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << Utf8(name) << " allocation " << failing;
                EXPECT_TRUE(original.Buffer == nullptr && original.Length == 0 && redirect.Buffer == nullptr && redirect.Length == 0)
                    << Utf8(name) << " allocation " << failing;
            } else {
                EXPECT_EQ(STATUS_SUCCESS, status) << Utf8(name) << " allocation " << failing;
            }
            FreeOwnedString(&original);
            FreeOwnedString(&redirect);
            EXPECT_EQ(before, vextest::LivePoolAllocations()) << Utf8(name) << " allocation " << failing;
            if (!reached) {
                EXPECT_GT(failing, 1);
                break;
            }
        }
        EXPECT_EQ(walk.lines, printed) << Utf8(name);
    }
}

}  // namespace
