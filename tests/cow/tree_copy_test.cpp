// Whole trees copied with their security and values, and single values written into new paths.
#include "cow/cow.h"

#include "names/url_allowlist.h"
#include "sim/machine/machine.h"
#include "sim/se/security.h"
#include "tests/cow/cow_fixture.h"

namespace {

using namespace vextest;

const std::u16string kTree = kSoftware + u"\\Tree";
const std::u16string kTreeCopy = R + u"\\MACHINE\\SOFTWARE\\Tree";

class TreeCopyTest : public CowTest {
protected:
    // The deepest key the registry allows below the copy's root: the source chain is as deep as
    // the copy can be.
    static std::u16string DeepestSource()
    {
        const size_t copyExtra = std::count(R.begin(), R.end(), u'\\') - 1;  // R's levels below \REGISTRY\MACHINE
        std::u16string name = kTree + u"\\Deep";
        for (size_t depth = std::count(name.begin(), name.end(), u'\\') - 1; depth < 512 - copyExtra; depth++) {
            name += u"\\d";
        }
        return name;
    }
    static std::u16string CopyOf(const std::u16string& source) { return R + source.substr(9); }

    void SetUp() override
    {
        CowTest::SetUp();
        Make(R + u"\\MACHINE\\SOFTWARE");  // a tree is copied below an existing key
    }

    void MakeTree()
    {
        Make(kTree, {Dword(u"Top", 1)});
        Make(kTree + u"\\A\\B", {Dword(u"Kept", 2), Dword(u"Skipped", 3)});
        Make(kTree + u"\\Hidden\\Below", {Dword(u"V", 4)});
        Make(kTree + u"\\Secured");
        HANDLE secured;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(kTree + u"\\Secured", &secured));
        vexsim::SecurityDescriptorBytes descriptor = vexsim::UserHiveSecurity("S-1-5-21-7-7-7-1000");
        EXPECT_EQ(STATUS_SUCCESS, ZwSetSecurityObject(secured, DACL_SECURITY_INFORMATION, descriptor.data()));
        (void)ZwClose(secured);
        // A link back to the top of the tree: followed, it would copy the tree into itself forever.
        Wide linkName(u"Loop");
        Wide linkValueName(u"SymbolicLinkValue");
        HANDLE tree, link;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(kTree, &tree));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, linkName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, tree, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&link, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_CREATE_LINK, nullptr));
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(link, linkValueName.get(), 0, REG_LINK, (PVOID)kTree.data(),
                                                (ULONG)(kTree.size() * sizeof(WCHAR))));
        (void)ZwClose(link);
        (void)ZwClose(tree);
        Make(DeepestSource(), {Dword(u"Bottom", 5)});

        Wide hidden(kTree + u"\\Hidden"), skipped(kTree + u"\\A\\B\\Skipped");
        ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(hidden.get()));
        ASSERT_EQ(STATUS_SUCCESS, InsertExcludeValue(skipped.get()));
    }
};

TEST_F(TreeCopyTest, CopiesEveryLevelWithSecurityButNoLinksAndNothingHidden)
{
    MakeTree();
    Wide source(kTree), target(kTreeCopy);
    ASSERT_EQ(STATUS_SUCCESS, CopyTreeAndSecurity(source.get(), target.get()));

    EXPECT_EQ((std::vector<std::u16string>{u"A", u"Deep", u"Secured"}), SubkeysOf(kTreeCopy));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Top", 1)}, ValuesOf(kTreeCopy));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Kept", 2)}, ValuesOf(kTreeCopy + u"\\A\\B"));
    EXPECT_FALSE(InHistory(g_VexRegFilterData.DifferenceHistory, kTreeCopy + u"\\A\\B")) << "excluded values are only skipped";
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Bottom", 5)}, ValuesOf(CopyOf(DeepestSource())));
    EXPECT_TRUE(IsVolatile(CopyOf(DeepestSource())));
    EXPECT_TRUE(IsVolatile(kTreeCopy));

    HANDLE sourceKey, copyKey;
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(kTree + u"\\Secured", &sourceKey));
    ASSERT_EQ(STATUS_SUCCESS, OpenPath(kTreeCopy + u"\\Secured", &copyKey));
    std::vector<UCHAR> sourceDacl(512), copyDacl(512);
    ULONG sourceLength = 0, copyLength = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwQuerySecurityObject(sourceKey, DACL_SECURITY_INFORMATION, sourceDacl.data(), 512, &sourceLength));
    EXPECT_EQ(STATUS_SUCCESS, ZwQuerySecurityObject(copyKey, DACL_SECURITY_INFORMATION, copyDacl.data(), 512, &copyLength));
    sourceDacl.resize(sourceLength);
    copyDacl.resize(copyLength);
    EXPECT_EQ(sourceDacl, copyDacl);
    (void)ZwClose(sourceKey);
    (void)ZwClose(copyKey);
}

// Of a URL-allowlist key in a tree only the values "1" and "2" are copied; the keys below it are
// no allowlist keys and keep all their values.
TEST_F(TreeCopyTest, OfAUrlAllowlistKeyOnlyValuesOneAndTwoAreCopied)
{
    const std::u16string policies = u"\\REGISTRY\\MACHINE\\Software\\Policies";
    const std::u16string policiesCopy = R + u"\\MACHINE\\Software\\Policies";
    const std::u16string allowlist = u"\\Microsoft\\Edge\\URLAllowlist";
    Make(policies + allowlist, {Dword(u"1", 1), Dword(u"2", 2), Dword(u"3", 3)});
    Make(policies + allowlist + u"\\Below", {Dword(u"3", 3)});
    ASSERT_EQ(STATUS_SUCCESS, UAPInitialize());
    Wide source(policies), target(policiesCopy);
    const NTSTATUS status = CopyTreeAndSecurity(source.get(), target.get());
    UAPFinalize();
    ASSERT_EQ(STATUS_SUCCESS, status);

    EXPECT_EQ((std::vector<TestValue>{Dword(u"1", 1), Dword(u"2", 2)}), ValuesOf(policiesCopy + allowlist));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"3", 3)}, ValuesOf(policiesCopy + allowlist + u"\\Below"));
}

TEST_F(TreeCopyTest, NothingToCopyOrNowhereToCopyToIsNoFailure)
{
    Make(kTree, {Dword(u"Top", 1)});
    Wide missing(kSoftware + u"\\Missing"), tree(kTree), copy(kTreeCopy), orphan(R + u"\\Nowhere\\Tree");
    const struct {
        PUNICODE_STRING source;
        PUNICODE_STRING target;
        NTSTATUS expected;
        std::vector<std::string> lines;
    } rows[] = {
        {missing.get(), copy.get(), STATUS_SUCCESS,
         {"VexRegFilter.sys: CopyTreeAndSecurity - Failed to ZwQueryKey. status = 0 key = " + Utf8(kSoftware) + "\\Missing"}},
        {tree.get(), orphan.get(), STATUS_SUCCESS,
         {"VexRegFilter.sys: CopyTreeAndSecurity - Failed to ZwCreateKey. status = 0 key = " + Utf8(R) + "\\Nowhere\\Tree"}},
        {nullptr, copy.get(), STATUS_INVALID_PARAMETER, {}},
        {tree.get(), nullptr, STATUS_INVALID_PARAMETER, {}},
    };
    for (const auto& row : rows) {
        ClearDebugOutput();
        EXPECT_EQ(row.expected, CopyTreeAndSecurity(row.source, row.target));
        EXPECT_EQ(row.lines, vexsim::DebugOutput());
    }
    EXPECT_FALSE(Exists(kTreeCopy));
    EXPECT_FALSE(Exists(R + u"\\Nowhere"));

    // A hidden source copies nothing and says nothing.
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(tree.get()));
    ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, CopyTreeAndSecurity(tree.get(), copy.get()));
    EXPECT_FALSE(Exists(kTreeCopy));
    EXPECT_TRUE(vexsim::DebugOutput().empty());
}

TEST_F(TreeCopyTest, EveryAllocationFailureLeavesNoLeakAndALaterCopyCompletes)
{
    Make(kTree + u"\\A\\B", {Dword(u"Kept", 2)});
    Make(kTree, {Dword(u"Top", 1)});
    Wide source(kTree), target(kTreeCopy);
    const size_t before = LivePoolAllocations();
    ForEachAllocationFailure(
        [&] {
            NTSTATUS status = CopyTreeAndSecurity(source.get(), target.get());
            EXPECT_EQ(before, LivePoolAllocations());
            if (Exists(kTreeCopy)) {
                DeleteTree(kTreeCopy);
            }
            return status;
        },
        [](NTSTATUS status, int failing) {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << failing << " " << std::hex << status;
        });
    ASSERT_EQ(STATUS_SUCCESS, CopyTreeAndSecurity(source.get(), target.get()));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Kept", 2)}, ValuesOf(kTreeCopy + u"\\A\\B"));
}

TEST_F(TreeCopyTest, OnlyTheInternetSettingsCopySurvivesARestart)
{
    const std::u16string settings = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + kInternetSettings;
    Make(settings + u"\\Zones\\0", {Dword(u"Flags", 1)});
    Make(kTree, {Dword(u"Top", 1)});
    Make(Text(&g_VexRegFilterData.RedirectInternetSettingsKey));
    Wide settingsName(settings), tree(kTree), treeCopy(kTreeCopy);
    ASSERT_EQ(STATUS_SUCCESS, CopyTreeAndSecurity(settingsName.get(), &g_VexRegFilterData.RedirectInternetSettingsKey));
    ASSERT_EQ(STATUS_SUCCESS, CopyTreeAndSecurity(tree.get(), treeCopy.get()));
    const std::u16string zonesCopy = Text(&g_VexRegFilterData.RedirectInternetSettingsKey) + u"\\Zones\\0";

    ASSERT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie));
    g_VexRegFilterData.CallbackCookie.QuadPart = 0;
    vexsim::RebootMachine();
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Flags", 1)}, ValuesOf(zonesCopy));
    EXPECT_FALSE(Exists(kTreeCopy));
}

TEST_F(TreeCopyTest, RegDataCreatesTheMissingPathVolatile)
{
    const std::u16string key = R + u"\\MACHINE\\System\\CurrentControlSet\\Control\\FileSystem";
    Wide keyName(key), valueName(u"LongPathsEnabled");
    ULONG one = 1;
    ASSERT_EQ(STATUS_SUCCESS, CreateRegData(keyName.get(), valueName.get(), REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"LongPathsEnabled", 1)}, ValuesOf(key));
    EXPECT_TRUE(IsVolatile(key));
    EXPECT_TRUE(IsVolatile(R + u"\\MACHINE\\System"));
    EXPECT_FALSE(IsVolatile(R)) << "existing keys are only opened";

    Wide tooShort(u"\\REGISTRY\\"), denied(u"\\REGISTRY\\A\\X\\Y");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateRegData(tooShort.get(), valueName.get(), REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateRegData(nullptr, valueName.get(), REG_DWORD, &one, sizeof(one)));
    ClearDebugOutput();
    EXPECT_EQ(STATUS_ACCESS_DENIED, CreateRegData(denied.get(), valueName.get(), REG_DWORD, &one, sizeof(one)));
    EXPECT_EQ(std::vector<std::string>{"CreateRegData Create Key Error : c0000022"}, vexsim::DebugOutput());
}

}  // namespace
