// System threads the driver starts with PsCreateSystemThread: each runs on its own host thread
// as a thread of the System process at PASSIVE_LEVEL with previous mode KernelMode. Host code
// only.
//
// A system thread ends when its start routine returns or when it calls PsTerminateSystemThread,
// which unwinds the thread's stack with a private C++ exception caught in the trampoline that
// started it. Unwinding (rather than pthread_exit) keeps the host thread's exit ordinary for the
// C++ runtime and the sanitizers, and lets the trampoline end the thread object and check the
// IRQL on every exit path. Driver code is built without exceptions but with unwind tables, so the
// exception passes through its frames. The registry keeps every started thread's host thread and
// a reference on its object until the machine joins them at shutdown.
#pragma once

#include "sim/ps/thread.h"

#include <vector>

namespace vexsim {

// System threads the driver started that have not ended yet, in start order. The pointers stay
// valid until JoinSystemThreads.
std::vector<PETHREAD> RunningSystemThreads();

// Waits for every system thread to end and forgets them. A thread that never ends blocks this:
// the unload check reports running threads before the machine shuts down.
void JoinSystemThreads();

// Unload check: one line per system thread still running.
void ReportRunningSystemThreads(std::vector<std::string>& out);

}  // namespace vexsim
