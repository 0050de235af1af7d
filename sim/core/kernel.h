// Shared internals of the simulated kernel: the per-thread execution context and the machine
// stop. Host code only; driver code never includes this.
//
// Every host thread that runs kernel code has a context: the thread and process it runs as, its
// IRQL and the previous processor mode of the service it is in. Threads the machine creates get
// theirs when they start; any other host thread (a test's main thread) is adopted as a thread of
// the System process at PASSIVE_LEVEL the first time it asks.
#pragma once

#include "platform/platform.h"

#include <string>

namespace vexsim {

struct ThreadContext {
    ULONG64 machine = 0;              // the boot this context belongs to; a stale one is re-adopted
    PETHREAD thread = nullptr;        // the thread this host thread runs as
    PEPROCESS process = nullptr;      // the process whose address space is current (attach changes it)
    KIRQL irql = PASSIVE_LEVEL;
    KPROCESSOR_MODE previousMode = KernelMode;
    LONG criticalRegions = 0;         // KeEnterCriticalRegion calls not yet left (normal kernel APCs off)
    bool waitMustFollow = false;      // KeSetEvent(Wait = TRUE) returned; only a wait may come next
    KIRQL irqlBeforeSetEvent = PASSIVE_LEVEL;  // what that wait lowers the IRQL back to
};

// The calling host thread's context, adopting the thread on first use. Stops the machine while
// a KeSetEvent with Wait = TRUE waits for its wait: nothing but that wait may run then.
ThreadContext& CurrentContext();

// The wait that follows KeSetEvent(Wait = TRUE) takes the pending state: true, with the IRQL to
// return to, when one is pending on this host thread.
bool TakeWaitAfterSetEvent(KIRQL* irqlBeforeSetEvent);

// Supplied by the process component: gives an unadopted host thread a thread object of the
// System process and makes that process current. Stops the machine if none has booted.
void AdoptHostThread(ThreadContext& context);

// What a service documented for PASSIVE_LEVEL only does first: at a higher IRQL (a driver holding
// a fast mutex runs at APC_LEVEL) the machine stops, naming the routine.
void RequirePassiveLevel(const char* routine);

// Sets the context of the calling host thread (threads the machine creates, user-mode calls).
void SetCurrentContext(const ThreadContext& context);

// Counts boots; each boot gets a new number so stale thread contexts are noticed.
ULONG64 CurrentBoot();
void StartNewBoot();

// Stops the machine: writes the report to standard error, beginning with "*** STOP", and ends
// the process. Tests expect stops with death tests.
[[noreturn]] void StopMachine(const std::string& report);

// A bug check with a reason in words; KeBugCheckEx and the verifier checks land here.
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, const std::string& reason);

}  // namespace vexsim
