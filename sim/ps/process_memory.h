// The user address space of simulated processes: regions of bytes at made-up user addresses,
// which kernel code reads only through MmCopyMemory while attached to the process. Host code only.
//
// Addresses are not host pointers: dereferencing one directly is the fault a driver must never
// risk, and MmCopyMemory answers a read of an unmapped or unreadable range with a status.
#pragma once

#include "sim/core/kernel.h"

#include <string>
#include <vector>

namespace vexsim {

// x64 layout of what process start lays down.
constexpr ULONG kPebImageBaseAddress = 0x10;
constexpr ULONG kPebProcessParameters = 0x20;
constexpr ULONG kParametersImagePathName = 0x60;
constexpr ULONG kParametersCommandLine = 0x70;
constexpr ULONG kDosLfanew = 0x3C;
constexpr ULONG kNtOptionalMagic = 0x18;
constexpr ULONG kNtSubsystem = 0x5C;

// Maps bytes at base, replacing a region that begins there. A base at or above
// MM_USER_PROBE_ADDRESS stands for system memory: MmCopyMemory reads it as Windows would.
void MapProcessMemory(PEPROCESS process, ULONG_PTR base, std::vector<unsigned char> bytes);

// Overwrites mapped bytes, as another thread of the process could; false when any byte is
// unmapped.
bool WriteProcessMemory(PEPROCESS process, ULONG_PTR address, const void* data, size_t length);

// Makes the region holding address fault on every read, or readable again.
void SetProcessMemoryReadable(PEPROCESS process, ULONG_PTR address, bool readable);

// Host read of a process's memory; false when any byte is unmapped or unreadable.
bool ReadProcessMemory(PEPROCESS process, ULONG_PTR address, void* out, size_t length);

// Image headers as the loader maps them: DOS header with e_lfanew, PE signature, file header with
// the machine, optional-header magic and subsystem.
std::vector<unsigned char> ImageHeaders(USHORT subsystem, bool pe32);

}  // namespace vexsim
