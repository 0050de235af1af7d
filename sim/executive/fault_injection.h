// Allocation-failure injection. The production code never knows: every allocating service of the
// simulated kernel (ExAllocatePoolWithTag, IoAllocateWorkItem, ...) asks ShouldFailAllocation
// first and returns its failure when told to. Tests install the failures.
//
// Modes (any combination; an allocation fails when any installed mode says so):
//   countdown - the Nth allocation request from now fails; once, or that one and every later one;
//   by tag    - every request with one of the chosen tags fails;
//   random    - each request fails with a probability, from a seeded generator (reproducible).
// Every request is counted, failed or not, so a test can measure how many allocation points an
// operation has and then fail each one in turn (ForEachAllocationFailure).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>

namespace vexsim {

// The allocation hook: counts the request and says whether it must fail. Thread-safe.
bool ShouldFailAllocation(ULONG tag);

enum class FailureRepeat { Once, Persistent };

// The nth request from now fails (n = 1: the very next); Persistent also fails every later one.
// n = 0 removes the countdown.
void FailNthAllocation(ULONG64 n, FailureRepeat repeat = FailureRepeat::Once);

// Every request with this tag fails until the failures are cleared.
void FailAllocationsWithTag(ULONG tag);

// Each request fails with the given probability (0..1), drawn from a generator seeded with seed.
void FailAllocationsRandomly(uint64_t seed, double probability);

// Removes every installed failure; counters keep running.
void ClearAllocationFailures();

// Requests seen since boot, and how many of them were failed on purpose.
ULONG64 AllocationRequestCount();
ULONG64 InjectedFailureCount();

// Walks every failure point of an operation: runs it once without failures to count its
// allocation requests N, then for i = 1..N runs it again with the i-th request failing and calls
// check(i) after each run. The operation must leave the machine as it found it (undo its own
// effects, whatever the outcome) so every run starts from the same state. Returns N. Installed
// failures are cleared before the walk and after it.
ULONG64 ForEachAllocationFailure(const std::function<void()>& operation,
                                 const std::function<void(ULONG64 failingRequest)>& check);

// Handle references. ObReferenceObjectByHandle cannot fail for a driver's own valid kernel handle
// on a healthy machine, yet drivers must handle its failure; this makes the nth call from now
// (n = 1: the very next, from any thread) fail with the given status. n = 0 removes it.
void FailNthHandleReference(ULONG64 n, NTSTATUS status);
// The hook ObReferenceObjectByHandle asks first: whether this call fails, and with what status.
bool ShouldFailHandleReference(NTSTATUS* status);

// Boot state: no failures, counters at zero.
void ResetFaultInjection();

}  // namespace vexsim
