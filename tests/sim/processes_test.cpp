// Processes and threads: the snapshot, process queries, lookups and system threads.
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/system_thread.h"
#include "sim/ps/thread.h"
#include "sim/ps/user_mode_scope.h"
#include "sim_fixture.h"

#include <future>
#include <vector>

namespace vexsim::test {
namespace {

static_assert(sizeof(SYSTEM_PROCESS_INFORMATION) == 256);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime) == 0x20);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) == 0x38);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 0x50);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId) == 0x58);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, HandleCount) == 0x60);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, SessionId) == 0x64);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, IoCounters) == 0xD0);
static_assert(sizeof(SYSTEM_THREAD_INFORMATION) == 80);
static_assert(offsetof(SYSTEM_THREAD_INFORMATION, StartAddress) == 32);
static_assert(offsetof(SYSTEM_THREAD_INFORMATION, ClientId) == 40);
static_assert(offsetof(SYSTEM_THREAD_INFORMATION, ThreadState) == 68);
static_assert(offsetof(_ETHREAD, header) == 0, "waits treat a thread as a dispatcher object");

const char16_t kNotepad[] = u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe";

class ProcessesTest : public SimKernelTest {
protected:
    PEPROCESS Notepad(bool wow64 = false)
    {
        ProcessParams params{kNotepad};
        params.sessionId = 2;
        params.wow64 = wow64;
        return CreateUserProcess(params);
    }

    std::vector<char> Snapshot()
    {
        ULONG needed = 0;
        EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, ZwQuerySystemInformation(SystemProcessInformation, nullptr, 0, &needed));
        std::vector<char> buffer(needed);
        ULONG written = 0;
        EXPECT_EQ(STATUS_SUCCESS, ZwQuerySystemInformation(SystemProcessInformation, buffer.data(), needed, &written));
        EXPECT_EQ(needed, written);
        return buffer;
    }
};

TEST_F(ProcessesTest, SnapshotChainsIdleSystemThenProcessesWithNamesInsideTheBuffer)
{
    PEPROCESS notepad = Notepad();
    std::vector<char> buffer = Snapshot();
    ULONG again = 0;
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH,
              ZwQuerySystemInformation(SystemProcessInformation, buffer.data(), (ULONG)buffer.size() - 1, &again));
    EXPECT_EQ(buffer.size(), again) << "one byte short answers the size needed";
    EXPECT_EQ(STATUS_INVALID_INFO_CLASS,
              ZwQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(4), buffer.data(), again, &again));
    const char* begin = buffer.data();
    const char* end = begin + buffer.size();

    struct Seen {
        ULONG_PTR id;
        std::u16string name;
        ULONG threads;
    };
    std::vector<Seen> seen;
    const char* at = begin;
    for (;;) {
        auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
        ULONG_PTR id = reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId);
        seen.push_back({id, Text(entry->ImageName), entry->NumberOfThreads});
        auto* threads = reinterpret_cast<const SYSTEM_THREAD_INFORMATION*>(entry + 1);
        for (ULONG i = 0; i < entry->NumberOfThreads; ++i) {
            EXPECT_EQ(id, reinterpret_cast<ULONG_PTR>(threads[i].ClientId.UniqueProcess));
            EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(threads[i].ClientId.UniqueThread) % 4);
        }
        if (entry->ImageName.Length != 0) {
            auto* name = reinterpret_cast<const char*>(entry->ImageName.Buffer);
            EXPECT_EQ(reinterpret_cast<const char*>(threads + entry->NumberOfThreads), name) << "name follows the threads";
            EXPECT_LE(name + entry->ImageName.MaximumLength, end);
            EXPECT_EQ(entry->ImageName.Length + 2, entry->ImageName.MaximumLength);
            EXPECT_EQ(0, entry->ImageName.Buffer[entry->ImageName.Length / 2]) << "NUL-terminated";
        }
        if (entry->NextEntryOffset == 0) {
            break;
        }
        EXPECT_EQ(0u, entry->NextEntryOffset % 8);
        at += entry->NextEntryOffset;
        ASSERT_LT(at, end);
    }
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(0u, seen[0].id);
    EXPECT_EQ(u"", seen[0].name);
    EXPECT_EQ(4u, seen[1].id);
    EXPECT_EQ(u"System", seen[1].name);
    EXPECT_EQ(notepad->id, seen[2].id);
    EXPECT_EQ(u"notepad.exe", seen[2].name);
    EXPECT_EQ(1u, seen[2].threads) << "a user process starts with one thread";
    auto* last = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(at);
    EXPECT_EQ(2u, last->SessionId);
    EXPECT_EQ(4u, reinterpret_cast<ULONG_PTR>(last->InheritedFromUniqueProcessId));
}

TEST_F(ProcessesTest, LookupTakesADriverReferenceAndEndedProcessesLeave)
{
    PEPROCESS notepad = Notepad();
    PEPROCESS found = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsLookupProcessByProcessId(PsGetProcessId(notepad), &found));
    EXPECT_EQ(notepad, found);
    EXPECT_EQ(1, HeaderOf(found).driverReferences.load());
    ObDereferenceObject(found);
    EXPECT_EQ(STATUS_INVALID_CID, PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(0x7FFC), &found));
    EXPECT_EQ(STATUS_INVALID_CID, PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(0), &found)) << "idle is not a process object";
    ASSERT_EQ(STATUS_SUCCESS, PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(4), &found));
    EXPECT_EQ(PsInitialSystemProcess, found);
    ObDereferenceObject(found);

    ULONG_PTR id = notepad->id;
    EndProcess(notepad);
    found = reinterpret_cast<PEPROCESS>(1);
    EXPECT_EQ(STATUS_INVALID_CID, PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(id), &found)) << "an ended process";
    EXPECT_EQ(nullptr, found);
    std::vector<char> buffer = Snapshot();
    auto* system = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(
        buffer.data() + reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data())->NextEntryOffset);
    EXPECT_EQ(0u, system->NextEntryOffset) << "an ended process leaves the snapshot: System is the last entry again";
}

TEST_F(ProcessesTest, FixedSizeQueriesDemandTheExactSize)
{
    PEPROCESS notepad = Notepad(true);
    UserModeScope user(notepad);
    struct Case {
        PROCESSINFOCLASS infoClass;
        ULONG length;
        NTSTATUS expected;
    } cases[] = {
        {ProcessSessionInformation, 3, STATUS_INFO_LENGTH_MISMATCH},  // one byte short
        {ProcessSessionInformation, 4, STATUS_SUCCESS},
        {ProcessSessionInformation, 5, STATUS_INFO_LENGTH_MISMATCH},  // one byte over
        {ProcessWow64Information, 7, STATUS_INFO_LENGTH_MISMATCH},
        {ProcessWow64Information, 8, STATUS_SUCCESS},
        {ProcessWow64Information, 9, STATUS_INFO_LENGTH_MISMATCH},
        {static_cast<PROCESSINFOCLASS>(1), 8, STATUS_INVALID_INFO_CLASS},
    };
    for (const Case& c : cases) {
        alignas(8) char buffer[16] = {};
        ULONG returned = 0;
        EXPECT_EQ(c.expected, ZwQueryInformationProcess(NtCurrentProcess(), c.infoClass, buffer, c.length, &returned))
            << "class " << c.infoClass << " length " << c.length;
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(c.length, returned);
        }
    }
    PROCESS_SESSION_INFORMATION session{};
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationProcess(NtCurrentProcess(), ProcessSessionInformation, &session, sizeof(session), nullptr));
    EXPECT_EQ(2u, session.SessionId);
    ULONG_PTR wow64 = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationProcess(NtCurrentProcess(), ProcessWow64Information, &wow64, sizeof(wow64), nullptr));
    EXPECT_NE(0u, wow64);
}

TEST_F(ProcessesTest, ImageFileNameReportsTheTotalSizeCopiesHeaderAndNameAndNeedsAProcessHandle)
{
    PEPROCESS notepad = Notepad();
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(notepad, OBJ_KERNEL_HANDLE, nullptr, PROCESS_QUERY_LIMITED_INFORMATION,
                                                    *PsProcessType, KernelMode, &handle));
    const ULONG needed = sizeof(UNICODE_STRING) + sizeof(kNotepad);  // header, characters and terminator
    alignas(8) char buffer[256];
    for (ULONG tooSmall : {0u, 2u, static_cast<ULONG>(sizeof(UNICODE_STRING)), needed - 1}) {
        ULONG returned = 0;
        EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, tooSmall, &returned))
            << tooSmall;
        EXPECT_EQ(needed, returned) << tooSmall;
    }
    ULONG returned = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryInformationProcess(handle, ProcessImageFileName, buffer, sizeof(buffer), &returned));
    EXPECT_EQ(needed, returned);
    auto* name = reinterpret_cast<UNICODE_STRING*>(buffer);
    EXPECT_EQ(kNotepad, Text(*name));
    EXPECT_EQ(reinterpret_cast<char*>(name + 1), reinterpret_cast<char*>(name->Buffer)) << "characters follow the header";
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwQueryInformationProcess(nullptr, ProcessImageFileName, buffer, sizeof(buffer), &returned));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(PsGetCurrentThread(), OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle));
    PROCESS_SESSION_INFORMATION session{};
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              ZwQueryInformationProcess(handle, ProcessSessionInformation, &session, sizeof(session), nullptr))
        << "a thread handle";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

struct ThreadObservation {
    ULONG_PTR processId = 0;
    KIRQL irql = HIGH_LEVEL;
    KPROCESSOR_MODE previousMode = UserMode;
    bool terminate = false;
    bool afterTerminate = false;
};

VOID NTAPI ObservingRoutine(PVOID context)
{
    auto* seen = static_cast<ThreadObservation*>(context);
    seen->processId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    seen->irql = CurrentContext().irql;
    seen->previousMode = CurrentContext().previousMode;
    if (seen->terminate) {
        PsTerminateSystemThread(static_cast<NTSTATUS>(0x1234));
    }
    seen->afterTerminate = true;
}

TEST_F(ProcessesTest, SystemThreadsRunInTheSystemProcessAndEndEitherWay)
{
    for (bool terminate : {false, true}) {
        ThreadObservation seen;
        seen.terminate = terminate;
        HANDLE handle = nullptr;
        CLIENT_ID client{};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, &client,
                                                       ObservingRoutine, &seen));
        EXPECT_TRUE(IsKernelHandle(handle));
        EXPECT_EQ(4u, reinterpret_cast<ULONG_PTR>(client.UniqueProcess));
        PVOID thread;
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
        // Waiting through the handle or on the object is the same wait.
        EXPECT_EQ(STATUS_SUCCESS, terminate ? KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr)
                                            : ZwWaitForSingleObject(handle, FALSE, nullptr));
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(client.UniqueThread), static_cast<PETHREAD>(thread)->id);
        EXPECT_EQ(terminate ? 0x1234 : STATUS_SUCCESS, static_cast<PETHREAD>(thread)->exitStatus);
        EXPECT_EQ(!terminate, seen.afterTerminate) << "PsTerminateSystemThread does not return";
        EXPECT_EQ(4u, seen.processId);
        EXPECT_EQ(PASSIVE_LEVEL, seen.irql);
        EXPECT_EQ(KernelMode, seen.previousMode);
        ObDereferenceObject(thread);
        EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    }
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(ProcessesTest, UserProcessesMustAskForKernelThreadHandles)
{
    PEPROCESS notepad = Notepad();
    UserModeScope user(notepad);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    ThreadObservation seen;
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ObservingRoutine, &seen));
    EXPECT_EQ(nullptr, handle);
}

VOID NTAPI WaitForRelease(PVOID context)
{
    static_cast<std::shared_future<void>*>(context)->wait();
}

TEST_F(ProcessesTest, UnloadCheckReportsRunningSystemThreads)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForRelease, &released));
    ASSERT_EQ(1u, RunningSystemThreads().size());
    ULONG_PTR id = RunningSystemThreads()[0]->id;
    Leftovers leftovers = AllLeftovers();
    ASSERT_EQ(2u, leftovers.size());
    EXPECT_EQ("system thread " + std::to_string(id) + " still running", leftovers[1]);

    PVOID thread;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
    release.set_value();
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(ProcessesTest, TerminatingAThreadPsCreateSystemThreadDidNotStartStopsTheMachine)
{
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "STOP.*PsTerminateSystemThread");
}

TEST_F(ProcessesTest, UserModeScopeActsAsTheProcessAndRestores)
{
    PEPROCESS notepad = Notepad();
    PETHREAD before = PsGetCurrentThread();
    {
        UserModeScope user(notepad);
        EXPECT_EQ(notepad, IoGetCurrentProcess());
        EXPECT_EQ(notepad->id, reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
        EXPECT_EQ(UserMode, CurrentContext().previousMode);
        EXPECT_EQ(notepad->mainThread, PsGetCurrentThread());
    }
    EXPECT_EQ(PsInitialSystemProcess, IoGetCurrentProcess());
    EXPECT_EQ(before, PsGetCurrentThread());
    EXPECT_EQ(KernelMode, CurrentContext().previousMode);
}

NTSTATUS g_statusAtExit;

VOID NTAPI ReadExitStatus(PEPROCESS Process, HANDLE, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    if (CreateInfo == nullptr) {
        g_statusAtExit = PsGetProcessExitStatus(Process);
    }
}

TEST_F(ProcessesTest, ExitStatusIsPendingWhileRunningAndSetBeforeTheExitNotification)
{
    PEPROCESS notepad = Notepad();
    EXPECT_EQ(notepad->createTime, PsGetProcessCreateTimeQuadPart(notepad));
    EXPECT_EQ(STATUS_PENDING, PsGetProcessExitStatus(notepad));
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(ReadExitStatus, FALSE));
    ObReferenceObject(notepad);
    EndProcess(notepad, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, g_statusAtExit);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, PsGetProcessExitStatus(notepad)) << "kept while referenced";
    ObDereferenceObject(notepad);
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(ReadExitStatus, TRUE));
}

TEST_F(ProcessesTest, TheTestHookRunsAtLookUpsAndSnapshotsButNotWithinItself)
{
    PEPROCESS notepad = Notepad();
    std::vector<std::pair<ProcessHookPoint, ULONG_PTR>> seen;
    SetProcessHook([&](ProcessHookPoint point, ULONG_PTR id) {
        seen.emplace_back(point, id);
        PEPROCESS again = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, PsLookupProcessByProcessId(PsGetProcessId(notepad), &again));
        ObDereferenceObject(again);
    });
    PEPROCESS found = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsLookupProcessByProcessId(PsGetProcessId(notepad), &found));
    ObDereferenceObject(found);
    Snapshot();
    SetProcessHook(nullptr);
    EXPECT_EQ((std::vector<std::pair<ProcessHookPoint, ULONG_PTR>>{{ProcessHookPoint::Lookup, notepad->id},
                                                                    {ProcessHookPoint::Snapshot, 0},
                                                                    {ProcessHookPoint::Snapshot, 0}}),
              seen);
}

}  // namespace
}  // namespace vexsim::test
