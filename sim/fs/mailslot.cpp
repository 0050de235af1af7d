// The mailslot file system: mailslots by name, the files writers open on them, and ZwWriteFile.
//
// A mailslot is shared between the server's table and every file open on it, so a deleted one
// stays alive, unreachable, until its last file goes. The mailslot lock guards the table and
// every mailslot's queue; it is never held while objects are released.
#include "sim/fs/mailslot.h"

#include "sim/io/io_internal.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace vexsim {

namespace {

constexpr std::u16string_view kDevicePrefix = u"\\DEVICE\\MAILSLOT\\";
constexpr std::u16string_view kDosPrefix = u"\\??\\MAILSLOT\\";
const std::u16string kMailslotDevice = u"\\Device\\Mailslot";

struct Mailslot {
    std::deque<std::vector<unsigned char>> messages;
};

// What a file open on a mailslot keeps.
struct MailslotFile {
    std::shared_ptr<Mailslot> slot;
};

std::mutex g_mailslotLock;
std::map<std::u16string, std::shared_ptr<Mailslot>> g_mailslots;  // by upcased name; guarded by g_mailslotLock

std::u16string UpcaseText(std::u16string text)
{
    for (char16_t& c : text) {
        c = RtlUpcaseUnicodeChar(c);
    }
    return text;
}

void ReleaseMailslotFile(PFILE_OBJECT file)
{
    delete static_cast<MailslotFile*>(file->FsContext2);
    file->FsContext2 = nullptr;
}

MailslotFile* MailslotFileOf(PFILE_OBJECT file)
{
    return BodyOf(file).release == ReleaseMailslotFile ? static_cast<MailslotFile*>(file->FsContext2) : nullptr;
}

// The mailslot's name when the path lies below the mailslot device.
bool MailslotNameOf(const std::u16string& path, std::u16string* name)
{
    std::u16string upcased = UpcaseText(path);
    for (std::u16string_view prefix : {kDevicePrefix, kDosPrefix}) {
        if (upcased.size() > prefix.size() && upcased.compare(0, prefix.size(), prefix) == 0) {
            *name = upcased.substr(prefix.size());
            return true;
        }
    }
    return false;
}

}  // namespace

NTSTATUS CreateMailslot(const std::u16string& name)
{
    std::lock_guard lock(g_mailslotLock);
    auto [it, inserted] = g_mailslots.try_emplace(UpcaseText(name), std::make_shared<Mailslot>());
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

std::vector<std::vector<unsigned char>> ReadMailslot(const std::u16string& name)
{
    std::lock_guard lock(g_mailslotLock);
    std::vector<std::vector<unsigned char>> messages;
    auto it = g_mailslots.find(UpcaseText(name));
    if (it != g_mailslots.end()) {
        messages.assign(std::make_move_iterator(it->second->messages.begin()),
                        std::make_move_iterator(it->second->messages.end()));
        it->second->messages.clear();
    }
    return messages;
}

void DeleteMailslot(const std::u16string& name)
{
    std::lock_guard lock(g_mailslotLock);
    g_mailslots.erase(UpcaseText(name));
}

void ResetMailslots()
{
    std::lock_guard lock(g_mailslotLock);
    g_mailslots.clear();
}

NTSTATUS OpenMailslotByName(const std::u16string& path, ACCESS_MASK grantedAccess, ULONG attributes, ULONG openOptions,
                            PHANDLE handle, bool* handled)
{
    std::u16string name;
    *handled = MailslotNameOf(path, &name);
    if (!*handled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((openOptions & FILE_DIRECTORY_FILE) != 0) {
        return STATUS_NOT_A_DIRECTORY;
    }
    std::shared_ptr<Mailslot> slot;
    {
        std::lock_guard lock(g_mailslotLock);
        auto it = g_mailslots.find(name);
        if (it == g_mailslots.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        slot = it->second;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = ResolveDevice(kMailslotDevice, &device);
    if (!NT_SUCCESS(status)) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    PFILE_OBJECT file = CreateFileObject(device);  // takes over the resolution's reference
    file->FsContext2 = new MailslotFile{std::move(slot)};
    if ((openOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0) {
        file->Flags |= FO_SYNCHRONOUS_IO;
    }
    BodyOf(file).release = ReleaseMailslotFile;
    *handle = OpenHandle(file, attributes, grantedAccess);
    DereferenceObject(file);
    return STATUS_SUCCESS;
}

}  // namespace vexsim

using namespace vexsim;

// Only mailslots take writes here; the disk file systems are laid down by the host. The write
// offset and key mean nothing to a mailslot and are not looked at.
// An asynchronous write never completes (see mailslot.h), so its event and APC never fire.
extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                      PULONG Key)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(ByteOffset);
    UNREFERENCED_PARAMETER(Key);
    RequirePassiveLevel("ZwWriteFile");
    if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID object = nullptr;
    NTSTATUS status = ReferenceObjectByHandle(FileHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file = static_cast<PFILE_OBJECT>(object);
    MailslotFile* mailslotFile = MailslotFileOf(file);
    if (mailslotFile == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if ((file->Flags & FO_SYNCHRONOUS_IO) == 0) {
        status = STATUS_PENDING;
    } else {
        const auto* bytes = static_cast<const unsigned char*>(Buffer);
        {
            std::lock_guard lock(g_mailslotLock);
            mailslotFile->slot->messages.emplace_back(bytes, bytes + Length);
        }
        IoStatusBlock->Status = STATUS_SUCCESS;
        IoStatusBlock->Information = Length;
    }
    DereferenceObject(object);
    return status;
}
