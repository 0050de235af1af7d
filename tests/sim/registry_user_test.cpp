// The registry as user processes see it: handles in the process's table, access checks against
// the key's DACL, the 32-bit view of WOW64 processes and application hives.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/user_registry.h"
#include "sim/ob/handles.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <initializer_list>
#include <vector>

namespace vextest {
namespace {

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

TEST_F(RegistryUserTest, UsersOwnTheirProfileAndClassesHivesButOnlyReadTheMachines)
{
    PEPROCESS process = StartProcess(false);
    const std::u16string profile = u"\\REGISTRY\\USER\\" + vextest::Utf16(process->userSid);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        for (const std::u16string& name : {profile + u"\\Software\\Vendor", profile + u"_Classes\\.vex"}) {
            ASSERT_EQ(STATUS_SUCCESS, UserCreate(&key, name)) << Utf8(name);
            (void)vexsim::NtClose(key);
        }
        EXPECT_EQ(STATUS_ACCESS_DENIED, UserCreate(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor"));
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
        (void)vexsim::NtClose(key);
    }
    vexsim::EndProcess(process);
}

// Which names a WOW64 process reaches is settled row by row in the conformance suite; here, the
// names its handles report, for a redirected Classes subkey and for a key it creates.
TEST_F(RegistryUserTest, Wow64ProcessesCreateAndReportKeysInThe32BitView)
{
    // Only an administrator may create keys in HKLM\SOFTWARE.
    PEPROCESS process = StartProcess(true, true);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID", KEY_READ));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Wow6432Node\\CLSID", UserKeyName(key));
        (void)vexsim::NtClose(key);
        ASSERT_EQ(STATUS_SUCCESS, UserCreate(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\New32"));
        EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\New32", UserKeyName(key));
        (void)vexsim::NtClose(key);
    }
    vexsim::EndProcess(process);
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

// A self-relative descriptor owned by Administrators whose DACL grants SYSTEM and Administrators
// full control and the Users group only `usersAccess` (no entry for Users when it is 0), built
// with the run-time library's routines as a driver would.
std::vector<UCHAR> DescriptorGrantingUsers(ACCESS_MASK usersAccess)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, 5}};
    auto makeSid = [&](std::vector<UCHAR>& sid, std::initializer_list<ULONG> subAuthorities) {
        sid.resize(RtlLengthRequiredSid((ULONG)subAuthorities.size()));
        EXPECT_EQ(STATUS_SUCCESS, RtlInitializeSid(sid.data(), &ntAuthority, (UCHAR)subAuthorities.size()));
        ULONG index = 0;
        for (ULONG subAuthority : subAuthorities) {
            *RtlSubAuthoritySid(sid.data(), index++) = subAuthority;
        }
    };
    std::vector<UCHAR> system, administrators, users;
    makeSid(system, {18});
    makeSid(administrators, {32, 544});
    makeSid(users, {32, 545});
    std::vector<UCHAR> dacl(256);
    PACL acl = reinterpret_cast<PACL>(dacl.data());
    EXPECT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, (ULONG)dacl.size(), ACL_REVISION));
    EXPECT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, system.data()));
    EXPECT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, administrators.data()));
    if (usersAccess != 0) {
        EXPECT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, usersAccess, users.data()));
    }
    SECURITY_DESCRIPTOR absolute;
    EXPECT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(STATUS_SUCCESS, RtlSetOwnerSecurityDescriptor(&absolute, administrators.data(), FALSE));
    EXPECT_EQ(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE));
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length));
    std::vector<UCHAR> relative(length);
    EXPECT_EQ(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&absolute, relative.data(), &length));
    return relative;
}

// A user caller is checked against the key's DACL with its process's token; so is a kernel
// caller that asks with OBJ_FORCE_ACCESS_CHECK, here a driver running in the user's thread.
// Without the flag the kernel caller gets what it asks for.
TEST_F(RegistryUserTest, UserAndForcedCallersAreCheckedAgainstTheDacl)
{
    struct Row {
        const char* what;
        ACCESS_MASK usersAccess;  // what the key's DACL grants Users (0: no entry for Users)
        bool administrator;       // the process is an elevated administrator's
        ACCESS_MASK desired;
        NTSTATUS checked;         // the user's open and the forced kernel open
    } rows[] = {
        {"Users get nothing: reading", 0, false, KEY_READ, STATUS_ACCESS_DENIED},
        {"Users get nothing: the maximum", 0, false, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED},
        {"Users may read: reading", KEY_READ, false, KEY_READ, STATUS_SUCCESS},
        {"Users may read: writing", KEY_READ, false, KEY_SET_VALUE, STATUS_ACCESS_DENIED},
        {"Users may read: deleting", KEY_READ, false, DELETE, STATUS_ACCESS_DENIED},
        {"the SACL needs a privilege a user lacks", KEY_READ, false, KEY_READ | ACCESS_SYSTEM_SECURITY,
         STATUS_PRIVILEGE_NOT_HELD},
        {"Administrators have full control", 0, true, KEY_ALL_ACCESS, STATUS_SUCCESS},
        {"an administrator holds the SACL privilege", 0, true, KEY_READ | ACCESS_SYSTEM_SECURITY, STATUS_SUCCESS},
    };
    const std::u16string name = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Locked";
    const ULONG kernelAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<UCHAR> descriptor = DescriptorGrantingUsers(row.usersAccess);
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), kernelAttributes, nullptr, descriptor.data());
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));

        PEPROCESS process = StartProcess(false, row.administrator);
        {
            vexsim::UserModeScope user(process);
            HANDLE opened = nullptr;
            EXPECT_EQ(row.checked, UserOpen(&opened, name, row.desired)) << "user mode";
            EXPECT_EQ(NT_SUCCESS(row.checked), opened != nullptr) << "user mode";
            if (opened != nullptr) {
                EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(opened));
            }
            HANDLE forced = nullptr;
            EXPECT_EQ(row.checked, OpenKey(&forced, name, row.desired, nullptr, kernelAttributes | OBJ_FORCE_ACCESS_CHECK))
                << "kernel mode, forced";
            EXPECT_EQ(NT_SUCCESS(row.checked), forced != nullptr) << "kernel mode, forced";
            if (forced != nullptr) {
                (void)ZwClose(forced);
            }
            HANDLE trusted = nullptr;
            EXPECT_EQ(STATUS_SUCCESS, OpenKey(&trusted, name, row.desired, nullptr, kernelAttributes)) << "kernel mode";
            (void)ZwClose(trusted);
            HANDLE child = nullptr;
            EXPECT_EQ(row.administrator ? STATUS_SUCCESS : STATUS_ACCESS_DENIED, UserCreate(&child, name + u"\\Child"))
                << "creating needs KEY_CREATE_SUB_KEY on the parent";
            if (child != nullptr) {
                EXPECT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(child));
                EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(child));
            }
        }
        vexsim::EndProcess(process);
        EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key));
        (void)ZwClose(key);
    }
}

// Creating a key grants the creator what it asks for, but the right to the SACL still needs the
// privilege, and a refused create leaves no key behind.
TEST_F(RegistryUserTest, CreatingAKeyDoesNotGrantTheSaclRightWithoutThePrivilege)
{
    std::vector<UCHAR> descriptor = DescriptorGrantingUsers(KEY_READ | KEY_CREATE_SUB_KEY);
    Wide parentName(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Shared");
    OBJECT_ATTRIBUTES parentAttributes;
    InitializeObjectAttributes(&parentAttributes, parentName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               descriptor.data());
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&parent, KEY_ALL_ACCESS, &parentAttributes, 0, nullptr, 0, nullptr));
    PEPROCESS process = StartProcess(false);
    {
        vexsim::UserModeScope user(process);
        Wide name(u"Child");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE shared = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&shared, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Shared", KEY_READ | KEY_CREATE_SUB_KEY));
        oa.RootDirectory = shared;
        HANDLE child = nullptr;
        ULONG disposition = 0;
        EXPECT_EQ(STATUS_PRIVILEGE_NOT_HELD,
                  vexsim::NtCreateKey(&child, KEY_READ | ACCESS_SYSTEM_SECURITY, &oa, 0, nullptr, 0, &disposition));
        EXPECT_EQ(nullptr, child);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition));
        EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition) << "the refused create left nothing";
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(child)) << "the creator has what it asked for";
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(child));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(shared));
    }
    vexsim::EndProcess(process);
    (void)ZwClose(parent);
}

}  // namespace
}  // namespace vextest
