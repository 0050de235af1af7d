// Starting processes from image files and loading images into them, as the kernel does it for
// CreateProcess and the loader. Host code only.
//
// A start resolves the image on the simulated file systems, creates the process (which the
// process list then holds), maps its image headers and its environment block with the process
// parameters, calls the create-process notify routines in the creator's context and then the
// load-image notify routines for the main image in the new process's context. A routine that
// refuses the creation ends the process again (with its exit notification).
#pragma once

#include "sim/ps/process.h"

#include <optional>
#include <string>

namespace vexsim {

struct StartParams {
    std::u16string imagePath;         // C:\..., \\server\share\..., \??\C:\... or \Device\HarddiskVolume3\...
    std::u16string commandLine;       // empty: the image path in quotes
    PEPROCESS parent = nullptr;       // null: the System process
    PEPROCESS creator = nullptr;      // null: the parent
    ULONG sessionId = 1;
    std::optional<bool> wow64;        // unset: a 32-bit image runs under WOW64
    std::string userSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
    bool administrator = false;       // an elevated administrator's process
    ULONG integrityLevel = kMediumIntegrity;
    ULONG_PTR id = 0;                 // a chosen (recycled) id, not in use; 0 takes the next
};

// The started process in *process (the process list's reference; valid until EndProcess).
[[nodiscard]] NTSTATUS StartProcess(const StartParams& params, PEPROCESS* process);

// Maps an image file into the process and calls the load-image notify routines with its device
// path as it was named.
[[nodiscard]] NTSTATUS LoadImage(PEPROCESS process, const std::u16string& path);

// ntdll.dll and KernelBase.dll from System32, or for a WOW64 process the 64-bit ntdll.dll and
// then ntdll.dll and KernelBase.dll from SysWOW64.
[[nodiscard]] NTSTATUS LoadSystemLibraries(PEPROCESS process, const std::u16string& windowsDirectory = u"C:\\Windows");

}  // namespace vexsim
