// The user address space of simulated processes: regions of bytes at made-up user addresses,
// which kernel code reaches only through the copy routines here (and MmCopyMemory, ProbeForRead,
// ProbeForWrite and the Sim* caller-memory routines of ntmm.h for drivers). Host code only.
//
// Addresses are not host pointers: dereferencing one directly is the fault a driver must never
// risk (in the simulator it crashes the host), and every copy answers an unmapped, unreadable or
// read-only range with STATUS_ACCESS_VIOLATION and copies nothing.
//
// Which user addresses are simulated. An address inside a mapped region, or below
// kLentHostMemoryStart, or whose range touches a region, belongs to the process's simulated
// address space. Any other address a user-mode caller passes is host memory the test lends the
// process for the call (its own variables): tests that do not care about faults keep passing
// plain buffers, and tests that do pass addresses from AllocateProcessMemory. A kernel-mode
// caller's buffers are always host memory.
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

// Maps `size` zero bytes at a fresh address of the process's buffer range and returns it: a user
// buffer for calls that must see faults.
ULONG_PTR AllocateProcessMemory(PEPROCESS process, size_t size);

// Makes the region holding address fault on every read and write (x64 has no write-only pages),
// or readable again.
void SetProcessMemoryReadable(PEPROCESS process, ULONG_PTR address, bool readable);

// Makes the region holding address fault on every write, or writable again.
void SetProcessMemoryWritable(PEPROCESS process, ULONG_PTR address, bool writable);

// Host read of a process's memory; false when any byte is unmapped or unreadable.
bool ReadProcessMemory(PEPROCESS process, ULONG_PTR address, void* out, size_t length);

// Below this every user address is simulated; see the top of this file.
constexpr ULONG_PTR kLentHostMemoryStart = 0x0000100000000000ULL;

// Whether the range [address, address + length) of the current process is simulated memory
// rather than host memory a test lends (see the top of this file).
bool IsSimulatedUserRange(const void* address, size_t length);

// The caller's memory as a system service reaches it: for UserMode the current process's
// (simulated or lent), for KernelMode plain host memory. STATUS_ACCESS_VIOLATION, with nothing
// copied, when a simulated byte is unmapped, unreadable (reads) or read-only (writes).
[[nodiscard]] NTSTATUS CopyFromCaller(KPROCESSOR_MODE mode, void* to, const void* from, size_t length);
[[nodiscard]] NTSTATUS CopyToCaller(KPROCESSOR_MODE mode, void* to, const void* from, size_t length);
// The check a system service makes before it starts: the range could be read (or written) now.
[[nodiscard]] NTSTATUS ProbeCaller(KPROCESSOR_MODE mode, const void* address, size_t length, bool write);

// Image headers as the loader maps them: DOS header with e_lfanew, PE signature, file header with
// the machine, optional-header magic and subsystem.
std::vector<unsigned char> ImageHeaders(USHORT subsystem, bool pe32);

}  // namespace vexsim
