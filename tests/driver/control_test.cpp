// The control device as the product's service drives it: every control through the simulated I/O
// manager with the exact bytes in and out, the buffer checks before any handler runs, the
// debugger lines, the log data's byte count, requests refused to sandboxed callers, and answers
// written to output buffers that fault.
#include "tests/driver/control_fixture.h"

#include "log/log.h"
#include "process/process_lists.h"
#include "sim/fs/file_system.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process_memory.h"

#include <gtest/gtest.h>

namespace {

using namespace vextest;

constexpr unsigned char kUntouched = 0xEE;
const char16_t* const kImage = u"C:\\Windows\\System32\\notepad.exe";

Bytes Untouched(size_t length)
{
    return Bytes(length, kUntouched);
}

// An answer followed by the untouched rest of the output buffer.
Bytes Answer(const Bytes& answer, size_t outputLength)
{
    Bytes bytes = Untouched(outputLength);
    std::copy(answer.begin(), answer.end(), bytes.begin());
    return bytes;
}

// Text of `characters` units with no NUL anywhere.
Bytes Unterminated(size_t characters)
{
    Bytes bytes(characters * 2);
    for (size_t i = 0; i < characters; i++) {
        bytes[2 * i] = 'a';
    }
    return bytes;
}

Bytes OddLength()
{
    Bytes bytes = TextInput(u"C:\\a.exe");
    bytes.push_back(0);
    return bytes;
}

struct ShapeCase {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
};

// Requests whose buffers do not fit their control: refused before anything runs, nothing written.
TEST_F(ControlTest, RequestsThatDoNotFitTheirControlAreRefusedBeforeAnythingRuns)
{
    const Bytes path = TextInput(u"C:\\Tools\\a.exe");
    Bytes block = RegValueBlock(kRedirectRoot, u"V", REG_DWORD, UlongBytes({1}), 4);
    Bytes unterminatedKey = block;
    std::fill(unterminatedKey.begin() + SET_REG_VALUE_KEY_NAME_OFFSET,
              unterminatedKey.begin() + SET_REG_VALUE_KEY_NAME_OFFSET + SET_REG_VALUE_NAME_BYTES, 'k');
    Bytes unterminatedValue = block;
    std::fill(unterminatedValue.begin() + SET_REG_VALUE_VALUE_NAME_OFFSET,
              unterminatedValue.begin() + SET_REG_VALUE_VALUE_NAME_OFFSET + SET_REG_VALUE_NAME_BYTES, 'v');
    // A scan one character past a name field would find the NUL of an empty value name or of a
    // REG_NONE type after it.
    Bytes unterminatedKeyEmptyValue = RegValueBlock(kRedirectRoot, u"", REG_DWORD, UlongBytes({1}), 4);
    std::fill(unterminatedKeyEmptyValue.begin() + SET_REG_VALUE_KEY_NAME_OFFSET,
              unterminatedKeyEmptyValue.begin() + SET_REG_VALUE_KEY_NAME_OFFSET + SET_REG_VALUE_NAME_BYTES, 'k');
    Bytes unterminatedValueNoType = RegValueBlock(kRedirectRoot, u"V", REG_NONE, Bytes(4), 0);
    std::fill(unterminatedValueNoType.begin() + SET_REG_VALUE_VALUE_NAME_OFFSET,
              unterminatedValueNoType.begin() + SET_REG_VALUE_VALUE_NAME_OFFSET + SET_REG_VALUE_NAME_BYTES, 'v');
    Bytes tooMuchData = RegValueBlock(kRedirectRoot, u"V", REG_BINARY, Bytes(4), SET_REG_VALUE_DATA_BYTES + 1);
    const ShapeCase cases[] = {
        {"unassigned function 0x80A", VEX_CONTROL_CODE(0x80A), {}, 0, STATUS_INVALID_PARAMETER},
        {"unassigned function 0x81F", VEX_CONTROL_CODE(0x81F), path, 4, STATUS_INVALID_PARAMETER},
        {"past the last function", VEX_CONTROL_CODE(0x828), {}, 4, STATUS_INVALID_PARAMETER},
        {"another device type", CTL_CODE(0x23, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), path, 4, STATUS_INVALID_PARAMETER},
        {"identifier into no output", IOCTL_SANDBOX_SET_PROCESS, path, 0, STATUS_INVALID_PARAMETER},
        {"identifier into 3 bytes", IOCTL_SANDBOX_SET_PARENT_PROCESS, path, 3, STATUS_INVALID_PARAMETER},
        {"identifier into 8 bytes", IOCTL_SANDBOX_SET_ROOT_PROCESS, path, 8, STATUS_INVALID_PARAMETER},
        {"identifier into 5 bytes", IOCTL_ADD_EXC_PROCESS, path, 5, STATUS_INVALID_PARAMETER},
        {"identifier into 2 bytes", IOCTL_ADD_PROCESS_TREE_MONITOR, path, 2, STATUS_INVALID_PARAMETER},
        {"no text", IOCTL_SANDBOX_SET_PROCESS, {}, 4, STATUS_INVALID_PARAMETER},
        {"one byte of text", IOCTL_SANDBOX_SET_PROCESS, {0}, 4, STATUS_INVALID_PARAMETER},
        {"odd-length text", IOCTL_SANDBOX_SET_PROCESS, OddLength(), 4, STATUS_INVALID_PARAMETER},
        {"unterminated text", IOCTL_SANDBOX_SET_PROCESS, Unterminated(6), 4, STATUS_INVALID_PARAMETER},
        {"unterminated key", IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, Unterminated(40), 0, STATUS_INVALID_PARAMETER},
        {"unterminated value", IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME, Unterminated(3), 0, STATUS_INVALID_PARAMETER},
        {"unterminated root", IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, Unterminated(9), 0, STATUS_INVALID_PARAMETER},
        {"text past a counted string", IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, Unterminated(0x8000), 0,
         STATUS_NAME_TOO_LONG},
        {"unterminated machine classes", IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, Unterminated(1), 0,
         STATUS_INVALID_PARAMETER},
        {"unterminated surrogate names", IOCTL_GET_SURROGATE_PID_LIST, Unterminated(5), 64, STATUS_INVALID_PARAMETER},
        {"short identifier", IOCTL_SANDBOX_DEL_PROCESS, {1, 0, 0}, 0, STATUS_INVALID_PARAMETER},
        {"short process id", IOCTL_SANDBOX_IS_UNDER_SANDBOX, {4, 0}, 4, STATUS_INVALID_PARAMETER},
        {"boolean into 3 bytes", IOCTL_SANDBOX_IS_UNDER_SANDBOX, UlongBytes({4}), 3, STATUS_INVALID_PARAMETER},
        {"boolean into no output", IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX, {}, 0, STATUS_INVALID_PARAMETER},
        {"short tree request", IOCTL_EXIST_PROCESS_TREE, Bytes(7), 4, STATUS_INVALID_PARAMETER},
        {"tree answer into 5 bytes", IOCTL_EXIST_PROCESS_TREE, Bytes(8), 5, STATUS_INVALID_PARAMETER},
        {"short value block", IOCTL_SANDBOX_SET_REG_VALUE, Bytes(block.begin(), block.end() - 1), 0, STATUS_INVALID_PARAMETER},
        {"unterminated key name", IOCTL_SANDBOX_SET_REG_VALUE, unterminatedKey, 0, STATUS_INVALID_PARAMETER},
        {"unterminated value name", IOCTL_SANDBOX_SET_REG_VALUE, unterminatedValue, 0, STATUS_INVALID_PARAMETER},
        {"data past its field", IOCTL_SANDBOX_SET_REG_VALUE, tooMuchData, 0, STATUS_INVALID_PARAMETER},
        {"unterminated key before an empty value name", IOCTL_SANDBOX_SET_REG_VALUE, unterminatedKeyEmptyValue, 0,
         STATUS_INVALID_PARAMETER},
        {"unterminated value name before REG_NONE", IOCTL_SANDBOX_SET_REG_VALUE, unterminatedValueNoType, 0, STATUS_INVALID_PARAMETER},
        {"list into no output", IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, {}, 0, STATUS_BUFFER_TOO_SMALL},
        {"list into 3 bytes", IOCTL_GET_PID_PPID_LIST, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"listing into 3 bytes", IOCTL_GET_CUI_PID_LIST, {}, 3, STATUS_BUFFER_TOO_SMALL},
        {"child list into 2 bytes", IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST, {}, 2, STATUS_BUFFER_TOO_SMALL},
    };
    for (const ShapeCase& test : cases) {
        SCOPED_TRACE(test.what);
        vexsim::ClearDebugOutput();
        ControlReply reply = Send(test.code, test.input, test.outputLength);
        EXPECT_EQ(test.status, reply.status);
        EXPECT_EQ(0u, reply.returned);
        EXPECT_EQ(Untouched(test.outputLength), reply.output);
        EXPECT_EQ(Lines{}, vexsim::DebugOutput()) << "no handler ran";
    }
    // Nothing of those requests stayed.
    ULONG id = 0;
    EXPECT_FALSE(FindProcessName(&g_VexRegFilterData.ProcessNameList, L"C:\\Tools\\a.exe", &id));
    EXPECT_TRUE(IsListEmpty(&g_VexRegFilterData.ExcludeKeyList));
    EXPECT_FALSE(IsNameSet(&g_VexRegFilterData.RedirectRootKeyName));
}

TEST_F(ControlTest, StartLoggingTakesExactlyTwelveBytes)
{
    for (ULONG length : {0u, 8u, 11u, 13u, 16u}) {
        vexsim::ClearDebugOutput();
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(IOCTL_START_LOGGING, Bytes(length)).status) << length;
        EXPECT_EQ(Lines{"VexRegFilter - IOCTL_START_LOGGING: STATUS_INVALID_PARAMETER"}, vexsim::DebugOutput());
    }
}

struct AnswerCase {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS status;
    Bytes output;  // the whole output buffer afterwards
    Lines lines;
};

// The answers of the queries and the lines of every request, with one process under the sandbox.
TEST_F(ControlTest, EveryControlAnswersExactlyIntoTheCallersOutput)
{
    PEPROCESS sandboxed = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"});
    PutUnderSandbox(sandboxed);
    ULONG pid = (ULONG)(ULONG_PTR)PsGetProcessId(sandboxed);
    const AnswerCase cases[] = {
        {"one process in the sandbox", IOCTL_SANDBOX_IS_UNDER_SANDBOX, UlongBytes({pid}), 8, STATUS_SUCCESS,
         Answer(UlongBytes({1}), 8), {}},
        {"the service is outside", IOCTL_SANDBOX_IS_UNDER_SANDBOX, UlongBytes({(ULONG)(ULONG_PTR)PsGetProcessId(service->process())}), 4,
         STATUS_SUCCESS, UlongBytes({0}), {}},
        {"the sandbox is not empty", IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX, {}, 4, STATUS_SUCCESS, UlongBytes({1}), {}},
        {"no such tree", IOCTL_EXIST_PROCESS_TREE, UlongBytes({1, pid}), 4, STATUS_SUCCESS, UlongBytes({0}), {}},
        {"the pid list", IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, {}, 12, STATUS_SUCCESS, Answer(UlongBytes({1, pid}), 12),
         {"VexRegFilter - IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX"}},
        {"only the count fits", IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, {}, 7, STATUS_BUFFER_TOO_SMALL, Answer(UlongBytes({1}), 7),
         {"VexRegFilter - IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX"}},
        {"pid and parent pairs", IOCTL_GET_PID_PPID_LIST, {}, 16, STATUS_SUCCESS, UlongBytes({1, pid, 0, 0xEEEEEEEE}),
         {"VexRegFilter - IOCTL_GET_PID_PPID_LIST"}},
        {"pairs that do not fit", IOCTL_GET_PID_PPID_LIST, {}, 8, STATUS_BUFFER_TOO_SMALL, Answer(UlongBytes({1}), 8),
         {"VexRegFilter - IOCTL_GET_PID_PPID_LIST"}},
        {"no children of roots", IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST, {}, 8, STATUS_SUCCESS, Answer(UlongBytes({0}), 8),
         {"VexRegFilter - IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST"}},
        {"no console programs", IOCTL_GET_CUI_PID_LIST, {}, 8, STATUS_SUCCESS, Answer(UlongBytes({4}), 8),
         {"VexRegFilter - IOCTL_GET_CUI_PID_LIST"}},
        {"no surrogate hosts", IOCTL_GET_SURROGATE_PID_LIST, TextInput(u"dllhost.exe"), 4, STATUS_SUCCESS, UlongBytes({4}),
         {"VexRegFilter - IOCTL_GET_SURROGATE_PID_LIST"}},
        {"delete a setting", IOCTL_SANDBOX_DEL_PROCESS, UlongBytes({7}), 0, STATUS_SUCCESS, {},
         {"VexRegFilter - IOCTL_SANDBOX_DEL_PROCESS: id(7)"}},
        {"an exclusion key", IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, TextInput(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept"), 0, STATUS_SUCCESS, {},
         {"VexRegFilter - IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME: '\\REGISTRY\\MACHINE\\SOFTWARE\\Kept'"}},
        {"exclusion keys reset", IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME, {}, 0, STATUS_SUCCESS, {},
         {"VexRegFilter - IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME"}},
        {"an exclusion value", IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME, TextInput(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept\\V"), 0,
         STATUS_SUCCESS, {}, {"VexRegFilter - IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME: '\\REGISTRY\\MACHINE\\SOFTWARE\\Kept\\V'"}},
        {"exclusion values reset", IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME, {}, 0, STATUS_SUCCESS, {},
         {"VexRegFilter - IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME"}},
        {"the log drained unarmed", IOCTL_GET_LOG_DATA, {}, LOG_RECORD_BODY_SIZE, STATUS_NO_MORE_ENTRIES, Untouched(LOG_RECORD_BODY_SIZE),
         {}},
        {"the log stopped", IOCTL_STOP_LOGGING, {}, 0, STATUS_SUCCESS, {}, {"VexRegFilter - IOCTL_STOP_LOGGING"}},
    };
    for (const AnswerCase& test : cases) {
        SCOPED_TRACE(test.what);
        vexsim::ClearDebugOutput();
        ControlReply reply = Send(test.code, test.input, test.outputLength);
        EXPECT_EQ(test.status, reply.status);
        EXPECT_EQ(0u, reply.returned) << "answers are not copied back by the I/O manager";
        EXPECT_EQ(test.output, reply.output);
        EXPECT_EQ(test.lines, vexsim::DebugOutput());
    }
    EXPECT_TRUE(IsListEmpty(&g_VexRegFilterData.ExcludeKeyList)) << "the reset emptied the exclusion keys";
    EXPECT_TRUE(IsListEmpty(&g_VexRegFilterData.ExcludeValueList)) << "the reset emptied the exclusion values";
    vexsim::EndProcess(sandboxed);
}

// Each process setting answers its identifier and prints it after the operation.
TEST_F(ControlTest, ProcessSettingsAnswerTheirIdentifiers)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    const struct {
        ULONG code;
        PLOCKED_LIST list;
        const char* line;
    } settings[] = {
        {IOCTL_SANDBOX_SET_PARENT_PROCESS, &g_VexRegFilterData.ParentProcessNameList, "IOCTL_SANDBOX_SET_PARENT_PROCESS"},
        {IOCTL_SANDBOX_SET_PROCESS, &g_VexRegFilterData.ProcessNameList, "IOCTL_SANDBOX_SET_PROCESS"},
        {IOCTL_SANDBOX_SET_ROOT_PROCESS, &g_VexRegFilterData.RootProcessNameList, "IOCTL_SANDBOX_SET_ROOT_PROCESS"},
        {IOCTL_ADD_EXC_PROCESS, &g_VexRegFilterData.ExclusionProcessNameList, "IOCTL_ADD_EXC_PROCESS"},
        {IOCTL_ADD_PROCESS_TREE_MONITOR, &g_VexRegFilterData.PTreeMonNameList, "IOCTL_ADD_PROCESS_TREE_MONITOR"},
    };
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.line);
        vexsim::ClearDebugOutput();
        ControlReply reply = Send(setting.code, TextInput(kImage), 4);
        ASSERT_EQ(STATUS_SUCCESS, reply.status) << ::testing::PrintToString(vexsim::DebugOutput());
        ULONG id = 0;
        ASSERT_TRUE(FindProcessName(setting.list, (PCWSTR)kImage, &id));
        EXPECT_EQ(UlongBytes({id}), reply.output);
        // The operation's own lines come first; the request's line follows it.
        EXPECT_EQ("VexRegFilter - " + std::string(setting.line) + ": '" + Utf8(kImage) + "', id(" + std::to_string(id) + ")",
                  vexsim::DebugOutput().back());
        EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_SANDBOX_DEL_PROCESS, UlongBytes({id})).status);
        EXPECT_FALSE(FindProcessName(setting.list, (PCWSTR)kImage, &id));
    }
}

// The log data is the one answer the I/O manager copies back: whole records, their byte count.
TEST_F(ControlTest, LogDataIsCopiedBackWithItsLength)
{
    HANDLE event = nullptr;
    {
        vexsim::UserModeScope user(service->process());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event, EVENT_ALL_ACCESS));
    }
    Bytes request = UlongBytes({(ULONG)(ULONG_PTR)event, (ULONG)((ULONG64)(ULONG_PTR)event >> 32), LOG_LEVEL_TRACE});
    vexsim::ClearDebugOutput();
    ASSERT_EQ(STATUS_SUCCESS, Send(IOCTL_START_LOGGING, request).status);
    char line[96];
    std::snprintf(line, sizeof(line), "VexRegFilter - IOCTL_START_LOGGING: Handle = %016llX Flags = 0x%08X",
                  (unsigned long long)(ULONG_PTR)event, LOG_LEVEL_TRACE);
    EXPECT_EQ(Lines{line}, vexsim::DebugOutput());
    ASSERT_GE(GetLogCount(), 1u) << "starting the log writes its own record";

    ControlReply tooSmall = Send(IOCTL_GET_LOG_DATA, {}, LOG_RECORD_BODY_SIZE - 1);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, tooSmall.status);
    EXPECT_EQ(0u, tooSmall.returned);
    ULONG queued = GetLogCount();
    ControlReply data = Send(IOCTL_GET_LOG_DATA, {}, LOG_RECORD_BODY_SIZE * (queued + 1));
    EXPECT_EQ(STATUS_SUCCESS, data.status);
    EXPECT_EQ(LOG_RECORD_BODY_SIZE * queued, data.returned);
    ULONG level = 0;
    std::memcpy(&level, data.output.data() + LOG_LEVEL_OFFSET, sizeof(level));
    EXPECT_EQ((ULONG)LOG_LEVEL_TRACE, level);
    EXPECT_EQ(Untouched(LOG_RECORD_BODY_SIZE), Bytes(data.output.end() - LOG_RECORD_BODY_SIZE, data.output.end()));
    EXPECT_EQ(STATUS_SUCCESS, Send(IOCTL_STOP_LOGGING).status);
}

// A process under the sandbox may ask, but not change the sandbox or leave it.
TEST_F(ControlTest, SandboxedCallersMayOnlyAsk)
{
    ControlService sandboxed(u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe");
    PutUnderSandbox(sandboxed.process());
    ULONG pid = (ULONG)(ULONG_PTR)PsGetProcessId(sandboxed.process());
    const struct {
        ULONG code;
        Bytes input;
        ULONG outputLength;
    } changes[] = {
        {IOCTL_SANDBOX_SET_PARENT_PROCESS, TextInput(u"x.exe"), 4},
        {IOCTL_SANDBOX_DEL_PROCESS, UlongBytes({1}), 0},
        {IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, TextInput(kRedirectRoot), 0},
        {IOCTL_SANDBOX_SET_REG_VALUE, RegValueBlock(kRedirectRoot, u"V", REG_DWORD, UlongBytes({1}), 4), 0},
        {IOCTL_SANDBOX_START_REG_REDIRECT, {}, 0},
        {IOCTL_SANDBOX_STOP_REG_REDIRECT, {}, 0},
        {IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, TextInput(kRedirectUserClasses), 0},
        {IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, TextInput(kRedirectMachineClasses), 0},
        {IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, TextInput(u"\\REGISTRY\\MACHINE\\SOFTWARE"), 0},
        {IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME, {}, 0},
        {IOCTL_START_LOGGING, Bytes(START_LOGGING_REQUEST_SIZE), 0},
        {IOCTL_STOP_LOGGING, {}, 0},
        {IOCTL_GET_LOG_DATA, {}, LOG_RECORD_BODY_SIZE},
        {IOCTL_SANDBOX_SET_PROCESS, TextInput(u"x.exe"), 4},
        {IOCTL_SANDBOX_SET_ROOT_PROCESS, TextInput(u"x.exe"), 4},
        {IOCTL_ADD_EXC_PROCESS, TextInput(u"sandboxed.exe"), 4},
        {IOCTL_GET_SURROGATE_PID_LIST, TextInput(u"sandboxed.exe"), 64},
        {IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME, TextInput(u"\\REGISTRY\\MACHINE\\SOFTWARE\\V"), 0},
        {IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME, {}, 0},
        {IOCTL_ADD_PROCESS_TREE_MONITOR, TextInput(u"x.exe"), 4},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.code);
        ControlReply reply = sandboxed.Send(change.code, change.input, change.outputLength);
        EXPECT_EQ(STATUS_ACCESS_DENIED, reply.status);
        EXPECT_EQ(Untouched(change.outputLength), reply.output);
    }
    EXPECT_EQ(0, g_VexRegFilterData.CallbackCookie.QuadPart);
    EXPECT_FALSE(IsNameSet(&g_VexRegFilterData.RedirectRootKeyName));
    EXPECT_TRUE(IsListEmpty(&g_VexRegFilterData.ExcludeKeyList));
    EXPECT_TRUE(IsProcessUnderSandbox(PsGetProcessId(sandboxed.process())));

    ControlReply asked = sandboxed.Send(IOCTL_SANDBOX_IS_UNDER_SANDBOX, UlongBytes({pid}), 4);
    EXPECT_EQ(STATUS_SUCCESS, asked.status);
    EXPECT_EQ(UlongBytes({1}), asked.output);
    EXPECT_EQ(STATUS_SUCCESS, sandboxed.Send(IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, {}, 8).status);
}

// The output buffer is the caller's memory: another thread can take it away between the I/O
// manager's probe and the answer. The driver answers with the fault instead of taking it.
TEST_F(ControlTest, AnswersIntoOutputThatFaultsFailCleanly)
{
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    PEPROCESS sandboxed = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"});
    PutUnderSandbox(sandboxed);
    ULONG pid = (ULONG)(ULONG_PTR)PsGetProcessId(sandboxed);
    const struct {
        ULONG code;
        Bytes input;
        ULONG outputLength;
    } answers[] = {
        {IOCTL_SANDBOX_IS_UNDER_SANDBOX, UlongBytes({pid}), 4},
        {IOCTL_SANDBOX_SET_PROCESS, TextInput(kImage), 4},
        {IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, {}, 64},
        {IOCTL_GET_PID_PPID_LIST, {}, 4},
        {IOCTL_GET_CUI_PID_LIST, {}, 64},
        {IOCTL_EXIST_PROCESS_TREE, UlongBytes({1, pid}), 4},
    };
    PEPROCESS caller = service->process();
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.code);
        ULONG_PTR output = vexsim::AllocateProcessMemory(caller, answer.outputLength);
        vexsim::SetBeforeDispatchHook([&] { vexsim::SetProcessMemoryWritable(caller, output, false); });
        vexsim::UserModeScope user(caller);
        HANDLE device = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserOpenFile(u"\\\\.\\VexRegFilter", GENERIC_READ | GENERIC_WRITE, &device));
        ULONG returned = 0;
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, vexsim::UserDeviceIoControl(device, answer.code, answer.input.data(),
                                                                       (ULONG)answer.input.size(), (void*)output,
                                                                       answer.outputLength, &returned));
        (void)vexsim::UserCloseHandle(device);
    }
    // A NULL output never reaches the driver: the I/O manager's probe refuses it.
    ControlReply null;
    {
        vexsim::UserModeScope user(caller);
        HANDLE device = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserOpenFile(u"\\\\.\\VexRegFilter", GENERIC_READ | GENERIC_WRITE, &device));
        Bytes input = UlongBytes({pid});
        EXPECT_EQ(STATUS_ACCESS_VIOLATION,
                  vexsim::UserDeviceIoControl(device, IOCTL_SANDBOX_IS_UNDER_SANDBOX, input.data(), 4, nullptr, 4, &null.returned));
        (void)vexsim::UserCloseHandle(device);
    }
    vexsim::EndProcess(sandboxed);
}

}  // namespace
