// Process settings, the scans of running processes, removal, membership and the list outputs.
#include "tests/process/process_fixture.h"

#include "sim/executive/clock.h"
#include "sim/executive/pool.h"

#include <thread>
#include <vector>

namespace {

using vextest::Wide;

const char16_t kSuite[] = u"C:\\Program Files\\Vendor Suite\\suite.exe";
const char16_t kHelper[] = u"C:\\Program Files\\Vendor Suite\\helper.exe";
const char16_t kNotepad[] = u"C:\\Windows\\System32\\notepad.exe";

class ProcessListsTest : public vextest::ProcessDriverTest {
protected:
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

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
};

TEST_F(ProcessListsTest, AParentSettingCapturesRunningDescendantsButNotTheParentItself)
{
    PEPROCESS suite = Start(kSuite);
    PEPROCESS child = Start(kNotepad, suite);
    PEPROCESS grandchild = Start(kNotepad, child);
    PEPROCESS stranger = Start(kNotepad);
    ULONG id = 99;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    ULONG childId = 99;
    EXPECT_FALSE(IsProcessUnderSandbox(Pid(suite)));
    EXPECT_EQ(1u, AnswerIsUnderSandbox(Pid(suite))) << "a monitored parent counts for user mode";
    EXPECT_TRUE(FindMonitoredProcess(&data->MonitoredProcessList, Pid(child), MONITORED_KIND_CHILD, &childId));
    EXPECT_EQ(id, childId);
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
}

TEST_F(ProcessListsTest, AddingAPresentNameReturnsItsIdentifierAndInsertsNothing)
{
    ULONG first;
    ULONG second;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)kHelper, &first));
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)u"c:\\program files\\vendor suite\\HELPER.EXE", &second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1u, Count(&data->ExclusionProcessNameList));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kHelper, &first));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kHelper, &second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1u, Count(&data->PTreeMonNameList));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetProcess(nullptr, &first));
}

TEST_F(ProcessListsTest, AFailedTranslationRemovesTheNameAndFailsTheRequest)
{
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, AddExclusionProcess((PCWSTR)u"Q:\\app.exe", &id));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetParentProcess((PCWSTR)u"Q:\\app.exe", &id)) << "no drive Q:";
    EXPECT_EQ(0u, Count(&data->ParentProcessNameList));
    EXPECT_TRUE(FindProcessName(&data->ExclusionProcessNameList, (PCWSTR)u"Q:\\app.exe", nullptr)) << "other lists untouched";
}

TEST_F(ProcessListsTest, AFailingRepeatOfASettingRemovesTheOlderEntryOfThatNameToo)
{
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    vextest::ForEachAllocationFailure(
        [&] {
            ULONG again;
            NTSTATUS status = SetParentProcess((PCWSTR)kSuite, &again);
            bool gone = !FindProcessName(&data->ParentProcessNameList, (PCWSTR)kSuite, nullptr);
            if (!NT_SUCCESS(status)) {
                vexsim::ClearAllocationFailures();
                EXPECT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &again));
            }
            return std::make_pair(status, gone);
        },
        [&](std::pair<NTSTATUS, bool> result, int failing) {
            EXPECT_EQ(!NT_SUCCESS(result.first), result.second) << failing;
        });
}

TEST_F(ProcessListsTest, EveryAllocationFailureOfARegistrationRollsTheSettingBack)
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
            ULONG id;
            NTSTATUS status = SetParentProcess((PCWSTR)kSuite, &id);
            if (NT_SUCCESS(status)) {
                DeleteProcessById(id);
            }
            return status;
        },
        [&](NTSTATUS status, int failing) {
            if (!NT_SUCCESS(status)) {
                EXPECT_FALSE(FindProcessName(&data->ParentProcessNameList, (PCWSTR)kSuite, nullptr)) << failing;
            }
            EXPECT_EQ(0u, Count(&data->ParentProcessNameList)) << failing;
            // A failed release loses its identifier record (the identifier manager's own rule).
            EXPECT_LE(vextest::LivePoolAllocations(), before) << "nothing leaked at failure " << failing;
        });
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
    EXPECT_EQ((std::vector<ULONG>{3, (ULONG)(ULONG_PTR)Pid(children[0]), (ULONG)(ULONG_PTR)Pid(children[1]),
                                  (ULONG)(ULONG_PTR)Pid(children[2])}),
              std::vector<ULONG>(buffer, buffer + 4));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, GetMonitoredPidPpidList(buffer, 27));
    EXPECT_EQ(STATUS_SUCCESS, GetMonitoredPidPpidList(buffer, 28));
    EXPECT_EQ((ULONG)(ULONG_PTR)Pid(suite), buffer[2]) << "parent of the first child";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, GetMonitoredPidPpidList(nullptr, 28));
    EXPECT_EQ(STATUS_SUCCESS, GetMonitoredPidList(&data->MonitoredChildOfRootProcessList, buffer, 4));
    EXPECT_EQ(0u, buffer[0]);
}

TEST_F(ProcessListsTest, RemovalByProcessIdTakesEveryEntryOfThatId)
{
    PEPROCESS suite = Start(kSuite);
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, suite, Pid(suite), NULL, 2, 7));
    ASSERT_EQ(STATUS_SUCCESS, InsertMonitoredProcess(&data->DescendantProcessList, suite, Pid(suite), NULL, 2, 8));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, InsertMonitoredProcess(&data->DescendantProcessList, suite, NULL, NULL, 2, 8));
    EXPECT_EQ(1u, AnswerExistProcessTree(7, Pid(suite)));
    EXPECT_EQ(0u, AnswerExistProcessTree(8, Pid(suite))) << "only the first entry of the process is compared";
    DeleteMonitoredProcess(&data->DescendantProcessList, Pid(suite), 0, TRUE);
    EXPECT_EQ(0u, Count(&data->DescendantProcessList));
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

TEST_F(ProcessListsTest, UnloadClearsEveryListWithoutLeaks)
{
    PEPROCESS suite = Start(kSuite);
    Start(kNotepad, suite);
    ULONG id;
    ASSERT_EQ(STATUS_SUCCESS, SetParentProcess((PCWSTR)kSuite, &id));
    ASSERT_EQ(STATUS_SUCCESS, SetRootProcess((PCWSTR)kSuite, &id));
    ASSERT_EQ(STATUS_SUCCESS, AddProcessTreeMonitor((PCWSTR)kHelper, &id));
    // The fixture's unload check fails the test if any entry is left.
}

}  // namespace
