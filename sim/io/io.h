// The I/O manager's host API: driver objects for the machine, the user-mode side of device
// I/O, the delayed work queue, and the records the unload check reads. Host code only.
//
// Devices and symbolic links live in the object namespace; the I/O manager also keeps the
// devices in creation order and the links IoCreateSymbolicLink made, under the I/O lock, for the
// unload check. Requests run synchronously in the caller's thread: a dispatch routine must
// complete its IRP before returning.
#pragma once

#include "sim/core/components.h"

#include <functional>
#include <string>
#include <vector>

namespace vexsim {

// Pool tags under which the I/O manager asks the allocation hook before creating a device, a
// symbolic link or a work item; each comes from pool on Windows and fails with it under low
// resources. The tags are this kernel's choice (Windows's own are not documented); they show
// reversed in pool dumps: "Devi", "Symb", "IoWk".
constexpr ULONG kDeviceObjectTag = 'iveD';
constexpr ULONG kSymbolicLinkTag = 'bmyS';
constexpr ULONG kWorkItemTag = 'kWoI';

// Creates the driver object "\Driver\<name>" (one reference, the caller's) for a driver loaded
// from an image with these flags. Every major function starts out answering
// STATUS_INVALID_DEVICE_REQUEST, as on Windows.
PDRIVER_OBJECT CreateDriverObject(const std::u16string& name, const DriverImage& image = DriverImage{});

// Was the driver whose code runs linked with the integrity-check flag? Windows asks this of the
// image holding a routine a driver registers; the simulated machine runs one driver at a time,
// the one whose object was created last and not deleted (true when there is none).
bool RunningDriverHasForceIntegrity();

// Takes the driver object's name away and drops the caller's reference.
void DeleteDriverObject(PDRIVER_OBJECT driver);

// What the I/O manager does after a successful DriverEntry: clears DO_DEVICE_INITIALIZING on
// the driver's devices so they can be opened.
void FinishDriverInitialization(PDRIVER_OBJECT driver);

// User-mode calls: valid only inside a UserModeScope (the caller acts as a user process).
// Opens a device by its Win32 name (\\.\VexRegFilter) or NT name (\??\VexRegFilter,
// \Device\VexRegFilter), sending IRP_MJ_CREATE; the handle goes to the process's table.
[[nodiscard]] NTSTATUS UserOpenFile(const std::u16string& path, ACCESS_MASK desiredAccess, HANDLE* handle);
// Closes any handle of the process; closing a file's last handle sends IRP_MJ_CLEANUP, and
// IRP_MJ_CLOSE follows when the last reference goes.
[[nodiscard]] NTSTATUS UserCloseHandle(HANDLE handle);
// DeviceIoControl on an open device: METHOD_BUFFERED and METHOD_NEITHER. The buffers are the
// process's memory (process_memory.h): for METHOD_BUFFERED the input is captured and the output
// probed for writing before the driver runs, and a fault in either answers
// STATUS_ACCESS_VIOLATION without reaching it.
[[nodiscard]] NTSTATUS UserDeviceIoControl(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength,
                                           void* output, ULONG outputLength, ULONG* bytesReturned);

// What another thread of the calling process does while a request is on its way to the driver:
// the hook runs in the caller's thread after the I/O manager captured and probed the buffers and
// before the dispatch routine runs (unmapping the output buffer there is what a driver's guarded
// writes must survive). One hook for the next request only; null clears it.
void SetBeforeDispatchHook(std::function<void()> hook);

// The byte the I/O manager leaves in a METHOD_BUFFERED system buffer past the input: Windows
// allocates the buffer from pool without clearing it, so a driver that reads past the input sees
// stale bytes, never a convenient NUL.
constexpr unsigned char kStaleSystemBufferByte = 0xA5;

// Blocks until the delayed work queue is empty and its worker is not running an item.
void WaitForWorkQueueIdle();

}  // namespace vexsim
