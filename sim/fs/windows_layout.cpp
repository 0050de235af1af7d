// A Windows-like system volume for tests and scenarios, laid down in one call.
#include "sim/fs/file_system.h"

#include <initializer_list>

namespace vexsim {

namespace {

constexpr USHORT kGui = 2;
constexpr USHORT kCui = 3;

}  // namespace

NTSTATUS LayDownWindowsVolume(ULONG number, char16_t letter, const std::u16string& user)
{
    NTSTATUS status = MountVolume(number, letter);
    const std::u16string root = std::u16string(1, letter) + u":\\";
    for (const char16_t* directory : {u"Program Files", u"Program Files (x86)", u"ProgramData"}) {
        if (NT_SUCCESS(status)) {
            status = CreateDirectoryPath(root + directory);
        }
    }
    const std::u16string profile = root + u"Users\\" + user + u"\\";
    for (const char16_t* directory : {u"Desktop", u"Documents", u"AppData\\Local\\Temp", u"AppData\\Roaming"}) {
        if (NT_SUCCESS(status)) {
            status = CreateDirectoryPath(profile + directory);
        }
    }
    struct SystemFile {
        const char16_t* name;
        USHORT subsystem;
    };
    const SystemFile systemFiles[] = {
        {u"ntdll.dll", kGui}, {u"KernelBase.dll", kGui}, {u"kernel32.dll", kGui}, {u"cmd.exe", kCui}, {u"notepad.exe", kGui},
    };
    for (bool wow64 : {false, true}) {
        const std::u16string directory = root + (wow64 ? u"Windows\\SysWOW64\\" : u"Windows\\System32\\");
        for (const SystemFile& file : systemFiles) {
            if (NT_SUCCESS(status)) {
                status = CreateFilePath(directory + file.name, ImageTraits{file.subsystem, wow64});
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = CreateFilePath(root + u"Windows\\explorer.exe", ImageTraits{kGui, false});
    }
    return status;
}

}  // namespace vexsim
