// The file systems of the simulated machine as tests and tools build them: volumes with drive
// letters, directories and files with generated 8.3 short names, and network shares. Host code
// only; the driver reaches them through ZwOpenFile, ZwQueryDirectoryFile, the symbolic-link
// services and IoVolumeDeviceToDosName.
#pragma once

#include "sim/core/kernel.h"

#include <string>

namespace vexsim {

// What a file holds when it is a program image: process start lays its headers down from this.
struct ImageTraits {
    USHORT subsystem = 2;  // IMAGE_SUBSYSTEM_WINDOWS_GUI (2) or _CUI (3)
    bool pe32 = false;     // a 32-bit image (optional-header magic 0x10B) rather than PE32+
};

// Mounts \Device\HarddiskVolume<number> and, unless letter is 0, the drive link \??\<letter>: to
// it. Fails with STATUS_OBJECT_NAME_COLLISION when the volume or the letter exists.
[[nodiscard]] NTSTATUS MountVolume(ULONG number, char16_t letter);

// Makes \??\UNC lead to the network provider \Device\Mup and adds the share \\server\share.
[[nodiscard]] NTSTATUS AddNetworkShare(const std::u16string& server, const std::u16string& share);

// Paths below are DOS paths (C:\Windows, \\server\share\dir) or NT paths (\??\C:\...,
// \Device\HarddiskVolume3\...). Missing directories on the way are created. Creating what
// exists succeeds when it is of the same kind.
[[nodiscard]] NTSTATUS CreateDirectoryPath(const std::u16string& path);
[[nodiscard]] NTSTATUS CreateFilePath(const std::u16string& path, const ImageTraits& traits = ImageTraits{});

// A directory that refuses FILE_LIST_DIRECTORY (listing) to everyone, or grants it again.
[[nodiscard]] NTSTATUS DenyDirectoryListing(const std::u16string& path, bool deny);

// The path with every component that has a short name written in its short form, in the form
// the path was given in (DOS or NT); empty when the path does not exist.
std::u16string ShortPathOf(const std::u16string& path);

// The NT device path of an existing file or directory with every component in its long form,
// e.g. \Device\HarddiskVolume3\Program Files\App\app.exe; empty when it does not exist.
std::u16string DevicePathOf(const std::u16string& path);

// A Windows-like system volume: HarddiskVolume<number> as <letter>: with Windows\System32
// (ntdll.dll, KernelBase.dll, cmd.exe as a console program, notepad.exe), Windows\SysWOW64 (the
// same as 32-bit images), Windows\explorer.exe, Program Files, Program Files (x86) and the
// profile Users\<user> with Desktop, Documents and AppData\Local\Temp.
[[nodiscard]] NTSTATUS LayDownWindowsVolume(ULONG number = 3, char16_t letter = u'C', const std::u16string& user = u"Alice");

// Boot and shutdown: no volumes, no shares.
void ResetFileSystems();

}  // namespace vexsim
