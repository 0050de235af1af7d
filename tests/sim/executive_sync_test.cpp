// IRQL, events and waits on the simulated clock, fast mutexes; the Concurrent suite runs them
// across host threads (and under ThreadSanitizer).
#include "executive_fixture.h"

#include "sim/core/kernel.h"
#include "sim/executive/clock.h"
#include "sim/executive/dispatcher.h"

#include <functional>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Timeout(LONGLONG value)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = value;
    return timeout;
}

class ExecutiveSyncTest : public ExecutiveFixture {};

TEST_F(ExecutiveSyncTest, RaiseAndLowerMoveTheCallingThreadsIrql)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, DISPATCH_LEVEL) << "raising to the same level is allowed";
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ExecutiveSyncTest, NotificationEventStaysSignalledUntilCleared)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(event.Header.Type, 0);
    EXPECT_EQ(event.Header.Size, sizeof(KEVENT) / sizeof(LONG));
    LARGE_INTEGER poll = Timeout(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state: not signalled";
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state: signalled";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "a satisfied wait leaves a notification event signalled";
    EXPECT_NE(KeReadStateEvent(&event), 0);

    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_NE(KeResetEvent(&event), 0) << "KeResetEvent returns the previous state";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(ExecutiveSyncTest, SynchronizationEventLetsOneWaitThroughPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll = Timeout(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait reset the event";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT)
        << "two sets without a waiter between them release only one wait";
}

TEST_F(ExecutiveSyncTest, AbsoluteTimeoutAtOrBeforeNowExpiresAtOnce)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (LONGLONG due : {config.systemTime, config.systemTime - 1}) {
        LARGE_INTEGER timeout = Timeout(due);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT) << due;
    }
    LARGE_INTEGER zero = Timeout(0);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "a poll is allowed at DISPATCH_LEVEL";
    KeLowerIrql(old);
}

// KeSetEvent(Wait = TRUE) holds DISPATCH_LEVEL until the wait that must follow, which then runs
// at the caller's own IRQL (a zero timeout polls, as any wait).
TEST_F(ExecutiveSyncTest, SetEventWithWaitRaisesUntilTheWaitThatFollows)
{
    KEVENT signalled;
    KEVENT other;
    KeInitializeEvent(&signalled, NotificationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    EXPECT_EQ(0, KeSetEvent(&signalled, IO_NO_INCREMENT, TRUE));
    LARGE_INTEGER poll = Timeout(0);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "the wait returned the caller to its IRQL";
    EXPECT_EQ(1, KeReadStateEvent(&signalled));
}

TEST_F(ExecutiveSyncTest, SignalledThreadObjectSatisfiesEveryWait)
{
    DISPATCHER_HEADER thread;
    vexsim::InitializeDispatcherHeader(&thread, vexsim::kThreadObject, false);
    LARGE_INTEGER poll = Timeout(0);
    EXPECT_EQ(KeWaitForSingleObject(&thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    vexsim::SignalDispatcherObject(&thread);
    EXPECT_EQ(KeWaitForSingleObject(&thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

TEST_F(ExecutiveSyncTest, FastMutexRaisesToApcAndRestoresTheCallersIrql)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(mutex.Owner, vexsim::CurrentContext().thread);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(mutex.Owner, nullptr);

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    ASSERT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL) << "release restores the IRQL of the acquisition";
    KeLowerIrql(old);
}

// A mutex that outlives the death test's statement.
FAST_MUTEX& FreshMutex()
{
    static FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    return mutex;
}

struct SyncBreach {
    const char* what;
    std::function<void()> breach;
    const char* report;
};

TEST_F(ExecutiveSyncTest, MisuseStopsTheMachine)
{
    const SyncBreach breaches[] = {
        {"raise to a lower IRQL",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeRaiseIrql(APC_LEVEL, &old);
         },
         "STOP: 0x000000C4 \\(0x0000000000000030, 0x0000000000000002, 0x0000000000000001, .*not a raise"},
        {"lower to a higher IRQL",
         [] { KeLowerIrql(DISPATCH_LEVEL); },
         "STOP: 0x000000C4 \\(0x0000000000000031, 0x0000000000000000, 0x0000000000000002, .*not a lowering"},
        {"recursive fast mutex acquisition",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             ExAcquireFastMutex(&mutex);
             ExAcquireFastMutex(&mutex);
         },
         "STOP: 0x000000C4 \\(0x0000000000001000, .*recursive acquisition of fast mutex"},
        {"recursive try by the owner",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             ExAcquireFastMutex(&mutex);
             (void)ExTryToAcquireFastMutex(&mutex);
         },
         "recursive acquisition of fast mutex"},
        {"release of a fast mutex nobody holds",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             ExReleaseFastMutex(&mutex);
         },
         "STOP: 0x000000C4 \\(0x0000000000001005, .*which does not own it \\(it is not held\\)"},
        {"release by another thread",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             std::thread([&mutex] { ExAcquireFastMutex(&mutex); }).join();
             ExReleaseFastMutex(&mutex);
         },
         "STOP: 0x000000C4 \\(0x0000000000001005, .*which does not own it \\(owner 0x"},
        {"fast mutex acquisition at DISPATCH_LEVEL",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ExAcquireFastMutex(&mutex);
         },
         "STOP: 0x000000C4 \\(0x0000000000000033, 0x0000000000000002, .*above APC_LEVEL"},
        {"fast mutex release at DISPATCH_LEVEL",
         [] {
             FAST_MUTEX& mutex = FreshMutex();
             ExAcquireFastMutex(&mutex);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ExReleaseFastMutex(&mutex);
         },
         "STOP: 0x000000C4 \\(0x0000000000000034, 0x0000000000000002, .*must be APC_LEVEL"},
        {"blocking wait at DISPATCH_LEVEL",
         [] {
             static KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             LARGE_INTEGER timeout = Timeout(-10);
             (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         },
         "STOP: 0x000000C4 \\(0x000000000000003B, 0x0000000000000002, .*KeWaitForSingleObject at IRQL 2 with a "
         "non-zero timeout"},
        {"delay at DISPATCH_LEVEL",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             LARGE_INTEGER interval = Timeout(-10);
             (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
         },
         "STOP: 0x000000C4 \\(0x000000000000003B, .*KeDelayExecutionThread at IRQL 2"},
        {"KeSetEvent with Wait = TRUE followed by anything but a wait",
         [] {
             static KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             (void)KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
             (void)KeGetCurrentIrql();
         },
         "STOP: KeSetEvent with Wait = TRUE was not followed at once by KeWaitForSingleObject"},
        {"wait on a dispatcher type the kernel cannot wait on",
         [] {
             static DISPATCHER_HEADER semaphore;
             vexsim::InitializeDispatcherHeader(&semaphore, 5, false);
             (void)KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr);
         },
         "STOP: wait on the object at 0x[0-9a-f]+ of dispatcher type 5"},
    };
    for (const SyncBreach& row : breaches) {
        SCOPED_TRACE(row.what);
        EXPECT_DEATH(row.breach(), row.report);
    }
}

class ExecutiveConcurrentTest : public ExecutiveFixture {};

TEST_F(ExecutiveConcurrentTest, ContendedFastMutexBlocksUntilReleased)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    bool acquiredByOther = false;  // written under the mutex only
    std::thread other([&] {
        ExAcquireFastMutex(&mutex);
        acquiredByOther = true;
        ExReleaseFastMutex(&mutex);
    });
    vexsim::WaitForBlockedWaiters(1);
    EXPECT_FALSE(acquiredByOther);
    EXPECT_EQ(mutex.Contention, 1u);
    ExReleaseFastMutex(&mutex);
    other.join();
    EXPECT_TRUE(acquiredByOther);
    EXPECT_EQ(mutex.Count, 1);
}

TEST_F(ExecutiveConcurrentTest, FastMutexSerialisesManyThreads)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;  // deliberately not atomic: the mutex alone protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ExAcquireFastMutex(&mutex);
                ++counter;
                ExReleaseFastMutex(&mutex);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 2000);
}

TEST_F(ExecutiveConcurrentTest, NotificationEventWakesEveryWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<NTSTATUS> results(3, STATUS_PENDING);
    std::vector<std::thread> waiters;
    for (NTSTATUS& result : results) {
        waiters.emplace_back([&event, &result] {
            result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        });
    }
    vexsim::WaitForBlockedWaiters(3);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(results, std::vector<NTSTATUS>(3, STATUS_SUCCESS));
    EXPECT_NE(KeReadStateEvent(&event), 0);
}

TEST_F(ExecutiveConcurrentTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT gate;
    KEVENT passed;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    KeInitializeEvent(&passed, SynchronizationEvent, FALSE);
    constexpr int kWaiters = 3;
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            EXPECT_EQ(KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            KeSetEvent(&passed, IO_NO_INCREMENT, FALSE);
        });
    }
    vexsim::WaitForBlockedWaiters(kWaiters);
    for (int i = 0; i < kWaiters; ++i) {
        KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
        ASSERT_EQ(KeWaitForSingleObject(&passed, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        LARGE_INTEGER poll = Timeout(0);
        EXPECT_EQ(KeWaitForSingleObject(&passed, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT)
            << "set " << i << " let more than one waiter through";
    }
    for (std::thread& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(KeReadStateEvent(&gate), 0) << "the last released waiter reset the gate";
}

TEST_F(ExecutiveConcurrentTest, RelativeTimeoutExpiresOnlyWhenTheClockPassesIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    LONGLONG interruptTimeAtReturn = -1;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Timeout(-1000);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        interruptTimeAtReturn = vexsim::SimulatedInterruptTime();
    });
    vexsim::WaitForBlockedWaiters(1);
    // Setting system time leaves a relative wait alone; advancing short of the deadline too.
    vexsim::SetSimulatedSystemTime(config.systemTime + 1000000);
    vexsim::AdvanceSimulatedClock(999);
    vexsim::AdvanceSimulatedClock(1);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_GE(interruptTimeAtReturn, 1000) << "the wait ended before its deadline";
}

TEST_F(ExecutiveConcurrentTest, AbsoluteTimeoutFollowsTheSystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    LONGLONG due = config.systemTime + 5000;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Timeout(due);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    vexsim::WaitForBlockedWaiters(1);
    vexsim::SetSimulatedSystemTime(due);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(vexsim::SimulatedInterruptTime(), 0) << "only the system time moved";
}

TEST_F(ExecutiveConcurrentTest, DelayEndsWhenTheClockIsAdvanced)
{
    NTSTATUS status = STATUS_PENDING;
    LONGLONG interruptTimeAtReturn = -1;
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Timeout(-500);
        status = KeDelayExecutionThread(KernelMode, FALSE, &interval);
        interruptTimeAtReturn = vexsim::SimulatedInterruptTime();
    });
    vexsim::WaitForBlockedWaiters(1);
    vexsim::AdvanceSimulatedClock(499);
    vexsim::AdvanceSimulatedClock(1);
    sleeper.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_GE(interruptTimeAtReturn, 500);
}

TEST_F(ExecutiveConcurrentTest, SignalledThreadObjectWakesItsWaiter)
{
    DISPATCHER_HEADER thread;
    vexsim::InitializeDispatcherHeader(&thread, vexsim::kThreadObject, false);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] { status = KeWaitForSingleObject(&thread, Executive, KernelMode, FALSE, nullptr); });
    vexsim::WaitForBlockedWaiters(1);
    vexsim::SignalDispatcherObject(&thread);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
}

}  // namespace
