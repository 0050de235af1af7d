// The machine the interception tests run on: the driver loaded and redirection started, a
// sandboxed program of the configured user and an ordinary one outside, the log armed for the
// registry-operation records, and the native registry calls as those programs make them.
#pragma once

#include "callback/callback.h"

#include "log/log.h"
#include "sim/cm/user_registry.h"
#include "sim/debug/debug_output.h"
#include "sim/executive/pool.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/redirection.h"
#include "tests/support/wide.h"
#include "tools/logdecode/log_decoder.h"

#include <string>
#include <vector>

namespace vextest {

const std::u16string kSoftware = u"\\REGISTRY\\MACHINE\\SOFTWARE";
const std::u16string kUser = std::u16string(u"\\REGISTRY\\USER\\") + kUserSid;
const std::u16string kRoot = kRedirectRoot;

// A key name made of levels "L1", "L2", ... below parent, `levels` of them.
inline std::u16string Deep(const std::u16string& parent, size_t levels)
{
    std::u16string name = parent;
    for (size_t level = 1; level <= levels; level++) {
        name += u"\\L" + Utf16(std::to_string(level));
    }
    return name;
}

class CallbackTest : public DriverTest {
protected:
    CallbackTest() { config.userSids.push_back(Utf8(kUserSid)); }

    void SetUp() override
    {
        DriverTest::SetUp();
        StartRedirection();
        // The sandboxed program runs elevated, so that the machine's keys are its to change.
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"};
        params.userSid = Utf8(kUserSid);
        params.administrator = true;
        sandboxed = vexsim::CreateUserProcess(params);
        params.imagePath = u"\\Device\\HarddiskVolume3\\App\\outside.exe";
        params.administrator = false;
        outsider = vexsim::CreateUserProcess(params);
        PutUnderSandbox(sandboxed);
        ArmLog();
        vexsim::ClearDebugOutput();
    }
    void TearDown() override
    {
        vexsim::EndProcess(sandboxed);
        vexsim::EndProcess(outsider);
        if (vexsim::LoadedDriverObject() != nullptr) {
            (void)StopLogging();
        }
        vexsim::EndProcess(logClient_);
        DriverTest::TearDown();
    }

    // Arms the log for the registry-operation records, as the control client does.
    void ArmLog()
    {
        logClient_ = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\logclient.exe"});
        vexsim::UserModeScope user(logClient_);
        HANDLE event = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event, EVENT_ALL_ACCESS));
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), logLevels};
        ASSERT_EQ(STATUS_SUCCESS, StartLogging(&request));
        (void)Records();  // the start's own record
    }

    // The messages of the records queued since the last call, oldest first.
    static std::vector<std::string> Records()
    {
        std::vector<unsigned char> buffer(LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE);
        ULONG written = (ULONG)buffer.size();
        NTSTATUS status = GetLogData(buffer.data(), &written);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NO_MORE_ENTRIES) << std::hex << status;
        std::vector<std::string> messages;
        for (const vextools::LogRecord& record : vextools::DecodeLogRecords(buffer.data(), written)) {
            messages.push_back(record.message);
        }
        return messages;
    }

    // "<operation> Ope = PRE <func> status = 0x<status>L path = <path>"
    static std::string Record(const char* operation, const char* func, NTSTATUS status, const std::u16string& path)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "%08X", (unsigned)status);
        return std::string(operation) + " Ope = PRE " + func + " status = 0x" + text + "L path = " + Utf8(path);
    }

    // The native calls as a program makes them.
    static NTSTATUS Open(PEPROCESS process, const std::u16string& name, ACCESS_MASK access, HANDLE* handle, HANDLE root = nullptr)
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        *handle = nullptr;
        return vexsim::NtOpenKeyEx(handle, access, &attributes, 0);
    }
    static NTSTATUS Create(PEPROCESS process, const std::u16string& name, HANDLE* handle, ULONG* disposition = nullptr,
                           HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
        ULONG ignored = 0;
        *handle = nullptr;
        return vexsim::NtCreateKey(handle, access, &attributes, 0, nullptr, 0, disposition != nullptr ? disposition : &ignored);
    }
    static NTSTATUS Close(PEPROCESS process, HANDLE handle)
    {
        vexsim::UserModeScope user(process);
        return vexsim::NtClose(handle);
    }
    static NTSTATUS SetDword(PEPROCESS process, HANDLE key, const std::u16string& name, ULONG value)
    {
        vexsim::UserModeScope user(process);
        Wide wide(name);
        return vexsim::NtSetValueKey(key, wide.get(), 0, REG_DWORD, &value, sizeof(value));
    }

    PEPROCESS sandboxed = nullptr;
    PEPROCESS outsider = nullptr;
    ULONG logLevels = LOG_LEVEL_INFO;  // the levels armed at set-up

private:
    PEPROCESS logClient_ = nullptr;
};

}  // namespace vextest
