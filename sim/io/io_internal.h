// Records the I/O manager's files share. Host code only.
#pragma once

#include "sim/core/kernel.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vexsim {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

// The body of a file object: the DDK's FILE_OBJECT, then what only the kernel knows of it.
struct FileObjectBody {
    FILE_OBJECT file;
    bool createSucceeded;              // cleanup and close are sent only to files a driver opened
    void (*release)(PFILE_OBJECT);     // the file system's teardown of its contexts; may be null
};

FileObjectBody& BodyOf(PFILE_OBJECT file);

// A new file object on the device (taking over the caller's reference on it), with one internal
// reference owned by the caller.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device);

// File access rights a device I/O control code can demand.
constexpr ACCESS_MASK kFileReadData = 0x0001;
constexpr ACCESS_MASK kFileWriteData = 0x0002;

// An IRP with its single stack location.
struct IrpRequest {
    IRP irp;
    IO_STACK_LOCATION stack;
    bool completed;
};

std::unique_ptr<IrpRequest> BuildIrp(UCHAR majorFunction, PDEVICE_OBJECT device, PFILE_OBJECT file);

// Sends the IRP to the device's driver and checks the dispatch contract: the IRP completed
// before the routine returned, the returned status is the completion status, the IRQL and the
// count of critical regions are unchanged. A breach stops the machine. Returns the dispatch
// routine's status.
NTSTATUS CallDriver(IrpRequest& request);

// A name for reports: the object's name or "<unnamed>".
std::string NameForReport(PVOID object);

// The device a name leads to after following symbolic links, referenced, or the failure.
[[nodiscard]] NTSTATUS ResolveDevice(const std::u16string& canonicalName, PDEVICE_OBJECT* device);

// A symbolic link the machine itself owns (drive letters, \??\UNC): never a driver's leftover.
[[nodiscard]] NTSTATUS CreateSystemSymbolicLink(const std::u16string& name, const std::u16string& target);

// The target of a symbolic-link object; false when the object is no link.
bool SymbolicLinkTarget(PVOID object, std::u16string& target);

void ResetDevices();
void ReportDevices(std::vector<std::string>& out);
void ResetSymbolicLinks();
void ReportSymbolicLinks(std::vector<std::string>& out);
void StartWorkQueue();
void StopWorkQueue();
void ReportWorkItems(std::vector<std::string>& out);
void ResetIrps();

}  // namespace vexsim
