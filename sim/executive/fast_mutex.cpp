// Fast mutexes on the dispatcher lock.
//
// FAST_MUTEX fields as this kernel uses them, all guarded by the dispatcher lock: Count is 1 when
// free and 0 when owned; Owner is the owning thread object (CurrentContext().thread); Contention
// counts acquisitions that had to wait. OldIrql belongs to the owner: written after acquisition,
// read at release. Acquiring raises to APC_LEVEL and releasing restores the saved IRQL. Misuse a
// real fast mutex would turn into a deadlock or silent corruption stops the machine instead:
// recursion by the owner, release by a thread that does not own it, the IRQL rules, and an order of
// acquisition that closes a cycle with the orders seen before (lock_order.h), checked before the
// thread may block, so the report comes instead of the hang.
#include "sim/core/kernel.h"
#include "sim/executive/bugcheck.h"
#include "sim/executive/dispatcher.h"
#include "sim/executive/lock_order.h"

namespace {

using namespace vexsim;

ULONG_PTR AsParameter(const void* pointer)
{
    return reinterpret_cast<ULONG_PTR>(pointer);
}

void CheckAcquireIrql(const char* service, PFAST_MUTEX mutex, KIRQL irql)
{
    if (irql > APC_LEVEL) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierFastMutexAcquireAboveApc, irql, AsParameter(mutex), 0,
                 std::string(service) + " of fast mutex " + FormatAddress(mutex) + " at IRQL " +
                     std::to_string(irql) + " (above APC_LEVEL)");
    }
}

// Caller holds the dispatcher lock.
void CheckNotRecursive(const char* service, PFAST_MUTEX mutex, PETHREAD thread)
{
    if (mutex->Owner == thread) {
        BugCheck(kDriverVerifierDetectedViolation, kVerifierRecursiveAcquisition, AsParameter(mutex),
                 AsParameter(thread), 0,
                 std::string(service) + ": recursive acquisition of fast mutex " + FormatAddress(mutex) +
                     " by its owner thread " + FormatAddress(thread) + " (fast mutexes are not recursive)");
    }
}

// Caller holds the dispatcher lock and has seen the mutex free.
void TakeOwnership(PFAST_MUTEX mutex, ThreadContext& context, const void* site)
{
    LockTaken(mutex, site);
    mutex->Count = 0;
    mutex->Owner = context.thread;
    mutex->OldIrql = context.irql;
    context.irql = APC_LEVEL;
}

}  // namespace

extern "C" VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    LockInitialized(FastMutex);
}

extern "C" VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadContext& context = CurrentContext();
    CheckAcquireIrql("ExAcquireFastMutex", FastMutex, context.irql);
    std::unique_lock<std::mutex> lock(DispatcherLock());
    CheckNotRecursive("ExAcquireFastMutex", FastMutex, context.thread);
    const void* site = __builtin_return_address(0);
    CheckLockOrder(FastMutex, site);
    if (FastMutex->Count == 0) {
        ++FastMutex->Contention;
        while (FastMutex->Count == 0) {
            BlockOnDispatcher(lock);
        }
    }
    TakeOwnership(FastMutex, context, site);
}

extern "C" BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadContext& context = CurrentContext();
    CheckAcquireIrql("ExTryToAcquireFastMutex", FastMutex, context.irql);
    std::lock_guard<std::mutex> guard(DispatcherLock());
    // Windows answers FALSE here; an owner trying its own mutex is the same logic error as a
    // recursive acquire, so it stops the machine.
    CheckNotRecursive("ExTryToAcquireFastMutex", FastMutex, context.thread);
    if (FastMutex->Count == 0) {
        return FALSE;
    }
    TakeOwnership(FastMutex, context, __builtin_return_address(0));
    return TRUE;
}

extern "C" VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadContext& context = CurrentContext();
    KIRQL restored;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        if (FastMutex->Owner != context.thread) {
            BugCheck(kDriverVerifierDetectedViolation, kVerifierReleaseByNonOwner, AsParameter(FastMutex),
                     AsParameter(FastMutex->Owner), AsParameter(context.thread),
                     "ExReleaseFastMutex: release of fast mutex " + FormatAddress(FastMutex) + " by thread " +
                         FormatAddress(context.thread) + ", which does not own it (" +
                         (FastMutex->Owner == nullptr ? std::string("it is not held")
                                                      : "owner " + FormatAddress(FastMutex->Owner)) +
                         ")");
        }
        if (context.irql != APC_LEVEL) {
            BugCheck(kDriverVerifierDetectedViolation, kVerifierFastMutexReleaseNotAtApc, context.irql,
                     AsParameter(FastMutex), 0,
                     "ExReleaseFastMutex of fast mutex " + FormatAddress(FastMutex) + " at IRQL " +
                         std::to_string(context.irql) + " (must be APC_LEVEL)");
        }
        restored = static_cast<KIRQL>(FastMutex->OldIrql);
        FastMutex->Owner = nullptr;
        FastMutex->Count = 1;
        LockReleased(FastMutex);
        DispatcherCondition().notify_all();
    }
    context.irql = restored;
}
