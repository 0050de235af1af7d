// What a change through a redirected handle records, and the access a sandboxed caller gets to a
// key's copy: the real key's.
#include "tests/callback/callback_fixture.h"

#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

#include <cstring>

namespace {

using namespace vextest;

class PostOperationTest : public CallbackTest {
protected:
    static bool Differs(const std::u16string& name)
    {
        Wide wide(name);
        return RegistryHistoryExists(&g_VexRegFilterData.DifferenceHistory, wide.get(), nullptr, nullptr);
    }
};

TEST_F(PostOperationTest, ASuccessfulChangeThroughARedirectedHandleMarksItsCopy)
{
    const std::u16string parent = kRoot + u"\\MACHINE\\SOFTWARE\\Parent";
    const std::u16string key = parent + u"\\Key";
    Wide original(kSoftware + u"\\Parent\\Key"), redirect(key);
    ULONG hash = 0;
    ASSERT_EQ(STATUS_SUCCESS, RegistryHistoryHash(redirect.get(), &hash));
    CALLBACK_CONTEXT context = {};
    std::memcpy(context.Tag, TAG_CALLBACK_CONTEXT, sizeof(context.Tag));
    context.OriginalName = *original.get();
    context.RedirectName = *redirect.get();
    context.RedirectNameHash = hash;

    const struct {
        NTSTATUS (*handler)(PREG_POST_OPERATION_INFORMATION);
        const char* name;
        bool marksParent;
    } handlers[] = {
        {VexRegNtPostDeleteKey, "delete key", true},
        {VexRegNtPostRenameKey, "rename key", true},
        {VexRegNtPostSetValueKey, "set value", false},
        {VexRegNtPostDeleteValueKey, "delete value", false},
    };
    for (const auto& handler : handlers) {
        for (NTSTATUS status : {STATUS_SUCCESS, STATUS_ACCESS_DENIED}) {
            for (PVOID objectContext : {(PVOID)&context, (PVOID)nullptr}) {
                ASSERT_EQ(STATUS_SUCCESS, CTDeleteAllElements(&g_VexRegFilterData.DifferenceHistory));
                REG_POST_OPERATION_INFORMATION post = {nullptr, status, nullptr, STATUS_SUCCESS, nullptr, objectContext, nullptr};
                EXPECT_EQ(STATUS_SUCCESS, handler.handler(&post));
                bool marked = status == STATUS_SUCCESS && objectContext != nullptr;
                EXPECT_EQ(marked, Differs(key)) << handler.name << " " << std::hex << status;
                EXPECT_EQ(marked && handler.marksParent, Differs(parent)) << handler.name;
                // The key's own entry is found by the context's hash.
                EXPECT_EQ(marked, RegistryHistoryExists(&g_VexRegFilterData.DifferenceHistory, redirect.get(), &hash, nullptr));
            }
        }
    }
}

TEST_F(PostOperationTest, TracesNameEachHandler)
{
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_TRACE;
    REG_POST_OPERATION_INFORMATION post = {nullptr, STATUS_SUCCESS, nullptr, STATUS_SUCCESS, nullptr, nullptr, nullptr};
    vexsim::ClearDebugOutput();
    VexRegNtPostDeleteKey(&post);
    VexRegNtPostRenameKey(&post);
    VexRegNtPostKeyHandleClose(&post);
    EXPECT_EQ((std::vector<std::string>{"VexRegFilter - VexRegNtPostDeleteKey() - enter", "VexRegFilter - VexRegNtPostDeleteKey() - exit",
                                        "VexRegFilter.sys: VexRegNtPostRenameKey() - enter",
                                        "VexRegFilter.sys: VexRegNtPostRenameKey() - exit",
                                        "VexRegFilter.sys: VexRegNtPostKeyHandleClose() - enter",
                                        "VexRegFilter.sys: VexRegNtPostKeyHandleClose() - exit"}),
              vexsim::DebugOutput());
}

class AccessCheckTest : public CallbackTest {
protected:
    struct Answer {
        NTSTATUS status;
        ACCESS_MASK granted;
        bool operator==(const Answer&) const = default;
    };
    // The check as a handler makes it inside the callback, where the driver's own opens pass the
    // callback by: here in a program of the same user outside the sandbox.
    Answer Check(const std::u16string& name, KPROCESSOR_MODE mode, ACCESS_MASK desired)
    {
        vexsim::UserModeScope user(outsider);
        Wide wide(name);
        Answer answer = {STATUS_UNSUCCESSFUL, 0xFFFFFFFF};
        EXPECT_TRUE(RegAccessCheck(wide.get(), mode, desired, &answer.granted, &answer.status));
        return answer;
    }
};

// A sandboxed user may read the machine's keys but not write them; its own hive is its own. The
// access granted is what a handle to the real key would carry: generic rights mapped, the view
// bits gone, MAXIMUM_ALLOWED answered by the real key's descriptor.
TEST_F(AccessCheckTest, TheCopyGrantsWhatTheRealKeyWould)
{
    const std::u16string machine = kSoftware + u"\\Checked";
    const std::u16string deep = Deep(machine, 40);
    const std::u16string user = kUser + u"\\Software\\Checked";
    for (const std::u16string& name : {deep, user}) {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(name));
    }
    const struct {
        std::u16string name;
        KPROCESSOR_MODE mode;
        ACCESS_MASK desired;
        Answer answer;
    } rows[] = {
        {machine, UserMode, KEY_READ, {STATUS_SUCCESS, KEY_READ}},
        {machine, UserMode, KEY_WRITE, {STATUS_ACCESS_DENIED, 0}},
        {machine, UserMode, KEY_SET_VALUE | KEY_WOW64_64KEY, {STATUS_ACCESS_DENIED, 0}},
        {machine, KernelMode, KEY_WRITE, {STATUS_SUCCESS, KEY_WRITE}},  // a kernel caller is never refused
        {machine, UserMode, GENERIC_READ, {STATUS_SUCCESS, KEY_READ}},
        {machine, UserMode, GENERIC_READ | KEY_WOW64_32KEY, {STATUS_SUCCESS, KEY_READ}},
        {machine, UserMode, MAXIMUM_ALLOWED, {STATUS_SUCCESS, KEY_READ}},
        {machine, KernelMode, MAXIMUM_ALLOWED, {STATUS_SUCCESS, KEY_ALL_ACCESS}},
        {deep, UserMode, KEY_WRITE, {STATUS_ACCESS_DENIED, 0}},  // deeper than one open walks
        {deep, UserMode, GENERIC_READ, {STATUS_SUCCESS, KEY_READ}},
        {deep, UserMode, MAXIMUM_ALLOWED, {STATUS_SUCCESS, KEY_READ}},
        {user, UserMode, GENERIC_ALL, {STATUS_SUCCESS, KEY_ALL_ACCESS}},
        {user, UserMode, MAXIMUM_ALLOWED, {STATUS_SUCCESS, KEY_ALL_ACCESS}},
        // A key that does not exist grants what is asked, everything for MAXIMUM_ALLOWED.
        {machine + u"\\Missing", UserMode, GENERIC_WRITE, {STATUS_SUCCESS, KEY_WRITE}},
        {machine + u"\\Missing", UserMode, MAXIMUM_ALLOWED, {STATUS_SUCCESS, KEY_ALL_ACCESS}},
        {Deep(machine, 60) + u"\\Missing", UserMode, KEY_READ, {STATUS_SUCCESS, KEY_READ}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.answer, Check(row.name, row.mode, row.desired))
            << Utf8(row.name).substr(0, 60) << " mode " << (int)row.mode << " desired " << std::hex << row.desired;
    }
    EXPECT_EQ(std::vector<std::string>{}, vexsim::DebugOutput());

    // When the handle of the real key cannot be referenced, MAXIMUM_ALLOWED grants everything.
    vexsim::FailNthHandleReference(1, STATUS_INVALID_HANDLE);
    EXPECT_EQ((Answer{STATUS_SUCCESS, KEY_ALL_ACCESS}), Check(machine, UserMode, MAXIMUM_ALLOWED));
    vexsim::FailNthHandleReference(0, STATUS_SUCCESS);
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: RegAccessCheck - Failed to ObReferenceObjectByHandle. status = c0000008 key = " +
                                       Utf8(machine)},
              vexsim::DebugOutput());
}

// Inside an application hive the real key is reached through the hive's root key, once the
// process works below the root it opened; before that nothing is granted.
TEST_F(AccessCheckTest, KeysOfAnApplicationHiveAreCheckedThroughItsRootKey)
{
    HANDLE root = nullptr;
    std::u16string hive;
    PVOID rootObject = nullptr;
    {
        vexsim::UserModeScope user(outsider);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root, &hive));
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(root, 0, *CmKeyObjectType, KernelMode, &rootObject, nullptr));
    }
    const std::u16string sub = hive + u"\\Sub";
    Wide hiveName(hive);
    ASSERT_EQ(STATUS_SUCCESS, AHLInsert(PsGetProcessId(outsider), rootObject, hiveName.get()));
    vexsim::ClearDebugOutput();
    EXPECT_EQ((Answer{STATUS_SUCCESS, 0}), Check(sub, UserMode, KEY_READ));
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: RegAccessCheck - Failed to AHLLookup. status = c0000034 key = " +
                                       Utf8(sub)},
              vexsim::DebugOutput());

    ASSERT_EQ(STATUS_SUCCESS, AHLHoldRootKey(PsGetProcessId(outsider), rootObject, hiveName.get()));
    EXPECT_EQ((Answer{STATUS_SUCCESS, KEY_WRITE}), Check(sub, UserMode, GENERIC_WRITE)) << "a missing key";
    HANDLE rootHandle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(rootObject, OBJ_KERNEL_HANDLE, nullptr, KEY_ALL_ACCESS, nullptr, KernelMode,
                                                    &rootHandle));
    ObDereferenceObject(rootObject);
    {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.Create(u"Sub", rootHandle));
    }
    (void)ZwClose(rootHandle);
    EXPECT_EQ((Answer{STATUS_SUCCESS, KEY_ALL_ACCESS}), Check(sub, UserMode, MAXIMUM_ALLOWED));
    // Only keys below a hive's root are reached through the root: the root itself, or a name below
    // \REGISTRY\A that names no hive, is opened by name, which the registry refuses.
    vexsim::ClearDebugOutput();
    EXPECT_EQ((Answer{STATUS_ACCESS_DENIED, 0}), Check(hive, UserMode, KEY_READ));
    EXPECT_EQ((Answer{STATUS_ACCESS_DENIED, 0}), Check(u"\\REGISTRY\\A\\NoHive\\Sub", UserMode, KEY_READ));
    EXPECT_EQ(std::vector<std::string>{}, vexsim::DebugOutput());
    ASSERT_EQ(STATUS_SUCCESS, Close(outsider, root));
}

}  // namespace
