// The registry callback's decisions before any handler runs, the callback contexts, and the
// registry-operation record with its shortened path.
#include "tests/callback/callback_fixture.h"

#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/builtin_lists.h"

#include <cstring>
#include <optional>

namespace {

using namespace vextest;

class DispatchTest : public CallbackTest {
protected:
    // RegistryCallback as the configuration manager calls it, in a program's thread or, for the
    // system process, in the test's own.
    static NTSTATUS Dispatch(PEPROCESS process, ULONG_PTR notifyClass, PVOID information)
    {
        if (process == PsInitialSystemProcess) {
            return RegistryCallback(&g_VexRegFilterData, (PVOID)notifyClass, information);
        }
        vexsim::UserModeScope user(process);
        return RegistryCallback(&g_VexRegFilterData, (PVOID)notifyClass, information);
    }
    // The debugger lines one dispatch prints.
    static std::vector<std::string> LinesOf(PEPROCESS process, ULONG_PTR notifyClass, PVOID information)
    {
        vexsim::ClearDebugOutput();
        EXPECT_EQ(STATUS_SUCCESS, Dispatch(process, notifyClass, information));
        return vexsim::DebugOutput();
    }
};

// Every class from 0 to 48 that reaches the dispatch is named as the driver kit spells it, with
// the details bit only; a class above 48 is unknown. The blocks carry no context and no success,
// so no handler has anything to do.
TEST_F(DispatchTest, SandboxedClassesAreNamedWithTheDetailsBit)
{
    const struct {
        ULONG_PTR notifyClass;
        const char* line;
    } rows[] = {
        {RegNtPreDeleteKey, "VexRegFilter - RegNtPreDeleteKey"},
        {RegNtPreEnumerateKey, "VexRegFilter - RegNtPreEnumerateKey"},
        {RegNtPreQueryKey, "VexRegFilter - RegNtPreQueryKey"},
        {RegNtPreQueryValueKey, "VexRegFilter - RegNtPreQueryValueKey"},
        {RegNtPostDeleteKey, "VexRegFilter - RegNtPostDeleteKey"},
        {RegNtPostSetValueKey, "VexRegFilter - RegNtPostSetValueKey"},
        {RegNtPostDeleteValueKey, "VexRegFilter - RegNtPostDeleteValueKey"},
        {RegNtPostRenameKey, "VexRegFilter - RegNtPostRenameKey"},
        {RegNtPostOpenKeyEx, "VexRegFilter - RegNtPostOpenKeyEx"},
        {RegNtPreQueryKeySecurity, "VexRegFilter - RegNtPreQueryKeySecurity"},
        {RegNtPostCreateKeyEx, "VexRegFilter - RegNtPostCreateKeyEx"},
        {RegNtPreSaveKey, "VexRegFilter - RegNtPreSaveKey"},
        {RegNtPostQueryKeyName, "VexRegFilter - RegNtPostQueryKeyName"},
        {49, "VexRegFilter - Unkown RegNotifyClass 49"},
    };
    union {
        REG_POST_OPERATION_INFORMATION post;
        REG_QUERY_KEY_INFORMATION query;
        REG_QUERY_VALUE_KEY_INFORMATION value;
        REG_QUERY_KEY_SECURITY_INFORMATION security;
    } block;
    for (const auto& row : rows) {
        std::memset(&block, 0, sizeof(block));
        block.post.Status = STATUS_UNSUCCESSFUL;
        g_VexRegFilterData.DebugLogFlags = 0;
        EXPECT_EQ(std::vector<std::string>{}, LinesOf(sandboxed, row.notifyClass, &block)) << row.line;
        g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
        EXPECT_EQ(std::vector<std::string>{row.line}, LinesOf(sandboxed, row.notifyClass, &block));
        // Outside the sandbox, and for the system process, nothing is named.
        EXPECT_EQ(std::vector<std::string>{}, LinesOf(outsider, row.notifyClass, &block)) << row.line;
        EXPECT_EQ(std::vector<std::string>{}, LinesOf(PsInitialSystemProcess, row.notifyClass, &block)) << row.line;
    }
}

TEST_F(DispatchTest, WithoutAnyOfTheFiveRedirectNamesEverythingPasses)
{
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
    REG_QUERY_KEY_INFORMATION query = {};
    PUNICODE_STRING names[] = {&g_VexRegFilterData.RedirectRootKeyName, &g_VexRegFilterData.RedirectRootKeyNameUser,
                               &g_VexRegFilterData.RedirectRootKeyNameMachine, &g_VexRegFilterData.RedirectUserClasses,
                               &g_VexRegFilterData.RedirectMachineClasses};
    for (PUNICODE_STRING name : names) {
        UNICODE_STRING kept = *name;
        name->Buffer = nullptr;
        EXPECT_EQ(std::vector<std::string>{}, LinesOf(sandboxed, RegNtPreQueryKey, &query));
        *name = kept;
    }
    // The pattern is not one of them.
    UNICODE_STRING pattern = g_VexRegFilterData.RedirectRootKeyPattern;
    g_VexRegFilterData.RedirectRootKeyPattern.Buffer = nullptr;
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter - RegNtPreQueryKey"}, LinesOf(sandboxed, RegNtPreQueryKey, &query));
    g_VexRegFilterData.RedirectRootKeyPattern = pattern;
}

TEST_F(DispatchTest, AbovePassiveLevelTheIrqlIsPrintedAndTheDispatchGoesOn)
{
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
    REG_QUERY_KEY_INFORMATION query = {};
    vexsim::UserModeScope user(sandboxed);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, RegistryCallback(&g_VexRegFilterData, (PVOID)(ULONG_PTR)RegNtPreQueryKey, &query));
    KeLowerIrql(old);
    EXPECT_EQ((std::vector<std::string>{"VexRegFilter - Current IRQL 1", "VexRegFilter - RegNtPreQueryKey"}),
              vexsim::DebugOutput());
}

struct RegistryCalls {
    decltype(&ZwOpenKey) open;
    decltype(&ZwQueryValueKey) queryValue;
    decltype(&ZwEnumerateKey) enumerate;
    decltype(&ZwQueryKey) query;
    decltype(&ZwClose) close;
};
const RegistryCalls kNativeCalls = {vexsim::NtOpenKey, vexsim::NtQueryValueKey, vexsim::NtEnumerateKey, vexsim::NtQueryKey, vexsim::NtClose};
const RegistryCalls kKernelCalls = {ZwOpenKey, ZwQueryValueKey, ZwEnumerateKey, ZwQueryKey, ZwClose};

// Registry work of programs outside the sandbox and of the system costs the driver no pool and
// reaches no handler: no name is computed, no record written, nothing named with the details bit,
// for any operation, with every log level armed. A sandboxed program holds an application hive
// open meanwhile, so every close passes the hive-root test, and the pool fails every request in
// the second round: the driver asks it for nothing, and the hive stays recorded.
TEST_F(DispatchTest, OutsideTheSandboxNothingIsAllocatedAndNoHandlerRuns)
{
    vextest::KernelKey key, sub;
    ASSERT_EQ(STATUS_SUCCESS, sub.CreatePath(kSoftware + u"\\Outside\\Sub"));
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kSoftware + u"\\Outside"));
    Wide outside(kSoftware + u"\\Outside"), value(u"Value");
    ULONG data = 1;
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key.handle(), value.get(), 0, REG_DWORD, &data, sizeof(data)));
    HANDLE hive = nullptr;
    std::u16string hiveName;
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &hive, &hiveName));
    }
    ASSERT_FALSE(AHLIsEmpty());
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_DETAILS;
    vexsim::ClearDebugOutput();
    (void)Records();

    for (bool failing : {false, true}) {
        for (PEPROCESS process : {outsider, PsInitialSystemProcess}) {
            const char* who = process == outsider ? "outsider" : "system";
            ULONG64 allocated = vexsim::PoolAllocationTotal(), requests = vexsim::AllocationRequestCount();
            if (failing) {
                vexsim::FailAllocationsRandomly(1, 1.0);
            }
            {
                // A program makes the native calls in its own process, the system its kernel calls.
                std::optional<vexsim::UserModeScope> user;
                const RegistryCalls& calls = process == outsider ? kNativeCalls : kKernelCalls;
                if (process == outsider) {
                    user.emplace(process);
                }
                OBJECT_ATTRIBUTES attributes;
                InitializeObjectAttributes(&attributes, outside.get(), OBJ_CASE_INSENSITIVE | (user ? 0 : OBJ_KERNEL_HANDLE), nullptr, nullptr);
                HANDLE handle = nullptr;
                std::vector<UCHAR> buffer(256);
                ULONG length = 0;
                EXPECT_EQ(STATUS_SUCCESS, calls.open(&handle, KEY_READ, &attributes)) << who;
                EXPECT_EQ(STATUS_SUCCESS, calls.queryValue(handle, value.get(), KeyValuePartialInformation, buffer.data(), 256, &length));
                EXPECT_EQ(STATUS_SUCCESS, calls.enumerate(handle, 0, KeyBasicInformation, buffer.data(), 256, &length));
                EXPECT_EQ(STATUS_SUCCESS, calls.query(handle, KeyFullInformation, buffer.data(), 256, &length));
                EXPECT_EQ(STATUS_SUCCESS, calls.close(handle));
            }
            vexsim::ClearAllocationFailures();
            EXPECT_EQ(allocated, vexsim::PoolAllocationTotal()) << who;
            EXPECT_EQ(requests, vexsim::AllocationRequestCount()) << who << ": the pool was asked";
            EXPECT_EQ(std::vector<std::string>{}, vexsim::DebugOutput()) << who;
            EXPECT_EQ(std::vector<std::string>{}, Records()) << who;
        }
    }
    EXPECT_FALSE(AHLIsEmpty());
    g_VexRegFilterData.DebugLogFlags = 0;
    ASSERT_EQ(STATUS_SUCCESS, Close(sandboxed, hive));
    EXPECT_TRUE(AHLIsEmpty());
}

// The close of a recorded hive root is told apart without the pool: while the pool fails every
// request, the close still takes the hive out of the list, so no record outlives its key object.
TEST_F(DispatchTest, AHiveRootClosedWhileThePoolFailsIsForgotten)
{
    HANDLE hive = nullptr;
    std::u16string hiveName;
    {
        vexsim::UserModeScope user(sandboxed);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &hive, &hiveName));
    }
    ASSERT_FALSE(AHLIsEmpty());
    vexsim::FailAllocationsRandomly(1, 1.0);
    NTSTATUS closed = Close(sandboxed, hive);
    vexsim::ClearAllocationFailures();
    EXPECT_EQ(STATUS_SUCCESS, closed);
    EXPECT_TRUE(AHLIsEmpty());
}

TEST_F(DispatchTest, AContextIsFreedOnlyWithTheDriversTag)
{
    vextest::KernelKey key;
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kSoftware + u"\\Context"));
    Wide original(kSoftware + u"\\Context"), redirect(kRoot + u"\\MACHINE\\SOFTWARE\\Context");
    size_t before = LivePoolAllocations();
    ASSERT_EQ(STATUS_SUCCESS, SetCallbackContext(key.object(), original.get(), redirect.get(), 0x1234));

    // A foreign record is named and left alone.
    struct {
        char tag[8];
    } foreign = {{'N', 'o', 't', 'O', 'u', 'r', 's', '!'}};
    REG_CALLBACK_CONTEXT_CLEANUP_INFORMATION cleanup = {key.object(), &foreign, nullptr};
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, ContextCleanup(&cleanup));
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: ContextCleanup - != TAG_CALLBACK_CONTEXT"}, vexsim::DebugOutput());
    EXPECT_EQ(&foreign, cleanup.ObjectContext);
    cleanup.ObjectContext = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, ContextCleanup(&cleanup));
    EXPECT_EQ(before + 1, LivePoolAllocations()) << "the record, its names within it";
    // The key object's teardown frees the driver's own record through the callback.
    key = vextest::KernelKey();
    EXPECT_EQ(before, LivePoolAllocations());

    // A key object that carries a context already (here another's) takes the driver's record
    // all the same; the earlier one is named and left to its owner.
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kSoftware + u"\\Context"));
    PVOID earlier = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CmSetCallbackObjectContext(key.object(), &g_VexRegFilterData.CallbackCookie, &foreign, &earlier));
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, SetCallbackContext(key.object(), original.get(), redirect.get(), 0x1234));
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: SetCallbackContext - OldCtx has been set."}, vexsim::DebugOutput());
    // The driver's record, taken back from the object, is freed by a cleanup that succeeds.
    PVOID record = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CmSetCallbackObjectContext(key.object(), &g_VexRegFilterData.CallbackCookie, &foreign, &record));
    REG_CALLBACK_CONTEXT_CLEANUP_INFORMATION own = {key.object(), record, nullptr};
    EXPECT_EQ(STATUS_SUCCESS, ContextCleanup(&own));
    EXPECT_EQ(nullptr, own.ObjectContext);
    EXPECT_EQ(before, LivePoolAllocations());
    key = vextest::KernelKey();
}

TEST_F(DispatchTest, AContextThatCannotBeAttachedLeavesNothing)
{
    vextest::KernelKey key;
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kSoftware + u"\\Context"));
    Wide original(kSoftware + u"\\Context"), redirect(kRoot + u"\\MACHINE\\SOFTWARE\\Context");
    size_t before = LivePoolAllocations();
    NTSTATUS last = ForEachAllocationFailure(
        [&] { return SetCallbackContext(key.object(), original.get(), redirect.get(), 0); },
        [&](NTSTATUS status, int) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
            EXPECT_EQ(before, LivePoolAllocations());
        });
    ASSERT_EQ(STATUS_SUCCESS, last);
    key = vextest::KernelKey();
    EXPECT_EQ(before, LivePoolAllocations());

    // The configuration manager refuses an unknown cookie: named, and nothing kept.
    LARGE_INTEGER cookie = g_VexRegFilterData.CallbackCookie;
    g_VexRegFilterData.CallbackCookie.QuadPart = 1;
    ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(kSoftware + u"\\Context"));
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetCallbackContext(key.object(), original.get(), redirect.get(), 0));
    g_VexRegFilterData.CallbackCookie = cookie;
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: SetCallbackContext - Failed to CmSetCallbackObjectContext. status = "
                                       "c000000d Original = " + Utf8(kSoftware) + "\\Context"},
              vexsim::DebugOutput());
    EXPECT_EQ(before, LivePoolAllocations());
}

TEST_F(DispatchTest, LogPathsLongerThan260CharactersAreCutInTheMiddle)
{
    auto text = [](size_t characters) {
        std::u16string path;
        for (size_t i = 0; i < characters; i++) {
            path += (char16_t)(u'a' + i % 26);
        }
        return path;
    };
    const struct {
        USHORT capacity;
        size_t characters;
        NTSTATUS status;
        std::u16string logged;
    } rows[] = {
        {520, 260, STATUS_SUCCESS, text(260)},
        {520, 261, STATUS_SUCCESS, text(261).substr(0, 128) + u" ... " + text(261).substr(261 - 127)},
        {520, 300, STATUS_SUCCESS, text(300).substr(0, 128) + u" ... " + text(300).substr(300 - 127)},
        {16, 9, STATUS_SUCCESS, text(8).substr(0, 2) + u" ... " + text(9).substr(8)},
        {17, 9, STATUS_SUCCESS, text(8).substr(0, 2) + u" ... " + text(9).substr(8)},  // whole characters only
        {16, 8, STATUS_SUCCESS, text(8)},
        {15, 1, STATUS_BUFFER_TOO_SMALL, u""},
    };
    for (const auto& row : rows) {
        std::vector<WCHAR> buffer(row.capacity / sizeof(WCHAR) + 1, L'#');
        UNICODE_STRING destination = {7, row.capacity, buffer.data()};
        Wide source(text(row.characters));
        EXPECT_EQ(row.status, ShortenLogPath(&destination, source.get())) << row.capacity << " " << row.characters;
        EXPECT_EQ(Utf8(row.logged), Utf8(Text(&destination))) << row.capacity << " " << row.characters;
        EXPECT_LE(destination.Length, row.capacity & ~1);
    }
}

TEST_F(DispatchTest, TheRecordNamesOperationFunctionStatusAndPath)
{
    Wide path(kSoftware + u"\\Logged");
    const std::string record = Record("REG = OPEN", "func = BYPASS", STATUS_OBJECT_NAME_NOT_FOUND, kSoftware + u"\\Logged");
    EXPECT_EQ("REG = OPEN Ope = PRE func = BYPASS status = 0xC0000034L path = " + Utf8(kSoftware) + "\\Logged", record);
    EXPECT_EQ(STATUS_SUCCESS, LogRegistryOperation(LOG_LEVEL_INFO, PsGetProcessId(sandboxed), L"REG = OPEN",
                                                   L"func = BYPASS", STATUS_OBJECT_NAME_NOT_FOUND, path.get()));
    EXPECT_EQ(std::vector<std::string>{record}, Records());
    // A path of more than 260 characters is logged as its first 128, " ... " and its last 127.
    const std::u16string longPath = kSoftware + u"\\" + std::u16string(300, u'x') + u"\\End";
    Wide longName(longPath);
    EXPECT_EQ(STATUS_SUCCESS, LogRegistryOperation(LOG_LEVEL_INFO, PsGetProcessId(sandboxed), L"REG = OPEN", L"func = OPEN", 0,
                                                   longName.get()));
    EXPECT_EQ(std::vector<std::string>{"REG = OPEN Ope = PRE func = OPEN status = 0x00000000L path = " + Utf8(longPath.substr(0, 128)) +
                                       " ... " + Utf8(longPath.substr(longPath.size() - 127))},
              Records());

    // A level the log is not armed for costs nothing; a record that cannot be built is dropped.
    ULONG64 before = vexsim::PoolAllocationTotal();
    EXPECT_EQ(STATUS_SUCCESS, LogRegistryOperation(LOG_LEVEL_ERROR, PsGetProcessId(sandboxed), L"REG = OPEN", L"func = OPEN", 0, path.get()));
    EXPECT_EQ(before, vexsim::PoolAllocationTotal());
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              LogRegistryOperation(LOG_LEVEL_INFO, PsGetProcessId(sandboxed), L"REG = OPEN", L"func = OPEN", 0, path.get()));
    vexsim::ClearAllocationFailures();
    EXPECT_EQ(std::vector<std::string>{}, Records());
}

}  // namespace
