// A loaded driver whose notification channel sees processes started on a Windows-like volume:
// the process notify routine hands creations and exits to RecordProcessData and
// AnnounceProcessExit, OnImageLoaded is registered, and user processes connect to the port.
#pragma once

#include "driver/process_notify.h"
#include "log/log.h"
#include "notify/notify_private.h"
#include "sim/flt/port.h"
#include "sim/fs/file_system.h"
#include "sim/io/io.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/process_start.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"
#include "tools/logdecode/log_decoder.h"

#include <cstring>
#include <string>
#include <vector>

namespace vextest {

inline const char16_t kCmd[] = u"C:\\Windows\\System32\\cmd.exe";
inline const char16_t kCmd32[] = u"C:\\Windows\\SysWOW64\\cmd.exe";
inline const char16_t kNotepad[] = u"C:\\Windows\\System32\\notepad.exe";
inline const char16_t kDllHost[] = u"C:\\Windows\\System32\\dllhost.exe";
inline const char16_t kKeeper[] = u"C:\\Tools\\Keeper.exe";
inline const char16_t kPortName[] = u"\\VexRegFilterConnectionPort";

using Bytes = std::vector<unsigned char>;

// The bytes of a PROCESS_MESSAGE, built field by field.
inline Bytes MessageBytes(ULONG processId, ULONG started, ULONG flags, const std::u16string& commandLine = u"")
{
    ULONG header[4] = {processId, started, flags, static_cast<ULONG>(commandLine.size() * 2)};
    Bytes bytes(sizeof(header) + commandLine.size() * 2);
    std::memcpy(bytes.data(), header, sizeof(header));
    std::memcpy(bytes.data() + sizeof(header), commandLine.data(), commandLine.size() * 2);
    return bytes;
}

class NotifyTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(kDllHost));
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(kKeeper, vexsim::ImageTraits{3, false}));
        ASSERT_EQ(STATUS_SUCCESS, RegisterProcessNotify());
        ASSERT_EQ(STATUS_SUCCESS, RegisterImageLoadNotify());
    }

    // Starts a process; `loaded` also loads its system libraries, which sends its start message.
    PEPROCESS Start(const std::u16string& image, bool loaded = true, ULONG session = 1, const std::u16string& commandLine = u"")
    {
        vexsim::StartParams params;
        params.imagePath = image;
        params.sessionId = session;
        params.commandLine = commandLine;
        PEPROCESS process = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::StartProcess(params, &process));
        if (loaded && process != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(process));
        }
        return process;
    }

    static ULONG Pid(PEPROCESS process) { return static_cast<ULONG>(process->id); }

    // A user process connected to the port (or the failure of its connect).
    struct Client {
        PEPROCESS process = nullptr;
        HANDLE port = nullptr;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
    };

    Client Connect(vexsim::ProcessParams params = vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\client.exe"})
    {
        Client client;
        client.process = vexsim::CreateUserProcess(params);
        vexsim::UserModeScope user(client.process);
        client.status = vexsim::UserConnectCommunicationPort(kPortName, nullptr, 0, &client.port);
        return client;
    }

    static NTSTATUS Disconnect(const Client& client)
    {
        vexsim::UserModeScope user(client.process);
        return vexsim::UserCloseHandle(client.port);
    }

    // The next message to the client (waiting for it), answered with an empty reply.
    static Bytes Receive(const Client& client)
    {
        vexsim::UserModeScope user(client.process);
        vexsim::PortMessage message;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserGetMessage(client.port, &message));
        EXPECT_EQ(16u, message.replyLength) << "a reply is awaited, and it is empty: its header alone";
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserReplyMessage(client.port, message.messageId, nullptr, 0));
        return message.body;
    }

    // When the sends waiting on the client give up, once `count` of them wait.
    static std::vector<LONGLONG> WaitingSends(const Client& client, size_t count)
    {
        vexsim::UserModeScope user(client.process);
        return vexsim::WaitForWaitingSenders(client.port, count);
    }

    static PFLT_PORT FilterSide(const Client& client)
    {
        vexsim::UserModeScope user(client.process);
        return vexsim::FilterSideOfPort(client.port);
    }

    // Arms the log for `levels` as a user-mode logger would.
    void ArmLog(ULONG levels)
    {
        PEPROCESS logger = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\logger.exe"});
        vexsim::UserModeScope user(logger);
        HANDLE event = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event));
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), levels};
        ASSERT_EQ(STATUS_SUCCESS, StartLogging(&request));
    }

    static std::vector<std::string> LogMessages()
    {
        Bytes buffer(LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE);
        ULONG length = static_cast<ULONG>(buffer.size());
        if (GetLogData(buffer.data(), &length) != STATUS_SUCCESS) {
            return {};
        }
        std::vector<std::string> messages;
        for (const vextools::LogRecord& record : vextools::DecodeLogRecords(buffer.data(), length)) {
            messages.push_back(record.message);
        }
        return messages;
    }

    // The messages of the live process records, oldest first.
    static std::vector<Bytes> Records()
    {
        std::vector<Bytes> records;
        PPROCESS_DATA_SET set = &g_NotifyChannel.ProcessData;
        ExAcquireFastMutex(&set->Lock);
        for (PLIST_ENTRY link = set->Head.Flink; link != &set->Head; link = link->Flink) {
            const PROCESS_MESSAGE* message = &CONTAINING_RECORD(link, VEX_PROCESS_DATA, Links)->Message;
            records.emplace_back((const unsigned char*)message, (const unsigned char*)message + PROCESS_MESSAGE_SIZE(message));
        }
        ExReleaseFastMutex(&set->Lock);
        return records;
    }

    // Declares surrogate image names as the surrogate listing request does.
    static void DeclareSurrogates(const std::u16string& names)
    {
        Bytes output(64 * 1024);
        EXPECT_EQ(STATUS_SUCCESS, GetSurrogatePidList((PVOID)names.c_str(), static_cast<ULONG>((names.size() + 1) * 2),
                                                      output.data(), static_cast<ULONG>(output.size())));
    }
};

}  // namespace vextest
