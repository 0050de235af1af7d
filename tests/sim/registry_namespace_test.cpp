// The key tree: names and their errors, symbolic links, the level and name limits, volatility,
// deletion and rename.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/registry_host.h"
#include "sim/executive/clock.h"

namespace vextest {
namespace {

constexpr char16_t kUserSid[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";

struct NameCase {
    const char* probe;
    std::u16string name;
    NTSTATUS expected;
};

TEST_F(RegistryTest, AbsoluteNamesOpenWithWindowsStatuses)
{
    const NameCase cases[] = {
        {"empty name is bad syntax", u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"the namespace root is no key", u"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {"relative name without a root", u"Machine\\Software", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"the registry root", u"\\Registry", STATUS_SUCCESS},
        {"registry root with trailing backslash", u"\\REGISTRY\\", STATUS_SUCCESS},
        {"unknown top-level object", u"\\Foobar", STATUS_OBJECT_NAME_NOT_FOUND},
        {"path below an unknown object", u"\\Foobar\\Machine", STATUS_OBJECT_PATH_NOT_FOUND},
        {"mixed case finds the key", u"\\registry\\machine\\software\\MICROSOFT", STATUS_SUCCESS},
        {"missing key", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing intermediate key", u"\\REGISTRY\\MACHINE\\Missing\\Sub", STATUS_OBJECT_NAME_NOT_FOUND},
        {"component of 256 characters", u"\\REGISTRY\\MACHINE\\" + std::u16string(256, u'x'), STATUS_INVALID_PARAMETER},
        {"application hives cannot be walked by name", u"\\REGISTRY\\A\\{00000000-0000-0000-0000-000000000000}",
         STATUS_ACCESS_DENIED},
        {"the application-hive parent itself opens", u"\\REGISTRY\\A", STATUS_SUCCESS},
    };
    for (const NameCase& c : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(c.expected, OpenKey(&key, c.name, KEY_READ)) << c.probe;
        EXPECT_EQ(c.expected == STATUS_SUCCESS, key != nullptr) << c.probe;
        if (key != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
        }
    }
}

TEST_F(RegistryTest, BootHivesAndLinksOpenUnderTheTargetsName)
{
    vexsim::ShutdownMachine();
    config.userSids = {Utf8(kUserSid), "S-1-5-21-1-2-3-1002"};
    vexsim::BootMachine(config);
    const std::string user = "\\REGISTRY\\USER\\" + Utf8(kUserSid);
    const struct {
        std::u16string name;
        ULONG attributes;  // beyond OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE
        ULONG options;
        std::string reported;
    } rows[] = {
        // Boot hives and the keys the driver expects on any machine.
        {u"\\REGISTRY\\MACHINE\\HARDWARE", 0, 0, "\\REGISTRY\\MACHINE\\HARDWARE"},
        {u"\\REGISTRY\\USER\\.DEFAULT", 0, 0, "\\REGISTRY\\USER\\.DEFAULT"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node", 0, 0, "\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node"},
        // The control-set link resolves to its target.
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", 0, 0,
         "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services"},
        // Each configured user's Software\Classes is the <SID>_Classes hive.
        {Utf16(user) + u"\\Software\\Classes\\CLSID", 0, 0, user + "_Classes\\CLSID"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1002\\Software\\Classes", 0, 0,
         "\\REGISTRY\\USER\\S-1-5-21-1-2-3-1002_Classes"},
        // OBJ_OPENLINK opens the link key itself.
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet", OBJ_OPENLINK, 0, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"},
        // The 32-bit SOFTWARE's Classes is the machine's 32-bit Classes.
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Classes\\CLSID", 0, 0,
         "\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID"},
    };
    for (const auto& row : rows) {
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, row.name, KEY_READ, nullptr,
                                          OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | row.attributes, row.options))
            << Utf8(row.name);
        EXPECT_EQ(row.reported, KeyNameOf(key));
        if (row.attributes != 0) {
            UCHAR buffer[256];
            ULONG length = 0;
            Wide valueName(u"SymbolicLinkValue");
            ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key, valueName.get(), KeyValuePartialInformation, buffer,
                                                      sizeof(buffer), &length));
            EXPECT_EQ((ULONG)REG_LINK, reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Type);
        }
        (void)ZwClose(key);
    }
}

TEST_F(RegistryTest, LinkKeysHoldOnlyTheirTargetAndLoopsFail)
{
    HANDLE link = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&link, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Loop",
                                        REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    EXPECT_EQ(STATUS_ACCESS_DENIED, SetDword(link, u"Other", 1)) << "a link key holds nothing but its target";
    std::u16string self = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Loop";
    Wide linkValue(u"SymbolicLinkValue");
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(link, linkValue.get(), 0, REG_LINK, self.data(),
                                            (ULONG)(self.size() * sizeof(char16_t))));
    HANDLE again = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, CreateKey(&again, self, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE));
    EXPECT_EQ(nullptr, again);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, OpenKey(&again, self, KEY_READ)) << "a link to itself is a loop";
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(link));
    (void)ZwClose(link);
}

TEST_F(RegistryTest, OneCallWalksAtMost32Levels)
{
    // \REGISTRY\MACHINE\SOFTWARE and 29 more levels make 32 components.
    std::u16string name = u"\\REGISTRY\\MACHINE\\SOFTWARE";
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&parent, name));
    for (int level = 4; level <= 33; level++) {
        HANDLE child = nullptr;
        std::u16string component = u"L" + Utf16(std::to_string(level));
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, component, 0, nullptr, parent)) << level;
        (void)ZwClose(parent);
        parent = child;
        name += u"\\" + component;
    }
    (void)ZwClose(parent);
    std::u16string level32 = name.substr(0, name.rfind(u'\\'));
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, level32, KEY_READ)) << "32 levels in one call";
    (void)ZwClose(key);
    EXPECT_EQ(STATUS_NAME_TOO_LONG, OpenKey(&key, name, KEY_READ)) << "33 levels in one call";
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, level32 + u"\\", KEY_READ)) << "a trailing backslash adds no level";
    (void)ZwClose(key);
    // The 33rd level relative to the 32nd.
    HANDLE head = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&head, level32, KEY_READ));
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&key, u"L33", KEY_READ, head));
    (void)ZwClose(key);
    (void)ZwClose(head);
}

TEST_F(RegistryTest, CreateMakesOnlyTheLastLevelAndOpensExistingKeys)
{
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\A1\\B1"));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\", 0, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", KeyNameOf(key));
    (void)ZwClose(key);
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\VENDOR", REG_OPTION_VOLATILE, &disposition));
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", KeyNameOf(key)) << "the case given at creation stays";
    (void)ZwClose(key);
}

TEST_F(RegistryTest, VolatileParentsTakeOnlyVolatileChildren)
{
    HANDLE parent = nullptr;
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Temp", REG_OPTION_VOLATILE));
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE, CreateKey(&child, u"Stable", 0, nullptr, parent));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, u"Fleeting", REG_OPTION_VOLATILE, nullptr, parent));
    KEY_FLAGS_INFORMATION flags{};
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(child, KeyFlagsInformation, &flags, sizeof(flags), &length));
    EXPECT_EQ((ULONG)REG_FLAG_VOLATILE, flags.KeyFlags);
    (void)ZwClose(child);
    (void)ZwClose(parent);
}

TEST_F(RegistryTest, ContainerHivesAreMountedBelowWcAndHoldLastingKeys)
{
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE, CreateKey(&key, u"\\REGISTRY\\WC\\Silo1user_sid"))
        << "\\REGISTRY\\WC is part of the volatile master hive";
    struct Row {
        const char* what;
        std::u16string name;
        NTSTATUS status;
    } rows[] = {
        {"a container's hive", u"Silo1user_sid", STATUS_SUCCESS},
        {"the same name in other case", u"SILO1USER_SID", STATUS_OBJECT_NAME_COLLISION},
        {"no name", u"", STATUS_OBJECT_NAME_INVALID},
        {"a path", u"Silo2\\user_sid", STATUS_OBJECT_NAME_INVALID},
        {"255 characters", std::u16string(255, u's'), STATUS_SUCCESS},
        {"256 characters", std::u16string(256, u's'), STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.status, vexsim::LoadContainerHive(row.name)) << row.what;
    }
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\WC\\Silo1user_sid\\Software"));
    EXPECT_EQ("\\REGISTRY\\WC\\Silo1user_sid\\Software", KeyNameOf(key));
    (void)ZwClose(key);
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\WC\\" + std::u16string(255, u's')));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(key)) << "a hive's root stays, even without subkeys";
    (void)ZwClose(key);
}

TEST_F(RegistryTest, DeleteRefusesParentsAndLeavesHandlesDeleted)
{
    HANDLE parent = nullptr;
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, u"Child", 0, nullptr, parent));
    ASSERT_EQ(STATUS_SUCCESS, SetDword(parent, u"Value", 7));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(parent)) << "a key with subkeys";
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(parent)) << "values do not keep a key";

    UCHAR buffer[128];
    ULONG length = 0;
    EXPECT_EQ(STATUS_KEY_DELETED, ZwQueryKey(parent, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(STATUS_KEY_DELETED, SetDword(parent, u"Value", 8));
    HANDLE below = nullptr;
    EXPECT_EQ(STATUS_KEY_DELETED, CreateKey(&below, u"Again", 0, nullptr, parent));
    HANDLE byName = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&byName, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", KEY_READ));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(parent));

    HANDLE hive = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&hive, u"\\REGISTRY\\MACHINE\\SAM"));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(hive)) << "hive roots stay";
    (void)ZwClose(hive);
}

TEST_F(RegistryTest, RenameChangesTheLastComponentOnly)
{
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&first, u"\\REGISTRY\\MACHINE\\SOFTWARE\\First"));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&second, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Second"));
    Wide onto(u"SECOND");
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwRenameKey(first, onto.get())) << "an existing sibling, in another case";
    Wide withSlash(u"a\\b");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwRenameKey(first, withSlash.get()));
    Wide renamed(u"Renamed");
    ASSERT_EQ(STATUS_SUCCESS, ZwRenameKey(first, renamed.get()));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Renamed", KeyNameOf(first));
    HANDLE reopened = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&reopened, u"\\REGISTRY\\MACHINE\\SOFTWARE\\First", KEY_READ));
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&reopened, u"\\REGISTRY\\MACHINE\\SOFTWARE\\renamed", KEY_READ));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Second", KeyNameOf(second)) << "the refused rename changed nothing";
    for (HANDLE key : {first, second, reopened}) {
        (void)ZwClose(key);
    }
}

TEST_F(RegistryTest, EveryChangeMovesTheLastWriteTime)
{
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Clock"));
    auto lastWrite = [&] {
        KEY_BASIC_INFORMATION info{};
        ULONG length = 0;
        (void)ZwQueryKey(key, KeyBasicInformation, &info, sizeof(info), &length);
        return info.LastWriteTime.QuadPart;
    };
    LONGLONG created = lastWrite();
    vexsim::AdvanceSimulatedClock(10'000'000);
    ASSERT_EQ(STATUS_SUCCESS, SetDword(key, u"V", 1));
    EXPECT_EQ(created + 10'000'000, lastWrite());
    vexsim::AdvanceSimulatedClock(10'000'000);
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&child, u"Child", 0, nullptr, key));
    EXPECT_EQ(created + 20'000'000, lastWrite()) << "a new subkey changes its parent";

    KEY_WRITE_TIME_INFORMATION set{};
    set.LastWriteTime.QuadPart = 42;
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, ZwSetInformationKey(key, KeyWriteTimeInformation, &set, 7));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetInformationKey(key, KeyWow64FlagsInformation, &set, 4));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetInformationKey(key, KeyWriteTimeInformation, &set, sizeof(set)));
    EXPECT_EQ(42, lastWrite());
    (void)ZwClose(child);
    (void)ZwClose(key);
}

NTSTATUS NTAPI OpenOwnServiceKey(PDRIVER_OBJECT, PUNICODE_STRING registryPath)
{
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &oa);
    if (NT_SUCCESS(status)) {
        (void)ZwClose(key);
    }
    return status;
}

TEST_F(RegistryTest, LoadedDriversFindTheirServiceKey)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(OpenOwnServiceKey, "Probe"));
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
}

}  // namespace
}  // namespace vextest
