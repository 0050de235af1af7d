// Lock-order checking, as Driver Verifier's deadlock detection does it: every time a thread takes
// a lock while holding others, the order "held before taken" becomes an edge of one graph kept
// for the whole boot. The first edge that closes a cycle stops the machine with a report naming
// the locks of the cycle and, for each order, where it was first seen. A cycle is a deadlock
// waiting for the wrong interleaving, so it is reported even when no thread ever blocked.
//
// Locks are instances (their addresses), not classes: a lock whose memory is initialised again
// (ExInitializeFastMutex on the same address, as when pool is reused) starts as a new lock with no
// edges. A try-acquire cannot block, so it adds no edge for itself; locks taken while it is held
// do. Events used as locks are not tracked (a wait is not an acquisition).
//
// Cost: an acquisition with nothing held appends to a per-thread list; only a nested acquisition
// looks in the graph, and only a new edge searches it. On from boot; MachineConfig can turn it off
// (benchmarks measuring the fast mutex itself may). Host code only.
#pragma once

#include "platform/platform.h"

#include <utility>
#include <vector>

namespace vexsim {

// Boot state: an empty graph, checking as the configuration says.
void ResetLockOrder(bool enabled);

// The lock hooks of the fast mutexes. Caller holds the dispatcher lock, which serialises the graph;
// `site` is the return address of the driver's call.
void LockInitialized(const void* lock);
// Before a thread may block on the lock: records "each held lock before this one" and stops the
// machine when an order closes a cycle.
void CheckLockOrder(const void* lock, const void* site);
// The thread now owns the lock; then it gave it back.
void LockTaken(const void* lock, const void* site);
void LockReleased(const void* lock);

// The orders recorded so far, as (held, then taken) pairs of lock addresses.
std::vector<std::pair<const void*, const void*>> LockOrders();

}  // namespace vexsim
