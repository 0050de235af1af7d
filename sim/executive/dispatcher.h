// Dispatcher objects inside the simulated kernel: what other components need to make their own
// objects waitable (thread objects signal when the thread ends) and what the fast mutexes and the
// clock share with the waits. Host code only.
#pragma once

#include "platform/platform.h"

#include <condition_variable>
#include <mutex>

namespace vexsim {

// DISPATCHER_HEADER.Type values the waits understand.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;
constexpr UCHAR kThreadObject = 6;

// Prepares the header of a waitable object (thread objects: kThreadObject, not signalled).
// sizeInLongs is the object's size in LONGs, as the DDK records it.
void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, bool signaled, UCHAR sizeInLongs = 0);

// Signals an object and wakes its waiters. Thread objects stay signalled; a synchronization event
// releases one waiter.
void SignalDispatcherObject(DISPATCHER_HEADER* header);

// Whether the object is signalled right now.
bool IsDispatcherObjectSignaled(const DISPATCHER_HEADER* header);

// The one dispatcher lock guarding every dispatcher header and fast mutex, and the condition
// every blocked host thread sleeps on. Any change that could end a wait notifies all.
std::mutex& DispatcherLock();
std::condition_variable& DispatcherCondition();

// Called by the clock after it moved: timed waits re-check their deadlines.
void WakeTimedWaiters();

// Sleeps on the dispatcher condition (caller holds the lock through `lock`) and counts the
// calling thread as blocked meanwhile. Every blocking kernel wait goes through here.
void BlockOnDispatcher(std::unique_lock<std::mutex>& lock);

// Host side: returns once at least `count` threads are blocked in kernel waits (events, thread
// objects, delays, fast mutexes). Lets a test act only after another thread really waits,
// without sleeping.
void WaitForBlockedWaiters(size_t count);

}  // namespace vexsim
