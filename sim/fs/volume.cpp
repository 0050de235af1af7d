// Volumes, the network provider and name resolution down to them; IoVolumeDeviceToDosName.
//
// Life cycle. Volumes live from MountVolume until the machine shuts down; their device objects
// and drive-letter links belong to the machine, never to a driver. At shutdown the containers
// are forgotten and the object store frees the objects.
#include "sim/fs/fs_internal.h"

#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <cstring>
#include <vector>

namespace vexsim {

namespace {

// Pool tag of the DOS names IoVolumeDeviceToDosName hands out (this kernel's choice): "IoDn".
constexpr ULONG kDosNameTag = 'nDoI';
constexpr int kMaxLinkDepth = 32;
constexpr CSHORT kIoTypeVpb = 10;

struct FileSystems {
    PDRIVER_OBJECT driver = nullptr;               // owner of every volume device
    std::vector<std::unique_ptr<Volume>> volumes;  // in mount order; the network provider too
};

std::mutex g_fsLock;
FileSystems g_fs;  // guarded by g_fsLock

Volume* FindVolumeByDevice(PVOID device)
{
    for (auto& volume : g_fs.volumes) {
        if (volume->device == device) {
            return volume.get();
        }
    }
    return nullptr;
}

NTSTATUS AddVolume(const std::u16string& deviceName, bool network, char16_t letter, Volume** added)
{
    if (g_fs.driver == nullptr) {
        g_fs.driver = CreateDriverObject(u"Ntfs");
    }
    auto device = static_cast<PDEVICE_OBJECT>(CreateObject(DeviceObjectType(), sizeof(DEVICE_OBJECT), deviceName));
    device->Type = kIoTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = g_fs.driver;
    ReferenceObject(g_fs.driver);
    NTSTATUS status = InsertObjectName(deviceName, device);
    if (!NT_SUCCESS(status)) {
        DereferenceObject(device);
        return status;
    }
    auto volume = std::make_unique<Volume>();
    volume->deviceName = deviceName;
    volume->device = device;
    volume->network = network;
    volume->letter = letter;
    volume->root.directory = true;
    if (!network) {
        volume->vpb.Type = kIoTypeVpb;
        volume->vpb.Size = sizeof(VPB);
        volume->vpb.DeviceObject = device;  // no separate file-system volume device here
        volume->vpb.RealDevice = device;
        device->Vpb = &volume->vpb;
    }
    *added = volume.get();
    g_fs.volumes.push_back(std::move(volume));
    return STATUS_SUCCESS;
}

}  // namespace

std::mutex& FsLock()
{
    return g_fsLock;
}

std::u16string Upcase(std::u16string text)
{
    for (char16_t& c : text) {
        c = static_cast<char16_t>(RtlUpcaseUnicodeChar(static_cast<WCHAR>(c)));
    }
    return text;
}

std::u16string NtPathOf(const std::u16string& path)
{
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        return u"\\??\\UNC\\" + path.substr(2);
    }
    if (path.size() >= 2 && path[1] == u':') {
        return u"\\??\\" + path;
    }
    return CanonicalName(path);
}

NTSTATUS ResolveToVolume(const std::u16string& ntPath, Volume** volume, std::u16string& remainder)
{
    std::u16string name = ntPath;
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        bool followed = false;
        for (size_t end = 1; end <= name.size() && !followed; ++end) {
            if (end < name.size() && name[end] != u'\\') {
                continue;
            }
            PVOID object = LookupObjectName(name.substr(0, end));
            if (object == nullptr) {
                continue;
            }
            std::u16string target;
            if (SymbolicLinkTarget(object, target)) {
                name = target + name.substr(end);
                followed = true;
            } else {
                Volume* found = FindVolumeByDevice(object);
                DereferenceObject(object);
                if (found == nullptr) {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
                *volume = found;
                remainder = name.substr(end);
                return STATUS_SUCCESS;
            }
            DereferenceObject(object);
        }
        if (!followed) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS MountVolume(ULONG number, char16_t letter)
{
    std::lock_guard lock(g_fsLock);
    std::u16string deviceName = u"\\Device\\HarddiskVolume" + Utf8ToUtf16(std::to_string(number));
    Volume* volume;
    NTSTATUS status = AddVolume(deviceName, false, letter, &volume);
    if (NT_SUCCESS(status) && letter != 0) {
        status = CreateSystemSymbolicLink(u"\\??\\" + std::u16string(1, letter) + u":", deviceName);
        if (!NT_SUCCESS(status)) {
            volume->letter = 0;
        }
    }
    return status;
}

NTSTATUS AddNetworkShare(const std::u16string& server, const std::u16string& share)
{
    std::lock_guard lock(g_fsLock);
    const std::u16string mup = u"\\Device\\Mup";
    Volume* provider = nullptr;
    for (auto& volume : g_fs.volumes) {
        if (volume->network) {
            provider = volume.get();
        }
    }
    if (provider == nullptr) {
        NTSTATUS status = AddVolume(mup, true, 0, &provider);
        if (NT_SUCCESS(status)) {
            status = CreateSystemSymbolicLink(u"\\??\\UNC", mup);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    FsNode* parent = &provider->root;
    for (const std::u16string& name : {server, share}) {
        FsNode* child = FindChild(parent, name);
        if (child == nullptr) {
            auto node = std::make_unique<FsNode>();
            node->name = name;
            node->directory = true;
            node->parent = parent;
            child = node.get();
            parent->children.emplace(Upcase(name), std::move(node));
        }
        parent = child;
    }
    return STATUS_SUCCESS;
}

void ResetFileSystems()
{
    std::lock_guard lock(g_fsLock);
    g_fs = FileSystems{};
}

}  // namespace vexsim

using namespace vexsim;

// The answer is the drive letter and colon of the volume ("C:"), NUL-terminated, in pool the
// caller frees with ExFreePool. A device that is not a mounted volume with a letter gets
// STATUS_INVALID_PARAMETER (this kernel's choice: Windows documents no status for it).
extern "C" NTSTATUS NTAPI IoVolumeDeviceToDosName(PVOID VolumeDeviceObject, PUNICODE_STRING DosName)
{
    if (VolumeDeviceObject == nullptr || DosName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    char16_t letter;
    {
        std::lock_guard lock(FsLock());
        Volume* volume = FindVolumeByDevice(VolumeDeviceObject);
        if (volume == nullptr || volume->letter == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        letter = volume->letter;
    }
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * sizeof(WCHAR), kDosNameTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    buffer[0] = static_cast<WCHAR>(letter);
    buffer[1] = L':';
    buffer[2] = UNICODE_NULL;
    DosName->Buffer = buffer;
    DosName->Length = 2 * sizeof(WCHAR);
    DosName->MaximumLength = 3 * sizeof(WCHAR);
    return STATUS_SUCCESS;
}
