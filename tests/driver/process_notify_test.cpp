// The create-process notify routine: trees of processes joining and leaving the lists with their
// records, ids given again after an exit went unseen, children whose image path cannot be
// obtained, every allocation failure of a creation, its registration, and unload while it runs.
#include "driver/process_notify.h"
#include "tests/process/process_fixture.h"

#include "sim/executive/clock.h"
#include "sim/flt/port.h"
#include "sim/io/io.h"
#include "sim/ps/notify_routines.h"
#include "sim/ps/process.h"

#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace {

const char16_t kSuite[] = u"C:\\Program Files\\Vendor Suite\\suite.exe";  // a parent setting
const char16_t kHelper[] = u"C:\\Program Files\\Vendor Suite\\helper.exe";  // a process setting
const char16_t kHelperShort[] = u"C:\\PROGRA~1\\VENDOR~1\\helper.exe";
const char16_t kTool[] = u"C:\\Program Files\\Vendor Suite\\tool.exe";  // a console program, in no setting
const char16_t kExcluded[] = u"C:\\Tools\\excluded.exe";
const char16_t kRoot[] = u"C:\\Tools\\root.exe";
const char16_t kMonitor[] = u"C:\\Tools\\monitor.exe";
const char16_t kNotepad[] = u"C:\\Windows\\System32\\notepad.exe";
const char16_t kCmd[] = u"C:\\Windows\\System32\\cmd.exe";

PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

constexpr ULONG kNone = ~0u;  // no identifier: not in the list

// The monitored lists in the order an exit leaves them, with the text of the removal.
struct MonitoredList {
    PLOCKED_LIST list;
    const char* deleted;
};
const MonitoredList kExitOrder[] = {
    {&data->MonitoredRootProcessList, "DELETED_ROOT"},   {&data->MonitoredChildOfRootProcessList, "DELETED_CHILD_OF_ROOT"},
    {&data->MonitoredParentProcessList, "DELETED_PARENT"}, {&data->MonitoredProcessList, "DELETED_PROCESS"},
    {&data->PTreeMonList, "DELETED_MONITOR"},            {&data->DescendantProcessList, "DELETED_DESCENDANT"},
};

// Where each creation record puts the process: its place in kExitOrder (none for an exclusion).
const std::map<std::string, int> kListOfAddition = {
    {"ADDED_ROOT", 0}, {"ADDED_CHILD_OF_ROOT", 1}, {"ADDED_PARENT", 2},        {"ADDED_PROCESS", 3},
    {"ADDED_CHILD", 3}, {"ADDED_PTREE_MONITOR", 4}, {"ADDED_DESCENDANT", 5}, {"EXCLUDED", -1},
};

std::string FileName(const std::u16string& path)
{
    return vextest::Utf8(path.substr(path.find_last_of(u'\\') + 1));
}

class ProcessNotifyTest : public vextest::ProcessDriverTest {
protected:
    using Record = vextest::ProcessDriverTest::Record;

    void SetUp() override
    {
        ProcessDriverTest::SetUp();
        for (const char16_t* image : {kExcluded, kRoot, kMonitor}) {
            ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(image));
        }
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(kTool, vexsim::ImageTraits{3, false}));
        ASSERT_EQ(STATUS_SUCCESS, RegisterProcessNotify());
    }

    PEPROCESS StartBy(const std::u16string& image, PEPROCESS parent, PEPROCESS creator, NTSTATUS expected = STATUS_SUCCESS)
    {
        vexsim::StartParams params;
        params.imagePath = image;
        params.parent = parent;
        params.creator = creator;
        PEPROCESS process = nullptr;
        EXPECT_EQ(expected, vexsim::StartProcess(params, &process)) << vextest::Utf8(image);
        return process;
    }

    static Record Created(PEPROCESS writer, const std::string& status, ULONG id, PEPROCESS parent, PEPROCESS process,
                          const std::string& name)
    {
        return Record{Pid32(writer), Name(writer),
                      "PROC = CREATED status = " + status + " id = " + std::to_string(id) + " ppid = " +
                          std::to_string(Pid32(parent)) + " pid = " + std::to_string(Pid32(process)) + " name = " + name};
    }

    static Record Exits(PEPROCESS writer, const std::string& deleted, ULONG id, ULONG_PTR processId)
    {
        return Record{Pid32(writer), Name(writer),
                      "PROC = EXITS status = " + std::string(deleted) + " id = " + std::to_string(id) +
                          " pid = " + std::to_string(processId)};
    }

    static std::string Name(PEPROCESS process) { return vextest::Utf8(process->imageName); }

    // Which monitored lists hold the process, with the identifier each entry carries (or kNone).
    static std::vector<ULONG> Membership(HANDLE processId)
    {
        std::vector<ULONG> ids;
        for (const MonitoredList& list : kExitOrder) {
            ULONG id = kNone;
            FindMonitoredProcess(list.list, processId, MONITORED_KIND_ANY, &id);
            ids.push_back(id);
        }
        return ids;
    }

    static size_t MonitoredEntries()
    {
        size_t count = 0;
        for (const MonitoredList& list : kExitOrder) {
            ExAcquireFastMutex(&list.list->Lock);
            for (PLIST_ENTRY link = list.list->Head.Flink; link != &list.list->Head; link = link->Flink) {
                count++;
            }
            ExReleaseFastMutex(&list.list->Lock);
        }
        return count;
    }
};

constexpr int kSystem = -1;     // no row: the System process
constexpr int kByParent = -2;  // the creator is the parent

enum Setting { kParentSetting, kProcessSetting, kExclusionSetting, kRootSetting, kMonitorSetting };

TEST_F(ProcessNotifyTest, ATreeOfProcessesJoinsTheListsAsItStartsAndLeavesThemAsItExits)
{
    ULONG ids[5];
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &ids[kParentSetting]));
    ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kHelper, &ids[kProcessSetting]));
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kExcluded, &ids[kExclusionSetting]));
    ASSERT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kRoot, &ids[kRootSetting]));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kMonitor, &ids[kMonitorSetting]));
    ArmLog();

    struct Added {
        const char* status;
        Setting setting;  // whose identifier the record and the entry carry
    };
    struct Row {
        const char* what;
        const char16_t* image;
        int parent;   // the row of the parent, or kSystem
        int creator;  // the row of the creator, or kByParent
        std::vector<Added> added;
    };
    const Row rows[] = {
        /* 0 */ {"parent image", kSuite, kSystem, kByParent, {{"ADDED_PARENT", kParentSetting}}},
        /* 1 */ {"its child", kNotepad, 0, kByParent, {{"ADDED_CHILD", kParentSetting}}},
        /* 2 */ {"its grandchild", kNotepad, 1, kByParent, {{"ADDED_CHILD", kParentSetting}}},
        /* 3 */ {"listed image below the parent", kHelper, 0, kByParent, {{"ADDED_PROCESS", kProcessSetting}}},
        /* 4 */ {"unlisted child of a listed process", kNotepad, 3, kByParent, {}},
        /* 5 */ {"excluded image in the sandbox", kExcluded, 1, kByParent, {{"EXCLUDED", kExclusionSetting}}},
        /* 6 */ {"child of an excluded image", kNotepad, 5, kByParent, {}},
        /* 7 */ {"tree monitor in the sandbox", kMonitor, 1, kByParent,
                 {{"ADDED_CHILD", kParentSetting}, {"ADDED_PTREE_MONITOR", kMonitorSetting}}},
        /* 8 */ {"its child", kNotepad, 7, kByParent, {{"ADDED_CHILD", kParentSetting}, {"ADDED_DESCENDANT", kMonitorSetting}}},
        /* 9 */ {"its grandchild", kNotepad, 8, kByParent, {{"ADDED_CHILD", kParentSetting}, {"ADDED_DESCENDANT", kMonitorSetting}}},
        /* 10 */ {"tree monitor outside the sandbox", kMonitor, kSystem, kByParent, {}},
        /* 11 */ {"root", kRoot, kSystem, kByParent, {{"ADDED_ROOT", kRootSetting}}},
        /* 12 */ {"child of the root", kNotepad, 11, kByParent, {{"ADDED_CHILD_OF_ROOT", kRootSetting}}},
        /* 13 */ {"grandchild of the root", kNotepad, 12, kByParent, {}},
        /* 14 */ {"root in the sandbox", kRoot, 1, kByParent, {{"ADDED_ROOT", kRootSetting}, {"ADDED_CHILD", kParentSetting}}},
        /* 15 */ {"child of a root in the sandbox", kNotepad, 14, kByParent,
                  {{"ADDED_CHILD_OF_ROOT", kRootSetting}, {"ADDED_CHILD", kParentSetting}}},
        /* 16 */ {"child a sandboxed creator gives an outside parent", kNotepad, 13, 2, {{"ADDED_CHILD", kParentSetting}}},
        /* 17 */ {"child an outside creator gives a sandboxed parent", kNotepad, 2, 13, {{"ADDED_CHILD", kParentSetting}}},
        /* 18 */ {"child an outside creator gives another outside parent", kNotepad, 13, 10, {}},
        /* 19 */ {"parent image started in the sandbox", kSuite, 2, kByParent, {{"ADDED_PARENT", kParentSetting}}},
        /* 20 */ {"listed image started by its short path", kHelperShort, kSystem, kByParent, {{"ADDED_PROCESS", kProcessSetting}}},
    };

    std::vector<PEPROCESS> started;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PEPROCESS parent = row.parent == kSystem ? PsInitialSystemProcess : started[row.parent];
        PEPROCESS creator = row.creator == kByParent ? parent : started[row.creator];
        PEPROCESS process = StartBy(row.image, parent, creator);
        ASSERT_NE(nullptr, process);
        started.push_back(process);
        std::vector<Record> expected;
        std::vector<ULONG> membership(RTL_NUMBER_OF(kExitOrder), kNone);
        bool sandboxed = false;
        for (const Added& added : row.added) {
            ULONG id = ids[added.setting];
            expected.push_back(Created(creator, added.status, id, parent, process, FileName(row.image)));
            int list = kListOfAddition.at(added.status);
            if (list >= 0) {
                membership[list] = id;
            }
            sandboxed |= list == 3;
        }
        EXPECT_EQ(expected, WrittenRecords());
        EXPECT_EQ(membership, Membership(Pid(process)));
        EXPECT_EQ(sandboxed, IsProcessUnderSandbox(Pid(process)) != FALSE);
    }

    // Youngest first; each exit leaves its lists in their order, whatever the order of joining.
    for (size_t i = std::size(rows); i-- > 0;) {
        SCOPED_TRACE(rows[i].what);
        std::vector<ULONG> membership = Membership(Pid(started[i]));
        std::vector<Record> expected;
        for (size_t list = 0; list < membership.size(); list++) {
            if (membership[list] != kNone) {
                bool child = list == 3 && membership[list] == ids[kParentSetting];
                expected.push_back(Exits(started[i], child ? "DELETED_CHILD" : kExitOrder[list].deleted, membership[list],
                                         started[i]->id));
            }
        }
        vexsim::EndProcess(started[i]);
        EXPECT_EQ(expected, WrittenRecords());
    }
    EXPECT_EQ(0u, MonitoredEntries());
}

TEST_F(ProcessNotifyTest, CreationFollowsTheSandboxGenerationByGenerationBeyondTheScansFiftyTwo)
{
    ASSERT_EQ(STATUS_SUCCESS, UnregisterProcessNotify());
    PEPROCESS suite = Start(kSuite);
    std::vector<PEPROCESS> chain{suite};
    for (int i = 0; i < 53; i++) {
        chain.push_back(Start(kNotepad, chain.back()));
    }
    ASSERT_EQ(STATUS_SUCCESS, RegisterProcessNotify());
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(chain[52]))) << "the scan looks 52 generations up";
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(chain[53])));
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(Start(kNotepad, chain[52]))));
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(Start(kNotepad, chain[53]))));

    PEPROCESS deep = chain[1];
    for (int generation = 2; generation <= 60; generation++) {
        deep = Start(kNotepad, deep);
    }
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(deep))) << "60 generations below the parent, each added at its creation";
}

// Entries and records of a process whose exit went unseen must not pass to the next process that
// gets its id: not those the routine added, nor those the scans added while it was not registered.
TEST_F(ProcessNotifyTest, AnIdGivenAgainAfterAnUnseenExitStartsOutsideTheSandbox)
{
    ArmLog();
    for (bool byScan : {false, true}) {
        SCOPED_TRACE(byScan ? "added by the scans" : "added at creation");
        ULONG id = 0;
        if (byScan) {
            ASSERT_EQ(STATUS_SUCCESS, UnregisterProcessNotify());
        } else {
            ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
        }
        PEPROCESS suite = Start(kSuite);
        PEPROCESS child = Start(kCmd, suite);
        if (byScan) {
            ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
        } else {
            ASSERT_EQ(STATUS_SUCCESS, UnregisterProcessNotify());
        }
        ULONG_PTR suiteId = suite->id;
        ULONG_PTR childId = child->id;
        vexsim::EndProcess(child);
        vexsim::EndProcess(suite);
        ASSERT_EQ(STATUS_SUCCESS, RegisterProcessNotify());
        WrittenRecords();

        vexsim::AdvanceSimulatedClock(10'000'000);
        PEPROCESS heir = Start(kNotepad, nullptr, suiteId);
        PEPROCESS heirsChild = Start(kNotepad, heir, childId);
        EXPECT_FALSE(IsProcessUnderSandbox(Pid(heirsChild)));
        EXPECT_EQ(0u, MonitoredEntries());
        PEPROCESS system = PsInitialSystemProcess;
        EXPECT_EQ((std::vector<Record>{Exits(system, "DELETED_PARENT", id, suiteId), Exits(heir, "DELETED_CHILD", id, childId)}),
                  WrittenRecords());
        vexsim::EndProcess(heirsChild);
        vexsim::EndProcess(heir);
        EXPECT_EQ(std::vector<Record>{}, WrittenRecords());
        DeleteProcessById(id);
        WrittenRecords();
    }
}

TEST_F(ProcessNotifyTest, AChildOfTheSandboxWhoseImagePathCannotBeObtainedStaysInIt)
{
    // A volume without a drive letter, and an image path as long as a counted string allows: no
    // DOS name, and no copy of the name the image was opened by with room for its NUL.
    ASSERT_EQ(STATUS_SUCCESS, vexsim::MountVolume(5, 0));
    std::u16string nameless = u"\\Device\\HarddiskVolume5";
    const std::u16string file = u"\\app.exe";
    while (nameless.size() + 2 * 101 + file.size() < 32767) {
        nameless += u"\\" + std::u16string(100, u'd');
    }
    nameless += u"\\" + std::u16string(32767 - nameless.size() - 1 - file.size(), u'e') + file;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(nameless));

    ULONG parentId;
    ULONG rootId;
    ULONG monitorId;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &parentId));
    ASSERT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kRoot, &rootId));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kMonitor, &monitorId));
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    PEPROCESS monitor = Start(kMonitor, child);
    PEPROCESS root = Start(kRoot);
    ArmLog();
    struct Row {
        const char* what;
        PEPROCESS parent;
        std::vector<std::pair<const char*, ULONG>> added;
    };
    const Row rows[] = {
        {"child of a monitored parent", suite, {{"ADDED_CHILD", parentId}}},
        {"child of a sandboxed child", child, {{"ADDED_CHILD", parentId}}},
        {"child of a tree monitor", monitor, {{"ADDED_CHILD", parentId}, {"ADDED_DESCENDANT", monitorId}}},
        {"child of a root", root, {{"ADDED_CHILD_OF_ROOT", rootId}}},
        {"child of an outside process", PsInitialSystemProcess, {}},
    };
    for (ULONG flags : {0u, 1u}) {
        data->DebugLogFlags = flags;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.what);
            vexsim::ClearDebugOutput();
            PEPROCESS process = StartBy(nameless, row.parent, row.parent);
            std::vector<Record> expected;
            for (const auto& [status, id] : row.added) {
                expected.push_back(Created(row.parent, status, id, row.parent, process, "app.exe"));
            }
            EXPECT_EQ(expected, WrittenRecords());
            EXPECT_EQ(row.parent != PsInitialSystemProcess && row.parent != root, IsProcessUnderSandbox(Pid(process)) != FALSE);
            EXPECT_TRUE(vextest::HasDebugLine("VexRegFilter - GetFileNameFromCreateInfo failed c0000106"))
                << "printed whatever the flags";
            EXPECT_EQ(flags != 0 && !row.added.empty(), vextest::HasDebugLine(":Exist: \\Device\\HarddiskVolume5\\ddd"))
                << "a detail line names the image as it was opened";
            vexsim::EndProcess(process);
            WrittenRecords();
        }
    }
    data->DebugLogFlags = 0;
}

// Every allocation of a creation, for a console program below a tree monitor in the sandbox,
// started by a path with short components: the DOS name, its expansion, the entries and the
// process record. Whichever fails, the child runs in the sandbox or does not run at all.
TEST_F(ProcessNotifyTest, EveryAllocationFailureOfACreationKeepsAChildOfTheSandboxInItOrRefusesIt)
{
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kMonitor, &id));
    PEPROCESS suite = Start(kSuite);
    PEPROCESS monitor = Start(kMonitor, Start(kNotepad, suite));
    const std::u16string image = vexsim::ShortPathOf(kTool);
    size_t entries = MonitoredEntries();
    size_t allocations = vextest::LivePoolAllocations();
    struct Outcome {
        NTSTATUS status;
        bool sandboxed;
        bool nameless;
    };
    int refused = 0;
    int nameless = 0;
    vextest::ForEachAllocationFailure(
        [&] {
            vexsim::ClearDebugOutput();
            PEPROCESS process = nullptr;
            vexsim::StartParams params;
            params.imagePath = image;
            params.parent = monitor;
            Outcome outcome{vexsim::StartProcess(params, &process), false, vextest::HasDebugLine("failed c000009a")};
            if (process != nullptr) {
                outcome.sandboxed = IsProcessUnderSandbox(Pid(process));
                vexsim::EndProcess(process);
                vexsim::WaitForWorkQueueIdle();  // the exit message's send
            }
            CTDeleteAllElements(&data->ProcessCache);  // so the next run expands the path again
            return outcome;
        },
        [&](const Outcome& outcome, int failing) {
            if (outcome.status == STATUS_MEMORY_NOT_ALLOCATED) {
                refused++;
            } else {
                EXPECT_EQ(STATUS_SUCCESS, outcome.status) << failing;
                EXPECT_TRUE(outcome.sandboxed) << failing;
            }
            nameless += outcome.nameless ? 1 : 0;
            EXPECT_EQ(entries, MonitoredEntries()) << failing;
            EXPECT_EQ(allocations, vextest::LivePoolAllocations()) << "nothing leaked at failure " << failing;
        });
    EXPECT_EQ(1, refused) << "only the entry that puts the child in the sandbox refuses the creation";
    EXPECT_GE(nameless, 2) << "the DOS name and its expansion";
}

TEST_F(ProcessNotifyTest, RegistrationKeepsItsFlagAndPrintsEachFailure)
{
    struct Row {
        const char* what;
        std::function<void()> before;  // what happens behind the flag's back
        NTSTATUS (*call)();
        NTSTATUS status;
        BOOLEAN registered;  // the flag afterwards
    };
    const Row rows[] = {
        {"registering again", [] {}, RegisterProcessNotify, STATUS_SUCCESS, TRUE},
        {"removing", [] {}, UnregisterProcessNotify, STATUS_SUCCESS, FALSE},
        {"removing again", [] {}, UnregisterProcessNotify, STATUS_SUCCESS, FALSE},
        {"registering a routine already registered", [] { (void)PsSetCreateProcessNotifyRoutineEx(ProcessNotifyRoutine, FALSE); },
         RegisterProcessNotify, STATUS_INVALID_PARAMETER, FALSE},
        {"registering", [] { (void)PsSetCreateProcessNotifyRoutineEx(ProcessNotifyRoutine, TRUE); }, RegisterProcessNotify,
         STATUS_SUCCESS, TRUE},
        {"removing a routine already removed", [] { (void)PsSetCreateProcessNotifyRoutineEx(ProcessNotifyRoutine, TRUE); },
         UnregisterProcessNotify, (NTSTATUS)0xC000007A, TRUE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.before();
        vexsim::ClearDebugOutput();
        EXPECT_EQ(row.status, row.call());
        EXPECT_EQ(row.registered, data->ProcessNotifyRegistered);
        char line[64];
        snprintf(line, sizeof(line), "VexRegFilter - PsSetCreateProcessNotifyRoutineEx - %08x", (unsigned)row.status);
        EXPECT_EQ(!NT_SUCCESS(row.status), vextest::HasDebugLine(line));
    }
    // The flag still says registered: unload tries the removal, prints its failure and goes on.
    vexsim::ClearDebugOutput();
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    EXPECT_TRUE(vextest::HasDebugLine("VexRegFilter - PsSetCreateProcessNotifyRoutineEx - c000007a"));
}

// A creation is in the routine when the unload begins. The unload must wait for it before it
// closes the channel: a process record made after the channel closed would be left behind.
TEST_F(ProcessNotifyTest, UnloadRemovesTheRoutineFirstAndWaitsForACreationInIt)
{
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    PEPROCESS suite = Start(kSuite);
    ArmLog();
    std::atomic<bool> unloading{false};
    std::thread unload;
    vexsim::UnloadResult result;
    // The child's record looks the creator's name up in a snapshot: the creation is then inside
    // the routine, before the process record is made.
    vexsim::SetProcessHook([&](vexsim::ProcessHookPoint point, ULONG_PTR) {
        if (point == vexsim::ProcessHookPoint::Snapshot && !unloading.exchange(true)) {
            unload = std::thread([&] { result = vexsim::UnloadDriver(); });
            vexsim::WaitForCreateRoutineRemoval(ProcessNotifyRoutine);
        }
    });
    PEPROCESS child = Start(kCmd, suite);
    unload.join();
    vexsim::SetProcessHook(nullptr);
    ASSERT_TRUE(unloading);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    vexsim::EndProcess(child);
}

// Processes start and exit below monitored parents on several threads, load their libraries
// (whose start messages go out), while clients connect and leave, beyond the three slots at times,
// and one client reads everything; the driver unloads at the end with nothing left.
TEST_F(ProcessNotifyTest, ConcurrentTreesStartAndExitWhileClientsComeAndGo)
{
    constexpr int kRounds = 20;
    const std::u16string portName = u"\\VexRegFilterConnectionPort";
    const vexsim::ProcessParams clientImage{u"\\Device\\HarddiskVolume3\\Tools\\client.exe"};
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    // One parent per thread: a process's creations run in its own thread, one at a time.
    PEPROCESS suites[2] = {Start(kSuite), Start(kSuite)};
    PEPROCESS reader = vexsim::CreateUserProcess(clientImage);
    HANDLE readerPort = nullptr;
    {
        vexsim::UserModeScope user(reader);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserConnectCommunicationPort(portName, nullptr, 0, &readerPort));
    }
    std::thread readerThread([&] {
        vexsim::UserModeScope user(reader);
        vexsim::PortMessage message;
        while (vexsim::UserGetMessage(readerPort, &message) == STATUS_SUCCESS) {
            (void)vexsim::UserReplyMessage(readerPort, message.messageId, nullptr, 0);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; i++) {
                PEPROCESS child = StartBy(kCmd, suites[t], suites[t]);
                PEPROCESS grandchild = StartBy(kCmd, child, child);
                EXPECT_EQ(STATUS_SUCCESS, vexsim::LoadSystemLibraries(grandchild));
                EXPECT_TRUE(IsProcessUnderSandbox(Pid(grandchild)));
                vexsim::EndProcess(child);
                vexsim::EndProcess(grandchild);
            }
        });
    }
    for (int t = 0; t < 3; t++) {  // with the reader, one more than the slots
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                PEPROCESS client = vexsim::CreateUserProcess(clientImage);
                {
                    vexsim::UserModeScope user(client);
                    HANDLE port = nullptr;
                    NTSTATUS status = vexsim::UserConnectCommunicationPort(portName, nullptr, 0, &port);
                    if (status == STATUS_SUCCESS) {
                        EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(port));
                    } else {
                        EXPECT_EQ(vexsim::kStatusConnectionCountLimit, status);
                    }
                }
                vexsim::EndProcess(client);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(2u, MonitoredEntries()) << "the parents alone";
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    readerThread.join();
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    vexsim::UserModeScope user(reader);
    EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(readerPort));
}

}  // namespace
