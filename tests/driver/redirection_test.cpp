// Redirection's configuration, start and stop as the service drives them: the names each setter
// builds, setters refused while started, start and stop and start again, a start without
// configuration, a stop while sandboxed programs hold redirected keys, the copy's fixed keys, value
// writes confined to the private copy, a failed unregistration that keeps the callback's names,
// and every allocation failure of the setters and the start.
#include "tests/driver/control_fixture.h"

#include "callback/callback.h"
#include "cow/cow.h"
#include "names/url_allowlist.h"
#include "process/process_lists.h"
#include "sim/cm/user_registry.h"
#include "sim/executive/fault_injection.h"
#include "tables/key_lists.h"

#include <gtest/gtest.h>

namespace {

using namespace vextest;

const std::u16string kRoot = kRedirectRoot;
const std::u16string kInternetSettings = u"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::u16string Name(const UNICODE_STRING& field)
{
    return Text(&field);
}

// The name fields the setters write, for comparisons.
std::vector<std::u16string> ConfiguredNames()
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    return {Name(data->RedirectRootKeyName),    Name(data->RedirectRootKeyPattern), Name(data->RedirectRootKeyNameUser),
            Name(data->RedirectRootKeyNameMachine), Name(data->RedirectUserClasses), Name(data->UserSid),
            Name(data->RedirectMachineClasses)};
}

using RedirectionTest = ControlTest;

// A program that may change the machine's keys, as the sandboxed programs of these tests are.
PEPROCESS CreateElevatedProcess()
{
    vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"};
    params.userSid = Utf8(kUserSid);
    params.administrator = true;
    return vexsim::CreateUserProcess(params);
}

TEST_F(RedirectionTest, TheRootRequestBuildsTheRootItsPatternAndItsUserAndMachineNames)
{
    ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, kRoot));
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_EQ(kRoot, Name(data->RedirectRootKeyName));
    EXPECT_EQ(data->RedirectRootKeyName.Length + sizeof(WCHAR), data->RedirectRootKeyName.MaximumLength);
    EXPECT_EQ(UNICODE_NULL, data->RedirectRootKeyName.Buffer[data->RedirectRootKeyName.Length / sizeof(WCHAR)]);
    EXPECT_EQ(u"*\\Sample\\Sandbox\\Reg\\*", Name(data->RedirectRootKeyPattern));
    EXPECT_EQ(kRoot + u"\\USER", Name(data->RedirectRootKeyNameUser));
    EXPECT_EQ(data->RedirectRootKeyName.Length + 2 + 10, data->RedirectRootKeyNameUser.MaximumLength);
    EXPECT_EQ(kRoot + u"\\MACHINE", Name(data->RedirectRootKeyNameMachine));
    EXPECT_EQ(data->RedirectRootKeyName.Length + 2 + 16, data->RedirectRootKeyNameMachine.MaximumLength);
    EXPECT_TRUE(IsThereExcludeKey(&data->RedirectRootKeyName)) << "the copy itself is never redirected";
    EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME:",
                     "    RootKeyName        = '" + Utf8(kRoot) + "'",
                     "    RootKeyPattern     = '*\\Sample\\Sandbox\\Reg\\*'",
                     "    RootKeyNameUser    = '" + Utf8(kRoot) + "\\USER'",
                     "    RootKeyNameMachine = '" + Utf8(kRoot) + "\\MACHINE'"}),
              vexsim::DebugOutput());

    // A second root replaces the first; both stay excluded.
    const std::u16string second = u"\\Registry\\Machine\\Software\\Other";
    ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, second));
    EXPECT_EQ(second, Name(data->RedirectRootKeyName));
    EXPECT_EQ(u"*\\Other\\*", Name(data->RedirectRootKeyPattern));
    EXPECT_EQ(second + u"\\MACHINE", Name(data->RedirectRootKeyNameMachine));
    Wide first(kRoot + u"\\Key");
    EXPECT_TRUE(IsThereExcludeKey(first.get()));
}

TEST_F(RedirectionTest, ARootOutsideTheMachineSoftwareKeyIsRefusedAndTheFormerNamesStay)
{
    ConfigureRedirectNames();
    std::vector<std::u16string> before = ConfiguredNames();
    vexsim::ClearDebugOutput();
    for (const char16_t* root : {u"\\REGISTRY\\USER\\S-1-5-18\\Software\\X", u"\\Registry\\Machine\\Software", u""}) {
        SCOPED_TRACE(Utf8(root));
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, service->SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, root));
        EXPECT_EQ(before, ConfiguredNames());
    }
    EXPECT_EQ(Lines{}, vexsim::DebugOutput());
}

TEST_F(RedirectionTest, TheUserSidIsCutOutOfTheUserClassesRoot)
{
    const struct {
        std::u16string path;
        std::u16string sid;
    } cases[] = {
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample", u"S-1-5-21-1-2-3-1001"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes", u"S-1-5-21-1-2-3-1001_Classes"},
        {u"\\REGISTRY\\USER\\", u""},
        {u"\\REGISTRY\\USE", u""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Utf8(test.path));
        vexsim::ClearDebugOutput();
        ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, test.path));
        EXPECT_EQ(test.path, Name(g_VexRegFilterData.RedirectUserClasses));
        EXPECT_EQ(test.sid, Name(g_VexRegFilterData.UserSid));
        EXPECT_EQ(test.sid.size() * sizeof(WCHAR), g_VexRegFilterData.UserSid.MaximumLength);
        Lines lines = vexsim::DebugOutput();
        lines.resize(std::min<size_t>(lines.size(), 3));  // the Classes prefixes' own lines follow
        EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME:",
                         "    UserClasses = '" + Utf8(test.path) + "'", "    UserSid     = '" + Utf8(test.sid) + "'"}),
                  lines);
    }
    vexsim::ClearDebugOutput();
    ASSERT_EQ(STATUS_SUCCESS, service->SendText(IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, kRedirectMachineClasses));
    EXPECT_EQ(kRedirectMachineClasses, Name(g_VexRegFilterData.RedirectMachineClasses));
    EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME:",
                     "    MachineClasses = '" + Utf8(kRedirectMachineClasses) + "'"}),
              vexsim::DebugOutput());
}

// Each setter builds all its names before it replaces any: a failure at any allocation leaves the
// former configuration whole and nothing allocated.
TEST_F(RedirectionTest, EveryAllocationFailureOfASetterKeepsTheFormerNames)
{
    ConfigureRedirectNames(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Former", u"\\REGISTRY\\USER\\S-1-5-21-9\\Former",
                           u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Former");
    std::vector<std::u16string> former = ConfiguredNames();
    const struct {
        ULONG code;
        const char16_t* path;
    } setters[] = {
        {IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, kRedirectRoot},
        {IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, kRedirectUserClasses},
        {IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, kRedirectMachineClasses},
    };
    for (const auto& setter : setters) {
        SCOPED_TRACE(setter.code);
        ConfigureRedirectNames(former[0], former[4], former[6]);
        size_t allocations = LivePoolAllocations();
        for (ULONG64 failing = 1;; failing++) {
            ULONG64 injected = vexsim::InjectedFailureCount();
            vexsim::FailNthAllocation(failing);
            NTSTATUS status = service->SendText(setter.code, setter.path);
            vexsim::ClearAllocationFailures();
            if (vexsim::InjectedFailureCount() == injected) {
                EXPECT_EQ(STATUS_SUCCESS, status);
                break;
            }
            if (status == STATUS_SUCCESS) {
                // A failure the setter may ignore (the exclusion key): back to the former names.
                ConfigureRedirectNames(former[0], former[4], former[6]);
                allocations = LivePoolAllocations();
                continue;
            }
            EXPECT_EQ(former, ConfiguredNames()) << "failing allocation " << failing << " status " << std::hex << status;
            EXPECT_EQ(allocations, LivePoolAllocations()) << "failing allocation " << failing;
        }
    }
}

TEST_F(RedirectionTest, StartStopAndStartAgain)
{
    StartRedirection();
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_NE(0, data->CallbackCookie.QuadPart);
    EXPECT_TRUE(data->ProcessNotifyRegistered);
    EXPECT_TRUE(data->ImageNotifyRegistered);
    EXPECT_NE(nullptr, data->UserClassesEnumThread);
    EXPECT_NE(nullptr, data->MachineClassesEnumThread);
    EXPECT_EQ(u"\\Registry\\User\\" + std::u16string(kUserSid) + kInternetSettings, Name(data->InternetSettingsKey));
    EXPECT_EQ(kRoot + u"\\USER\\" + kUserSid + kInternetSettings, Name(data->RedirectInternetSettingsKey));
    EXPECT_TRUE(HasDebugLine("VexRegFilter.sys:     InternetSettingsKey = '" + Utf8(Name(data->InternetSettingsKey)) + "'"));
    EXPECT_TRUE(HasDebugLine("VexRegFilter.sys:     RedirectInternetSettingsKey = '" + Utf8(Name(data->RedirectInternetSettingsKey)) + "'"));
    EXPECT_TRUE(HasDebugLine("VexRegFilter - CmRegisterCallback Success"));

    // While started, configuration is refused with its line and changes nothing.
    std::vector<std::u16string> names = ConfiguredNames();
    const struct {
        ULONG code;
        Bytes input;
        const char* request;
    } refused[] = {
        {IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, TextInput(u"\\Registry\\Machine\\Software\\New"), "IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME"},
        {IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, TextInput(u"\\REGISTRY\\USER\\S-1\\X"),
         "IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME"},
        {IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, TextInput(u"\\REGISTRY\\MACHINE\\SOFTWARE\\X"),
         "IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME"},
        {IOCTL_SANDBOX_SET_REG_VALUE, RegValueBlock(kRoot, u"V", REG_DWORD, UlongBytes({1}), 4), "IOCTL_SANDBOX_SET_REG_VALUE"},
    };
    for (const auto& request : refused) {
        vexsim::ClearDebugOutput();
        EXPECT_EQ(STATUS_SUCCESS, Send(request.code, request.input).status);
        EXPECT_EQ(Lines{"VexRegFilter - Redirector has already been started.(" + std::string(request.request) + ")"},
                  vexsim::DebugOutput());
    }
    EXPECT_EQ(names, ConfiguredNames());
    EXPECT_FALSE(ReadValue(kRoot, u"V").has_value());
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_START_REG_REDIRECT).status);
    EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_START_REG_REDIRECT",
                     "VexRegFilter - Redirector has already been started.(IOCTL_SANDBOX_START_REG_REDIRECT)"}),
              vexsim::DebugOutput());

    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_STOP_REG_REDIRECT", "VexRegFilter - CmUnRegisterCallback success"}),
              vexsim::DebugOutput());
    EXPECT_EQ(0, data->CallbackCookie.QuadPart);
    EXPECT_FALSE(data->ProcessNotifyRegistered);
    EXPECT_FALSE(data->ImageNotifyRegistered);
    EXPECT_EQ(nullptr, data->UserClassesEnumThread);
    EXPECT_EQ(std::vector<std::u16string>(7), ConfiguredNames()) << "the stop discards the whole configuration";
    EXPECT_FALSE(IsNameSet(&data->InternetSettingsKey));
    EXPECT_TRUE(IsListEmpty(&data->ExcludeKeyList));
    ULONG count = 1;
    EXPECT_EQ(STATUS_SUCCESS, CTGetElementCount(&data->CopyKeyHistory, &count));
    EXPECT_EQ(0u, count);

    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    EXPECT_EQ((Lines{"VexRegFilter - IOCTL_SANDBOX_STOP_REG_REDIRECT", "VexRegFilter - already stopped"}), vexsim::DebugOutput());

    StartRedirection();
    EXPECT_NE(0, data->CallbackCookie.QuadPart);
    EXPECT_EQ(kRoot, Name(data->RedirectRootKeyName));
}

// Without configuration the start still registers everything; the callback then lets every
// operation pass, and the copy's fixed keys are not made anywhere.
TEST_F(RedirectionTest, AStartWithoutConfigurationRegistersEverythingAndRedirectsNothing)
{
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_START_REG_REDIRECT).status);
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_NE(0, data->CallbackCookie.QuadPart);
    EXPECT_TRUE(data->ProcessNotifyRegistered);
    EXPECT_TRUE(data->ImageNotifyRegistered);
    EXPECT_EQ(nullptr, data->UserClassesEnumThread) << "no Classes root, no thread";
    EXPECT_TRUE(HasDebugLine("VexRegFilter - CmRegisterCallback Success"));

    PEPROCESS sandboxed = CreateElevatedProcess();
    PutUnderSandbox(sandboxed);
    {
        vexsim::UserModeScope user(sandboxed);
        Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Plain");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(key));
    }
    EXPECT_TRUE(KeyExists(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Plain")) << "the real key, not a copy";
    vexsim::EndProcess(sandboxed);
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
}

// The start copies the user's Internet Settings as non-volatile keys and sets LongPathsEnabled.
TEST_F(RedirectionTest, TheStartPreparesTheCopysFixedKeys)
{
    const std::u16string real = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + kInternetSettings;
    {
        KernelKey settings;
        ASSERT_EQ(STATUS_SUCCESS, settings.CreatePath(real + u"\\Zones"));
        Wide name(u"ProxyEnable");
        ULONG one = 1;
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(settings.handle(), name.get(), 0, REG_DWORD, &one, sizeof(one)));
    }
    vexsim::ClearDebugOutput();
    StartRedirection();
    EXPECT_FALSE(HasDebugLine("Failed.")) << "every step of the preparation succeeded and says nothing of failure";
    const std::u16string copy = kRoot + u"\\USER\\" + kUserSid + kInternetSettings;
    std::optional<ReadValueResult> proxy = ReadValue(copy + u"\\Zones", u"ProxyEnable");
    ASSERT_TRUE(proxy.has_value());
    EXPECT_EQ(UlongBytes({1}), proxy->data);
    std::optional<ReadValueResult> longPaths =
        ReadValue(kRoot + u"\\MACHINE\\System\\CurrentControlSet\\Control\\FileSystem", u"LongPathsEnabled");
    ASSERT_TRUE(longPaths.has_value());
    EXPECT_EQ((ULONG)REG_DWORD, longPaths->type);
    EXPECT_EQ(UlongBytes({1}), longPaths->data);

    // The Internet Settings copy survives a restart of the machine; the rest of the copy does not.
    vexsim::UnloadResult unloaded = vexsim::UnloadDriver();
    ASSERT_TRUE(unloaded.leftovers.empty()) << vexsim::FormatUnloadReport(unloaded.leftovers);
    service.reset();
    vexsim::RebootMachine();
    EXPECT_TRUE(ReadValue(copy + u"\\Zones", u"ProxyEnable").has_value());
    EXPECT_FALSE(KeyExists(kRoot + u"\\MACHINE\\System"));
}

// Values go only into the private copy, and only while stopped.
TEST_F(RedirectionTest, ValueWritesStayInsideTheRedirectRoots)
{
    ConfigureRedirectNames();
    const struct {
        std::u16string key;
        NTSTATUS status;
    } cases[] = {
        {kRoot + u"\\MACHINE\\Software\\App", STATUS_SUCCESS},
        {kRoot, STATUS_SUCCESS},
        {std::u16string(kRedirectUserClasses) + u"\\CLSID", STATUS_SUCCESS},
        {std::u16string(kRedirectMachineClasses) + u"\\x", STATUS_SUCCESS},
        {kRoot + u"X\\Beside", STATUS_ACCESS_DENIED},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Evil", STATUS_ACCESS_DENIED},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox", STATUS_ACCESS_DENIED},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(Utf8(test.key));
        vexsim::ClearDebugOutput();
        EXPECT_EQ(test.status, Send(IOCTL_SANDBOX_SET_REG_VALUE, RegValueBlock(test.key, u"Answer", REG_DWORD, UlongBytes({42}), 4)).status);
        EXPECT_EQ(Lines{"VexRegFilter - IOCTL_SANDBOX_SET_REG_VALUE 1292"}, vexsim::DebugOutput());
        std::optional<ReadValueResult> value = ReadValue(test.key, u"Answer");
        EXPECT_EQ(test.status == STATUS_SUCCESS, value.has_value());
        if (value) {
            EXPECT_EQ(UlongBytes({42}), value->data);
        }
    }
    // The data size counts bytes of the data field, up to all 256 of them.
    Bytes data(SET_REG_VALUE_DATA_BYTES, 0x5A);
    ASSERT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_SET_REG_VALUE, RegValueBlock(kRoot, u"Full", REG_BINARY, data, SET_REG_VALUE_DATA_BYTES)).status);
    EXPECT_EQ(data, ReadValue(kRoot, u"Full")->data);
}

// Stopping while sandboxed programs hold keys of the copy: the callback goes, their handles stay
// usable and close without the driver.
TEST_F(RedirectionTest, AStopWhileProgramsHoldRedirectedKeys)
{
    {
        KernelKey real;
        ASSERT_EQ(STATUS_SUCCESS, real.CreatePath(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Held"));
    }
    StartRedirection();
    PEPROCESS sandboxed = CreateElevatedProcess();
    PutUnderSandbox(sandboxed);
    HANDLE key = nullptr;
    {
        vexsim::UserModeScope user(sandboxed);
        Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Held");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
    }
    EXPECT_TRUE(KeyExists(kRoot + u"\\MACHINE\\SOFTWARE\\Held")) << "the program holds the copy";

    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    EXPECT_FALSE(IsProcessUnderSandbox(PsGetProcessId(sandboxed))) << "the stop clears the process lists";
    {
        vexsim::UserModeScope user(sandboxed);
        Wide name(u"Written");
        ULONG one = 1;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtSetValueKey(key, name.get(), 0, REG_DWORD, &one, sizeof(one)));
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(key));
    }
    EXPECT_TRUE(ReadValue(kRoot + u"\\MACHINE\\SOFTWARE\\Held", u"Written").has_value()) << "the write went to the copy";
    EXPECT_FALSE(ReadValue(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Held", u"Written").has_value());
    vexsim::EndProcess(sandboxed);
}

// A stop whose unregistration fails leaves the callback live: the names it reads stay, the
// lists are cleared, and a later stop frees the names.
TEST_F(RedirectionTest, AFailedUnregistrationKeepsTheNamesTheLiveCallbackReads)
{
    StartRedirection();
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    LARGE_INTEGER cookie = data->CallbackCookie;
    data->CallbackCookie.QuadPart = cookie.QuadPart + 1;  // a cookie the configuration manager does not know
    std::vector<std::u16string> names = ConfiguredNames();
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    EXPECT_TRUE(HasDebugLine("VexRegFilter - CmUnRegisterCallback error c000000d"));
    EXPECT_EQ(names, ConfiguredNames());
    EXPECT_TRUE(IsNameSet(&data->RedirectInternetSettingsKey));
    EXPECT_TRUE(IsListEmpty(&data->ExcludeKeyList));
    EXPECT_NE(0, data->CallbackCookie.QuadPart) << "still started";

    data->CallbackCookie = cookie;
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
    EXPECT_EQ(std::vector<std::u16string>(7), ConfiguredNames());
}

// Every allocation of the start can fail: the start answers clearly, a stop afterwards leaves
// nothing of it, and the unload check at the end finds nothing either.
TEST_F(RedirectionTest, EveryAllocationFailureOfTheStartIsUndoneByTheStop)
{
    const std::u16string real = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + kInternetSettings;
    {
        KernelKey settings;
        ASSERT_EQ(STATUS_SUCCESS, settings.CreatePath(real));
    }
    size_t baseline = LivePoolAllocations();
    for (ULONG64 failing = 1;; failing++) {
        ConfigureRedirectNames();
        ULONG64 injected = vexsim::InjectedFailureCount();
        vexsim::FailNthAllocation(failing);
        NTSTATUS status = Send(IOCTL_SANDBOX_START_REG_REDIRECT).status;
        vexsim::ClearAllocationFailures();
        bool reached = vexsim::InjectedFailureCount() != injected;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status << " at " << failing;
        WaitForPreparedKeyThread(g_VexRegFilterData.UserClassesEnumThread);
        WaitForPreparedKeyThread(g_VexRegFilterData.MachineClassesEnumThread);
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_STOP_REG_REDIRECT).status);
        EXPECT_EQ(baseline, LivePoolAllocations()) << "failing allocation " << failing;
        if (!reached) {
            EXPECT_GT(failing, 10u) << "the start allocates";
            break;
        }
    }
}

}  // namespace

namespace {

NTSTATUS NTAPI ForeignCallback(PVOID, PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

// A start whose callback registration fails leaves the notify routines registered and the names
// in place; the next start skips the routines and registers the callback.
TEST_F(RedirectionTest, AFailedRegistrationLeavesTheNotifyRoutinesForTheNextStart)
{
    LARGE_INTEGER foreign{};
    ASSERT_EQ(STATUS_SUCCESS, CmRegisterCallbackEx(ForeignCallback, &g_VexRegFilterData.Altitude, nullptr, nullptr, &foreign, nullptr));
    ConfigureRedirectNames();
    vexsim::ClearDebugOutput();
    NTSTATUS collision = Send(IOCTL_SANDBOX_START_REG_REDIRECT).status;
    EXPECT_EQ((NTSTATUS)0xC01C0011, collision) << "one callback per altitude";
    EXPECT_TRUE(HasDebugLine("VexRegFilter - CmRegisterCallback error c01c0011"));
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    EXPECT_EQ(0, data->CallbackCookie.QuadPart);
    EXPECT_TRUE(data->ProcessNotifyRegistered);
    EXPECT_TRUE(data->ImageNotifyRegistered);
    EXPECT_EQ(nullptr, data->UserClassesEnumThread);
    EXPECT_TRUE(IsNameSet(&data->RedirectInternetSettingsKey));

    ASSERT_EQ(STATUS_SUCCESS, CmUnRegisterCallback(foreign));
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_START_REG_REDIRECT).status);
    EXPECT_FALSE(HasDebugLine("PsSetCreateProcessNotifyRoutineEx")) << "registered once";
    EXPECT_NE(0, data->CallbackCookie.QuadPart);
    WaitForPreparedKeyThread(data->UserClassesEnumThread);
    WaitForPreparedKeyThread(data->MachineClassesEnumThread);
}

}  // namespace
