// The log record queue on the simulated machine: armed with an event a user process created,
// drained and decoded as the control client does, and disarmed at the end of every test.
#include "log/log.h"
#include "process/process_lists.h"

#include "sim/executive/dispatcher.h"
#include "sim/executive/exports.h"
#include "sim/fs/file_system.h"
#include "sim/io/io.h"
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/wide.h"
#include "tools/logdecode/log_decoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using vextest::Utf16;
using vextest::Utf8;
using vextools::LogRecord;

constexpr ULONG kAllLevels = 0x7F;
constexpr ULONG kInfoOnly = LOG_LEVEL_INFO;  // leaves out the control-request records (trace)

// 40 characters: 13 before the cut are "Forty_charact", 13 after it "ame_of_40.exe".
const char16_t kFortyCharacterName[] = u"Forty_character_image_fil_name_of_40.exe";

std::string Hex16(const void* value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
    return text;
}

// Stands in for ZwQuerySystemInformation, which a writer asks for the process name after it found
// its level enabled: when asked to, it disarms the log first, as a stop on another thread would.
bool g_stopLoggingOnQuery = false;
NTSTATUS NTAPI StopLoggingThenQuery(SYSTEM_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length, PULONG returned)
{
    if (g_stopLoggingOnQuery) {
        g_stopLoggingOnQuery = false;
        EXPECT_EQ(STATUS_SUCCESS, StopLogging());
    }
    return ZwQuerySystemInformation(infoClass, buffer, length, returned);
}

class LogTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        client_ = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\logclient.exe"});
    }

    // Every test ends disarmed: the queue empty and no reference left on any event.
    void TearDown() override
    {
        EXPECT_EQ(STATUS_SUCCESS, StopLogging());
        DriverTest::TearDown();
    }

    ULONG ClientId() const { return static_cast<ULONG>(client_->id); }

    HANDLE CreateEvent(ACCESS_MASK access = EVENT_ALL_ACCESS, EVENT_TYPE type = SynchronizationEvent)
    {
        vexsim::UserModeScope user(client_);
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(type, FALSE, &handle, access));
        return handle;
    }

    // IOCTL_START_LOGGING as the control dispatcher runs it: in the client's thread.
    NTSTATUS Start(HANDLE event, ULONG flags)
    {
        vexsim::UserModeScope user(client_);
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), flags};
        return StartLogging(&request);
    }

    HANDLE Arm(ULONG flags)
    {
        HANDLE event = CreateEvent();
        EXPECT_EQ(STATUS_SUCCESS, Start(event, flags));
        return event;
    }

    // The event object behind a handle of the client (alive while the handle is open).
    PVOID EventObject(HANDLE event)
    {
        vexsim::UserModeScope user(client_);
        PVOID object = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, vexsim::ReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr));
        vexsim::DereferenceObject(object);
        return object;
    }

    LONG_PTR DriverReferencesOn(HANDLE event) { return vexsim::HeaderOf(EventObject(event)).driverReferences.load(); }

    // Polls the client's event; a synchronization event is reset by a successful poll.
    bool Signalled(HANDLE event)
    {
        vexsim::UserModeScope user(client_);
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        return vexsim::UserWaitForSingleObject(event, &poll) == STATUS_SUCCESS;
    }

    // GetLogData with a buffer of `length` bytes, decoded.
    std::vector<LogRecord> Read(ULONG length, NTSTATUS expected = STATUS_SUCCESS)
    {
        std::vector<unsigned char> buffer(length);
        ULONG written = length;
        EXPECT_EQ(expected, GetLogData(buffer.data(), &written));
        EXPECT_LE(written, length);
        return vextools::DecodeLogRecords(buffer.data(), written);
    }

    std::vector<LogRecord> Drain() { return Read(LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE); }

    PEPROCESS client_ = nullptr;
};

TEST_F(LogTest, StartLoggingQueuesItsOwnRecordAndSignalsTheEvent)
{
    HANDLE event = Arm(LOG_LEVEL_TRACE);
    EXPECT_TRUE(Signalled(event));
    std::vector<LogRecord> records = Drain();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("Trace", records[0].levelName);
    EXPECT_EQ(ClientId(), records[0].processId);
    EXPECT_EQ("logclient.exe", records[0].processName);
    EXPECT_EQ("IRP = DEV_CTRL IOCTL = START_LOG Handle = 0x" + Hex16(event) + " Flags = 0x00000040L status = 0x00000000L",
              records[0].message);
}

TEST_F(LogTest, ProcessNamesLongerThan31CharactersAreCutInTheMiddle)
{
    struct Case {
        std::u16string name;
        std::string stored;
    };
    const std::u16string thirtyOne = u"abcdefghijklmnopqrstuvwxyz01234";
    const Case cases[] = {
        {u"", ""},
        {thirtyOne, Utf8(thirtyOne)},                                   // fits with its NUL
        {thirtyOne + u"5", "abcdefghijklm ... tuvwxyz012345"},          // one over: shortened
        {kFortyCharacterName, "Forty_charact ... ame_of_40.exe"},
    };
    ASSERT_EQ(40u, std::u16string(kFortyCharacterName).size());
    Arm(kInfoOnly);
    for (const Case& c : cases) {
        vextest::Wide name(c.name);
        EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, name.c_str(), L"message"));
    }
    std::vector<LogRecord> records = Drain();
    ASSERT_EQ(std::size(cases), records.size());
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_EQ(cases[i].stored, records[i].processName) << "name of " << cases[i].name.size() << " characters";
        EXPECT_LE(records[i].processName.size(), 31u);
    }
}

TEST_F(LogTest, ProcessNameIsLookedUpByIdWhenNoneIsGiven)
{
    PEPROCESS longNamed = vexsim::CreateUserProcess(
        vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Program Files\\" + std::u16string(kFortyCharacterName)});
    PEPROCESS shortNamed = vexsim::CreateUserProcess(vexsim::ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\a"});
    Arm(kInfoOnly);
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)longNamed->id, nullptr, L"looked up"));
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)shortNamed->id, nullptr, L"one character"));
    // An id no process has: the record is lost and the lookup's status comes back.
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, WriteLog(LOG_LEVEL_INFO, (HANDLE)0x7FFC, nullptr, L"unknown"));
    // The idle process has an empty image name.
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)0, nullptr, L"idle"));
    std::vector<LogRecord> records = Drain();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(longNamed->id, records[0].processId);
    EXPECT_EQ("Forty_charact ... ame_of_40.exe", records[0].processName);
    EXPECT_EQ("looked up", records[0].message);
    EXPECT_EQ("a", records[1].processName);
    EXPECT_EQ("", records[2].processName);
    vexsim::EndProcess(shortNamed);
}

TEST_F(LogTest, MessageLongerThanTheFieldIsCutAt511CharactersAndStillQueued)
{
    Arm(kInfoOnly);
    std::u16string text;
    for (int i = 0; i < 600; i++) {
        text.push_back(static_cast<char16_t>(u'a' + i % 26));
    }
    vextest::Wide message(text);
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"%s", message.c_str()));

    std::vector<unsigned char> body(LOG_RECORD_BODY_SIZE);
    ULONG length = LOG_RECORD_BODY_SIZE;
    ASSERT_EQ(STATUS_SUCCESS, GetLogData(body.data(), &length));
    ASSERT_EQ(static_cast<ULONG>(LOG_RECORD_BODY_SIZE), length);
    std::vector<LogRecord> records = vextools::DecodeLogRecords(body.data(), length);
    EXPECT_EQ(Utf8(text.substr(0, 511)), records[0].message);
    const size_t lastUnit = LOG_MESSAGE_OFFSET + 511 * sizeof(WCHAR);
    EXPECT_EQ(0, body[lastUnit] | body[lastUnit + 1]) << "the last unit of the field is the NUL";
}

TEST_F(LogTest, FullQueueDropsExactlyTheOldestRecord)
{
    Arm(kInfoOnly);
    for (int i = 0; i < LOG_QUEUE_LIMIT; i++) {
        ASSERT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"record %d", i));
    }
    EXPECT_EQ(static_cast<ULONG>(LOG_QUEUE_LIMIT), GetLogCount());
    size_t poolBefore = vextest::LivePoolAllocations();
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"record %d", LOG_QUEUE_LIMIT));
    EXPECT_EQ(static_cast<ULONG>(LOG_QUEUE_LIMIT), GetLogCount());
    EXPECT_EQ(poolBefore, vextest::LivePoolAllocations()) << "the dropped record is freed";

    std::vector<LogRecord> records = Drain();
    ASSERT_EQ(static_cast<size_t>(LOG_QUEUE_LIMIT), records.size());
    EXPECT_EQ("record 1", records.front().message);
    EXPECT_EQ("record 1024", records.back().message);
}

TEST_F(LogTest, GetLogDataHandsOutWholeRecordsOldestFirst)
{
    Arm(kInfoOnly);
    for (int i = 0; i < 5; i++) {
        WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"record %d", i);
    }
    std::vector<unsigned char> buffer(3000);
    ULONG length = 3000;
    ASSERT_EQ(STATUS_SUCCESS, GetLogData(buffer.data(), &length));
    EXPECT_EQ(2192u, length);
    std::vector<LogRecord> records = vextools::DecodeLogRecords(buffer.data(), length);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("record 0", records[0].message);
    EXPECT_EQ("record 1", records[1].message);
    EXPECT_EQ(3u, GetLogCount());

    length = 1000;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetLogData(buffer.data(), &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(3u, GetLogCount());

    records = Drain();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("record 2", records[0].message);

    length = 3000;
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, GetLogData(buffer.data(), &length));
    EXPECT_EQ(0u, length);
}

TEST_F(LogTest, LevelsOutsideTheMaskAreNeitherQueuedNorSignalled)
{
    HANDLE event = Arm(kInfoOnly);
    EXPECT_EQ(0u, GetLogCount()) << "without trace in the mask the start request is not queued";
    EXPECT_TRUE(IsLogLevelEnabled(LOG_LEVEL_INFO));
    EXPECT_FALSE(IsLogLevelEnabled(LOG_LEVEL_ERROR));
    EXPECT_FALSE(IsLogLevelEnabled(LOG_LEVEL_TRACE));

    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_ERROR, (HANDLE)8, L"x.exe", L"error"));
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_TRACE, (HANDLE)8, L"x.exe", L"trace"));
    EXPECT_EQ(0u, GetLogCount());
    EXPECT_FALSE(Signalled(event));

    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"info"));
    EXPECT_EQ(1u, GetLogCount());
    EXPECT_TRUE(Signalled(event));
}

TEST_F(LogTest, ARecordWhoseLogIsDisarmedWhileItIsBuiltIsDropped)
{
    // The driver resolves the routine at start-up: load it again with the stand-in.
    EXPECT_TRUE(vexsim::UnloadDriver().leftovers.empty());
    vexsim::RegisterExport(u"ZwQuerySystemInformation", (void*)&StopLoggingThenQuery);
    NTSTATUS loaded = vexsim::LoadDriver(DriverEntry, "VexRegFilter");
    vexsim::RegisterExport(u"ZwQuerySystemInformation", (void*)&ZwQuerySystemInformation);
    ASSERT_EQ(STATUS_SUCCESS, loaded);

    HANDLE event = Arm(kInfoOnly);
    size_t poolArmed = vextest::LivePoolAllocations();
    g_stopLoggingOnQuery = true;
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)client_->id, nullptr, L"written while stopping"));
    EXPECT_FALSE(g_stopLoggingOnQuery) << "the writer looked the name up";
    EXPECT_EQ(0u, GetLogCount()) << "nothing is queued in a disarmed log";
    EXPECT_FALSE(Signalled(event));
    EXPECT_EQ(poolArmed, vextest::LivePoolAllocations()) << "the record is freed";
}

TEST_F(LogTest, RecordsWrittenAbovePassiveLevelGoOnlyToTheDebugger)
{
    Arm(kAllLevels);
    Drain();
    for (KIRQL irql : {static_cast<KIRQL>(APC_LEVEL), static_cast<KIRQL>(DISPATCH_LEVEL)}) {
        vexsim::ClearDebugOutput();
        KIRQL old;
        KeRaiseIrql(irql, &old);
        NTSTATUS status = WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"format %d", 1);
        KeLowerIrql(old);
        EXPECT_EQ(STATUS_SUCCESS, status);
        EXPECT_EQ(0u, GetLogCount()) << "IRQL " << +irql;
        std::vector<std::string> expected = {
            "[Logging][RegFilter]",
            "          IRQL        : " + std::to_string(irql),
            "          Level       : 2",
            "          ProcessId   : 8",
            "          Format      : format %d",
        };
        EXPECT_EQ(expected, vexsim::DebugOutput());
    }
}

TEST_F(LogTest, RecordsAreHandedOutOnlyBelowDispatchLevel)
{
    Arm(kInfoOnly);
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"kept");
    std::vector<unsigned char> buffer(LOG_RECORD_BODY_SIZE);
    ULONG length = LOG_RECORD_BODY_SIZE;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = GetLogData(buffer.data(), &length);
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(1u, GetLogCount()) << "the record stays queued";
}

TEST_F(LogTest, RepeatingStartWithTheSameHandleAndMaskTakesNoNewReference)
{
    HANDLE event = Arm(LOG_LEVEL_TRACE);
    EXPECT_EQ(1, DriverReferencesOn(event));
    EXPECT_EQ(STATUS_SUCCESS, Start(event, LOG_LEVEL_TRACE));
    EXPECT_EQ(1, DriverReferencesOn(event));
    EXPECT_EQ(2u, GetLogCount()) << "each request is logged";

    // A new mask on the same handle re-references the event and drops the old reference.
    EXPECT_EQ(STATUS_SUCCESS, Start(event, kAllLevels));
    EXPECT_EQ(1, DriverReferencesOn(event));
    EXPECT_TRUE(IsLogLevelEnabled(LOG_LEVEL_ERROR)) << "the new mask took effect";

    // A new event replaces the old one and leaves the queue as it was.
    HANDLE replacement = CreateEvent();
    EXPECT_EQ(STATUS_SUCCESS, Start(replacement, kAllLevels));
    EXPECT_EQ(0, DriverReferencesOn(event));
    EXPECT_EQ(1, DriverReferencesOn(replacement));
    EXPECT_EQ(4u, GetLogCount());

    // A repeat does not look at the handle again: it holds after the client closed it.
    {
        vexsim::UserModeScope user(client_);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(replacement));
    }
    EXPECT_EQ(STATUS_SUCCESS, Start(replacement, kAllLevels));
}

TEST_F(LogTest, RefusedHandleKeepsTheArmedStateAndLogsTheStatus)
{
    HANDLE event = Arm(kInfoOnly | LOG_LEVEL_TRACE);
    Drain();
    ASSERT_TRUE(Signalled(event));
    HANDLE noReadControl = CreateEvent(SYNCHRONIZE | EVENT_MODIFY_STATE);
    HANDLE notAnEvent;
    {
        vexsim::UserModeScope user(client_);
        ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(client_, 0, nullptr, PROCESS_ALL_ACCESS, *PsProcessType, UserMode,
                                                        &notAnEvent));
    }
    struct Case {
        const char* what;
        HANDLE handle;
        NTSTATUS expected;
        const char* statusText;
    };
    const Case cases[] = {
        {"no such handle", reinterpret_cast<HANDLE>(0x7F0), STATUS_INVALID_HANDLE, "C0000008"},
        {"handle without READ_CONTROL", noReadControl, STATUS_ACCESS_DENIED, "C0000022"},
        {"handle to a process", notAnEvent, STATUS_OBJECT_TYPE_MISMATCH, "C0000024"},
    };
    for (const Case& c : cases) {
        vexsim::ClearDebugOutput();
        EXPECT_EQ(c.expected, Start(c.handle, kAllLevels)) << c.what;
        EXPECT_TRUE(vextest::HasDebugLine(std::string("[Logging] StartLogging : ObReferenceObjectByHandle failed: ") +
                                          c.statusText))
            << c.what;
        // The old mask stays: the request's record is queued (trace) on the old event.
        std::vector<LogRecord> records = Drain();
        ASSERT_EQ(1u, records.size()) << c.what;
        EXPECT_EQ("IRP = DEV_CTRL IOCTL = START_LOG Handle = 0x" + Hex16(c.handle) + " Flags = 0x0000007FL status = 0x" +
                      c.statusText + "L",
                  records[0].message)
            << c.what;
        EXPECT_TRUE(Signalled(event)) << c.what;
        EXPECT_FALSE(IsLogLevelEnabled(LOG_LEVEL_ERROR)) << c.what;
        EXPECT_EQ(1, DriverReferencesOn(event)) << c.what;
    }
    EXPECT_EQ(0, DriverReferencesOn(noReadControl));
}

TEST_F(LogTest, StopLoggingDiscardsTheQueueAndReleasesTheEvent)
{
    HANDLE event = Arm(kAllLevels);
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"one");
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"two");
    ASSERT_EQ(3u, GetLogCount());
    size_t poolArmed = vextest::LivePoolAllocations();

    EXPECT_EQ(STATUS_SUCCESS, StopLogging());
    EXPECT_EQ(0u, GetLogCount());
    EXPECT_EQ(poolArmed - 3, vextest::LivePoolAllocations());
    EXPECT_EQ(0, DriverReferencesOn(event));
    EXPECT_FALSE(IsLogLevelEnabled(LOG_LEVEL_INFO));
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"disarmed"));
    EXPECT_EQ(0u, GetLogCount());
    Read(LOG_RECORD_BODY_SIZE, STATUS_NO_MORE_ENTRIES);

    // The same handle and mask arm the log again: the stop forgot them.
    EXPECT_EQ(STATUS_SUCCESS, Start(event, kAllLevels));
    EXPECT_EQ(1, DriverReferencesOn(event));
}

TEST_F(LogTest, UnloadReleasesAnArmedLogWithoutWritingToIt)
{
    HANDLE event = Arm(kAllLevels);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    ULONG id = 0;
    ASSERT_EQ(STATUS_SUCCESS, SetProcess(L"C:\\Windows\\notepad.exe", &id));
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"left queued");
    ASSERT_TRUE(Signalled(event));  // and reset: only what unload does can signal it again
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    EXPECT_EQ(0, DriverReferencesOn(event));
    EXPECT_FALSE(Signalled(event)) << "the settings that unload clears leave no records";
}

TEST_F(LogTest, ShuttingTheMachineDownWithTheDriverLoadedReleasesTheLog)
{
    Arm(kAllLevels);
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"left queued");
    vexsim::ShutdownMachine();

    vexsim::BootMachine(config);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
    EXPECT_EQ(0u, GetLogCount());
    EXPECT_FALSE(IsLogLevelEnabled(LOG_LEVEL_INFO));
}

TEST_F(LogTest, SecondInitializationIsRefusedAndChangesNothing)
{
    HANDLE event = Arm(kAllLevels);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, LogInitialize());
    EXPECT_EQ(1u, GetLogCount());
    EXPECT_TRUE(IsLogLevelEnabled(LOG_LEVEL_INFO));
    EXPECT_EQ(1, DriverReferencesOn(event));
}

TEST_F(LogTest, AllocationFailureLosesOnlyTheRecordBeingWritten)
{
    Arm(kInfoOnly);
    WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"kept");
    size_t poolBefore = vextest::LivePoolAllocations();
    bool nameCopyFailed = false;
    struct Result {
        NTSTATUS status;
        ULONG count;
    };
    Result last = vextest::ForEachAllocationFailure(
        [&] {
            vexsim::ClearDebugOutput();
            NTSTATUS status = WriteLog(LOG_LEVEL_INFO, (HANDLE)client_->id, nullptr, L"looked up");
            return Result{status, GetLogCount()};
        },
        [&](const Result& result, int failing) {
            EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status) << "allocation " << failing;
            EXPECT_EQ(1u, result.count) << "allocation " << failing;
            EXPECT_EQ(poolBefore, vextest::LivePoolAllocations()) << "allocation " << failing;
            nameCopyFailed |= vextest::HasDebugLine("[Logging] GetProcessName : resource allocation error");
        });
    EXPECT_TRUE(nameCopyFailed) << "one of the failures hits the copy of the name";
    EXPECT_EQ(STATUS_SUCCESS, last.status);
    std::vector<LogRecord> records = Drain();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("kept", records[0].message);
    EXPECT_EQ("logclient.exe", records[1].processName);
}

TEST_F(LogTest, AllocationFailureNeverFailsStartLogging)
{
    HANDLE event = CreateEvent();
    struct Result {
        NTSTATUS status;
        bool armed;
        ULONG count;
    };
    vextest::ForEachAllocationFailure(
        [&] {
            NTSTATUS status = Start(event, kAllLevels);
            Result result{status, IsLogLevelEnabled(LOG_LEVEL_TRACE) != FALSE, GetLogCount()};
            EXPECT_EQ(STATUS_SUCCESS, StopLogging());
            return result;
        },
        [&](const Result& result, int failing) {
            EXPECT_EQ(STATUS_SUCCESS, result.status) << "allocation " << failing;
            EXPECT_TRUE(result.armed) << "allocation " << failing;
            EXPECT_EQ(0u, result.count) << "allocation " << failing << ": only the request's record is lost";
        });
    EXPECT_EQ(0, DriverReferencesOn(event));
}

TEST_F(LogTest, ConcurrentWriteWakesTheClientWaitingOnItsEvent)
{
    HANDLE event = Arm(kInfoOnly);
    NTSTATUS waited = STATUS_PENDING;
    std::thread waiter([&] {
        vexsim::UserModeScope user(client_);
        waited = vexsim::UserWaitForSingleObject(event, nullptr);
    });
    vexsim::WaitForBlockedWaiters(1);
    EXPECT_EQ(STATUS_SUCCESS, WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"wake up"));
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, waited);
    EXPECT_EQ(1u, GetLogCount());
}

using LogBeforeStartTest = vextest::MachineTest;

bool EveryOperationIsRefused()
{
    START_LOGGING_REQUEST request{0, kAllLevels};
    unsigned char body[LOG_RECORD_BODY_SIZE];
    ULONG length = sizeof(body);
    return WriteLog(LOG_LEVEL_INFO, (HANDLE)8, L"x.exe", L"early") == STATUS_UNSUCCESSFUL && !IsLogLevelEnabled(LOG_LEVEL_INFO) &&
           GetLogCount() == 0 && StartLogging(&request) == STATUS_UNSUCCESSFUL && StopLogging() == STATUS_UNSUCCESSFUL &&
           GetLogData(body, &length) == STATUS_UNSUCCESSFUL && length == 0 && LogInitialize() == STATUS_SUCCESS &&
           LogInitialize() == STATUS_UNSUCCESSFUL;
}

TEST_F(LogBeforeStartTest, EveryOperationIsRefusedUntilTheLogIsInitialised)
{
    // The log stays initialised for the life of the image: a fresh child process asks before any
    // driver start-up has initialised it, then initialises it twice.
    EXPECT_EXIT(std::_Exit(EveryOperationIsRefused() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
