// Application hives through the callback: an open of a hive root by a sandboxed program is
// recorded, the record goes when that key object goes, whoever drops it last, and the root key the
// list holds never keeps a hive loaded that its program closed.
#include "tests/callback/callback_fixture.h"

#include "sim/cm/registry.h"
#include "tables/builtin_lists.h"

namespace {

using namespace vextest;

class AppHiveTest : public CallbackTest {
protected:
    HANDLE Load(PEPROCESS process)
    {
        vexsim::UserModeScope user(process);
        HANDLE root = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root, &hive_));
        return root;
    }
    bool IsLoaded() const
    {
        std::lock_guard lock(vexsim::TreeLock());
        return vexsim::FindAppHiveRoot(hive_.substr(hive_.rfind(u'\\') + 1)) != nullptr;
    }
    // Whether a key exists, looked at by the kernel by name.
    static bool Exists(const std::u16string& name)
    {
        Wide wide(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE key = nullptr;
        if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
            return false;
        }
        ZwClose(key);
        return true;
    }
    std::u16string hive_;
};

TEST_F(AppHiveTest, ASandboxedOpenOfAHiveRootIsRecordedUntilItsKeyObjectGoes)
{
    HANDLE outside = Load(outsider);
    EXPECT_TRUE(AHLIsEmpty()) << "programs outside the sandbox are not recorded";
    ASSERT_EQ(STATUS_SUCCESS, Close(outsider, outside));
    HANDLE machine = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, u"\\REGISTRY\\MACHINE", KEY_READ, &machine));
    EXPECT_TRUE(AHLIsEmpty()) << "nor are opens of other keys";
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, machine));

    vexsim::ClearDebugOutput();
    HANDLE root = Load(sandboxed);
    EXPECT_FALSE(AHLIsEmpty());
    EXPECT_TRUE(HasDebugLine("VexRegFilter.sys: Insert Hive Name = " + Utf8(hive_)));
    // The close of an object whose name cannot be had is named and goes on.
    vexsim::ClearDebugOutput();
    REG_KEY_HANDLE_CLOSE_INFORMATION notAKey = {sandboxed, nullptr, nullptr, nullptr};
    EXPECT_EQ(STATUS_SUCCESS, VexRegNtPreKeyHandleClose(&notAKey));
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: VexRegNtPreKeyHandleClose - Failed to CmCallbackGetKeyObjectID. "
                                       "NTStatus = c000000d"},
              vexsim::DebugOutput());
    EXPECT_FALSE(AHLIsEmpty());
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, root));
    EXPECT_TRUE(AHLIsEmpty());
    EXPECT_TRUE(HasDebugLine("VexRegFilter.sys: Free Resource. Hive Name = " + Utf8(hive_)));
    EXPECT_FALSE(IsLoaded());
}

// The last reference of a hive root's key object may go in another process than the one that
// opened it (here the system's, after a kernel component referenced the object): its pair goes all
// the same, so no pair outlives the object it names.
TEST_F(AppHiveTest, AKeyObjectThatGoesInAnotherProcessTakesItsPair)
{
    HANDLE root = Load(sandboxed);
    PVOID object = nullptr;
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(root, 0, *CmKeyObjectType, UserMode, &object, nullptr));
    }
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, root));
    EXPECT_FALSE(AHLIsEmpty()) << "the object lives on";
    ObDereferenceObject(object);
    EXPECT_TRUE(AHLIsEmpty());
    EXPECT_FALSE(IsLoaded());
}

// The list's root key is a key object of its own: the program's close of its root still tears
// the program's object down, the pair goes with it, and the root key with the last pair, so the
// hive unloads as it would without the driver.
TEST_F(AppHiveTest, TheListsRootKeyNeverKeepsAClosedHiveLoaded)
{
    HANDLE root = Load(sandboxed);
    PVOID object = nullptr;
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(root, 0, *CmKeyObjectType, UserMode, &object, nullptr));
        Wide name(hive_);
        ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(PsGetCurrentProcessId(), object, name.get()));
    }
    ObDereferenceObject(object);
    Wide below(hive_ + u"\\Software");
    PVOID rootKey = nullptr;
    UNICODE_STRING rest = {};
    ASSERT_EQ(STATUS_SUCCESS, AHLLookup(PsGetProcessId(sandboxed), below.get(), &rootKey, &rest));
    EXPECT_NE(object, rootKey);
    ObDereferenceObject(rootKey);

    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, root));
    EXPECT_TRUE(AHLIsEmpty());
    EXPECT_FALSE(IsLoaded());
}

// The program's new keys below the root of its own hive go to the copy. The root has no copy (it
// passes through), so the first create below it makes the copy's levels above the key; deeper, a
// key whose parent exists nowhere cannot be made, as without the sandbox, and an open makes
// nothing. The real hive stays as it was.
TEST_F(AppHiveTest, NewKeysBelowTheProgramsHiveRootAreMadeInTheCopy)
{
    HANDLE root = Load(sandboxed);
    const std::u16string copy = kRoot + hive_.substr(hive_.find(u"\\A\\"));
    HANDLE settings = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(sandboxed, u"Settings", KEY_READ, &settings, root));
    EXPECT_FALSE(Exists(copy));

    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, u"Settings", &settings, &disposition, root));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    EXPECT_TRUE(Exists(copy + u"\\Settings"));
    HANDLE other = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Create(sandboxed, u"Missing\\New", &other, nullptr, root));
    EXPECT_FALSE(Exists(copy + u"\\Missing"));
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(settings));
    }
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, settings));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(sandboxed, u"Settings", KEY_READ, &settings, root));
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, u"Settings", &settings, &disposition, root)) << "made again";
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, settings));
    {
        vexsim::UserModeScope user(sandboxed);
        UCHAR buffer[256];
        ULONG length = 0;
        EXPECT_EQ(STATUS_NO_MORE_ENTRIES, vexsim::NtEnumerateKey(root, 0, KeyBasicInformation, buffer, sizeof(buffer), &length))
            << "the real hive has no new key";
    }
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, root));
    EXPECT_TRUE(AHLIsEmpty());
}

}  // namespace
