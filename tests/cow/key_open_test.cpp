// Opening and creating keys for the driver's own work: names of any depth, application hives,
// keys below a redirected root object, and the volatility of keys in the copy.
#include "cow/cow.h"

#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tables/builtin_lists.h"
#include "tests/cow/cow_fixture.h"

#include <algorithm>

namespace {

using namespace vextest;

using KeyOpenTest = CowTest;

// A kernel handle that closes itself.
struct Handle {
    HANDLE value = nullptr;
    ~Handle()
    {
        if (value != nullptr) {
            (void)ZwClose(value);
        }
    }
};

TEST_F(KeyOpenTest, NamesOfAnyDepthOpenInOneCallPer32Levels)
{
    const struct {
        size_t levels;
        bool trailingSeparator;
        int expectedOpens;  // the head in one call, then one call per level of the tail
    } rows[] = {
        {31, false, 1},
        {32, false, 1},
        {32, true, 1},   // the trailing separator is no level
        {33, false, 2},  // the 33rd level is opened relative to the first 32
        {33, true, 2},
        {40, false, 9},
    };
    for (const auto& row : rows) {
        const std::u16string name = DeepName(row.levels);
        Make(name);
        Wide asked(name + (row.trailingSeparator ? u"\\" : u""));
        Handle key;
        StartCounting();
        ASSERT_EQ(STATUS_SUCCESS, OpenRegistryKey(&key.value, asked.get(), KEY_READ)) << row.levels;
        EXPECT_EQ(row.expectedOpens, opens.load()) << row.levels;
        EXPECT_EQ(name, NameOf(key.value));
    }
    // A missing level anywhere fails the walk and leaves nothing open (the unload check counts).
    for (size_t missingAt : {20, 36, 40}) {
        Wide asked(DeepName(40).substr(0, DeepName(missingAt).size()) + u"x" + DeepName(40).substr(DeepName(missingAt).size()));
        Handle key;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenRegistryKey(&key.value, asked.get(), KEY_READ)) << missingAt;
        EXPECT_EQ(nullptr, key.value);
    }
}

TEST_F(KeyOpenTest, CreateMakesOnlyTheLastLevel)
{
    Make(DeepName(39));
    const struct {
        std::u16string name;
        NTSTATUS expected;
    } rows[] = {
        {kSoftware + u"\\New", STATUS_SUCCESS},
        {kSoftware + u"\\Missing\\New", STATUS_OBJECT_NAME_NOT_FOUND},
        {DeepName(40), STATUS_SUCCESS},                        // the head and the tail opened, the last level created
        {DeepName(38) + u"\\Missing\\New", STATUS_OBJECT_NAME_NOT_FOUND},
        {DeepName(30) + u"\\Missing\\New", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const auto& row : rows) {
        Wide name(row.name);
        Handle key;
        StartCounting();
        EXPECT_EQ(row.expected, CreateRegistryKey(&key.value, name.get())) << Utf8(row.name);
        EXPECT_EQ(row.expected == STATUS_SUCCESS, Exists(row.name)) << Utf8(row.name);
        EXPECT_LE(creates.load(), 1) << Utf8(row.name);
    }
    EXPECT_FALSE(Exists(kSoftware + u"\\Missing"));
    EXPECT_FALSE(Exists(DeepName(38) + u"\\Missing"));

    // Creating an existing key opens it: its values stay.
    Make(kSoftware + u"\\Kept", {Dword(u"V", 7)});
    Wide kept(kSoftware + u"\\Kept\\");
    Handle key;
    EXPECT_EQ(STATUS_SUCCESS, CreateRegistryKey(&key.value, kept.get()));
    EXPECT_EQ(std::vector<TestValue>{Dword(u"V", 7)}, ValuesOf(kSoftware + u"\\Kept"));
}

TEST_F(KeyOpenTest, OnlyTheInternetSettingsSubtreeOfTheCopyIsNonVolatile)
{
    const std::u16string settings = R + u"\\USER\\" + kUserSid + kInternetSettings;
    Make(settings);
    const struct {
        std::u16string name;
        ULONG options;
    } rows[] = {
        {settings, REG_OPTION_NON_VOLATILE},
        {settings + u"\\", REG_OPTION_NON_VOLATILE},
        {settings + u"\\Zones", REG_OPTION_NON_VOLATILE},
        {settings + u"X", REG_OPTION_VOLATILE},  // a sibling that only begins the same way
        {R + u"\\MACHINE\\SOFTWARE\\Other", REG_OPTION_VOLATILE},
        {u"\\REGISTRY\\MACHINE", REG_OPTION_VOLATILE},
    };
    for (const auto& row : rows) {
        Wide name(row.name);
        EXPECT_EQ(row.options, GetRedirectCreateOptions(name.get())) << Utf8(row.name);
    }

    for (const std::u16string& name : {settings + u"\\Zones", settings + u"X", R + u"\\New"}) {
        Wide wide(name);
        Handle key;
        ASSERT_EQ(STATUS_SUCCESS, CreateRegistryKey(&key.value, wide.get())) << Utf8(name);
        EXPECT_EQ(GetRedirectCreateOptions(wide.get()) == REG_OPTION_VOLATILE, IsVolatile(name)) << Utf8(name);
    }

    // Configured with a trailing separator, the names that begin with it are the subtree.
    SetOwnedName(g_VexRegFilterData.RedirectInternetSettingsKey, settings + u"\\", false);
    for (const auto& row : rows) {
        if (row.name != settings) {
            Wide name(row.name);
            EXPECT_EQ(row.options, GetRedirectCreateOptions(name.get())) << Utf8(row.name) << " below a name with a separator";
        }
    }

    // Without an Internet Settings copy configured, or with an empty name, everything is volatile.
    Wide zones(settings + u"\\Zones");
    g_VexRegFilterData.RedirectInternetSettingsKey.Length = 0;
    EXPECT_EQ((ULONG)REG_OPTION_VOLATILE, GetRedirectCreateOptions(zones.get()));
    FreeOwnedString(&g_VexRegFilterData.RedirectInternetSettingsKey);
    EXPECT_EQ((ULONG)REG_OPTION_VOLATILE, GetRedirectCreateOptions(zones.get()));
}

class AppHiveOpenTest : public CowTest {
protected:
    void SetUp() override
    {
        CowTest::SetUp();
        owner = vexsim::CreateUserProcess({});
        stranger = vexsim::CreateUserProcess({});
        vexsim::UserModeScope scope(owner);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root, &hive));
        Wide sub(u"Sub");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, sub.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        HANDLE subKey;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtCreateKey(&subKey, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtClose(subKey));
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(root, 0, *CmKeyObjectType, KernelMode, &rootObject, nullptr));
        Wide hiveName(hive);
        ASSERT_EQ(STATUS_SUCCESS, AHLInsert(PsGetCurrentProcessId(), rootObject, hiveName.get()));
        ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(PsGetCurrentProcessId(), rootObject, hiveName.get()));
    }
    void TearDown() override
    {
        {
            vexsim::UserModeScope scope(owner);
            Wide hiveName(hive);
            AHLDelete(rootObject, hiveName.get());
            ObDereferenceObject(rootObject);
            EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(root));
        }
        vexsim::EndProcess(owner);
        vexsim::EndProcess(stranger);
        CowTest::TearDown();
    }
    PEPROCESS owner = nullptr;
    PEPROCESS stranger = nullptr;
    HANDLE root = nullptr;
    PVOID rootObject = nullptr;
    std::u16string hive;
};

TEST_F(AppHiveOpenTest, KeysInsideTheHiveOpenOnlyThroughTheProcessRoot)
{
    Wide sub(hive + u"\\Sub");
    {
        vexsim::UserModeScope scope(owner);
        Handle key;
        ASSERT_EQ(STATUS_SUCCESS, OpenRegistryKey(&key.value, sub.get(), KEY_READ));
        EXPECT_EQ(hive + u"\\Sub", NameOf(key.value));
        Handle keyEx;
        ASSERT_EQ(STATUS_SUCCESS, OpenRegistryKeyEx(nullptr, sub.get(), &keyEx.value, sub.get()));
        // Creation never looks into application hives: \REGISTRY\A cannot be walked by name.
        Handle created;
        EXPECT_EQ(STATUS_ACCESS_DENIED, CreateRegistryKeyEx(nullptr, sub.get(), &created.value, sub.get()));
        EXPECT_EQ(nullptr, created.value);
    }
    vexsim::UserModeScope scope(stranger);
    const struct {
        NTSTATUS (*open)(PHANDLE, PUNICODE_STRING);
        std::string line;
    } rows[] = {
        {[](PHANDLE handle, PUNICODE_STRING name) { return OpenRegistryKey(handle, name, KEY_READ); },
         "VexRegFilter.sys: OpenRegistryKey - Failed to AHLLookup. status = c0000034 key = "},
        {[](PHANDLE handle, PUNICODE_STRING name) { return OpenRegistryKeyEx(nullptr, name, handle, name); },
         "VexRegFilter.sys: OpenRegistryKeyEx - Failed to AHLLookup. status = c0000034 key = "},
    };
    for (const auto& row : rows) {
        ClearDebugOutput();
        Handle key;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, row.open(&key.value, sub.get()));
        EXPECT_EQ(nullptr, key.value);
        EXPECT_EQ(std::vector<std::string>{row.line + Utf8(hive) + "\\Sub"}, vexsim::DebugOutput());
    }
}

// Below the hive root the name is relative: its first 32 levels take one call, each level after
// them one more.
TEST_F(AppHiveOpenTest, DeepKeysInsideTheHiveOpenInOneCallPer32Levels)
{
    vexsim::UserModeScope scope(owner);
    Wide sub(u"Sub");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, sub.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    HANDLE parentKey;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::NtOpenKey(&parentKey, KEY_ALL_ACCESS, &oa));
    for (int level = 2; level <= 40; level++) {
        Wide name(u"L" + Utf16(std::to_string(level)));
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, parentKey, nullptr);
        HANDLE child;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtClose(parentKey));
        parentKey = child;
    }
    ASSERT_EQ(STATUS_SUCCESS, vexsim::NtClose(parentKey));
    const struct {
        int levels;  // below the hive root
        bool trailingSeparator;
        int expectedOpens;
    } rows[] = {{32, false, 1}, {32, true, 1}, {33, false, 2}, {40, false, 9}};
    for (const auto& row : rows) {
        std::u16string name = hive + u"\\Sub";
        for (int level = 2; level <= row.levels; level++) {
            name += u"\\L" + Utf16(std::to_string(level));
        }
        Wide asked(name + (row.trailingSeparator ? u"\\" : u""));
        Handle key;
        StartCounting();
        ASSERT_EQ(STATUS_SUCCESS, OpenRegistryKey(&key.value, asked.get(), KEY_READ)) << row.levels;
        EXPECT_EQ(row.expectedOpens, opens.load()) << row.levels;
        EXPECT_EQ(name, NameOf(key.value));
    }
}

// The calls a walk of a full name makes: one for the first 32 levels, one per level after them.
int WalkCalls(const std::u16string& name)
{
    int levels = (int)std::count(name.begin(), name.end(), u'\\');
    return levels <= 32 ? 1 : 1 + levels - 32;
}

// An operation that named one level below a redirected key deeper than 32 levels.
class BelowRootObjectTest : public CowTest {
protected:
    void SetUp() override
    {
        CowTest::SetUp();
        parentName = R + DeepName(36).substr(9);
        Make(parentName + u"\\Leaf");
        ASSERT_EQ(STATUS_SUCCESS, parent.CreatePath(parentName));
        information.RootObject = parent.object();
        information.Version = 1;
        information.RemainingName = remaining.get();
    }
    void TearDown() override
    {
        parent = KernelKey();
        CowTest::TearDown();
    }
    KernelKey parent;
    std::u16string parentName;
    Wide remaining{u"Leaf"};
    REG_CREATE_KEY_INFORMATION_V1 information = {};
};

TEST_F(BelowRootObjectTest, IsReachedFromTheRootObjectWhenTheBlockSaysSo)
{
    Wide leaf(parentName + u"\\Leaf");
    Wide slashed(u"Leaf\\");
    Wide outside(DeepName(37));  // the same depth outside the redirect root
    Make(DeepName(37));
    const struct {
        const char* what;
        ULONG_PTR version;
        PUNICODE_STRING remainingName;
        PUNICODE_STRING name;
        int expectedOpens;
    } rows[] = {
        {"one level below the root object", 1, remaining.get(), leaf.get(), 1},
        // A block of version 0 has no RemainingName: whatever lies there is never read.
        {"version 0", 0, (PUNICODE_STRING)(ULONG_PTR)0x10, leaf.get(), WalkCalls(Text(leaf.get()))},
        {"a separator in the remaining name", 1, slashed.get(), leaf.get(), WalkCalls(Text(leaf.get()))},
        {"a name outside the redirect root", 1, remaining.get(), outside.get(), WalkCalls(DeepName(37))},
    };
    for (const auto& row : rows) {
        information.Version = row.version;
        information.RemainingName = row.remainingName;
        Handle key;
        StartCounting();
        ASSERT_EQ(STATUS_SUCCESS, OpenRegistryKeyEx(&information, row.name, &key.value, row.name)) << row.what;
        EXPECT_EQ(row.expectedOpens, opens.load()) << row.what;
        EXPECT_EQ(Text(row.name), NameOf(key.value)) << row.what;
    }

    // A create reaches the root object the same way and makes the one level, volatile.
    information.Version = 1;
    information.RemainingName = remaining.get();
    Wide fresh(u"Fresh");
    information.RemainingName = fresh.get();
    Wide freshName(parentName + u"\\Fresh");
    Handle created;
    StartCounting();
    ASSERT_EQ(STATUS_SUCCESS, CreateRegistryKeyEx(&information, freshName.get(), &created.value, freshName.get()));
    EXPECT_EQ(1, creates.load());
    EXPECT_EQ(0, opens.load());
    EXPECT_TRUE(IsVolatile(parentName + u"\\Fresh"));

    // Without a block, or when the root object cannot serve, the name is walked.
    Handle walked;
    StartCounting();
    ASSERT_EQ(STATUS_SUCCESS, CreateRegistryKeyEx(nullptr, freshName.get(), &walked.value, freshName.get()));
    EXPECT_EQ(1, creates.load());
    EXPECT_EQ(WalkCalls(Text(freshName.get())) - 1, opens.load());
}

}  // namespace
