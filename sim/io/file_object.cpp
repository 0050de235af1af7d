// File objects opened on devices. The last handle's close sends IRP_MJ_CLEANUP; the last
// reference's release sends IRP_MJ_CLOSE, in whatever thread lets go of it. A file whose
// IRP_MJ_CREATE failed gets neither.
#include "sim/io/io_internal.h"
#include "sim/ob/object.h"

namespace vexsim {

namespace {

constexpr ACCESS_MASK kFileAppendData = 0x0004;
constexpr ACCESS_MASK kFileReadEa = 0x0008;
constexpr ACCESS_MASK kFileWriteEa = 0x0010;
constexpr ACCESS_MASK kFileExecute = 0x0020;
constexpr ACCESS_MASK kFileReadAttributes = 0x0080;
constexpr ACCESS_MASK kFileWriteAttributes = 0x0100;
constexpr ACCESS_MASK kFileAllAccess = STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF;

void SendToDriver(PFILE_OBJECT file, UCHAR majorFunction)
{
    auto request = BuildIrp(majorFunction, file->DeviceObject, file);
    (void)CallDriver(*request);
}

void CloseFile(PVOID body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    if (BodyOf(file).createSucceeded) {
        SendToDriver(file, IRP_MJ_CLEANUP);
    }
}

void DeleteFile(PVOID body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    if (BodyOf(file).createSucceeded) {
        SendToDriver(file, IRP_MJ_CLOSE);
    }
    if (BodyOf(file).release != nullptr) {
        BodyOf(file).release(file);
    }
    DereferenceObject(file->DeviceObject);
}

std::string DescribeFile(PVOID body)
{
    return "on " + NameForReport(static_cast<PFILE_OBJECT>(body)->DeviceObject);
}

_OBJECT_TYPE g_fileType{
    "File",
    {STANDARD_RIGHTS_READ | kFileReadData | kFileReadAttributes | kFileReadEa | SYNCHRONIZE,
     STANDARD_RIGHTS_WRITE | kFileWriteData | kFileWriteAttributes | kFileWriteEa | kFileAppendData | SYNCHRONIZE,
     STANDARD_RIGHTS_EXECUTE | kFileReadAttributes | kFileExecute | SYNCHRONIZE,
     kFileAllAccess},
    kFileAllAccess,
    CloseFile,
    DeleteFile,
    DescribeFile,
};
POBJECT_TYPE g_fileTypePointer = &g_fileType;

}  // namespace

FileObjectBody& BodyOf(PFILE_OBJECT file)
{
    return *reinterpret_cast<FileObjectBody*>(file);
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device)
{
    auto* body = static_cast<FileObjectBody*>(CreateObject(&g_fileType, sizeof(FileObjectBody)));
    body->file.Type = kIoTypeFile;
    body->file.Size = sizeof(FILE_OBJECT);
    body->file.DeviceObject = device;
    return &body->file;
}

}  // namespace vexsim

extern "C" {
POBJECT_TYPE* IoFileObjectType = &vexsim::g_fileTypePointer;
}
