// The prepared-key threads: the walk of the Classes redirect roots, stopping it, and the life of
// the records in the thread slots.
#include "cow/cow.h"

#include "sim/ps/system_thread.h"
#include "tests/cow/cow_fixture.h"

#include <algorithm>
#include <thread>

namespace {

using namespace vextest;

const std::u16string UC = kRedirectUserClasses;
const std::u16string MC = kRedirectMachineClasses;

class PreparedKeyThreadConcurrentTest : public CowTest {
protected:
    void TearDown() override
    {
        DeleteEnumPreparedKeyThreads();
        CowTest::TearDown();
    }
    // Waits until the slot's thread has ended by itself.
    static void WaitForWalk(PENUM_PREPARED_KEY_WORK work)
    {
        ASSERT_NE(nullptr, work);
        ASSERT_NE(nullptr, work->Thread);
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(work->Thread, Executive, KernelMode, FALSE, nullptr));
    }
    // Lines holding text. Two threads that print at once can interleave the two pieces of their
    // lines, so the texts are looked for without the prefix piece.
    static size_t Lines(const std::string& text)
    {
        std::vector<std::string> lines = vexsim::DebugOutput();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
};

TEST_F(PreparedKeyThreadConcurrentTest, EachRootsDirectSubkeysArePrepared)
{
    Make(UC + u"\\.txt\\Shell");
    Make(UC + u"\\CLSID");
    Make(MC + u"\\Interface");
    ASSERT_EQ(STATUS_SUCCESS, CreateEnumPreparedKeyThread(&g_VexRegFilterData.UserClassesEnumThread, &g_VexRegFilterData.RedirectUserClasses));
    ASSERT_EQ(STATUS_SUCCESS,
              CreateEnumPreparedKeyThread(&g_VexRegFilterData.MachineClassesEnumThread, &g_VexRegFilterData.RedirectMachineClasses));
    WaitForWalk(g_VexRegFilterData.UserClassesEnumThread);
    WaitForWalk(g_VexRegFilterData.MachineClassesEnumThread);

    for (const std::u16string& prepared : {UC + u"\\.txt", UC + u"\\CLSID", MC + u"\\Interface"}) {
        EXPECT_TRUE(InHistory(g_VexRegFilterData.CopyKeyHistory, prepared)) << Utf8(prepared);
    }
    for (const std::u16string& not_prepared : {UC, UC + u"\\.txt\\Shell", MC}) {
        EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, not_prepared)) << Utf8(not_prepared);
    }
    ULONG count = 0;
    ASSERT_EQ(STATUS_SUCCESS, CTGetElementCount(&g_VexRegFilterData.CopyKeyHistory, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(2u, Lines("EnumPreparedKeyThread - start. WorkQueue = "));
    EXPECT_EQ(2u, Lines(" time = 0 ms"));
    EXPECT_EQ(0u, Lines("Failed"));

    DeleteEnumPreparedKeyThreads();
    EXPECT_EQ(nullptr, g_VexRegFilterData.UserClassesEnumThread);
    EXPECT_EQ(nullptr, g_VexRegFilterData.MachineClassesEnumThread);
    EXPECT_TRUE(vexsim::RunningSystemThreads().empty());
}

TEST_F(PreparedKeyThreadConcurrentTest, AMissingRootEndsTheWalkAtOnce)
{
    Wide missing(UC + u"\\Missing");
    ASSERT_EQ(STATUS_SUCCESS, CreateEnumPreparedKeyThread(&g_VexRegFilterData.UserClassesEnumThread, missing.get()));
    WaitForWalk(g_VexRegFilterData.UserClassesEnumThread);
    ULONG count = 1;
    ASSERT_EQ(STATUS_SUCCESS, CTGetElementCount(&g_VexRegFilterData.CopyKeyHistory, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(1u, Lines("EnumPreparedKeyThread - exit."));
    EXPECT_EQ(0u, Lines("Failed"));
}

// A walk that fails, and a thread started without a record, say so and end.
TEST_F(PreparedKeyThreadConcurrentTest, AFailedWalkAndAMissingRecordArePrinted)
{
    Make(UC + u"\\A");
    FailNth(RegNtPreQueryKey, 1, STATUS_ACCESS_DENIED);
    ASSERT_EQ(STATUS_SUCCESS, CreateEnumPreparedKeyThread(&g_VexRegFilterData.UserClassesEnumThread,
                                                          &g_VexRegFilterData.RedirectUserClasses));
    WaitForWalk(g_VexRegFilterData.UserClassesEnumThread);
    EXPECT_EQ(1u, Lines("VexRegFilter.sys: EnumPreparedKey - Failed to ZwQueryKey. status = c0000022"));
    EXPECT_EQ(1u, Lines("VexRegFilter.sys: EnumPreparedKeyThread - Failed to EnumPreparedKey. status = c0000022"));
    EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, UC + u"\\A"));

    ClearDebugOutput();
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EnumPreparedKeyThread, nullptr));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr));
    (void)ZwClose(handle);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(thread);
    EXPECT_EQ(1u, Lines("VexRegFilter.sys: EnumPreparedKeyThread - WorkQueue is NULL."));
    EXPECT_EQ(1u, Lines("VexRegFilter.sys: EnumPreparedKeyThread - exit."));
}

// A stop requested while the walk is inside a subkey's enumeration takes effect before the next
// subkey, and deleting the thread waits until it has ended.
TEST_F(PreparedKeyThreadConcurrentTest, AStopEndsTheWalkBeforeItsNextSubkey)
{
    Make(UC + u"\\A");
    Make(UC + u"\\B");
    Make(UC + u"\\C");
    PENUM_PREPARED_KEY_WORK* slot = &g_VexRegFilterData.UserClassesEnumThread;
    // The walk holds in its first enumeration until the deleting thread has asked it to stop.
    static std::atomic<bool> holding;
    holding = false;
    HookNext(RegNtPreEnumerateKey, [slot] {
        PENUM_PREPARED_KEY_WORK work = *slot;
        holding = true;
        while (InterlockedCompareExchange(&work->StopRequested, 0, 0) == 0) {
            std::this_thread::yield();
        }
    });
    ASSERT_EQ(STATUS_SUCCESS, CreateEnumPreparedKeyThread(slot, &g_VexRegFilterData.RedirectUserClasses));
    while (!holding) {
        std::this_thread::yield();
    }
    DeleteEnumPreparedKeyThread(slot);
    EXPECT_EQ(nullptr, *slot);
    EXPECT_TRUE(vexsim::RunningSystemThreads().empty());
    EXPECT_EQ(1u, Lines("EnumPreparedKey - Received stop event."));
    EXPECT_TRUE(InHistory(g_VexRegFilterData.CopyKeyHistory, UC + u"\\A"));
    EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, UC + u"\\B"));
    EXPECT_FALSE(InHistory(g_VexRegFilterData.CopyKeyHistory, UC + u"\\C"));
}

TEST_F(PreparedKeyThreadConcurrentTest, ASlotHoldsOneThreadAndFailuresLeaveItEmpty)
{
    PENUM_PREPARED_KEY_WORK* slot = &g_VexRegFilterData.MachineClassesEnumThread;
    ASSERT_EQ(STATUS_SUCCESS, CreateEnumPreparedKeyThread(slot, &g_VexRegFilterData.RedirectMachineClasses));
    ClearDebugOutput();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateEnumPreparedKeyThread(slot, &g_VexRegFilterData.RedirectMachineClasses));
    EXPECT_EQ(nullptr, *slot);
    EXPECT_TRUE(vexsim::RunningSystemThreads().empty());
    EXPECT_EQ(1u, Lines("CreateEnumPreparedKeyThread - Failed to CreateEnumPreparedKeyThread. status = c000000d"));

    ClearDebugOutput();
    DeleteEnumPreparedKeyThread(slot);
    EXPECT_EQ(std::vector<std::string>{"VexRegFilter.sys: DeleteEnumPreparedKeyThread - Failed to DeleteEnumPreparedKeyThread. status = c000000d"},
              vexsim::DebugOutput());

    // A missing root: the thread itself allocates nothing, every failure point is the creator's.
    Wide missing(MC + u"\\Missing");
    ForEachAllocationFailure([&] { return CreateEnumPreparedKeyThread(slot, missing.get()); },
                             [&](NTSTATUS status, int failing) {
                                 EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << failing;
                                 EXPECT_EQ(nullptr, *slot) << failing;
                                 EXPECT_EQ(1u, Lines("CreateEnumPreparedKeyThread - Failed to ExAllocatePoolZero. status = c000009a"));
                                 ClearDebugOutput();
                             });
    DeleteEnumPreparedKeyThread(slot);
}

// When the new thread cannot be referenced it already runs on its record: the record stays until
// the thread has ended.
TEST_F(PreparedKeyThreadConcurrentTest, AThreadThatCannotBeReferencedEndsBeforeItsRecordGoes)
{
    Make(UC + u"\\A");
    PENUM_PREPARED_KEY_WORK* slot = &g_VexRegFilterData.UserClassesEnumThread;
    HookNext(RegNtPreEnumerateKey, [slot] {
        PENUM_PREPARED_KEY_WORK work = *slot;
        while (InterlockedCompareExchange(&work->StopRequested, 0, 0) == 0) {
            std::this_thread::yield();
        }
    });
    vexsim::FailNthHandleReference(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, CreateEnumPreparedKeyThread(slot, &g_VexRegFilterData.RedirectUserClasses));
    EXPECT_EQ(nullptr, *slot);
    EXPECT_TRUE(vexsim::RunningSystemThreads().empty());
    EXPECT_EQ(1u, Lines("CreateEnumPreparedKeyThread - Failed to ObReferenceObjectByHandle. status = c000009a"));
}

}  // namespace
