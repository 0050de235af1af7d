// Allocation-failure injection. One mutex guards the installed modes and the random generator;
// the counters are atomics so they can be read without it.
#include "sim/executive/fault_injection.h"

#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>

namespace vexsim {

namespace {

struct InjectionState {
    std::mutex lock;
    ULONG64 countdown = 0;  // requests left until the failing one; 0 = no countdown
    FailureRepeat countdownRepeat = FailureRepeat::Once;
    bool countdownExpired = false;  // a persistent countdown has reached its request
    std::set<ULONG> failingTags;
    double probability = 0.0;
    std::mt19937_64 generator;
};

InjectionState g_injection;
ULONG64 g_referenceCountdown = 0;  // guarded by g_injection.lock
NTSTATUS g_referenceStatus = STATUS_SUCCESS;
std::atomic<ULONG64> g_requests{0};
std::atomic<ULONG64> g_injected{0};

bool CountdownFails(InjectionState& state)
{
    if (state.countdownExpired) {
        return true;
    }
    if (state.countdown == 0) {
        return false;
    }
    if (--state.countdown != 0) {
        return false;
    }
    state.countdownExpired = state.countdownRepeat == FailureRepeat::Persistent;
    return true;
}

bool RandomFails(InjectionState& state)
{
    if (state.probability <= 0.0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(state.generator) < state.probability;
}

}  // namespace

bool ShouldFailAllocation(ULONG tag)
{
    ++g_requests;
    std::lock_guard<std::mutex> guard(g_injection.lock);
    // Every mode is consulted on every request so the countdown and the generator advance the
    // same way whether or not another mode already failed this request.
    bool countdown = CountdownFails(g_injection);
    bool random = RandomFails(g_injection);
    bool byTag = g_injection.failingTags.count(tag) != 0;
    if (countdown || random || byTag) {
        ++g_injected;
        return true;
    }
    return false;
}

void FailNthAllocation(ULONG64 n, FailureRepeat repeat)
{
    std::lock_guard<std::mutex> guard(g_injection.lock);
    g_injection.countdown = n;
    g_injection.countdownRepeat = repeat;
    g_injection.countdownExpired = false;
}

void FailAllocationsWithTag(ULONG tag)
{
    std::lock_guard<std::mutex> guard(g_injection.lock);
    g_injection.failingTags.insert(tag);
}

void FailAllocationsRandomly(uint64_t seed, double probability)
{
    if (!(probability >= 0.0 && probability <= 1.0)) {
        throw std::invalid_argument("allocation failure probability must lie in 0..1");
    }
    std::lock_guard<std::mutex> guard(g_injection.lock);
    g_injection.probability = probability;
    g_injection.generator.seed(seed);
}

void ClearAllocationFailures()
{
    std::lock_guard<std::mutex> guard(g_injection.lock);
    g_injection.countdown = 0;
    g_injection.countdownExpired = false;
    g_injection.failingTags.clear();
    g_injection.probability = 0.0;
}

ULONG64 AllocationRequestCount()
{
    return g_requests.load();
}

ULONG64 InjectedFailureCount()
{
    return g_injected.load();
}

ULONG64 ForEachAllocationFailure(const std::function<void()>& operation,
                                 const std::function<void(ULONG64 failingRequest)>& check)
{
    ClearAllocationFailures();
    ULONG64 before = AllocationRequestCount();
    operation();
    ULONG64 points = AllocationRequestCount() - before;
    for (ULONG64 i = 1; i <= points; ++i) {
        FailNthAllocation(i, FailureRepeat::Once);
        operation();
        ClearAllocationFailures();
        check(i);
    }
    return points;
}

void FailNthHandleReference(ULONG64 n, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(g_injection.lock);
    g_referenceCountdown = n;
    g_referenceStatus = status;
}

bool ShouldFailHandleReference(NTSTATUS* status)
{
    std::lock_guard<std::mutex> guard(g_injection.lock);
    if (g_referenceCountdown == 0 || --g_referenceCountdown != 0) {
        return false;
    }
    *status = g_referenceStatus;
    return true;
}

void ResetFaultInjection()
{
    ClearAllocationFailures();
    FailNthHandleReference(0, STATUS_SUCCESS);
    g_requests = 0;
    g_injected = 0;
}

}  // namespace vexsim
