// Preparing copies for creates and opens: the first copy, later opens, keys deleted or created in
// the sandbox, the trees of missing keys, the container correction and running out of pool.
#include "cow/cow.h"

#include "names/names.h"
#include "sim/cm/registry_host.h"
#include "sim/executive/clock.h"
#include "sim/machine/machine.h"
#include "tests/cow/cow_fixture.h"

#include <algorithm>

namespace {

using namespace vextest;

const std::u16string kRealB = kSoftware + u"\\A\\B";
const std::u16string kCopyA = R + u"\\MACHINE\\SOFTWARE\\A";
const std::u16string kCopyB = kCopyA + u"\\B";

struct Prepared {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG disposition = 0;
    ULONG hash = 0;
    bool object = false;           // a key object was handed back
    std::u16string objectName;     // what the configuration manager calls it
    std::u16string redirectName;   // the redirect name afterwards
};

class PrepareTest : public CowTest {
protected:
    void SetUp() override
    {
        CowTest::SetUp();
        Make(kRealB, {Dword(u"V1", 1), Dword(u"V2", 2)});
        Make(kRealB + u"\\X");
        Make(kRealB + u"\\Y", {Dword(u"OwnOfY", 3)});
    }

    // PrepareRedirectKey for a name addressed as `original` with the redirect name given in pool
    // memory, as the create and open handlers hold it; the key object is released at once.
    static Prepared PrepareWith(const std::u16string& original, REG_NOTIFY_CLASS notifyClass, PUNICODE_STRING redirectName)
    {
        Wide name(original);
        Prepared result;
        PVOID object = nullptr;
        result.disposition = 0xFF;
        result.status = PrepareRedirectKey(nullptr, name.get(), name.get(), redirectName, notifyClass, KEY_ALL_ACCESS,
                                           &result.disposition, &result.hash, &object);
        result.redirectName = Text(redirectName);
        if (object != nullptr) {
            result.object = true;
            PCUNICODE_STRING objectName = nullptr;
            EXPECT_EQ(STATUS_SUCCESS, CmCallbackGetKeyObjectID(&g_VexRegFilterData.CallbackCookie, object, nullptr, &objectName));
            result.objectName = Text(objectName);
            ObDereferenceObject(object);
        }
        return result;
    }
    // The same with the redirect name the handlers compute, or the one given.
    static Prepared Prepare(const std::u16string& original, REG_NOTIFY_CLASS notifyClass, const std::u16string& redirect = {})
    {
        Wide name(original);
        UNICODE_STRING redirectName = {};
        if (redirect.empty()) {
            EXPECT_EQ(STATUS_SUCCESS, CreateRedirectFullName(name.get(), &redirectName));
        } else {
            Wide given(redirect);
            EXPECT_EQ(STATUS_SUCCESS, DuplicateName(&redirectName, given.get()));
        }
        Prepared result = PrepareWith(original, notifyClass, &redirectName);
        FreeOwnedString(&redirectName);
        return result;
    }
    static ULONG HashOf(const std::u16string& name)
    {
        Wide wide(name);
        ULONG hash = 0;
        EXPECT_EQ(STATUS_SUCCESS, RegistryHistoryHash(wide.get(), &hash));
        return hash;
    }
    static void ClearHistories()
    {
        CTFinalize(&g_VexRegFilterData.CopyKeyHistory);
        CTFinalize(&g_VexRegFilterData.CopySubkeyHistory);
        CTFinalize(&g_VexRegFilterData.DifferenceHistory);
    }
    static void ExpectHistories(const std::u16string& name, bool copied, bool subkeys, bool different)
    {
        EXPECT_EQ(copied, InHistory(g_VexRegFilterData.CopyKeyHistory, name)) << Utf8(name);
        EXPECT_EQ(subkeys, InHistory(g_VexRegFilterData.CopySubkeyHistory, name)) << Utf8(name);
        EXPECT_EQ(different, InHistory(g_VexRegFilterData.DifferenceHistory, name)) << Utf8(name);
    }
};

TEST_F(PrepareTest, FirstOpenCopiesOneLevelAndRecordsIt)
{
    Prepared opened = Prepare(kRealB, RegNtPreOpenKeyEx);
    ASSERT_EQ(STATUS_SUCCESS, opened.status);
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, opened.disposition);
    EXPECT_EQ(kCopyB, opened.objectName);
    EXPECT_EQ(HashOf(kCopyB), opened.hash);
    EXPECT_EQ(ValuesOf(kRealB), ValuesOf(kCopyB));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), SubkeysOf(kCopyB));
    EXPECT_TRUE(ValuesOf(kCopyB + u"\\Y").empty());
    ExpectHistories(kCopyB, true, true, true);
    ExpectHistories(kCopyA, false, false, false);  // the path above is only created
    EXPECT_TRUE(ValuesOf(kCopyA).empty());
    for (const std::u16string& key : {R + u"\\MACHINE", kCopyA, kCopyB, kCopyB + u"\\X"}) {
        EXPECT_TRUE(IsVolatile(key)) << Utf8(key);
    }

    // The stub of Y is filled at its own first open.
    Prepared y = Prepare(kRealB + u"\\Y", RegNtPreOpenKeyEx);
    ASSERT_EQ(STATUS_SUCCESS, y.status);
    EXPECT_EQ(std::vector<TestValue>{Dword(u"OwnOfY", 3)}, ValuesOf(kCopyB + u"\\Y"));
}

TEST_F(PrepareTest, LaterOpensCopyNothingAndADeletedCopyStaysDeleted)
{
    ASSERT_EQ(STATUS_SUCCESS, Prepare(kRealB, RegNtPreOpenKeyEx).status);
    Make(kRealB + u"\\Z", {});
    Make(kRealB, {Dword(u"Later", 4)});

    Prepared again = Prepare(kRealB, RegNtPreOpenKeyEx);
    ASSERT_EQ(STATUS_SUCCESS, again.status);
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, again.disposition);
    EXPECT_EQ(again.hash, HashOf(kCopyB));
    EXPECT_EQ((std::vector<TestValue>{Dword(u"V1", 1), Dword(u"V2", 2)}), ValuesOf(kCopyB));
    EXPECT_EQ((std::vector<std::u16string>{u"X", u"Y"}), SubkeysOf(kCopyB));

    DeleteTree(kCopyB);
    ClearDebugOutput();
    Prepared open = Prepare(kRealB, RegNtPreOpenKeyEx);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, open.status);
    EXPECT_EQ(0u, open.disposition);
    EXPECT_FALSE(open.object);
    EXPECT_FALSE(Exists(kCopyB));

    CTFinalize(&g_VexRegFilterData.DifferenceHistory);
    Prepared create = Prepare(kRealB, RegNtPreCreateKeyEx);
    ASSERT_EQ(STATUS_SUCCESS, create.status);
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, create.disposition);
    EXPECT_TRUE(ValuesOf(kCopyB).empty());
    EXPECT_TRUE(SubkeysOf(kCopyB).empty());
    ExpectHistories(kCopyB, true, true, true);  // still "all stubs made": the real subkeys do not come back
    ExpectHistories(kCopyA, false, false, true);  // its list of subkeys changed
}

TEST_F(PrepareTest, KeysThatExistNowhereAreMadeOnlyInTheCopy)
{
    const struct {
        const char* what;
        std::u16string name;
        REG_NOTIFY_CLASS notifyClass;
        bool makeCopyParent;
        bool makeCopy;
        NTSTATUS status;
        ULONG disposition;
        bool preparesParent = false;  // a real parent not yet copied is prepared as its first open would
    } rows[] = {
        {"create below a parent copy", kSoftware + u"\\A\\New", RegNtPreCreateKeyEx, true, false, STATUS_SUCCESS, REG_CREATED_NEW_KEY},
        {"create below a parent that exists nowhere", kSoftware + u"\\Gone\\New", RegNtPreCreateKeyEx, false, false,
         STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"open of nothing", kSoftware + u"\\A\\New", RegNtPreOpenKeyEx, true, false, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"open of a copy without a real key", kSoftware + u"\\A\\New", RegNtPreOpenKeyEx, true, true, STATUS_SUCCESS,
         REG_OPENED_EXISTING_KEY},
        {"create below a real parent not yet copied", kRealB + u"\\New", RegNtPreCreateKeyEx, false, false, STATUS_SUCCESS,
         REG_CREATED_NEW_KEY, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::u16string copy = R + row.name.substr(9);
        const std::u16string parent = copy.substr(0, copy.rfind(u'\\'));
        if (row.makeCopyParent) {
            Make(parent);
        }
        if (row.makeCopy) {
            Make(copy);
        }
        Prepared prepared = Prepare(row.name, row.notifyClass);
        EXPECT_EQ(row.status, prepared.status);
        EXPECT_EQ(row.disposition, prepared.disposition);
        EXPECT_EQ(row.status == STATUS_SUCCESS, prepared.object);
        EXPECT_EQ(row.status == STATUS_SUCCESS, Exists(copy));
        EXPECT_EQ(row.makeCopyParent || row.preparesParent, Exists(parent)) << "nothing above the key is created";
        EXPECT_EQ(row.preparesParent, InHistory(g_VexRegFilterData.CopyKeyHistory, parent + u"\\"));
        if (row.preparesParent) {
            EXPECT_EQ(ValuesOf(kRealB), ValuesOf(parent));
            EXPECT_EQ((std::vector<std::u16string>{u"New", u"X", u"Y"}), SubkeysOf(parent));
        }
        ExpectHistories(copy, row.status == STATUS_SUCCESS, false, row.status == STATUS_SUCCESS);
        EXPECT_EQ(row.status == STATUS_SUCCESS, InHistory(g_VexRegFilterData.DifferenceHistory, parent + u"\\"));
        if (Exists(parent)) {
            DeleteTree(parent);
        }
        ClearHistories();
    }
    // The registry's root is never a parent to copy from: a key right below it makes nothing.
    const std::u16string orphan = R + u"\\MACHINE\\Orphan";
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Prepare(u"\\REGISTRY\\Nothing", RegNtPreCreateKeyEx, orphan + u"\\Nothing").status);
    EXPECT_FALSE(Exists(orphan));
}

// The root of an application hive has no copy: a key created directly below it brings the copy's
// levels above it, however its name ends; deeper keys, and keys below roots that are no hive's,
// still need their parent's copy.
TEST_F(PrepareTest, KeysDirectlyBelowAnApplicationHiveRootBringTheCopysLevelsAboveThem)
{
    const std::u16string hive = u"\\REGISTRY\\A\\{01234567-89ab-cdef-0123-456789abcdef}";
    const struct {
        const char* what;
        std::u16string name;
        NTSTATUS status;
    } rows[] = {
        {"directly below the root", hive + u"\\New", STATUS_SUCCESS},
        {"with a trailing separator", hive + u"\\New\\", STATUS_SUCCESS},
        {"below a key that exists nowhere", hive + u"\\Gone\\New", STATUS_OBJECT_NAME_NOT_FOUND},
        {"below a root that is no hive's", u"\\REGISTRY\\A\\{0123}\\New", STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Prepared prepared = Prepare(row.name, RegNtPreCreateKeyEx);
        EXPECT_EQ(row.status, prepared.status);
        EXPECT_EQ(row.status == STATUS_SUCCESS ? (ULONG)REG_CREATED_NEW_KEY : 0u, prepared.disposition);
        EXPECT_EQ(row.status == STATUS_SUCCESS, Exists(R + hive.substr(9) + u"\\New"));
        EXPECT_EQ(row.status == STATUS_SUCCESS, Exists(R + u"\\A")) << "nothing is made for a failed create";
        if (Exists(R + u"\\A")) {
            DeleteTree(R + u"\\A");
        }
        ClearHistories();
    }
}

TEST_F(PrepareTest, TreeWalksStartBelowTheRootTheNameLiesUnder)
{
    const std::u16string machineClasses = kRedirectMachineClasses;
    const struct {
        std::u16string name;
        NTSTATUS status;
        int creates;  // one absolute create of the root and the level below it, then one per level
    } rows[] = {
        {R + u"\\MACHINE\\SOFTWARE\\P\\Q", STATUS_SUCCESS, 4},
        {R + u"\\MACHINE\\SOFTWARE\\P\\Q\\", STATUS_SUCCESS, 4},
        {machineClasses + u"\\CLSID\\{X}", STATUS_SUCCESS, 2},
        {R, STATUS_SUCCESS, 1},            // a root alone is created (opened) whole
        {R + u"\\", STATUS_SUCCESS, 1},
        {kSoftware + u"\\Fresh\\Key", STATUS_SUCCESS, 4},  // below no root: from \REGISTRY\ on
        {u"\\REGISTRY\\A\\Foo", STATUS_ACCESS_DENIED, 2},  // application hives cannot be walked by name
        {u"\\REGISTRY\\", STATUS_INVALID_PARAMETER, 0},      // 20 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Utf8(row.name));
        UNICODE_STRING name = {};
        Wide text(row.name);
        ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, text.get()));
        HANDLE handle = nullptr;
        PVOID object = nullptr;
        StartCounting();
        EXPECT_EQ(row.status, CreateTreeAndGetKey(&name, KEY_READ, &handle, &object, nullptr));
        EXPECT_EQ(row.creates, creates.load());
        EXPECT_EQ(row.status == STATUS_SUCCESS, handle != nullptr);
        EXPECT_EQ(row.status == STATUS_SUCCESS, object != nullptr);
        if (object != nullptr) {
            std::u16string expected = row.name.back() == u'\\' ? row.name.substr(0, row.name.size() - 1) : row.name;
            EXPECT_EQ(expected, NameOf(handle));
            ObDereferenceObject(object);
            (void)ZwClose(handle);
        }
        StartCounting();
        EXPECT_EQ(row.status, CreateTreeNonVolatile(&name));
        EXPECT_EQ(row.creates, creates.load());
        FreeOwnedString(&name);
    }
    EXPECT_TRUE(IsVolatile(R + u"\\MACHINE\\SOFTWARE\\P\\Q")) << "made by the first walk";
    EXPECT_TRUE(IsVolatile(kSoftware + u"\\Fresh"));

    Wide settings(Text(&g_VexRegFilterData.RedirectInternetSettingsKey));
    ASSERT_EQ(STATUS_SUCCESS, CreateTreeNonVolatile(settings.get()));
    EXPECT_FALSE(IsVolatile(R + u"\\USER"));
    EXPECT_FALSE(IsVolatile(Text(settings.get())));

    // The redirect root itself must exist: the walk starts below it.
    DeleteTree(machineClasses);
    Wide belowMissingRoot(machineClasses + u"\\Sub");
    ClearDebugOutput();
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, CreateTreeNonVolatile(belowMissingRoot.get()));
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: CreateTreeNonVolatile - Failed to ZwCreateKey. path = " + Utf8(machineClasses) +
                                       "\\Sub status = c0000034"},
              vexsim::DebugOutput());
}

TEST_F(PrepareTest, OnlyTheInternetSettingsCopySurvivesARestart)
{
    const std::u16string settings = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + kInternetSettings;
    Make(settings + u"\\Zones", {Dword(u"Flags", 1)});
    ASSERT_EQ(STATUS_SUCCESS, CreateTreeNonVolatile(&g_VexRegFilterData.RedirectInternetSettingsKey));
    ASSERT_EQ(STATUS_SUCCESS, Prepare(settings + u"\\Zones", RegNtPreOpenKeyEx).status);
    ASSERT_EQ(STATUS_SUCCESS, Prepare(kRealB, RegNtPreOpenKeyEx).status);
    const std::u16string zonesCopy = Text(&g_VexRegFilterData.RedirectInternetSettingsKey) + u"\\Zones";
    ASSERT_EQ(std::vector<TestValue>{Dword(u"Flags", 1)}, ValuesOf(zonesCopy));

    ASSERT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie));
    g_VexRegFilterData.CallbackCookie.QuadPart = 0;
    vexsim::RebootMachine();
    EXPECT_EQ(std::vector<TestValue>{Dword(u"Flags", 1)}, ValuesOf(zonesCopy));
    EXPECT_FALSE(Exists(kCopyB));
    EXPECT_FALSE(Exists(R + u"\\MACHINE"));
}

TEST_F(PrepareTest, UserChoiceCopiesTakeTheRealWriteTimeFromWindows8)
{
    const std::u16string choice = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) +
                                  u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.txt\\UserChoice";
    const std::u16string choiceCopy = R + choice.substr(9);
    Make(choice, {Dword(u"Hash", 1)});
    Make(choiceCopy.substr(0, choiceCopy.rfind(u'\\')));
    const struct {
        ULONG osVersion;
        bool realTime;
    } rows[] = {{0x06020000, true}, {0x06010000, false}, {0x0A000000, true}};
    for (const auto& row : rows) {
        g_VexRegFilterData.OSVersion = row.osVersion;
        vexsim::AdvanceSimulatedClock(10'000'000);
        ASSERT_EQ(STATUS_SUCCESS, Prepare(choice, RegNtPreOpenKeyEx).status);
        HANDLE real, copy;
        KEY_BASIC_INFORMATION realInfo[4], copyInfo[4];
        ULONG length;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(choice, &real));
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(choiceCopy, &copy));
        ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(real, KeyBasicInformation, realInfo, sizeof(realInfo), &length));
        ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(copy, KeyBasicInformation, copyInfo, sizeof(copyInfo), &length));
        EXPECT_EQ(row.realTime, realInfo[0].LastWriteTime.QuadPart == copyInfo[0].LastWriteTime.QuadPart) << std::hex << row.osVersion;
        (void)ZwClose(real);
        (void)ZwClose(copy);
        DeleteTree(choiceCopy);
        ClearHistories();
    }

    // A UserChoice key created only in the sandbox has no write time to take: the create succeeds.
    const std::u16string urlChoice = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) +
                                     u"\\Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice";
    Make(R + urlChoice.substr(9, urlChoice.rfind(u'\\') - 9));
    ClearDebugOutput();
    Prepared created = Prepare(urlChoice, RegNtPreCreateKeyEx);
    EXPECT_EQ(STATUS_SUCCESS, created.status);
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, created.disposition);
    EXPECT_TRUE(HasDebugLine("VexRegFilter.sys: CreateRedirectKeyFirstTime - CopyWriteTimeInfo fail c0000034"));
}

// A process in a Windows container reaches its user classes through the container's hive: the
// copy's name becomes the name the key object really has, and its history hash follows.
class ContainerPrepareTest : public PrepareTest {
protected:
    void SetUp() override
    {
        PrepareTest::SetUp();
        const std::u16string hive = u"Silo0a1b2c3d-0000-1111-2222-333344445555user_classes";
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadContainerHive(hive));
        own = u"\\REGISTRY\\WC\\" + hive + u"\\Tessaline\\VexRegFilter";
        Make(own);
        // The link stands in for the container's view of the user's classes.
        HANDLE software, link;
        ASSERT_EQ(STATUS_SUCCESS, OpenPath(kSoftware, &software));
        Wide linkName(u"SiloLink"), valueName(u"SymbolicLinkValue");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, linkName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, software, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&link, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, nullptr));
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(link, valueName.get(), 0, REG_LINK, (PVOID)own.data(), (ULONG)(own.size() * sizeof(WCHAR))));
        (void)ZwClose(link);
        (void)ZwClose(software);
    }
    std::u16string own;
    const std::u16string viaLink = kSoftware + u"\\SiloLink";
};

TEST_F(ContainerPrepareTest, TheCopyTakesTheNameOfItsKeyObject)
{
    Prepared prepared = Prepare(kRealB, RegNtPreOpenKeyEx, viaLink + u"\\B");
    ASSERT_EQ(STATUS_SUCCESS, prepared.status);
    EXPECT_EQ(own + u"\\B", prepared.redirectName);
    EXPECT_EQ(own + u"\\B", prepared.objectName);
    EXPECT_EQ(HashOf(own + u"\\B"), prepared.hash);
    ExpectHistories(own + u"\\B", true, true, true);
    ExpectHistories(viaLink + u"\\B", false, false, false);
    EXPECT_EQ(ValuesOf(kRealB), ValuesOf(own + u"\\B"));

    // Opening the existing copy, and a path of missing keys, correct the name the same way.
    UNICODE_STRING name = {};
    Wide linked(viaLink + u"\\B");
    ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, linked.get()));
    PVOID object = nullptr;
    ULONG hash = 0;
    ASSERT_EQ(STATUS_SUCCESS, GetKeyObject(nullptr, linked.get(), &name, KEY_READ, &object, &hash));
    EXPECT_EQ(own + u"\\B", Text(&name));
    EXPECT_EQ(HashOf(own + u"\\B"), hash);
    ObDereferenceObject(object);
    FreeOwnedString(&name);

    Wide deeper(viaLink + u"\\New\\Deeper");
    ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, deeper.get()));
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateTreeAndGetKey(&name, KEY_READ, &handle, &object, &hash));
    EXPECT_EQ(own + u"\\New\\Deeper", Text(&name));
    EXPECT_EQ(HashOf(own + u"\\New\\Deeper"), hash);
    ObDereferenceObject(object);
    (void)ZwClose(handle);
    FreeOwnedString(&name);

    // A name that already is the object's name (with or without a trailing separator), or one
    // outside the driver's container key, stays.
    for (const std::u16string& kept : {own + u"\\B", own + u"\\B\\", kRealB}) {
        Wide keptName(kept);
        ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, keptName.get()));
        ASSERT_EQ(STATUS_SUCCESS, GetKeyObject(nullptr, keptName.get(), &name, KEY_READ, &object, &hash));
        EXPECT_EQ(kept, Text(&name));
        ObDereferenceObject(object);
        FreeOwnedString(&name);
    }

    // Without pool for the new name the old one stays, and the line says so.
    std::vector<std::string> lines;
    ForEachAllocationFailure(
        [&] {
            ClearDebugOutput();
            if (!NT_SUCCESS(DuplicateName(&name, linked.get()))) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            NTSTATUS status = GetKeyObject(nullptr, linked.get(), &name, KEY_READ, &object, &hash);
            if (HasDebugLine("TempString")) {
                lines = vexsim::DebugOutput();
                EXPECT_EQ(STATUS_SUCCESS, status);
                EXPECT_EQ(viaLink + u"\\B", Text(&name));
            }
            if (NT_SUCCESS(status)) {
                ObDereferenceObject(object);
            }
            FreeOwnedString(&name);
            return status;
        },
        [](NTSTATUS, int) {});
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: GetKeyObject - Failed to allocate resource for TempString."}, lines);
}

TEST_F(PrepareTest, FailedReferencesAndObjectNamesLeaveNothingBehind)
{
    PVOID none = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetKeyObject(nullptr, nullptr, nullptr, KEY_READ, &none, nullptr)) << "no copy named";
    EXPECT_EQ(nullptr, none);

    Make(kCopyB);
    const std::u16string missing = R + u"\\MACHINE\\SOFTWARE\\Missing\\Key";
    Wide real(kRealB), copy(kCopyB), missingName(missing);
    const struct {
        const char* what;
        std::function<NTSTATUS(PUNICODE_STRING, PVOID*)> call;
        bool failReference;  // else the object's name cannot be had
        NTSTATUS status;
        std::string line;
    } rows[] = {
        {"CreateRedirectTree",
         [&](PUNICODE_STRING name, PVOID* object) {
             ULONG hash = 0;
             return CreateRedirectTree(nullptr, name, real.get(), name, TRUE, KEY_READ, TRUE, &hash, object);
         },
         true, STATUS_INSUFFICIENT_RESOURCES,
         "VexRegFilter.sys: CreateRedirectTree - Failed to ObReferenceObjectByHandle. path = " + Utf8(kCopyB) + " status = c000009a"},
        {"CreateRedirectTree through CreateTreeAndGetKey",
         [&](PUNICODE_STRING, PVOID* object) {
             UNICODE_STRING name = {};
             EXPECT_EQ(STATUS_SUCCESS, DuplicateName(&name, missingName.get()));
             ULONG hash = 0;
             NTSTATUS status = CreateRedirectTree(nullptr, &name, real.get(), &name, FALSE, KEY_READ, TRUE, &hash, object);
             FreeOwnedString(&name);
             return status;
         },
         true, STATUS_INSUFFICIENT_RESOURCES,
         "VexRegFilter.sys: CreateRedirectTree - Failed to CreateTreeAndGetKey. path = " + Utf8(missing) + " status = c000009a"},
        {"CreateTreeAndGetKey, no name",
         [&](PUNICODE_STRING name, PVOID* object) {
             HANDLE handle = nullptr;
             NTSTATUS status = CreateTreeAndGetKey(name, KEY_READ, &handle, object, nullptr);
             EXPECT_EQ(nullptr, handle);
             return status;
         },
         false, STATUS_INVALID_PARAMETER, "VexRegFilter.sys: CreateTreeAndGetKey - Failed to CmCallbackGetKeyObjectID. NTStatus = c000000d"},
        {"GetKeyObject, no name",
         [&](PUNICODE_STRING name, PVOID* object) { return GetKeyObject(nullptr, name, name, KEY_READ, object, nullptr); },
         false, STATUS_INVALID_PARAMETER, "VexRegFilter.sys: GetKeyObject - Failed to CmCallbackGetKeyObjectID. NTStatus = c000000d"},
        {"GetKeyObject, no reference",
         [&](PUNICODE_STRING name, PVOID* object) { return GetKeyObject(nullptr, name, name, KEY_READ, object, nullptr); }, true,
         STATUS_INSUFFICIENT_RESOURCES, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        UNICODE_STRING name = {};
        ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, copy.get()));
        LARGE_INTEGER cookie = g_VexRegFilterData.CallbackCookie;
        if (row.failReference) {
            vexsim::FailNthHandleReference(1, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            g_VexRegFilterData.CallbackCookie.QuadPart = 0x1234;  // no registration has this cookie
        }
        ClearDebugOutput();
        PVOID object = (PVOID)1;
        EXPECT_EQ(row.status, row.call(&name, &object));
        EXPECT_EQ(nullptr, object);
        g_VexRegFilterData.CallbackCookie = cookie;
        vexsim::FailNthHandleReference(0, STATUS_SUCCESS);
        std::vector<std::string> lines = vexsim::DebugOutput();
        EXPECT_EQ(!row.line.empty(), std::find(lines.begin(), lines.end(), row.line) != lines.end()) << row.line;
        FreeOwnedString(&name);
    }
    // The container correction is no reason to fail a copy that exists: CreateRedirectTree goes on.
    UNICODE_STRING name = {};
    ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&name, copy.get()));
    LARGE_INTEGER cookie = g_VexRegFilterData.CallbackCookie;
    g_VexRegFilterData.CallbackCookie.QuadPart = 0x1234;
    PVOID object = nullptr;
    ULONG hash = 0;
    EXPECT_EQ(STATUS_SUCCESS, CreateRedirectTree(nullptr, &name, real.get(), &name, FALSE, KEY_READ, FALSE, &hash, &object));
    g_VexRegFilterData.CallbackCookie = cookie;
    ASSERT_NE(nullptr, object);
    ObDereferenceObject(object);
    FreeOwnedString(&name);
}

// Running out of pool at any point of a first open ends with a clear status and nothing held, and
// the next open makes the copy complete.
TEST_F(PrepareTest, EveryAllocationFailureOfAFirstOpenIsCompletedByTheNextOpen)
{
    size_t baseline = 0;
    auto reset = [&] {
        if (Exists(R + u"\\MACHINE")) {
            DeleteTree(R + u"\\MACHINE");
        }
        ClearHistories();
        EXPECT_EQ(baseline, LivePoolAllocations());
    };
    auto expectComplete = [&] {
        EXPECT_EQ(ValuesOf(kRealB), ValuesOf(kCopyB));
        EXPECT_EQ(SubkeysOf(kRealB), SubkeysOf(kCopyB));
        EXPECT_TRUE(InHistory(g_VexRegFilterData.CopyKeyHistory, kCopyB));
    };
    Wide copyName(kCopyB);
    UNICODE_STRING redirectName = {};
    ASSERT_EQ(STATUS_SUCCESS, DuplicateName(&redirectName, copyName.get()));
    baseline = LivePoolAllocations();
    Prepared last = ForEachAllocationFailure([&] { return PrepareWith(kRealB, RegNtPreOpenKeyEx, &redirectName); },
                                             [&](const Prepared& prepared, int failing) {
                                                 SCOPED_TRACE(failing);
                                                 if (prepared.status != STATUS_SUCCESS) {
                                                     EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, prepared.status);
                                                     EXPECT_FALSE(prepared.object);
                                                     EXPECT_EQ(0u, prepared.disposition);
                                                     EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, kCopyB));
                                                     ASSERT_EQ(STATUS_SUCCESS, Prepare(kRealB, RegNtPreOpenKeyEx).status);
                                                 }
                                                 expectComplete();
                                                 reset();
                                             });
    ASSERT_EQ(STATUS_SUCCESS, last.status);
    expectComplete();
    ExpectHistories(kCopyB, true, true, true);
    reset();
    FreeOwnedString(&redirectName);
}

}  // namespace
