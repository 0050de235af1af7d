// The user-mode side of device I/O: what CreateFile, CloseHandle and DeviceIoControl become in
// the kernel. Each runs in the calling host thread as the process of the caller's UserModeScope,
// with previous mode UserMode at PASSIVE_LEVEL.
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/user_mode_scope.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace vexsim {

namespace {

// \\.\X is the Win32 form of \??\X.
std::u16string NtNameOf(const std::u16string& path)
{
    const std::u16string win32Device = u"\\\\.\\";
    if (path.compare(0, win32Device.size(), win32Device) == 0) {
        return u"\\??\\" + path.substr(win32Device.size());
    }
    return CanonicalName(path);
}

bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The rights an I/O control code demands of the handle (bits 14-15 of the code).
ACCESS_MASK RequiredAccess(ULONG ioControlCode)
{
    ULONG access = (ioControlCode >> 14) & 3;
    return ((access & FILE_READ_ACCESS) ? kFileReadData : 0) | ((access & FILE_WRITE_ACCESS) ? kFileWriteData : 0);
}

std::mutex g_hookLock;
std::function<void()> g_beforeDispatch;  // guarded by g_hookLock

void RunBeforeDispatchHook()
{
    std::function<void()> hook;
    {
        std::lock_guard lock(g_hookLock);
        hook.swap(g_beforeDispatch);
    }
    if (hook) {
        hook();
    }
}

// What the I/O manager does with a METHOD_BUFFERED request's buffers before the driver sees it:
// the system buffer of max(input, output) bytes holds the captured input and stale pool bytes
// after it, and the output range is probed for writing.
NTSTATUS CaptureBufferedRequest(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                                std::vector<char>& systemBuffer)
{
    systemBuffer.assign(std::max(inputLength, outputLength), static_cast<char>(kStaleSystemBufferByte));
    NTSTATUS status = CopyFromCaller(UserMode, systemBuffer.data(), input, inputLength);
    if (NT_SUCCESS(status)) {
        status = ProbeCaller(UserMode, output, outputLength, true);
    }
    return status;
}

}  // namespace

void SetBeforeDispatchHook(std::function<void()> hook)
{
    std::lock_guard lock(g_hookLock);
    g_beforeDispatch = std::move(hook);
}

// A device still initializing (its driver's DriverEntry has not returned) cannot be opened.
NTSTATUS UserOpenFile(const std::u16string& path, ACCESS_MASK desiredAccess, HANDLE* handle)
{
    RequireUserMode("UserOpenFile");
    *handle = nullptr;
    PDEVICE_OBJECT device;
    NTSTATUS status = ResolveDevice(NtNameOf(path), &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (device->Flags & DO_DEVICE_INITIALIZING) {
        DereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    PFILE_OBJECT file = CreateFileObject(device);  // takes over the resolution's reference
    auto request = BuildIrp(IRP_MJ_CREATE, device, file);
    status = CallDriver(*request);
    if (NT_SUCCESS(status)) {
        BodyOf(file).createSucceeded = true;
        *handle = OpenHandle(file, 0, MapAccess(*IoFileObjectType, desiredAccess));
    }
    DereferenceObject(file);
    return status;
}

NTSTATUS UserCloseHandle(HANDLE handle)
{
    RequireUserMode("UserCloseHandle");
    return CloseHandle(handle, UserMode);
}

// METHOD_BUFFERED as the I/O manager builds it (CaptureBufferedRequest); after completion, unless
// the status is an error, IoStatus.Information bytes (never more than the output length) go back
// to the caller's output buffer. The direct methods need memory descriptor lists, which this
// kernel does not model.
NTSTATUS UserDeviceIoControl(HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                             ULONG outputLength, ULONG* bytesReturned)
{
    RequireUserMode("UserDeviceIoControl");
    *bytesReturned = 0;
    PVOID object;
    HandleEntry entry;
    NTSTATUS status = ReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file = static_cast<PFILE_OBJECT>(object);
    ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    ACCESS_MASK required = RequiredAccess(ioControlCode);
    if ((entry.grantedAccess & required) != required) {
        status = STATUS_ACCESS_DENIED;
    } else if (method != METHOD_BUFFERED && method != METHOD_NEITHER) {
        status = STATUS_NOT_SUPPORTED;
    } else {
        auto request = BuildIrp(IRP_MJ_DEVICE_CONTROL, file->DeviceObject, file);
        auto& parameters = request->stack.Parameters.DeviceIoControl;
        parameters.IoControlCode = ioControlCode;
        parameters.InputBufferLength = inputLength;
        parameters.OutputBufferLength = outputLength;
        request->irp.UserBuffer = output;
        std::vector<char> systemBuffer;
        if (method == METHOD_BUFFERED) {
            status = CaptureBufferedRequest(input, inputLength, output, outputLength, systemBuffer);
            request->irp.AssociatedIrp.SystemBuffer = systemBuffer.empty() ? nullptr : systemBuffer.data();
        } else {
            parameters.Type3InputBuffer = const_cast<void*>(input);
            status = STATUS_SUCCESS;
        }
        if (NT_SUCCESS(status)) {
            RunBeforeDispatchHook();
            status = CallDriver(*request);
            ULONG_PTR information = request->irp.IoStatus.Information;
            if (!IsError(status)) {
                if (method == METHOD_BUFFERED) {
                    information = std::min<ULONG_PTR>(information, outputLength);
                    NTSTATUS copied = CopyToCaller(UserMode, output, systemBuffer.data(), information);
                    status = NT_SUCCESS(copied) ? status : copied;
                }
                *bytesReturned = static_cast<ULONG>(information);
            }
        }
    }
    DereferenceObject(object);
    return status;
}

}  // namespace vexsim
