#include "sim/ps/process_start.h"

#include "sim/fs/fs_internal.h"
#include "sim/ob/object.h"
#include "sim/ps/notify_routines.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/thread.h"
#include "sim/rtl/utf.h"

#include <cstring>

namespace vexsim {

namespace {

// Made-up user addresses: images of 64-bit processes near the top of the user range, 32-bit ones
// at their preferred 0x400000; environment blocks in a range of their own.
constexpr ULONG_PTR kImageBase64 = 0x00007FF600000000ULL;
constexpr ULONG_PTR kImageBase32 = 0x0000000000400000ULL;
constexpr ULONG_PTR kDllBase = 0x00007FFA00000000ULL;
constexpr ULONG_PTR kImageStride = 0x0000000001000000ULL;
// A 64-bit image takes the slot of its process id below the libraries; ids wrap around the
// slots. Each process has an address space of its own, so two processes in one slot never meet:
// distinct slots only keep one process's image address from being valid in the next one's.
constexpr ULONG_PTR kImageSlots = (kDllBase - kImageBase64) / kImageStride;
constexpr ULONG_PTR kPebBase = 0x000000A000000000ULL;
constexpr ULONG_PTR kPageBytes = 0x1000;
constexpr size_t kMaxCountedChars = 0xFFFE / sizeof(WCHAR);

struct ResolvedImage {
    std::u16string devicePath;  // the device path as named (short components stay short)
    std::u16string openName;    // the name the image was opened by: \??\C:\..., \??\UNC\..., or the NT path
    PFILE_OBJECT file;          // referenced
    ImageTraits traits;
};

NTSTATUS ResolveImage(const std::u16string& path, ResolvedImage& image)
{
    image.openName = NtPathOf(path);
    std::lock_guard lock(FsLock());
    Volume* volume;
    std::u16string remainder;
    FsNode* node;
    NTSTATUS status = ResolveToVolume(image.openName, &volume, remainder);
    if (NT_SUCCESS(status)) {
        status = WalkPath(volume, remainder, &node);
    }
    if (NT_SUCCESS(status) && node->directory) {
        status = STATUS_FILE_IS_A_DIRECTORY;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    image.devicePath = volume->deviceName + remainder;
    // Names of more than a counted string's 32,767 characters cannot be handed to anyone.
    if (image.openName.size() > kMaxCountedChars || image.devicePath.size() > kMaxCountedChars) {
        return STATUS_NAME_TOO_LONG;
    }
    image.file = CreateFsFileObject(volume, node, remainder);
    image.traits = node->image;
    return STATUS_SUCCESS;
}

template <typename T>
void Put(std::vector<unsigned char>& bytes, size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

void PutString(std::vector<unsigned char>& bytes, size_t offset, const std::u16string& text, ULONG_PTR address)
{
    UNICODE_STRING string{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                          static_cast<USHORT>((text.size() + 1) * sizeof(WCHAR)), reinterpret_cast<PWSTR>(address)};
    Put(bytes, offset, string);
}

// The environment block, the process parameters and their strings, each on pages of its own.
void MapEnvironment(PEPROCESS process, const std::u16string& dosImagePath, const std::u16string& commandLine)
{
    ULONG_PTR peb = kPebBase + process->id * 0x10000;
    ULONG_PTR parameters = peb + kPageBytes;
    ULONG_PTR strings = parameters + kPageBytes;

    std::vector<unsigned char> pebBytes(kPageBytes);
    Put(pebBytes, kPebImageBaseAddress, process->imageBase);
    Put(pebBytes, kPebProcessParameters, parameters);

    std::vector<unsigned char> stringBytes((dosImagePath.size() + commandLine.size() + 2) * sizeof(WCHAR));
    std::memcpy(stringBytes.data(), dosImagePath.data(), dosImagePath.size() * sizeof(WCHAR));
    ULONG_PTR commandLineAddress = strings + (dosImagePath.size() + 1) * sizeof(WCHAR);
    std::memcpy(stringBytes.data() + (dosImagePath.size() + 1) * sizeof(WCHAR), commandLine.data(),
                commandLine.size() * sizeof(WCHAR));

    std::vector<unsigned char> parameterBytes(kPageBytes);
    Put<ULONG>(parameterBytes, 0, 0x440);  // MaximumLength
    Put<ULONG>(parameterBytes, 4, 0x440);  // Length
    PutString(parameterBytes, kParametersImagePathName, dosImagePath, strings);
    PutString(parameterBytes, kParametersCommandLine, commandLine, commandLineAddress);

    MapProcessMemory(process, peb, std::move(pebBytes));
    MapProcessMemory(process, parameters, std::move(parameterBytes));
    MapProcessMemory(process, strings, std::move(stringBytes));
    process->peb = peb;
}

// The DOS form of a name a process was started by, for its parameters.
std::u16string DosFormOf(const std::u16string& openName, const std::u16string& given)
{
    if (openName.rfind(u"\\??\\UNC\\", 0) == 0) {
        return u"\\\\" + openName.substr(8);
    }
    if (openName.rfind(u"\\??\\", 0) == 0) {
        return openName.substr(4);
    }
    return given;
}

void NotifyImage(PEPROCESS process, const std::u16string& devicePath, ULONG_PTR base)
{
    std::u16string name = devicePath;
    UNICODE_STRING fullImageName = CountedView(name);
    IMAGE_INFO info{};
    info.ImageBase = reinterpret_cast<PVOID>(base);
    info.ImageSize = kPageBytes;
    NotifyImageLoad(process, &fullImageName, &info);
}

}  // namespace

NTSTATUS StartProcess(const StartParams& params, PEPROCESS* process)
{
    *process = nullptr;
    ResolvedImage image;
    NTSTATUS status = ResolveImage(params.imagePath, image);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PEPROCESS parent = params.parent != nullptr ? params.parent : PsInitialSystemProcess;
    PEPROCESS creator = params.creator != nullptr ? params.creator : parent;
    ProcessParams processParams;
    processParams.imagePath = image.devicePath;
    processParams.parentId = parent->id;
    processParams.sessionId = params.sessionId;
    processParams.wow64 = params.wow64.value_or(image.traits.pe32);
    processParams.userSid = params.userSid;
    processParams.administrator = params.administrator;
    processParams.integrityLevel = params.integrityLevel;
    processParams.id = params.id;
    PEPROCESS started = CreateUserProcess(processParams);
    started->imageFile = image.file;
    started->imageBase = image.traits.pe32 ? kImageBase32 : kImageBase64 + (started->id % kImageSlots) * kImageStride;
    MapProcessMemory(started, started->imageBase, ImageHeaders(image.traits.subsystem, image.traits.pe32));
    std::u16string dosPath = DosFormOf(image.openName, params.imagePath);
    std::u16string commandLine = params.commandLine.empty() ? u"\"" + dosPath + u"\"" : params.commandLine;
    MapEnvironment(started, dosPath, commandLine);

    UNICODE_STRING imageFileName = CountedView(image.openName);
    UNICODE_STRING commandLineString = CountedView(commandLine);
    PS_CREATE_NOTIFY_INFO info{};
    info.Size = sizeof(info);
    info.FileOpenNameAvailable = 1;
    info.ParentProcessId = reinterpret_cast<HANDLE>(parent->id);
    info.CreatingThreadId.UniqueProcess = reinterpret_cast<HANDLE>(creator->id);
    info.CreatingThreadId.UniqueThread =
        reinterpret_cast<HANDLE>(creator->mainThread != nullptr ? creator->mainThread->id : 0);
    info.FileObject = image.file;
    info.ImageFileName = &imageFileName;
    info.CommandLine = &commandLineString;
    info.CreationStatus = STATUS_SUCCESS;
    NotifyProcessCreate(creator, started, &info);
    if (!NT_SUCCESS(info.CreationStatus)) {
        EndProcess(started, info.CreationStatus);
        return info.CreationStatus;
    }
    NotifyImage(started, image.devicePath, started->imageBase);
    *process = started;
    return STATUS_SUCCESS;
}

NTSTATUS LoadImage(PEPROCESS process, const std::u16string& path)
{
    ResolvedImage image;
    NTSTATUS status = ResolveImage(path, image);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DereferenceObject(image.file);
    ULONG_PTR base;
    {
        std::lock_guard lock(process->memoryLock);
        base = kDllBase + process->memory.size() * kImageStride;
    }
    MapProcessMemory(process, base, ImageHeaders(image.traits.subsystem, image.traits.pe32));
    NotifyImage(process, image.devicePath, base);
    return STATUS_SUCCESS;
}

NTSTATUS LoadSystemLibraries(PEPROCESS process, const std::u16string& windowsDirectory)
{
    NTSTATUS status = LoadImage(process, windowsDirectory + u"\\System32\\ntdll.dll");
    const std::u16string libraries = windowsDirectory + (process->wow64 ? u"\\SysWOW64\\" : u"\\System32\\");
    if (NT_SUCCESS(status) && process->wow64) {
        status = LoadImage(process, libraries + u"ntdll.dll");
    }
    if (NT_SUCCESS(status)) {
        status = LoadImage(process, libraries + u"KernelBase.dll");
    }
    return status;
}

}  // namespace vexsim
