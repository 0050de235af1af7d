#include "sim/executive/fault_injection.h"
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <algorithm>
#include <vector>

namespace vexsim {

namespace {

constexpr ULONG kDoExclusive = 0x00000008;

std::mutex g_devicesLock;
std::vector<PDEVICE_OBJECT> g_devices;  // devices not yet deleted, in creation order; guarded by g_devicesLock

void DeleteDevice(PVOID body)
{
    DereferenceObject(static_cast<PDEVICE_OBJECT>(body)->DriverObject);
}

_OBJECT_TYPE g_deviceType{"Device", {0, 0, 0, STANDARD_RIGHTS_ALL}, STANDARD_RIGHTS_ALL, nullptr, DeleteDevice, nullptr};

size_t ExtensionOffset()
{
    return ALIGN_UP_BY(sizeof(DEVICE_OBJECT), 16);
}

}  // namespace

POBJECT_TYPE DeviceObjectType()
{
    return &g_deviceType;
}

std::string NameForReport(PVOID object)
{
    const std::u16string& name = HeaderOf(object).name;
    return name.empty() ? "<unnamed>" : Utf16ToUtf8(name);
}

void FinishDriverInitialization(PDRIVER_OBJECT driver)
{
    std::lock_guard lock(g_devicesLock);
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
}

void ResetDevices()
{
    std::lock_guard lock(g_devicesLock);
    g_devices.clear();
}

void ReportDevices(std::vector<std::string>& out)
{
    std::lock_guard lock(g_devicesLock);
    for (PDEVICE_OBJECT device : g_devices) {
        out.push_back("device " + NameForReport(device) + " of " + NameForReport(device->DriverObject) + " not deleted");
    }
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                         ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject)
{
    if (DriverObject == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = nullptr;
    std::u16string name;
    if (DeviceName != nullptr) {
        NTSTATUS status = CaptureObjectName(DeviceName, name);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (ShouldFailAllocation(kDeviceObjectTag)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID body = CreateObject(&g_deviceType, ExtensionOffset() + DeviceExtensionSize, name);
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    ReferenceObject(DriverObject);
    device->DriverObject = DriverObject;
    if (!name.empty()) {
        NTSTATUS status = InsertObjectName(name, device);
        if (!NT_SUCCESS(status)) {
            DereferenceObject(device);
            return status;
        }
    }
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? kDoExclusive : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<char*>(body) + ExtensionOffset() : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    std::lock_guard lock(g_devicesLock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    g_devices.push_back(device);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    {
        std::lock_guard lock(g_devicesLock);
        auto it = std::find(g_devices.begin(), g_devices.end(), DeviceObject);
        if (it == g_devices.end()) {
            StopMachine("IoDeleteDevice on a device that does not exist or is already deleted");
        }
        g_devices.erase(it);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        *link = DeviceObject->NextDevice;
        DeviceObject->NextDevice = nullptr;
    }
    RemoveObjectName(HeaderOf(DeviceObject).name, DeviceObject);
    // Open files and queued work items keep the object until they let go.
    DereferenceObject(DeviceObject);
}
