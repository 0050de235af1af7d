// Thread objects: what a host thread runs as. Host code only.
//
// Every thread belongs to a process and holds a reference on it. The body begins with a
// DISPATCHER_HEADER (type 6, a thread) so waits treat a thread like any dispatcher object: it is
// signalled when the thread ends. A process's list of live threads is guarded by the process
// lock (see process.h); a thread leaves it when it ends.
#pragma once

#include "sim/core/kernel.h"

#include <atomic>

struct _ETHREAD {
    DISPATCHER_HEADER header;        // first: the thread is a dispatcher object
    ULONG_PTR id;                    // client id, a multiple of 4
    PEPROCESS process;               // referenced
    PKSTART_ROUTINE startRoutine;    // null for adopted host threads and user threads
    LONGLONG createTime;             // 100 ns since 1601
    bool systemThread;               // created by PsCreateSystemThread
    std::atomic<bool> exited;
    NTSTATUS exitStatus;
};

namespace vexsim {

constexpr UCHAR kThreadObjectType = 6;

// Creates a thread of the process (one internal reference, owned by the caller) and adds it to
// the process's live threads.
PETHREAD CreateThreadObject(PEPROCESS process, PKSTART_ROUTINE startRoutine, bool systemThread);

// Ends a thread: it leaves its process's live threads and its dispatcher header is signalled.
// The caller's reference is not released.
void EndThreadObject(PETHREAD thread, NTSTATUS exitStatus);

// The context a host thread has while it runs as the thread: its process, PASSIVE_LEVEL.
ThreadContext ContextOfThread(PETHREAD thread, KPROCESSOR_MODE previousMode);

// Frees the threads adopted from host threads at the end of a machine.
void ForgetAdoptedThreads();

}  // namespace vexsim
