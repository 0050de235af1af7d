// Registry callbacks: altitude order, blocking, the bypass contract and its reference, object
// contexts and their cleanup, nested calls, the names callbacks see through links, and
// unregistration waiting for calls in flight.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/callbacks.h"

#include "sim/cm/user_registry.h"
#include "sim/executive/dispatcher.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <cstring>
#include <thread>

namespace vextest {
namespace {

using RegistryCallbackTest = RegistryUserTest;

TEST_F(RegistryCallbackTest, RegistrationOrdersByAltitudeAndRefusesCollisions)
{
    TestCallback low(u"100000");
    TestCallback high(u"320000.5");
    TestCallback middle(u"320000");
    ASSERT_EQ(STATUS_SUCCESS, low.registrationStatus());
    ASSERT_EQ(STATUS_SUCCESS, high.registrationStatus());
    TestCallback same(u"0320000.50");
    EXPECT_EQ(STATUS_FLT_INSTANCE_ALTITUDE_COLLISION, same.registrationStatus()) << "the same number, written otherwise";
    TestCallback bad(u"12a");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, bad.registrationStatus());

    std::vector<std::string> order;
    auto record = [&](const char* who) {
        return [&order, who](REG_NOTIFY_CLASS notifyClass, PVOID) {
            order.push_back(std::string(who) + (notifyClass == RegNtPreOpenKeyEx ? " pre" : " post"));
            return STATUS_SUCCESS;
        };
    };
    low.answer = record("low");
    high.answer = record("high");
    middle.answer = record("middle");
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    EXPECT_EQ((std::vector<std::string>{"high pre", "middle pre", "low pre", "low post", "middle post", "high post"}),
              order);
    low.answer = high.answer = middle.answer = nullptr;
    (void)ZwClose(key);
    LARGE_INTEGER unknown{};
    unknown.QuadPart = 1;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CmUnRegisterCallback(unknown));
}

TEST_F(RegistryCallbackTest, AFailingPreCallbackStopsTheStack)
{
    TestCallback high(u"300000");
    TestCallback blocker(u"200000");
    TestCallback low(u"100000");
    blocker.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID) {
        return notifyClass == RegNtPreSetValueKey ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Blocked"));
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, SetDword(key, u"v", 1)) << "a warning blocks like an error";
    EXPECT_EQ(1u, high.Count(RegNtPreSetValueKey));
    EXPECT_EQ(1u, high.Count(RegNtPostSetValueKey));
    EXPECT_EQ(1u, blocker.Count(RegNtPreSetValueKey));
    EXPECT_EQ(0u, blocker.Count(RegNtPostSetValueKey));
    EXPECT_EQ(0u, low.Count(RegNtPreSetValueKey));
    UCHAR buffer[64];
    ULONG length = 0;
    Wide name(u"v");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length))
        << "the value was never set";
    (void)ZwDeleteKey(key);
    (void)ZwClose(key);
}

TEST_F(RegistryCallbackTest, CreateAndOpenBlocksCarryVersionOneFields)
{
    TestCallback callback;
    HANDLE root = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&root, u"\\REGISTRY\\MACHINE"));
    REG_CREATE_KEY_INFORMATION_V1 seen{};
    std::u16string complete;
    std::u16string remaining;
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass == RegNtPreOpenKeyEx) {
            seen = *static_cast<PREG_CREATE_KEY_INFORMATION_V1>(argument);
            complete = Text(seen.CompleteName);
            remaining = Text(seen.RemainingName);
        }
        return STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"Software\\Microsoft", KEY_READ | KEY_WOW64_64KEY, root));
    EXPECT_EQ(1u, (ULONG)seen.Version);
    EXPECT_EQ("Software\\Microsoft", Utf8(complete));
    EXPECT_EQ("Software\\Microsoft", Utf8(remaining));
    EXPECT_EQ((ULONG)KEY_WOW64_64KEY, seen.Wow64Flags);
    EXPECT_EQ(KernelMode, seen.CheckAccessMode);
    EXPECT_EQ(*CmKeyObjectType, seen.ObjectType);
    EXPECT_NE(nullptr, seen.Disposition) << "always a Disposition to write";
    (void)ZwClose(key);

    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\Software", KEY_READ, nullptr,
                                      OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK));
    EXPECT_EQ("\\REGISTRY\\MACHINE\\Software", Utf8(complete));
    EXPECT_EQ("MACHINE\\Software", Utf8(remaining)) << "relative to the \\REGISTRY object";
    EXPECT_EQ(UserMode, seen.CheckAccessMode) << "a forced check";
    callback.answer = nullptr;
    (void)ZwClose(key);
    (void)ZwClose(root);
}

// A bypassing callback that opens another key, as a redirecting filter does.
NTSTATUS BypassTo(const std::u16string& target, PVOID argument, ACCESS_MASK granted = KEY_ALL_ACCESS)
{
    auto* info = static_cast<PREG_CREATE_KEY_INFORMATION_V1>(argument);
    HANDLE handle = nullptr;
    if (OpenKey(&handle, target) != STATUS_SUCCESS) {
        return STATUS_UNSUCCESSFUL;
    }
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, KEY_ALL_ACCESS, *CmKeyObjectType, KernelMode, &object, nullptr);
    (void)ZwClose(handle);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    *info->ResultObject = object;
    info->GrantedAccess = granted;
    *info->Disposition = REG_OPENED_EXISTING_KEY;
    return STATUS_CALLBACK_BYPASS;
}

TEST_F(RegistryCallbackTest, BypassHandsTheCallerTheCallbacksObjectAndConsumesItsReference)
{
    TestCallback high(u"400000");
    TestCallback redirector(u"300000");
    TestCallback low(u"200000");
    redirector.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        return notifyClass == RegNtPreCreateKeyEx ? BypassTo(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", argument, KEY_READ)
                                                  : STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Anything", 0, &disposition));
    redirector.answer = nullptr;
    EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", KeyNameOf(key));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(key, u"v", 1)) << "kernel handles are trusted whatever they were granted";
    HANDLE missing = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&missing, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Anything", KEY_READ))
        << "nothing was created";
    EXPECT_EQ(1u, high.Count(RegNtPostCreateKeyEx)) << "callbacks above the bypass get the post";
    EXPECT_EQ(0u, redirector.Count(RegNtPostCreateKeyEx));
    EXPECT_EQ(0u, low.Count(RegNtPreCreateKeyEx));
    // The handle holds the only reference: closing it tears the object down, and the unload
    // check at the end finds no reference of the driver.
    size_t closesBefore = high.Count(RegNtPreKeyHandleClose);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(closesBefore + 1, high.Count(RegNtPreKeyHandleClose));
}

TEST_F(RegistryCallbackTest, BypassWithoutGrantedAccessGivesAHandleWithoutRights)
{
    TestCallback redirector;
    redirector.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        return notifyClass == RegNtPreOpenKeyEx ? BypassTo(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", argument, 0)
                                                : STATUS_SUCCESS;
    };
    PEPROCESS process = StartProcess(false);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft", KEY_READ));
        UCHAR buffer[64];
        ULONG length = 0;
        EXPECT_EQ(STATUS_ACCESS_DENIED, vexsim::NtQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
    }
    redirector.answer = nullptr;
    vexsim::EndProcess(process);
}

// A callback that answers a security query itself, or refuses it for its size, tells the length
// through the block's Length; the caller's LengthNeeded receives it as from the registry.
TEST_F(RegistryCallbackTest, ASecurityQueryAnsweredByACallbackHandsItsLengthOn)
{
    TestCallback callback;
    const UCHAR answer[] = {1, 2, 3, 4};
    NTSTATUS returned = STATUS_SUCCESS;
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass != RegNtPreQueryKeySecurity) {
            return STATUS_SUCCESS;
        }
        auto* info = static_cast<PREG_QUERY_KEY_SECURITY_INFORMATION>(argument);
        if (returned == STATUS_CALLBACK_BYPASS) {
            std::memcpy(info->SecurityDescriptor, answer, sizeof(answer));
        }
        *info->Length = returned == STATUS_ACCESS_DENIED ? 77 : sizeof(answer);
        return returned;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    const struct {
        NTSTATUS returned;
        NTSTATUS status;
        ULONG needed;
    } rows[] = {
        {STATUS_CALLBACK_BYPASS, STATUS_SUCCESS, sizeof(answer)},
        {STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL, sizeof(answer)},
        {STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED, 0xEEEE},  // any other refusal leaves it alone
    };
    for (const auto& row : rows) {
        returned = row.returned;
        UCHAR buffer[16] = {};
        ULONG needed = 0xEEEE;
        EXPECT_EQ(row.status, ZwQuerySecurityObject(key, OWNER_SECURITY_INFORMATION, buffer, sizeof(buffer), &needed));
        EXPECT_EQ(row.needed, needed) << std::hex << row.returned;
    }
    callback.answer = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
}

// A key a callback hands a 32-bit program keeps the view of the callback's own open, which has
// no 32-bit view: relative opens under the program's handle are not moved into Wow6432Node.
TEST_F(RegistryCallbackTest, ABypassedKeyKeepsTheViewOfTheCallbacksOwnOpen)
{
    TestCallback redirector;
    redirector.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        return notifyClass == RegNtPreOpenKeyEx ? BypassTo(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies", argument)
                                                : STATUS_SUCCESS;
    };
    PEPROCESS process = StartProcess(true, true);
    {
        vexsim::UserModeScope user(process);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Anything", KEY_ALL_ACCESS));
        redirector.answer = nullptr;
        HANDLE created = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserCreate(&created, u"Sub", key));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(created));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
    }
    vexsim::EndProcess(process);
    HANDLE sub = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(&sub, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Policies\\Sub", KEY_READ));
    (void)ZwClose(sub);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(&sub, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Policies\\Sub", KEY_READ));
}

TEST_F(RegistryCallbackTest, PostCallbackCanTurnSuccessIntoFailure)
{
    TestCallback callback;
    callback.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass != RegNtPostCreateKeyEx) {
            return STATUS_SUCCESS;
        }
        auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument);
        auto* pre = static_cast<PREG_CREATE_KEY_INFORMATION_V1>(post->PreInformation);
        ObDereferenceObject(post->Object);
        post->Object = nullptr;
        *pre->ResultObject = nullptr;
        post->ReturnStatus = STATUS_ACCESS_DENIED;
        return STATUS_CALLBACK_BYPASS;
    };
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Refused", REG_OPTION_VOLATILE));
    EXPECT_EQ(nullptr, key);
    callback.answer = nullptr;
}

TEST_F(RegistryCallbackTest, ContextsComeBackAndAreCleanedUpAtTeardown)
{
    TestCallback callback;
    int contextTag = 0;
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument);
        if (notifyClass == RegNtPostOpenKeyEx && post->Status == STATUS_SUCCESS) {
            PVOID old = &contextTag;
            EXPECT_EQ(STATUS_SUCCESS, CmSetCallbackObjectContext(post->Object, &callback.cookie(), &contextTag, &old));
            EXPECT_EQ(nullptr, old);
            PCUNICODE_STRING name = nullptr;
            EXPECT_EQ(STATUS_SUCCESS, CmCallbackGetKeyObjectID(&callback.cookie(), post->Object, nullptr, &name));
            EXPECT_EQ("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Control", Utf8(Text(name)))
                << "the name after the link";
        }
        return STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control", KEY_READ));
    callback.answer = nullptr;
    UCHAR buffer[128];
    ULONG length = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length));
    EXPECT_EQ(&contextTag, callback.seen.back().objectContext) << "the post of the query carries the context";

    callback.seen.clear();
    ASSERT_EQ(STATUS_SUCCESS, ZwClose(key));
    ASSERT_EQ(3u, callback.seen.size());
    EXPECT_EQ(RegNtPreKeyHandleClose, callback.seen[0].notifyClass);
    EXPECT_EQ(&contextTag, callback.seen[0].objectContext);
    EXPECT_EQ(RegNtPostKeyHandleClose, callback.seen[1].notifyClass);
    EXPECT_EQ(RegNtCallbackObjectContextCleanup, callback.seen[2].notifyClass);
    EXPECT_EQ(&contextTag, callback.seen[2].objectContext);
}

TEST_F(RegistryCallbackTest, LinksShowAReparseBeforeTheTarget)
{
    TestCallback callback;
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", KEY_READ));
    ASSERT_EQ(4u, callback.seen.size());
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services", callback.seen[0].name);
    EXPECT_EQ(STATUS_REPARSE, callback.seen[1].status);
    EXPECT_EQ(vexsim::kUndefinedPostObject, callback.seen[1].object) << "Object is undefined unless Status is STATUS_SUCCESS";
    EXPECT_EQ("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services", callback.seen[2].name);
    EXPECT_EQ(STATUS_SUCCESS, callback.seen[3].status);
    (void)ZwClose(key);
}

TEST_F(RegistryCallbackTest, UnregistrationCleansUpContextsStillAttached)
{
    auto callback = std::make_unique<TestCallback>();
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(key, 0, *CmKeyObjectType, KernelMode, &object, nullptr));
    int context = 0;
    ASSERT_EQ(STATUS_SUCCESS, CmSetCallbackObjectContext(object, &callback->cookie(), &context, nullptr));
    ObDereferenceObject(object);
    ASSERT_EQ(STATUS_SUCCESS, callback->Unregister());
    ASSERT_EQ(1u, callback->Count(RegNtCallbackObjectContextCleanup));
    EXPECT_EQ(&context, callback->seen.back().objectContext);
    size_t seen = callback->seen.size();
    (void)ZwClose(key);
    EXPECT_EQ(seen, callback->seen.size()) << "no call after unregistration";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CmCallbackGetKeyObjectID(&callback->cookie(), object, nullptr, nullptr));
}

TEST_F(RegistryCallbackTest, NestedCallsSkipTheCallerAndHigherCallbacks)
{
    TestCallback high(u"300000");
    TestCallback middle(u"200000");
    TestCallback low(u"100000");
    middle.answer = [](REG_NOTIFY_CLASS notifyClass, PVOID) {
        if (notifyClass == RegNtPreCreateKeyEx || notifyClass == RegNtPostCreateKeyEx) {
            HANDLE inner = nullptr;
            if (OpenKey(&inner, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ) == STATUS_SUCCESS) {
                (void)ZwClose(inner);
            }
        }
        return STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nested", REG_OPTION_VOLATILE));
    middle.answer = nullptr;
    EXPECT_EQ(0u, high.Count(RegNtPreOpenKeyEx));
    EXPECT_EQ(0u, middle.Count(RegNtPreOpenKeyEx));
    EXPECT_EQ(2u, low.Count(RegNtPreOpenKeyEx)) << "one inner open in the pre, one in the post";
    EXPECT_EQ(2u, low.Count(RegNtPreKeyHandleClose));
    (void)ZwDeleteKey(key);
    (void)ZwClose(key);
}

TEST_F(RegistryCallbackTest, CallbackRegistrationsAreLeftovers)
{
    LARGE_INTEGER cookie{};
    Wide altitude(u"345030");
    auto callback = [](PVOID, PVOID, PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    ASSERT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(callback, altitude.get(), nullptr, nullptr, &cookie, nullptr));
    vexsim::Leftovers leftovers = vexsim::CheckLeftovers();
    ASSERT_EQ(1u, leftovers.size());
    EXPECT_EQ("registry callback at altitude 345030 still registered", leftovers[0]);
    EXPECT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(cookie));
}

// The callback waits on an event inside a pre-notification while another thread unregisters it:
// the unregistration must not return before the call has ended.
TEST_F(RegistryCallbackTest, ConcurrentUnregistrationWaitsForCallsInFlight)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    TestCallback callback;
    std::atomic<bool> inCall{false};
    std::atomic<bool> callEnded{false};
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID) {
        if (notifyClass == RegNtPreQueryKey) {
            inCall = true;
            (void)KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            callEnded = true;
        }
        return STATUS_SUCCESS;
    };
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    std::thread caller([&] {
        UCHAR buffer[128];
        ULONG length = 0;
        (void)ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length);
    });
    vexsim::WaitForBlockedWaiters(1);
    ASSERT_TRUE(inCall.load());
    std::atomic<bool> unregistered{false};
    std::thread unregistering([&] {
        EXPECT_EQ(STATUS_SUCCESS, callback.Unregister());
        unregistered = true;
        EXPECT_TRUE(callEnded.load()) << "returned while the call was in flight";
    });
    vexsim::WaitForBlockedWaiters(2);
    EXPECT_FALSE(unregistered.load());
    (void)KeSetEvent(&release, 0, FALSE);
    unregistering.join();
    caller.join();
    (void)ZwClose(key);
}

}  // namespace
}  // namespace vextest
