// Event objects as a user process holds them: what CreateEvent and WaitForSingleObject become in
// the kernel. Host code only; every call acts as user mode and is valid only inside a
// UserModeScope. Handles go to the process's own table and are closed with UserCloseHandle.
#pragma once

#include "sim/core/kernel.h"

namespace vexsim {

// Creates an unnamed event (an ExEventObjectType object whose body is a KEVENT in the given
// state) and opens a handle to it with the desired access mapped through the event type.
// STATUS_INVALID_PARAMETER for a type that is neither NotificationEvent nor SynchronizationEvent.
[[nodiscard]] NTSTATUS UserCreateEvent(EVENT_TYPE type, BOOLEAN initialState, HANDLE* handle,
                                       ACCESS_MASK desiredAccess = EVENT_ALL_ACCESS);

// Waits on an event or thread handle as NtWaitForSingleObject does: the handle needs SYNCHRONIZE
// (else STATUS_ACCESS_DENIED), other objects cannot be waited on (STATUS_OBJECT_TYPE_MISMATCH).
// The timeout has KeWaitForSingleObject's meaning on the simulated clock; null waits forever.
[[nodiscard]] NTSTATUS UserWaitForSingleObject(HANDLE handle, const LARGE_INTEGER* timeout);

}  // namespace vexsim
