#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <atomic>
#include <cstring>

namespace vexsim {

namespace {

_OBJECT_TYPE g_driverType{"Driver", {0, 0, 0, STANDARD_RIGHTS_ALL}, STANDARD_RIGHTS_ALL, nullptr, nullptr, nullptr};

// The image flags of the newest live driver object; none when no driver object exists.
std::atomic<PDRIVER_OBJECT> g_runningDriver{nullptr};
std::atomic<USHORT> g_runningDllCharacteristics{0};

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

POBJECT_TYPE DriverObjectType()
{
    return &g_driverType;
}

bool RunningDriverHasForceIntegrity()
{
    return g_runningDriver.load() == nullptr || (g_runningDllCharacteristics.load() & kImageDllForceIntegrity) != 0;
}

PDRIVER_OBJECT CreateDriverObject(const std::u16string& name, const DriverImage& image)
{
    std::u16string fullName = u"\\Driver\\" + name;
    size_t nameBytes = fullName.size() * sizeof(WCHAR);
    // The name's characters follow the DRIVER_OBJECT in the same body, NUL-terminated.
    PVOID body = CreateObject(&g_driverType, sizeof(DRIVER_OBJECT) + nameBytes + sizeof(WCHAR), fullName);
    auto* driver = static_cast<PDRIVER_OBJECT>(body);
    auto* chars = reinterpret_cast<WCHAR*>(driver + 1);
    std::memcpy(chars, fullName.data(), nameBytes);
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverName.Length = static_cast<USHORT>(nameBytes);
    driver->DriverName.MaximumLength = static_cast<USHORT>(nameBytes + sizeof(WCHAR));
    driver->DriverName.Buffer = chars;
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    if (!NT_SUCCESS(InsertObjectName(fullName, driver))) {
        StopMachine("a driver named " + Utf16ToUtf8(fullName) + " is already loaded");
    }
    g_runningDllCharacteristics = image.dllCharacteristics;
    g_runningDriver = driver;
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    PDRIVER_OBJECT expected = driver;
    g_runningDriver.compare_exchange_strong(expected, nullptr);
    RemoveObjectName(HeaderOf(driver).name, driver);
    DereferenceObject(driver);
}

}  // namespace vexsim
