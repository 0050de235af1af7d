// The registry as user processes see it: handles in the process's table, access checks against
// the key's DACL, the 32-bit view of WOW64 processes and application hives.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/user_registry.h"
#include "sim/ob/handles.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

namespace vextest {
namespace {

class RegistryUserTest : public RegistryTest {
protected:
    PEPROCESS StartProcess(bool wow64)
    {
        vexsim::ProcessParams params;
        params.imagePath = u"\\Device\\HarddiskVolume3\\Program Files\\app.exe";
        params.wow64 = wow64;
        return vexsim::CreateUserProcess(params);
    }

    static NTSTATUS UserOpen(PHANDLE key, const std::u16string& name, ACCESS_MASK access, HANDLE root = nullptr)
    {
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        return vexsim::NtOpenKeyEx(key, access, &oa, 0);
    }

    static NTSTATUS UserCreate(PHANDLE key, const std::u16string& name, HANDLE root = nullptr, ULONG options = 0)
    {
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        return vexsim::NtCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, options, nullptr);
    }

    static std::string UserKeyName(HANDLE key)
    {
        std::vector<UCHAR> buffer(1024);
        ULONG length = 0;
        if (vexsim::NtQueryKey(key, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length) != STATUS_SUCCESS) {
            return "<query failed>";
        }
        auto* info = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
        return Utf8(std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / 2));
    }
};

TEST_F(RegistryUserTest, HandlesLiveInTheProcessAndCarryTheirRights)
{
    PEPROCESS process = StartProcess(false);
    HANDLE kernelKey = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&kernelKey, u"\\REGISTRY\\MACHINE\\SOFTWARE"));
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
        EXPECT_FALSE(vexsim::IsKernelHandle(key));
        Wide name(u"v");
        ULONG data = 1;
        EXPECT_EQ(STATUS_ACCESS_DENIED, vexsim::NtSetValueKey(key, name.get(), 0, REG_DWORD, &data, sizeof(data)))
            << "opened for reading only";
        EXPECT_EQ(STATUS_ACCESS_DENIED, vexsim::NtDeleteKey(key));
        UCHAR buffer[64];
        ULONG length = 0;
        EXPECT_EQ(STATUS_INVALID_HANDLE,
                  vexsim::NtQueryKey(kernelKey, KeyBasicInformation, buffer, sizeof(buffer), &length))
            << "user mode cannot use kernel handles";
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
        EXPECT_EQ(STATUS_INVALID_HANDLE, vexsim::NtClose(key));
    }
    (void)ZwClose(kernelKey);
    vexsim::EndProcess(process);
}

TEST_F(RegistryUserTest, EndingAProcessClosesItsKeys)
{
    TestCallback callback;
    PEPROCESS process = StartProcess(false);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    }
    EXPECT_EQ(0u, callback.Count(RegNtPreKeyHandleClose));
    vexsim::EndProcess(process);
    EXPECT_EQ(1u, callback.Count(RegNtPreKeyHandleClose));
}

TEST_F(RegistryUserTest, Wow64ProcessesSeeThe32BitSoftwareView)
{
    HANDLE native = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&native, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Vendor"));
    (void)ZwClose(native);
    PEPROCESS process = StartProcess(true);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", KEY_READ));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Vendor", UserKeyName(key));
        (void)vexsim::NtClose(key);
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node", UserKeyName(key));
        (void)vexsim::NtClose(key);
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", KEY_READ));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID", UserKeyName(key));
        (void)vexsim::NtClose(key);
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
                  UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", KEY_READ | KEY_WOW64_64KEY))
            << "the 64-bit view on request";
        ASSERT_EQ(STATUS_SUCCESS, UserCreate(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\New32"));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\New32", UserKeyName(key));
        (void)vexsim::NtClose(key);
    }
    vexsim::EndProcess(process);

    // A kernel caller asks for the 32-bit view explicitly.
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor", KEY_READ | KEY_WOW64_32KEY));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Vendor", KeyNameOf(key));
    (void)ZwClose(key);
}

TEST_F(RegistryUserTest, ApplicationHivesAreReachedOnlyThroughTheirHandle)
{
    TestCallback callback;
    PEPROCESS process = StartProcess(false);
    std::u16string hiveName;
    {
        vexsim::UserModeScope user(process);
        HANDLE root = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root, &hiveName));
        EXPECT_EQ(Utf8(hiveName), UserKeyName(root));
        EXPECT_EQ(0u, Utf8(hiveName).find("\\REGISTRY\\A\\{"));
        EXPECT_EQ(Utf8(hiveName), callback.seen.front().name) << "callbacks see the loader's open";
        HANDLE sub = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserCreate(&sub, u"Settings", root));
        EXPECT_EQ(Utf8(hiveName) + "\\Settings", UserKeyName(sub));
        HANDLE byName = nullptr;
        EXPECT_EQ(STATUS_ACCESS_DENIED, UserOpen(&byName, hiveName + u"\\Settings", KEY_READ));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(root));
        EXPECT_EQ(Utf8(hiveName) + "\\Settings", UserKeyName(sub)) << "a key inside keeps the hive loaded";
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(sub));
    }
    HANDLE byName = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, OpenKey(&byName, hiveName, KEY_READ)) << "not even a driver walks \\REGISTRY\\A";
    vexsim::EndProcess(process);
}

// With the real security module: a user caller is checked against the key's DACL, a kernel
// caller only with OBJ_FORCE_ACCESS_CHECK. The descriptor here is the test stand-in's "deny
// everything" marker; after the merge use a DACL that grants the user nothing.
TEST_F(RegistryUserTest, UserAndForcedCallersAreCheckedAgainstTheDacl)
{
    HANDLE key = nullptr;
    char deny[] = "DENY";
    Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, deny);
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));
    (void)ZwClose(key);

    HANDLE trusted = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&trusted, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked", KEY_READ));
    (void)ZwClose(trusted);
    HANDLE forced = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, OpenKey(&forced, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked", KEY_READ, nullptr,
                                            OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK));
    EXPECT_EQ(nullptr, forced);
    PEPROCESS process = StartProcess(false);
    {
        vexsim::UserModeScope user(process);
        HANDLE denied = nullptr;
        EXPECT_EQ(STATUS_ACCESS_DENIED, UserOpen(&denied, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked", KEY_READ));
        EXPECT_EQ(STATUS_ACCESS_DENIED, UserCreate(&denied, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked\\Child"))
            << "creating needs KEY_CREATE_SUB_KEY on the parent";
        HANDLE allowed = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&allowed, u"\\REGISTRY\\MACHINE\\SOFTWARE", MAXIMUM_ALLOWED));
        UCHAR buffer[64];
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtQueryKey(allowed, KeyBasicInformation, buffer, sizeof(buffer), &length));
        (void)vexsim::NtClose(allowed);
    }
    vexsim::EndProcess(process);
}

}  // namespace
}  // namespace vextest
