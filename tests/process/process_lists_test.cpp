// Process settings, the scans of running processes, removal, membership and the list outputs.
#include "tests/process/process_fixture.h"

#include "process/process_private.h"
#include "sim/executive/clock.h"
#include "sim/executive/pool.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

const char16_t kSuite[] = u"C:\\Program Files\\Vendor Suite\\suite.exe";
const char16_t kHelper[] = u"C:\\Program Files\\Vendor Suite\\helper.exe";
const char16_t kNotepad[] = u"C:\\Windows\\System32\\notepad.exe";

typedef NTSTATUS (*ADD_SETTING)(PCWSTR Name, PULONG Id);

PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

std::vector<PLOCKED_LIST> MonitoredLists()
{
    return {&data->MonitoredParentProcessList, &data->MonitoredProcessList,    &data->MonitoredRootProcessList,
            &data->MonitoredChildOfRootProcessList, &data->PTreeMonList, &data->DescendantProcessList};
}

// What the exit notification does for the lists: every entry of the exited process goes.
VOID NTAPI RemoveExitedProcess(PEPROCESS, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    if (CreateInfo == nullptr) {
        for (PLOCKED_LIST list : MonitoredLists()) {
            DeleteMonitoredProcess(list, ProcessId);
        }
    }
}

class ProcessListsTest : public vextest::ProcessDriverTest {
protected:
    static size_t Count(PLOCKED_LIST list)
    {
        size_t count = 0;
        ExAcquireFastMutex(&list->Lock);
        for (PLIST_ENTRY link = list->Head.Flink; link != &list->Head; link = link->Flink) {
            count++;
        }
        ExReleaseFastMutex(&list->Lock);
        return count;
    }

    template <typename Entry>
    static Entry* First(PLOCKED_LIST list)
    {
        return list->Head.Flink == &list->Head ? nullptr : CONTAINING_RECORD(list->Head.Flink, Entry, Links);
    }

    static bool Carries(PLOCKED_LIST list, PEPROCESS process, ULONG id)
    {
        ULONG found = ~id;
        return FindMonitoredProcess(list, Pid(process), MONITORED_KIND_ANY, &found) && found == id;
    }

    static bool InAnyList(HANDLE processId)
    {
        for (PLOCKED_LIST list : MonitoredLists()) {
            if (FindMonitoredProcess(list, processId, MONITORED_KIND_ANY, nullptr)) {
                return true;
            }
        }
        return false;
    }

    // A chain of processes below root, the nearest first.
    std::vector<PEPROCESS> Chain(PEPROCESS root, int length)
    {
        std::vector<PEPROCESS> chain;
        PEPROCESS parent = root;
        for (int i = 0; i < length; i++) {
            parent = Start(kNotepad, parent);
            chain.push_back(parent);
        }
        return chain;
    }

    // How many allocations the operation makes (it must leave things as they were).
    template <typename Operation>
    static ULONG64 Allocations(Operation operation)
    {
        ULONG64 before = vexsim::AllocationRequestCount();
        operation();
        return vexsim::AllocationRequestCount() - before;
    }
};

TEST_F(ProcessListsTest, AParentSettingCapturesRunningDescendantsButNotTheParentItself)
{
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    PEPROCESS grandchild = Start(kNotepad, child);
    PEPROCESS stranger = Start(kNotepad);
    ULONG id = 99;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(suite)));
    EXPECT_EQ(1u, AnswerIsUnderSandbox(Pid(suite))) << "a monitored parent counts for user mode";
    EXPECT_TRUE(FindMonitoredProcess(&data->MonitoredProcessList, Pid(child), MONITORED_KIND_CHILD, nullptr));
    EXPECT_TRUE(Carries(&data->MonitoredProcessList, child, id));
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(grandchild)));
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(stranger)));
    EXPECT_EQ(0u, AnswerIsUnderSandbox(Pid(stranger)));
    EXPECT_EQ(1u, AnswerIsExistUnderSandbox());

    // Deleting the setting by its identifier takes its children out of the sandbox.
    DeleteProcessById(id);
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(child)));
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(grandchild)));
    EXPECT_EQ(0u, AnswerIsUnderSandbox(Pid(suite)));
    EXPECT_EQ(0u, Count(&data->ParentProcessNameList));
    EXPECT_EQ(0u, AnswerIsExistUnderSandbox());
    DeleteProcessById(12345);  // an identifier nothing carries changes nothing
}

TEST_F(ProcessListsTest, TheScanLooksFiftyTwoGenerationsUpAndNoFurther)
{
    PEPROCESS suite = Start(kSuite);
    std::vector<PEPROCESS> chain = Chain(suite, 53);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(chain[51]))) << "52 generations below the parent";
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(chain[52]))) << "53 generations below the parent";
    EXPECT_EQ(52u, Count(&data->MonitoredProcessList));
}

TEST_F(ProcessListsTest, ARecycledParentIdWithALaterCreationTimeIsNotTheParent)
{
    PEPROCESS helper = Start(kHelper);
    ULONG_PTR recycled = (ULONG_PTR)Pid(helper);
    PEPROCESS orphan = Start(kNotepad, helper);
    vexsim::EndProcess(helper);
    vexsim::AdvanceSimulatedClock(10'000'000);
    PEPROCESS impostor = Start(kSuite, nullptr, recycled);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    EXPECT_TRUE(FindMonitoredProcess(&data->MonitoredParentProcessList, Pid(impostor), MONITORED_KIND_ANY, nullptr));
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(orphan)));
}

TEST_F(ProcessListsTest, ProcessAndRootSettingsCaptureTheirOwnInstancesAndDirectChildrenOfRoots)
{
    PEPROCESS suite = Start(u"C:\\PROGRA~1\\VENDOR~1\\suite.exe");
    PEPROCESS child = Start(kNotepad, suite);
    PEPROCESS grandchild = Start(kNotepad, child);
    ULONG processId;
    ULONG rootId;
    ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kSuite, &processId));
    EXPECT_TRUE(IsProcessUnderSandbox(Pid(suite))) << "started by its short path, matched by its long one";
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(child))) << "children of a process setting are not captured";
    ASSERT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kSuite, &rootId));
    EXPECT_NE(processId, rootId);
    EXPECT_TRUE(FindMonitoredProcess(&data->MonitoredRootProcessList, Pid(suite), MONITORED_KIND_ANY, nullptr));
    EXPECT_TRUE(FindMonitoredProcess(&data->MonitoredChildOfRootProcessList, Pid(child), MONITORED_KIND_PROCESS, nullptr));
    EXPECT_FALSE(FindMonitoredProcess(&data->MonitoredChildOfRootProcessList, Pid(grandchild), MONITORED_KIND_ANY, nullptr));
    ULONG parentId;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &parentId));
    EXPECT_FALSE(FindMonitoredProcess(&data->MonitoredParentProcessList, Pid(suite), MONITORED_KIND_ANY, nullptr))
        << "already under the sandbox, so not a monitored parent";
}

TEST_F(ProcessListsTest, ARepeatedNameTakesNoIdentifierAndReleasedOnesAreReusedOldestFirst)
{
    struct Adder {
        ADD_SETTING add;
        PLOCKED_LIST list;
    } adders[] = {
        {SetParentProcess, &data->ParentProcessNameList},      {SetProcess, &data->ProcessNameList},
        {SetRootProcess, &data->RootProcessNameList},          {AddExclusionProcess, &data->ExclusionProcessNameList},
        {AddProcessTreeMonitor, &data->PTreeMonNameList},
    };
    ULONG ids[5];
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(STATUS_SUCCESS, adders[i].add((PCWSTR)kHelper, &ids[i]));
        EXPECT_EQ(ids[0] + i, ids[i]) << i;
    }
    vexsim::ClearDebugOutput();
    for (int i = 0; i < 5; i++) {
        ULONG again = ~0u;
        ASSERT_EQ(STATUS_SUCCESS, adders[i].add((PCWSTR)u"c:\\program files\\vendor suite\\HELPER.EXE", &again));
        EXPECT_EQ(ids[i], again) << i;
        EXPECT_EQ(1u, Count(adders[i].list)) << i;
    }
    DeleteProcessById(ids[1]);
    DeleteProcessById(ids[0]);
    // With released identifiers waiting, a repeat must not take one and give it back at the tail.
    ULONG again;
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kHelper, &again));
    EXPECT_FALSE(vextest::HasDebugLine("[IDMan] IssueId")) << "a repeat issues nothing";
    EXPECT_FALSE(vextest::HasDebugLine("[IDMan] ReuseId")) << "a repeat reuses nothing";
    ULONG next[3];
    ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kSuite, &next[0]));
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kSuite, &next[1]));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kSuite, &next[2]));
    EXPECT_EQ((std::vector<ULONG>{ids[1], ids[0], ids[4] + 1}), std::vector<ULONG>(next, next + 3)) << "oldest released first";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetProcess(nullptr, &again));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetProcess((PCWSTR)kSuite, nullptr));
    EXPECT_FALSE(FindProcessName(&data->ProcessNameList, nullptr, &again));
}

TEST_F(ProcessListsTest, ANameMustEndWithinACountedString)
{
    std::u16string longest = u"C:\\" + std::u16string(32766 - 3, u'x');  // with its NUL, 0xFFFE bytes
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)longest.c_str(), &id));
    PROCESS_NAME_ENTRY* entry = First<PROCESS_NAME_ENTRY>(&data->ExclusionProcessNameList);
    EXPECT_EQ(longest.size() * 2, entry->Name.Length);
    EXPECT_EQ(entry->Name.Length + 2, entry->Name.MaximumLength);
    EXPECT_EQ(0, entry->Name.Buffer[longest.size()]) << "kept NUL-terminated";
    for (const vexsim::PoolAllocation& allocation : vexsim::LivePoolAllocations()) {
        if (allocation.address == entry->Name.Buffer) {
            EXPECT_EQ(entry->Name.MaximumLength, allocation.size);
        }
    }
    std::u16string tooLong = longest + u"x";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, AddExclusionProcess((PCWSTR)tooLong.c_str(), &id));
    EXPECT_TRUE(vextest::HasDebugLine("VexRegFilter - RtlStringCbLengthW error"));
}

TEST_F(ProcessListsTest, DetailLinesArePrintedOnlyWithTheDetailsBit)
{
    PEPROCESS suite = Start(kSuite);
    const std::string pid = std::to_string(Pid32(suite));
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kSuite, &id));
    for (ULONG flags : {0u, 1u}) {
        data->DebugLogFlags = flags;
        vexsim::ClearDebugOutput();
        AnswerIsUnderSandbox(Pid(suite));
        AnswerIsExistUnderSandbox();
        AnswerExistProcessTree(id, Pid(suite));
        ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kSuite, &id));
        for (const std::string& line : {"VexRegFilter - IOCTL_SANDBOX_IS_UNDER_SANDBOX :PID[" + pid + "]:TRUE",
                                        std::string("VexRegFilter - IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX :TRUE"),
                                        "VexRegFilter - IOCTL_EXIST_PROCESS_TREE :ID[" + std::to_string(id) + "]:PID[" + pid + "]:FALSE",
                                        "VexRegFilter - RegistMonitoredProcess: " + pid + " - suite.exe"}) {
            EXPECT_EQ(flags != 0, vextest::HasDebugLine(line)) << line;
        }
    }
    data->DebugLogFlags = 0;
}

TEST_F(ProcessListsTest, AFailedTranslationRemovesTheNewSettingAndFailsTheRequest)
{
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)u"Q:\\app.exe", &id));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetParentProcess((PCWSTR)u"Q:\\app.exe", &id)) << "no drive Q:";
    EXPECT_EQ(0u, Count(&data->ParentProcessNameList));
    EXPECT_TRUE(FindProcessName(&data->ExclusionProcessNameList, (PCWSTR)u"Q:\\app.exe", nullptr)) << "other lists untouched";
}

TEST_F(ProcessListsTest, AFailingRepeatKeepsTheSettingAndWhatItCaught)
{
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    int failures = 0;
    vextest::ForEachAllocationFailure([&] { ULONG again; return SetParentProcess((PCWSTR)kSuite, &again); },
                                      [&](NTSTATUS status, int failing) {
                                          failures += NT_SUCCESS(status) ? 0 : 1;
                                          ULONG found = ~id;
                                          EXPECT_TRUE(FindProcessName(&data->ParentProcessNameList, (PCWSTR)kSuite, &found));
                                          EXPECT_EQ(id, found) << failing;
                                          EXPECT_TRUE(Carries(&data->MonitoredParentProcessList, suite, id)) << failing;
                                          EXPECT_TRUE(Carries(&data->MonitoredProcessList, child, id)) << failing;
                                      });
    EXPECT_GT(failures, 0) << "some failure must reach the request";
}

TEST_F(ProcessListsTest, EveryAllocationFailureOfANewSettingRollsItBackWithWhatItCaught)
{
    PEPROCESS suite = Start(kSuite);
    Start(kNotepad, suite);
    // One round first, so that the identifier manager already keeps its released identifier.
    ULONG warmUp;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &warmUp));
    DeleteProcessById(warmUp);
    size_t before = vextest::LivePoolAllocations();
    vextest::ForEachAllocationFailure(
        [&] {
            ULONG id = ~0u;
            NTSTATUS status = SetParentProcess((PCWSTR)kSuite, &id);
            if (NT_SUCCESS(status)) {
                DeleteProcessById(id);
            }
            return status;
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_MEMORY_NOT_ALLOCATED ||
                        status == STATUS_INSUFFICIENT_RESOURCES)
                << std::hex << status << " at failure " << std::dec << failing;
            EXPECT_EQ(0u, Count(&data->ParentProcessNameList)) << failing;
            EXPECT_FALSE(InAnyList(Pid(suite))) << failing;
            EXPECT_EQ(0u, Count(&data->MonitoredProcessList)) << failing;
            // A failed release loses its identifier record (the identifier manager's own rule).
            EXPECT_LE(vextest::LivePoolAllocations(), before) << "nothing leaked at failure " << failing;
        });
}

TEST_F(ProcessListsTest, AllocationFailuresGiveEachListsOwnStatus)
{
    struct NameCase {
        ADD_SETTING add;
        PLOCKED_LIST list;
        NTSTATUS status;
        ULONG kind;
    } names[] = {
        {SetParentProcess, &data->ParentProcessNameList, STATUS_MEMORY_NOT_ALLOCATED, 2},
        {SetProcess, &data->ProcessNameList, STATUS_MEMORY_NOT_ALLOCATED, 1},
        {SetRootProcess, &data->RootProcessNameList, STATUS_MEMORY_NOT_ALLOCATED, 2},
        {AddExclusionProcess, &data->ExclusionProcessNameList, STATUS_MEMORY_NOT_ALLOCATED, 1},
        {AddProcessTreeMonitor, &data->PTreeMonNameList, STATUS_INSUFFICIENT_RESOURCES, 2},
    };
    for (const NameCase& c : names) {
        for (ULONG64 failing : {1, 2}) {  // the entry, then its name
            ULONG id;
            vexsim::FailNthAllocation(failing);
            EXPECT_EQ(c.status, c.add((PCWSTR)kHelper, &id)) << failing;
            vexsim::ClearAllocationFailures();
            EXPECT_EQ(0u, Count(c.list));
        }
        ULONG id;
        ASSERT_EQ(STATUS_SUCCESS, c.add((PCWSTR)kHelper, &id));
        EXPECT_EQ(c.kind, First<PROCESS_NAME_ENTRY>(c.list)->Kind);
    }

    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    struct MonitoredCase {
        PLOCKED_LIST list;
        NTSTATUS status;
        ULONG storedKind;  // of an entry inserted with kind 1
        bool storesParent;
    } monitored[] = {
        {&data->MonitoredParentProcessList, STATUS_MEMORY_NOT_ALLOCATED, 2, false},
        {&data->MonitoredProcessList, STATUS_MEMORY_NOT_ALLOCATED, 1, true},
        {&data->MonitoredRootProcessList, STATUS_MEMORY_NOT_ALLOCATED, 2, false},
        {&data->MonitoredChildOfRootProcessList, STATUS_MEMORY_NOT_ALLOCATED, 1, false},
        {&data->PTreeMonList, STATUS_INSUFFICIENT_RESOURCES, 2, false},
        {&data->DescendantProcessList, STATUS_INSUFFICIENT_RESOURCES, 2, true},
    };
    for (const MonitoredCase& c : monitored) {
        vexsim::FailNthAllocation(1);
        EXPECT_EQ(c.status, InsertMonitoredProcess(c.list, child, Pid(child), Pid(suite), 1, 7));
        vexsim::ClearAllocationFailures();
        ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(c.list, child, Pid(child), Pid(suite), 1, 7));
        MONITORED_PROCESS_ENTRY* entry = First<MONITORED_PROCESS_ENTRY>(c.list);
        EXPECT_EQ(c.storedKind, entry->Kind);
        EXPECT_EQ(c.storesParent ? Pid(suite) : nullptr, entry->ParentProcessId);
        DeleteMonitoredProcess(c.list, Pid(child));
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertMonitoredProcess(&data->ProcessNameList, child, Pid(child), nullptr, 1, 7))
        << "not a monitored list";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertMonitoredProcess(&data->DescendantProcessList, child, nullptr, nullptr, 2, 8));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertMonitoredProcess(&data->DescendantProcessList, nullptr, Pid(child), nullptr, 2, 8));
}

TEST_F(ProcessListsTest, AScanWhoseInsertFailsFailsTheRequestAndRollsTheSettingBack)
{
    struct Case {
        const char* what;
        ADD_SETTING set;
        PLOCKED_LIST name;
        PLOCKED_LIST target;  // where the last process found should have gone
    } cases[] = {
        {"process setting", SetProcess, &data->ProcessNameList, &data->MonitoredProcessList},
        {"parent setting, its child", SetParentProcess, &data->ParentProcessNameList, &data->MonitoredProcessList},
        {"root setting, its child", SetRootProcess, &data->RootProcessNameList, &data->MonitoredChildOfRootProcessList},
    };
    PEPROCESS suite = Start(kSuite);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PEPROCESS child = c.set == SetProcess ? nullptr : Start(kNotepad, suite);
        ULONG id;
        ULONG64 allocations = Allocations([&] { ASSERT_EQ(STATUS_SUCCESS, c.set((PCWSTR)kSuite, &id)); });
        DeleteProcessById(id);
        // The last allocation of the request is the entry of the last process it finds.
        vexsim::ClearDebugOutput();
        vexsim::FailNthAllocation(allocations);
        EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED, c.set((PCWSTR)kSuite, &id));
        vexsim::ClearAllocationFailures();
        EXPECT_TRUE(vextest::HasDebugLine("VexRegFilter - InsertMonitoredProcess error c00000a0"));
        EXPECT_EQ(0u, Count(c.name));
        EXPECT_FALSE(InAnyList(Pid(suite))) << "what the scans caught goes with the setting";
        EXPECT_EQ(0u, Count(c.target));
        if (child != nullptr) {
            vexsim::EndProcess(child);
        }
    }
}

TEST_F(ProcessListsTest, AProcessThatExitsDuringAScanIsNeverLeftInTheLists)
{
    struct Case {
        const char* moment;
        ADD_SETTING set;
        bool endsChild;  // else the suite process ends
        int atLookup;    // at which look-up of that process
        bool recycled;   // and a later process takes its id over
    } cases[] = {
        {"process setting, at the scan by name", SetProcess, false, 1, false},
        {"parent setting, the parent at the scan by name", SetParentProcess, false, 1, false},
        {"parent setting, the child at the scan by ancestry", SetParentProcess, true, 2, false},
        {"parent setting, the child's id taken over before the scan by ancestry", SetParentProcess, true, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.moment);
        PEPROCESS suite = Start(kSuite);
        PEPROCESS child = Start(kNotepad, suite);
        PEPROCESS ending = c.endsChild ? child : suite;
        ULONG_PTR endingId = (ULONG_PTR)Pid(ending);
        PEPROCESS newcomer = nullptr;
        int lookups = 0;
        vexsim::SetProcessHook([&](vexsim::ProcessHookPoint point, ULONG_PTR id) {
            if (point == vexsim::ProcessHookPoint::Lookup && id == endingId && ++lookups == c.atLookup) {
                vexsim::EndProcess(ending);
                if (c.recycled) {
                    vexsim::AdvanceSimulatedClock(10'000'000);
                    newcomer = Start(kNotepad, nullptr, endingId);
                }
            }
        });
        ULONG id;
        EXPECT_EQ(STATUS_SUCCESS, c.set((PCWSTR)kSuite, &id));
        vexsim::SetProcessHook(nullptr);
        EXPECT_GE(lookups, c.atLookup);
        EXPECT_FALSE(InAnyList((HANDLE)endingId));
        DeleteProcessById(id);
        vexsim::EndProcess(c.endsChild ? suite : child);
        if (newcomer != nullptr) {
            vexsim::EndProcess(newcomer);
        }
    }
}

TEST_F(ProcessListsTest, DeleteProcessByIdGivesTheIdentifierBackOnlyAfterItsLastRemoval)
{
    PEPROCESS suite = Start(kSuite);
    Start(kNotepad, suite);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    ArmLog();
    // A setting added while the removal is under way: when its first record looks up the name
    // of the current process.
    ULONG meanwhile = id;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    vexsim::SetProcessHook([&](vexsim::ProcessHookPoint point, ULONG_PTR) {
        if (point == vexsim::ProcessHookPoint::Snapshot && status == STATUS_UNSUCCESSFUL) {
            status = SetProcess((PCWSTR)kHelper, &meanwhile);
        }
    });
    DeleteProcessById(id);
    vexsim::SetProcessHook(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, status);
    EXPECT_NE(id, meanwhile);
    ULONG found = ~meanwhile;
    EXPECT_TRUE(FindProcessName(&data->ProcessNameList, (PCWSTR)kHelper, &found)) << "the new setting survives";
    EXPECT_EQ(meanwhile, found);
    EXPECT_EQ(0u, Count(&data->MonitoredProcessList));
    ULONG next;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kHelper, &next));
    EXPECT_EQ(id, next) << "given back in the end";
}

TEST_F(ProcessListsTest, RecordsOfSettingsAndTheirRemovalsComeInListOrder)
{
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    const std::string S = std::to_string(Pid32(suite));
    const std::string C = std::to_string(Pid32(child));
    const std::string path = " path = C:\\Program Files\\Vendor Suite\\suite.exe";
    ArmLog();
    ULONG parent;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &parent));
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &parent));
    const std::string P = std::to_string(parent);
    // One entry under the setting's identifier in each monitored list the scans do not fill.
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->MonitoredProcessList, suite, Pid(suite), nullptr, 1, parent));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->MonitoredRootProcessList, suite, Pid(suite), nullptr, 2, parent));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->MonitoredChildOfRootProcessList, child, Pid(child), nullptr, 1, parent));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->PTreeMonList, suite, Pid(suite), nullptr, 2, parent));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, child, Pid(child), Pid(suite), 2, parent));
    DeleteProcessById(parent);
    const std::string del = "IRP = DEV_CTRL IOCTL = DEL_PROCESS status = DELETED_";
    EXPECT_EQ((std::vector<std::string>{
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = ADDED_SETTING id = " + P + path,
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = ADDED_PARENT id = " + P + " ppid = 4 pid = " + S + " name = suite.exe",
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = ADDED_CHILD id = " + P + " ppid = " + S + " pid = " + C +
                      " name = notepad.exe",
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = SETTING_EXISTS id = " + P + path,
                  del + "SETTING id = " + P + path,
                  del + "PARENT id = " + P + " pid = " + S,
                  del + "CHILD id = " + P + " pid = " + C,
                  del + "PROCESS id = " + P + " pid = " + S,
                  del + "ROOT id = " + P + " pid = " + S,
                  del + "CHILD_OF_ROOT id = " + P + " pid = " + C,
                  del + "MONITOR id = " + P + " pid = " + S,
                  del + "DESCENDANT id = " + P + " pid = " + C,
              }),
              Records());

    // A stop clears the lists in their order, one entry in each here.
    ULONG ids[5];
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &ids[0]));
    ASSERT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kHelper, &ids[1]));
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kHelper, &ids[2]));
    ASSERT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kSuite, &ids[3]));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kHelper, &ids[4]));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->PTreeMonList, suite, Pid(suite), nullptr, 2, ids[4]));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, child, Pid(child), Pid(suite), 2, ids[4]));
    Records();
    ClearProcessLists(TRUE);
    std::vector<std::string> I;
    for (ULONG id : ids) {
        I.push_back(std::to_string(id));
    }
    const std::string stop = "IRP = DEV_CTRL IOCTL = STOP status = DELETED_";
    const std::string helperPath = " path = C:\\Program Files\\Vendor Suite\\helper.exe";
    EXPECT_EQ((std::vector<std::string>{
                  stop + "SETTING id = " + I[0] + path,
                  stop + "SETTING id = " + I[1] + helperPath,
                  stop + "SETTING id = " + I[2] + helperPath,
                  stop + "PARENT id = " + I[0] + " pid = " + S,
                  stop + "CHILD id = " + I[0] + " pid = " + C,
                  stop + "SETTING id = " + I[3] + path,
                  stop + "ROOT id = " + I[3] + " pid = " + S,
                  stop + "CHILD_OF_ROOT id = " + I[3] + " pid = " + C,
                  stop + "SETTING id = " + I[4] + helperPath,
                  stop + "MONITOR id = " + I[4] + " pid = " + S,
                  stop + "DESCENDANT id = " + I[4] + " pid = " + C,
              }),
              Records());
    ULONG reused;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kHelper, &reused));
    EXPECT_EQ(ids[0], reused) << "a stop gives the identifiers back, in the order of the lists";
    Records();
    ClearProcessLists(FALSE);
    EXPECT_EQ(std::vector<std::string>{}, Records()) << "an unload clears without records";
    EXPECT_EQ(0u, Count(&data->ExclusionProcessNameList));
}

TEST_F(ProcessListsTest, AFailedSettingIsRecordedAndRolledBackWithWhatItCaught)
{
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    ArmLog();
    // The child's entry, the only allocation after its look-up by the scan by ancestry, fails.
    int lookups = 0;
    vexsim::SetProcessHook([&](vexsim::ProcessHookPoint point, ULONG_PTR id) {
        if (point == vexsim::ProcessHookPoint::Lookup && id == (ULONG_PTR)Pid(child) && ++lookups == 2) {
            vexsim::FailNthAllocation(1);
        }
    });
    ULONG id;
    EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED, SetParentProcess((PCWSTR)kSuite, &id));
    vexsim::SetProcessHook(nullptr);
    vexsim::ClearAllocationFailures();
    const std::string I = std::to_string(id);
    const std::string path = " path = C:\\Program Files\\Vendor Suite\\suite.exe";
    EXPECT_EQ((std::vector<std::string>{
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = ADDED_SETTING id = " + I + path,
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = ADDED_PARENT id = " + I + " ppid = 4 pid = " +
                      std::to_string(Pid32(suite)) + " name = suite.exe",
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = DELETED_SETTING id = " + I + path,
                  "IRP = DEV_CTRL IOCTL = SET_PARENT status = DELETED_PARENT id = " + I + " pid = " + std::to_string(Pid32(suite)),
              }),
              Records());
    EXPECT_FALSE(InAnyList(Pid(suite)));
}

TEST_F(ProcessListsTest, PidListsReportTheCountWhenTooSmallAndTheIdsWhenTheyFit)
{
    PEPROCESS suite = Start(kSuite);
    std::vector<PEPROCESS> children = Chain(suite, 3);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    ULONG buffer[8] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetMonitoredPidList(&data->MonitoredProcessList, buffer, 3));
    EXPECT_EQ(0x77u, buffer[0]) << "under 4 bytes nothing is written";
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetMonitoredPidList(&data->MonitoredProcessList, buffer, 4));
    EXPECT_EQ(3u, buffer[0]);
    EXPECT_EQ(STATUS_SUCCESS, GetMonitoredPidList(&data->MonitoredProcessList, buffer, 16));
    EXPECT_EQ((std::vector<ULONG>{3, Pid32(children[0]), Pid32(children[1]), Pid32(children[2])}),
              std::vector<ULONG>(buffer, buffer + 4));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetMonitoredPidPpidList(buffer, 27));
    EXPECT_EQ(STATUS_SUCCESS, GetMonitoredPidPpidList(buffer, 28));
    EXPECT_EQ(Pid32(suite), buffer[2]) << "parent of the first child";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetMonitoredPidPpidList(nullptr, 28));
    EXPECT_EQ(STATUS_SUCCESS, GetMonitoredPidList(&data->MonitoredChildOfRootProcessList, buffer, 4));
    EXPECT_EQ(0u, buffer[0]);
}

TEST_F(ProcessListsTest, RemovalByProcessIdTakesEveryEntryOfThatIdWithItsRecord)
{
    PEPROCESS suite = Start(kSuite);
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, suite, Pid(suite), NULL, 2, 7));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, suite, Pid(suite), NULL, 2, 8));
    EXPECT_EQ(1u, AnswerExistProcessTree(7, Pid(suite)));
    EXPECT_EQ(0u, AnswerExistProcessTree(8, Pid(suite))) << "only the first entry of the process is compared";
    ArmLog();
    DeleteMonitoredProcess(&data->DescendantProcessList, Pid(suite));
    const std::string pid = std::to_string(Pid32(suite));
    EXPECT_EQ((std::vector<std::string>{"PROC = EXITS status = DELETED_DESCENDANT id = 7 pid = " + pid,
                                        "PROC = EXITS status = DELETED_DESCENDANT id = 8 pid = " + pid}),
              Records());
    EXPECT_EQ(0u, Count(&data->DescendantProcessList));
}

// Enough entries that every bucket of the index by process id holds several: look-ups, removals
// by id, by setting and by process, and the pid list answer as a walk of the list would.
TEST_F(ProcessListsTest, ManyMonitoredProcessesAreFoundRemovedAndListedInListOrder)
{
    constexpr ULONG kCount = 3000;
    auto pid = [](ULONG i) { return (HANDLE)(ULONG_PTR)(1000 + 4 * i); };
    PLOCKED_LIST list = &data->MonitoredProcessList;
    for (ULONG i = 0; i < kCount; i++) {
        ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(list, PsInitialSystemProcess, pid(i), NULL, MONITORED_KIND_CHILD, 1 + i % 3));
    }
    // A second entry for a process whose first goes with its setting: it answers then.
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(list, PsInitialSystemProcess, pid(1), NULL, MONITORED_KIND_PROCESS, 9));
    RemoveMonitoredProcessesById(list, 2, nullptr);
    for (ULONG i = 0; i < kCount; i += 7) {
        DeleteMonitoredProcess(list, pid(i));
    }
    std::vector<ULONG> expected;
    for (ULONG i = 0; i < kCount; i++) {
        if (i == 1) {
            continue;  // its second entry, below
        }
        const bool kept = i % 3 != 1 && i % 7 != 0;
        ULONG id = 0;
        ASSERT_EQ(kept, FindMonitoredProcess(list, pid(i), MONITORED_KIND_ANY, &id) != FALSE) << i;
        if (kept) {
            EXPECT_EQ(1 + i % 3, id) << i;
            expected.push_back((ULONG)(ULONG_PTR)pid(i));
        }
    }
    ULONG id = 0;
    EXPECT_TRUE(FindMonitoredProcess(list, pid(1), MONITORED_KIND_PROCESS, &id));
    EXPECT_EQ(9u, id);
    EXPECT_FALSE(FindMonitoredProcess(list, pid(1), MONITORED_KIND_CHILD, nullptr)) << "kinds still filter";
    expected.push_back((ULONG)(ULONG_PTR)pid(1));
    std::vector<ULONG> buffer(expected.size() + 1);
    ASSERT_EQ(STATUS_SUCCESS, GetMonitoredPidList(list, buffer.data(), (ULONG)(buffer.size() * sizeof(ULONG))));
    EXPECT_EQ(expected, std::vector<ULONG>(buffer.begin() + 1, buffer.end()));
    ClearMonitoredProcessList(list, FALSE);
    EXPECT_FALSE(FindMonitoredProcess(list, pid(3), MONITORED_KIND_ANY, nullptr));
}

// Processes far down a deep folder, started by their short path: the scan expands the short
// components of the running image to match the setting's long path.
TEST_F(ProcessListsTest, AnImageStartedByAShortPathNearTheLongestPathIsCaughtByItsLongOne)
{
    for (size_t characters : {20000u, 32745u}) {  // 32,745: the device path is then 32,766 characters
        std::u16string path = u"C:\\Program Files\\Vendor Suite";
        while (path.size() + 201 + 12 < characters) {
            path += u"\\" + std::u16string(200, u'd');
        }
        path += u"\\" + std::u16string(characters - path.size() - 5, u'x') + u".exe";
        ASSERT_EQ(characters, path.size());
        ASSERT_EQ(STATUS_SUCCESS, vexsim::CreateFilePath(path));
        PEPROCESS process = Start(vexsim::ShortPathOf(path));
        ULONG id;
        ASSERT_EQ(STATUS_SUCCESS, SetProcess(vextest::Wide(path).c_str(), &id)) << characters;
        EXPECT_TRUE(IsProcessUnderSandbox(Pid(process))) << characters;
        DeleteProcessById(id);
        vexsim::EndProcess(process);
    }
}

TEST_F(ProcessListsTest, ConcurrentAdditionsOfOneNewNameLeaveOneEntry)
{
    for (int round = 0; round < 20; round++) {
        std::vector<ULONG> ids(4);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; i++) {
            threads.emplace_back([&, i] { EXPECT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kHelper, &ids[i])); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(1u, Count(&data->ExclusionProcessNameList));
        for (ULONG id : ids) {
            EXPECT_EQ(ids[0], id);
        }
        DeleteProcessById(ids[0]);
    }
}

// Scans and membership questions run while processes start and exit; the exit notification
// removes each exited process. Whatever the interleaving, no exited process may stay behind.
TEST_F(ProcessListsTest, ConcurrentScansAndExitsLeaveNoExitedProcessInTheLists)
{
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RemoveExitedProcess, FALSE));
    std::atomic<bool> done{false};
    std::atomic<HANDLE> latest{nullptr};
    std::thread settings([&] {
        for (int round = 0; round < 40; round++) {
            ULONG id;
            EXPECT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
            EXPECT_EQ(STATUS_SUCCESS, SetProcess((PCWSTR)kSuite, &id));
            EXPECT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kSuite, &id));
        }
        done = true;
    });
    std::thread questions([&] {
        while (!done) {
            IsProcessUnderSandbox(latest.load());
            AnswerIsUnderSandbox(latest.load());
            AnswerIsExistUnderSandbox();
        }
    });
    while (!done) {
        PEPROCESS suite = Start(kSuite);
        PEPROCESS child = Start(kNotepad, suite);
        latest = Pid(child);
        vexsim::EndProcess(child);
        vexsim::EndProcess(suite);
    }
    settings.join();
    questions.join();
    for (PLOCKED_LIST list : MonitoredLists()) {
        EXPECT_EQ(0u, Count(list));
    }
    ASSERT_EQ(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutineEx(RemoveExitedProcess, TRUE));
}

}  // namespace
