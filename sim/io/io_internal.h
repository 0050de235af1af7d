// Records the I/O manager's files share. Host code only.
#pragma once

#include "sim/core/kernel.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A file object opened on a device. The leading fields follow the DDK's FILE_OBJECT.
struct _FILE_OBJECT {
    CSHORT Type;                   // 5
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;   // referenced
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    BOOLEAN createSucceeded;       // cleanup and close are sent only to files the driver opened
};

namespace vexsim {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

// File access rights a device I/O control code can demand.
constexpr ACCESS_MASK kFileReadData = 0x0001;
constexpr ACCESS_MASK kFileWriteData = 0x0002;

// An IRP with its single stack location.
struct IrpRequest {
    IRP irp;
    IO_STACK_LOCATION stack;
    bool completed;
};

std::unique_ptr<IrpRequest> BuildIrp(UCHAR majorFunction, PDEVICE_OBJECT device, _FILE_OBJECT* file);

// Sends the IRP to the device's driver and checks the dispatch contract: the IRP completed
// before the routine returned, the returned status is the completion status, the IRQL is
// unchanged. A breach stops the machine. Returns the dispatch routine's status.
NTSTATUS CallDriver(IrpRequest& request);

// A name for reports: the object's name or "<unnamed>".
std::string NameForReport(PVOID object);

// The device a name leads to after following symbolic links, referenced, or the failure.
[[nodiscard]] NTSTATUS ResolveDevice(const std::u16string& canonicalName, PDEVICE_OBJECT* device);

void ResetDevices();
void ReportDevices(std::vector<std::string>& out);
void ResetSymbolicLinks();
void ReportSymbolicLinks(std::vector<std::string>& out);
void StartWorkQueue();
void StopWorkQueue();
void ReportWorkItems(std::vector<std::string>& out);
void ResetIrps();

}  // namespace vexsim
