// Handles as the object manager resolves them: the kernel handle table, the current process's
// table and the pseudo handles. Host code only.
//
// Kernel handles carry the high bits (0xFFFFFFFF8xxxxxxx) as on Windows and live in the kernel
// table, which is also the System process's table: a handle opened while the System process is
// current is a kernel handle. Handles without the high bits are looked up in the current
// process's table.
#pragma once

#include "sim/ob/handle_table.h"

namespace vexsim {

HandleTable& KernelHandleTable();

bool IsKernelHandle(HANDLE handle);

// Resolves a handle for a caller of the given previous mode and takes an internal reference on
// the object. UserMode callers cannot use kernel handles and need every desired right granted.
[[nodiscard]] NTSTATUS ReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                               KPROCESSOR_MODE mode, PVOID* object, HandleEntry* entry);

// Opens a handle with the given rights: in the kernel table when attributes carry
// OBJ_KERNEL_HANDLE or the System process is current, else in the current process's table.
HANDLE OpenHandle(PVOID object, ULONG attributes, ACCESS_MASK grantedAccess);

// Closes a handle as NtClose does for a caller of the given previous mode.
[[nodiscard]] NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);

// Unload check: one line per kernel handle still open.
void ReportKernelHandles(std::vector<std::string>& out);

}  // namespace vexsim
