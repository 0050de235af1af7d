// A loaded driver on a machine with a Windows-like C: volume, processes started on it, and the
// log records the process lists write.
#pragma once

#include "log/log.h"
#include "process/name_utils.h"
#include "process/process_lists.h"
#include "sim/fs/file_system.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process_start.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"
#include "tools/logdecode/log_decoder.h"

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace vextest {

class ProcessDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\suite.exe"));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(u"C:\\Program Files\\Vendor Suite\\helper.exe"));
    }

    void TearDown() override
    {
        vexsim::SetProcessHook(nullptr);
        if (logArmed_ && vexsim::LoadedDriverObject() != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, StopLogging());
        }
        DriverTest::TearDown();
    }

    PEPROCESS Start(const std::u16string& image, PEPROCESS parent = nullptr, ULONG_PTR id = 0)
    {
        vexsim::StartParams params;
        params.imagePath = image;
        params.parent = parent;
        params.id = id;
        PEPROCESS process = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &process));
        return process;
    }

    static HANDLE Pid(PEPROCESS process) { return PsGetProcessId(process); }
    static ULONG Pid32(PEPROCESS process) { return (ULONG)(ULONG_PTR)PsGetProcessId(process); }

    // Arms the log for the process records with an event of a user-mode client.
    void ArmLog()
    {
        PEPROCESS client = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\logclient.exe"});
        vexsim::UserModeScope user(client);
        HANDLE event = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event, EVENT_ALL_ACCESS));
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), LOG_LEVEL_TRACE};
        ASSERT_EQ(STATUS_SUCCESS, StartLogging(&request));
        logArmed_ = true;
        std::vector<unsigned char> startRecord(LOG_RECORD_BODY_SIZE);
        ULONG length = LOG_RECORD_BODY_SIZE;
        ASSERT_EQ(STATUS_SUCCESS, GetLogData(startRecord.data(), &length));
    }

    // A process record as user mode reads it.
    struct Record {
        ULONG processId;          // of the process that wrote it
        std::string processName;
        std::string message;
        bool operator==(const Record&) const = default;
        friend void PrintTo(const Record& record, std::ostream* out)
        {
            *out << record.processId << " " << record.processName << ": " << record.message;
        }
    };

    // The records queued since the last call, oldest first. Each must be, to the byte, a process
    // record: its level, the writer's id and name, the message, and after each NUL nothing but
    // zeros.
    std::vector<Record> WrittenRecords()
    {
        std::vector<unsigned char> raw(LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE);
        ULONG length = (ULONG)raw.size();
        NTSTATUS status = GetLogData(raw.data(), &length);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NO_MORE_ENTRIES) << std::hex << status;
        std::vector<Record> records;
        for (const vextools::LogRecord& decoded : vextools::DecodeLogRecords(raw.data(), length)) {
            Record record{decoded.processId, decoded.processName, decoded.message};
            size_t at = records.size() * LOG_RECORD_BODY_SIZE;
            EXPECT_TRUE(Body(record) == std::vector<unsigned char>(raw.begin() + at, raw.begin() + at + LOG_RECORD_BODY_SIZE))
                << record.processId << " " << record.processName << ": " << record.message;
            records.push_back(record);
        }
        return records;
    }

    // The messages of the records queued since the last call, each written by the caller's
    // process (the System process).
    std::vector<std::string> Records()
    {
        std::vector<std::string> messages;
        for (const Record& record : WrittenRecords()) {
            EXPECT_EQ((ULONG)(ULONG_PTR)PsGetCurrentProcessId(), record.processId) << record.message;
            EXPECT_EQ("System", record.processName) << record.message;
            messages.push_back(record.message);
        }
        return messages;
    }

private:
    static std::vector<unsigned char> Body(const Record& record)
    {
        std::vector<unsigned char> body(LOG_RECORD_BODY_SIZE);
        ULONG level = LOG_LEVEL_TRACE;
        std::u16string name = Utf16(record.processName);
        std::u16string text = Utf16(record.message);
        std::memcpy(&body[LOG_LEVEL_OFFSET], &level, sizeof(level));
        std::memcpy(&body[LOG_PROCESS_ID_OFFSET], &record.processId, sizeof(record.processId));
        std::memcpy(&body[LOG_PROCESS_NAME_OFFSET], name.data(), name.size() * sizeof(char16_t));
        std::memcpy(&body[LOG_MESSAGE_OFFSET], text.data(), text.size() * sizeof(char16_t));
        return body;
    }

    bool logArmed_ = false;
};

}  // namespace vextest
