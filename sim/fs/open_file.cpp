// ZwOpenFile on the simulated file systems, and the file objects it makes.
//
// A file object opened here carries its node in FsContext and its per-open state (the path it
// was opened by and its directory cursor) in FsContext2; the state goes with the object. No
// request reaches a driver: the file systems are the kernel's own.
#include "sim/fs/fs_internal.h"

#include "sim/fs/mailslot.h"
#include "sim/io/io_internal.h"
#include "sim/ob/handles.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

struct FsFileContext {
    FsNode* node;
    std::u16string fileName;  // what FILE_OBJECT.FileName points at
    DirectoryCursor cursor;
};

void ReleaseFsContext(PFILE_OBJECT file)
{
    delete static_cast<FsFileContext*>(file->FsContext2);
    file->FsContext2 = nullptr;
}

FsFileContext* ContextOf(PFILE_OBJECT file)
{
    if (file == nullptr || BodyOf(file).release != ReleaseFsContext) {
        return nullptr;
    }
    return static_cast<FsFileContext*>(file->FsContext2);
}

}  // namespace

PFILE_OBJECT CreateFsFileObject(Volume* volume, FsNode* node, const std::u16string& fileName)
{
    ReferenceObject(volume->device);
    PFILE_OBJECT file = CreateFileObject(volume->device);
    auto* context = new FsFileContext{node, fileName, {}};
    file->Vpb = volume->network ? nullptr : &volume->vpb;
    file->FsContext = node;
    file->FsContext2 = context;
    file->FileName.Buffer = reinterpret_cast<PWSTR>(context->fileName.data());
    file->FileName.Length = static_cast<USHORT>(context->fileName.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    BodyOf(file).release = ReleaseFsContext;
    return file;
}

FsNode* NodeOf(PFILE_OBJECT file)
{
    FsFileContext* context = ContextOf(file);
    return context == nullptr ? nullptr : context->node;
}

DirectoryCursor* CursorOf(PFILE_OBJECT file)
{
    FsFileContext* context = ContextOf(file);
    return context == nullptr ? nullptr : &context->cursor;
}

}  // namespace vexsim

using namespace vexsim;

// Checks in the order the I/O manager and the file system make them: synchronous I/O needs
// SYNCHRONIZE access (STATUS_INVALID_PARAMETER otherwise), the name must lead to an existing
// node, FILE_DIRECTORY_FILE demands a directory (STATUS_NOT_A_DIRECTORY) and
// FILE_NON_DIRECTORY_FILE a file (STATUS_FILE_IS_A_DIRECTORY), and a directory whose listing is
// denied refuses FILE_LIST_DIRECTORY (STATUS_ACCESS_DENIED). Share modes are accepted as given:
// nothing here opens files for writing. A path naming a volume itself opens its root directory;
// a path below the mailslot device opens a mailslot (mailslot.h).
extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    UNREFERENCED_PARAMETER(ShareAccess);
    RequirePassiveLevel("ZwOpenFile");
    if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    ACCESS_MASK granted = MapAccess(*IoFileObjectType, DesiredAccess);
    if ((OpenOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0 && (granted & SYNCHRONIZE) == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((OpenOptions & FILE_DIRECTORY_FILE) != 0 && (OpenOptions & FILE_NON_DIRECTORY_FILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name;
    NTSTATUS status = CaptureObjectName(ObjectAttributes->ObjectName, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool mailslot = false;
    status = OpenMailslotByName(name, granted, ObjectAttributes->Attributes, OpenOptions, FileHandle, &mailslot);
    if (mailslot) {
        if (NT_SUCCESS(status)) {
            IoStatusBlock->Status = STATUS_SUCCESS;
            IoStatusBlock->Information = 1;  // FILE_OPENED
        }
        return status;
    }
    PFILE_OBJECT file = nullptr;
    {
        std::lock_guard lock(FsLock());
        Volume* volume;
        std::u16string remainder;
        FsNode* node = nullptr;
        status = ResolveToVolume(name, &volume, remainder);
        if (NT_SUCCESS(status)) {
            status = WalkPath(volume, remainder, &node);
        }
        if (NT_SUCCESS(status) && (OpenOptions & FILE_DIRECTORY_FILE) != 0 && !node->directory) {
            status = STATUS_NOT_A_DIRECTORY;
        }
        if (NT_SUCCESS(status) && (OpenOptions & FILE_NON_DIRECTORY_FILE) != 0 && node->directory) {
            status = STATUS_FILE_IS_A_DIRECTORY;
        }
        if (NT_SUCCESS(status) && node->directory && node->listingDenied && (granted & FILE_LIST_DIRECTORY) != 0) {
            status = STATUS_ACCESS_DENIED;
        }
        if (NT_SUCCESS(status)) {
            file = CreateFsFileObject(volume, node, remainder.empty() ? u"\\" : remainder);
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *FileHandle = OpenHandle(file, ObjectAttributes->Attributes, granted);
    DereferenceObject(file);
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = 1;  // FILE_OPENED
    return STATUS_SUCCESS;
}

// Only opens: the disk file systems are laid down by the host, and a mailslot is made by its
// server. Every other disposition is refused.
extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                       ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    RequirePassiveLevel("ZwCreateFile");
    if (CreateDisposition != FILE_OPEN || EaBuffer != nullptr || EaLength != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    return ZwOpenFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, ShareAccess, CreateOptions);
}
