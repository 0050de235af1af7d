// Create-process and load-image notify routines: the registrations and the calls. Host code only.
//
// Each table holds at most 64 routines in registration order and is guarded by the notify lock,
// which is never held while a routine runs. A removal waits until no call of that routine is in
// flight, as on Windows; a routine must not remove itself. Registrations left at the unload check
// are the driver's leftovers.
#pragma once

#include "sim/core/kernel.h"
#include "sim/core/components.h"

#include <functional>

namespace vexsim {

// Calls the create-process routines in registration order, in the creator's context.
void NotifyProcessCreate(PEPROCESS creator, PEPROCESS process, PPS_CREATE_NOTIFY_INFO info);

// Calls the create-process routines with no creation information, in the exiting process's
// context.
void NotifyProcessExit(PEPROCESS process);

// Calls the load-image routines in the loading process's context.
void NotifyImageLoad(PEPROCESS process, PUNICODE_STRING fullImageName, PIMAGE_INFO info);

// Waits until the create-process routine is not registered: it never was, or its removal has
// begun (the removal itself may still be waiting for calls in flight).
void WaitForCreateRoutineRemoval(PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine);

void ResetNotifyRoutines();
void ReportNotifyRoutines(Leftovers& out);

// Runs body in the context of the process's main thread (kernel mode, PASSIVE_LEVEL); for the
// System process, in the caller's own context.
void RunAsProcess(PEPROCESS process, const std::function<void()>& body);

}  // namespace vexsim
