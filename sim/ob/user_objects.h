// The object manager's queries as a user process calls them (NtQueryObject) and the routine the
// kernel and user entries share. Host code only; NtQueryObject is valid only inside a
// UserModeScope and reaches the caller's buffers as the process's memory (process_memory.h).
#pragma once

#include "sim/core/kernel.h"

namespace vexsim {

// ObjectBasicInformation or ObjectNameInformation of the object behind a handle, for a caller of
// the given mode (STATUS_INVALID_INFO_CLASS for other classes).
[[nodiscard]] NTSTATUS QueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS informationClass, PVOID buffer,
                                   ULONG length, PULONG returnLength, KPROCESSOR_MODE mode);

[[nodiscard]] NTSTATUS NtQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                     PVOID ObjectInformation, ULONG ObjectInformationLength, PULONG ReturnLength);

}  // namespace vexsim
