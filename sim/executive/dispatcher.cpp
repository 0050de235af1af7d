// Dispatcher objects: events, waits and delays.
//
// Invariants: every DISPATCHER_HEADER field of every waitable object is read and written only
// under the dispatcher lock. An object is signalled when SignalState > 0. Satisfying a wait on a
// synchronization event resets it (so one waiter gets through per KeSetEvent); notification
// events and thread objects stay signalled. Blocked host threads sleep on one condition variable
// and re-check their object and deadline on every notification; the lock is held from the check
// to the sleep, so a signal or a clock change cannot slip between them.
//
// Timeouts run on the simulated clock only (see clock.h): a timed wait ends when a test advances
// or sets the clock past its deadline, never because host time passed. Alertable waits and wait
// modes are accepted but the simulated machine delivers no APCs, so waits never end with
// STATUS_ALERTED or STATUS_USER_APC.
#include "sim/executive/dispatcher.h"

#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"
#include "sim/executive/clock.h"

#include <algorithm>
#include <limits>

namespace vexsim {

namespace {

std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherCondition;
// Threads sleeping in BlockOnDispatcher, and the condition observers of that count sleep on
// (separate, so a thread going to sleep never wakes the other sleepers).
size_t g_blockedWaiters = 0;
std::condition_variable g_blockedWaitersChanged;

// When a timed wait gives up, on one of the two clocks.
struct Deadline {
    enum class Kind { Infinite, Poll, InterruptTime, SystemTime } kind;
    LONGLONG time;

    bool Expired() const
    {
        switch (kind) {
        case Kind::Infinite:
            return false;
        case Kind::Poll:
            return true;
        case Kind::InterruptTime:
            return SimulatedInterruptTime() >= time;
        case Kind::SystemTime:
            return SimulatedSystemTime() >= time;
        }
        return true;
    }
};

Deadline DeadlineFor(const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr) {
        return {Deadline::Kind::Infinite, 0};
    }
    LONGLONG value = timeout->QuadPart;
    if (value == 0) {
        return {Deadline::Kind::Poll, 0};
    }
    if (value > 0) {
        return {Deadline::Kind::SystemTime, value};
    }
    // Relative: -value from now on interrupt time, saturating instead of overflowing.
    LONGLONG now = SimulatedInterruptTime();
    LONGLONG interval = value == std::numeric_limits<LONGLONG>::min() ? std::numeric_limits<LONGLONG>::max() : -value;
    LONGLONG due = now > std::numeric_limits<LONGLONG>::max() - interval ? std::numeric_limits<LONGLONG>::max()
                                                                        : now + interval;
    return {Deadline::Kind::InterruptTime, due};
}

void CheckWaitIrql(const char* service, const void* object, const LARGE_INTEGER* timeout)
{
    KIRQL irql = CurrentContext().irql;
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierWaitAtDispatch, irql, reinterpret_cast<ULONG_PTR>(object),
                 reinterpret_cast<ULONG_PTR>(timeout),
                 std::string(service) + " at IRQL " + std::to_string(irql) +
                     (poll ? "" : " with a non-zero timeout") + " (a wait must not block at DISPATCH_LEVEL or above)");
    }
}

// Mutants, semaphores, timers and queues are not part of the simulated kernel; anything else is
// not a dispatcher object at all.
void CheckWaitableType(const DISPATCHER_HEADER* header)
{
    switch (header->Type) {
    case kNotificationEventObject:
    case kSynchronizationEventObject:
    case kThreadObject:
        return;
    default:
        StopMachine("wait on the object at " + FormatAddress(header) + " of dispatcher type " +
                    std::to_string(header->Type) + ", which the simulated kernel cannot wait on");
    }
}

// Takes the object for the waiter; caller holds the dispatcher lock and saw it signalled.
void SatisfyWait(DISPATCHER_HEADER* header)
{
    if (header->Type == kSynchronizationEventObject) {
        header->SignalState = 0;
    }
}

}  // namespace

std::mutex& DispatcherLock()
{
    return g_dispatcherLock;
}

std::condition_variable& DispatcherCondition()
{
    return g_dispatcherCondition;
}

void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, bool signaled, UCHAR sizeInLongs)
{
    std::lock_guard<std::mutex> guard(g_dispatcherLock);
    header->Type = type;
    header->Absolute = 0;
    header->Size = sizeInLongs;
    header->Inserted = 0;
    header->SignalState = signaled ? 1 : 0;
    header->WaitListHead.Flink = &header->WaitListHead;
    header->WaitListHead.Blink = &header->WaitListHead;
}

void SignalDispatcherObject(DISPATCHER_HEADER* header)
{
    std::lock_guard<std::mutex> guard(g_dispatcherLock);
    header->SignalState = 1;
    g_dispatcherCondition.notify_all();
}

bool IsDispatcherObjectSignaled(const DISPATCHER_HEADER* header)
{
    std::lock_guard<std::mutex> guard(g_dispatcherLock);
    return header->SignalState > 0;
}

void BlockOnDispatcher(std::unique_lock<std::mutex>& lock)
{
    ++g_blockedWaiters;
    g_blockedWaitersChanged.notify_all();
    g_dispatcherCondition.wait(lock);
    --g_blockedWaiters;
}

void WaitForBlockedWaiters(size_t count)
{
    std::unique_lock<std::mutex> lock(g_dispatcherLock);
    g_blockedWaitersChanged.wait(lock, [count] { return g_blockedWaiters >= count; });
}

void WakeTimedWaiters()
{
    std::lock_guard<std::mutex> guard(g_dispatcherLock);
    g_dispatcherCondition.notify_all();
}

}  // namespace vexsim

using namespace vexsim;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitializeDispatcherHeader(&Event->Header,
                               Type == SynchronizationEvent ? kSynchronizationEventObject : kNotificationEventObject,
                               State != FALSE, sizeof(KEVENT) / sizeof(LONG));
}

// Wait = TRUE: on Windows KeSetEvent then returns at DISPATCH_LEVEL still holding the dispatcher
// lock, for the caller's next call to be a wait (documented). Here the IRQL goes to DISPATCH_LEVEL
// and the calling thread is marked: its next KeWaitForSingleObject lowers the IRQL back, and any
// other kernel call, or a return into the kernel, stops the machine (see CurrentContext).
// Priority boosts have no effect on a simulated scheduler.
extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        DispatcherCondition().notify_all();
    }
    if (Wait) {
        ThreadContext& context = CurrentContext();
        context.irqlBeforeSetEvent = context.irql;
        context.irql = std::max<KIRQL>(context.irql, DISPATCH_LEVEL);
        context.waitMustFollow = true;
    }
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    return Event->Header.SignalState;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    if (KIRQL before; TakeWaitAfterSetEvent(&before)) {
        CurrentContext().irql = before;  // the wait that KeSetEvent(Wait = TRUE) announced
    }
    CheckWaitIrql("KeWaitForSingleObject", Object, Timeout);
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    Deadline deadline = DeadlineFor(Timeout);

    std::unique_lock<std::mutex> lock(DispatcherLock());
    CheckWaitableType(header);
    for (;;) {
        if (header->SignalState > 0) {
            SatisfyWait(header);
            return STATUS_SUCCESS;
        }
        if (deadline.Expired()) {
            return STATUS_TIMEOUT;
        }
        BlockOnDispatcher(lock);
    }
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    CheckWaitIrql("KeDelayExecutionThread", nullptr, Interval);
    if (Interval == nullptr) {
        // Windows would fault reading the interval.
        BugCheck(kKmodeExceptionNotHandled, static_cast<ULONG>(STATUS_ACCESS_VIOLATION), 0, 0, 0,
                 "KeDelayExecutionThread with a null interval");
    }
    Deadline deadline = DeadlineFor(Interval);

    std::unique_lock<std::mutex> lock(DispatcherLock());
    while (!deadline.Expired()) {
        BlockOnDispatcher(lock);
    }
    return STATUS_SUCCESS;
}
