#include "sim/ps/process_memory.h"

#include "sim/ps/process.h"

#include <algorithm>
#include <cstring>

namespace vexsim {

namespace {

constexpr size_t kHeaderBytes = 0x400;
constexpr ULONG kNtHeadersOffset = 0x80;

// The region holding [address, address + length), or null.
MemoryRegion* RegionOf(PEPROCESS process, ULONG_PTR address, size_t length, ULONG_PTR* base)
{
    auto after = process->memory.upper_bound(address);
    if (after == process->memory.begin()) {
        return nullptr;
    }
    auto region = std::prev(after);
    size_t offset = address - region->first;
    if (offset > region->second.bytes.size() || length > region->second.bytes.size() - offset) {
        return nullptr;
    }
    *base = region->first;
    return &region->second;
}

// Where AllocateProcessMemory maps buffers: far from images and environment blocks, each buffer
// followed by an unmapped gap so that running past its end faults.
constexpr ULONG_PTR kBufferRangeStart = 0x0000005000000000ULL;
constexpr ULONG_PTR kBufferRangeEnd = 0x0000006000000000ULL;
constexpr ULONG_PTR kBufferGranularity = 0x10000;

// Whether [address, address + length) touches any region; the caller holds the memory lock.
// x64 pages have no write-only protection: a page that faults on reads faults on writes too.
bool IsWritable(const MemoryRegion& region)
{
    return region.readable && region.writable;
}

bool TouchesRegion(PEPROCESS process, ULONG_PTR address, size_t length)
{
    auto after = process->memory.upper_bound(address);
    if (after != process->memory.end() && after->first - address < length) {
        return true;
    }
    if (after == process->memory.begin()) {
        return false;
    }
    auto region = std::prev(after);
    return address - region->first < region->second.bytes.size();
}

template <typename T>
void Put(std::vector<unsigned char>& bytes, size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

}  // namespace

void MapProcessMemory(PEPROCESS process, ULONG_PTR base, std::vector<unsigned char> bytes)
{
    std::lock_guard lock(process->memoryLock);
    process->memory[base] = MemoryRegion{std::move(bytes), true};
}

ULONG_PTR AllocateProcessMemory(PEPROCESS process, size_t size)
{
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base = kBufferRangeStart;
    auto last = process->memory.lower_bound(kBufferRangeEnd);
    if (last != process->memory.begin() && std::prev(last)->first >= kBufferRangeStart) {
        const auto& [lastBase, region] = *std::prev(last);
        base = ALIGN_UP_BY(lastBase + region.bytes.size(), kBufferGranularity) + kBufferGranularity;
    }
    if (base + size > kBufferRangeEnd) {
        StopMachine("the simulated process ran out of its buffer address range");
    }
    process->memory[base] = MemoryRegion{std::vector<unsigned char>(size), true, true};
    return base;
}

void SetProcessMemoryReadable(PEPROCESS process, ULONG_PTR address, bool readable)
{
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    if (MemoryRegion* region = RegionOf(process, address, 1, &base)) {
        region->readable = readable;
    }
}

bool WriteProcessMemory(PEPROCESS process, ULONG_PTR address, const void* data, size_t length)
{
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    MemoryRegion* region = RegionOf(process, address, length, &base);
    if (region == nullptr) {
        return false;
    }
    std::memcpy(region->bytes.data() + (address - base), data, length);
    return true;
}

void SetProcessMemoryWritable(PEPROCESS process, ULONG_PTR address, bool writable)
{
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    if (MemoryRegion* region = RegionOf(process, address, 1, &base)) {
        region->writable = writable;
    }
}

bool ReadProcessMemory(PEPROCESS process, ULONG_PTR address, void* out, size_t length)
{
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    MemoryRegion* region = RegionOf(process, address, length, &base);
    if (region == nullptr || !region->readable) {
        return false;
    }
    std::memcpy(out, region->bytes.data() + (address - base), length);
    return true;
}

bool IsSimulatedUserRange(const void* address, size_t length)
{
    auto start = reinterpret_cast<ULONG_PTR>(address);
    if (start < kLentHostMemoryStart) {
        return true;
    }
    PEPROCESS process = CurrentContext().process;
    if (process == nullptr) {
        return false;
    }
    std::lock_guard lock(process->memoryLock);
    return TouchesRegion(process, start, std::max<size_t>(length, 1));
}

NTSTATUS ProbeCaller(KPROCESSOR_MODE mode, const void* address, size_t length, bool write)
{
    if (length == 0 || mode == KernelMode || !IsSimulatedUserRange(address, length)) {
        return STATUS_SUCCESS;
    }
    PEPROCESS process = CurrentContext().process;
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    MemoryRegion* region = RegionOf(process, reinterpret_cast<ULONG_PTR>(address), length, &base);
    bool allowed = region != nullptr && (write ? IsWritable(*region) : region->readable);
    return allowed ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

NTSTATUS CopyFromCaller(KPROCESSOR_MODE mode, void* to, const void* from, size_t length)
{
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (mode == KernelMode || !IsSimulatedUserRange(from, length)) {
        std::memcpy(to, from, length);
        return STATUS_SUCCESS;
    }
    return ReadProcessMemory(CurrentContext().process, reinterpret_cast<ULONG_PTR>(from), to, length)
               ? STATUS_SUCCESS
               : STATUS_ACCESS_VIOLATION;
}

NTSTATUS CopyToCaller(KPROCESSOR_MODE mode, void* to, const void* from, size_t length)
{
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (mode == KernelMode || !IsSimulatedUserRange(to, length)) {
        std::memcpy(to, from, length);
        return STATUS_SUCCESS;
    }
    PEPROCESS process = CurrentContext().process;
    std::lock_guard lock(process->memoryLock);
    ULONG_PTR base;
    MemoryRegion* region = RegionOf(process, reinterpret_cast<ULONG_PTR>(to), length, &base);
    if (region == nullptr || !IsWritable(*region)) {
        return STATUS_ACCESS_VIOLATION;
    }
    std::memcpy(region->bytes.data() + (reinterpret_cast<ULONG_PTR>(to) - base), from, length);
    return STATUS_SUCCESS;
}

std::vector<unsigned char> ImageHeaders(USHORT subsystem, bool pe32)
{
    std::vector<unsigned char> bytes(kHeaderBytes);
    Put<USHORT>(bytes, 0, 0x5A4D);                                   // "MZ"
    Put<LONG>(bytes, kDosLfanew, kNtHeadersOffset);
    Put<ULONG>(bytes, kNtHeadersOffset, 0x00004550);                 // "PE\0\0"
    Put<USHORT>(bytes, kNtHeadersOffset + 4, pe32 ? 0x14C : 0x8664); // machine
    Put<USHORT>(bytes, kNtHeadersOffset + 0x14, pe32 ? 224 : 240);   // size of the optional header
    Put<USHORT>(bytes, kNtHeadersOffset + 0x16, 0x0022);             // executable, large-address aware
    Put<USHORT>(bytes, kNtHeadersOffset + kNtOptionalMagic, pe32 ? 0x10B : 0x20B);
    Put<USHORT>(bytes, kNtHeadersOffset + kNtSubsystem, subsystem);
    return bytes;
}

}  // namespace vexsim

using namespace vexsim;

// The x64 user/system boundary (0x7FFFFFFF0000): the first address above the highest user page.
ULONG64 MmUserProbeAddress = 0x00007FFFFFFF0000ULL;

// Only virtual copies from the current (or attached) process's user address space are served.
// A range that is not mapped, or not readable, gives STATUS_ACCESS_VIOLATION with nothing
// copied: Windows documents only that a failed copy returns an error status and the bytes it
// did copy, so the status and the all-or-nothing copy are this kernel's choice.
extern "C" NTSTATUS NTAPI MmCopyMemory(PVOID TargetAddress, MM_COPY_ADDRESS SourceAddress, SIZE_T NumberOfBytes,
                                       ULONG Flags, PSIZE_T NumberOfBytesTransferred)
{
    if (NumberOfBytesTransferred == nullptr || TargetAddress == nullptr || Flags != MM_COPY_MEMORY_VIRTUAL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() > APC_LEVEL) {
        BugCheck(0x4A, KeGetCurrentIrql(), 0, 0, 0, "MmCopyMemory called above APC_LEVEL");
    }
    *NumberOfBytesTransferred = 0;
    PEPROCESS process = CurrentContext().process;
    if (!ReadProcessMemory(process, reinterpret_cast<ULONG_PTR>(SourceAddress.VirtualAddress), TargetAddress, NumberOfBytes)) {
        return STATUS_ACCESS_VIOLATION;
    }
    *NumberOfBytesTransferred = NumberOfBytes;
    return STATUS_SUCCESS;
}

extern "C" PVOID NTAPI PsGetProcessSectionBaseAddress(PEPROCESS Process)
{
    return reinterpret_cast<PVOID>(Process->imageBase);
}

extern "C" PVOID NTAPI PsGetProcessPeb(PEPROCESS Process)
{
    return reinterpret_cast<PVOID>(Process->peb);
}

// Attaching makes the process's address space (and handle table) current for the calling
// thread; the state block remembers what to return to. Attaches nest through their blocks.
extern "C" VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        BugCheck(0x5, reinterpret_cast<ULONG_PTR>(Process), 0, 0, 0, "KeStackAttachProcess above DISPATCH_LEVEL");
    }
    ThreadContext& context = CurrentContext();
    std::memset(ApcState, 0, sizeof(*ApcState));
    ApcState->Process = reinterpret_cast<PKPROCESS>(context.process);
    context.process = reinterpret_cast<PEPROCESS>(Process);
}

extern "C" VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState)
{
    CurrentContext().process = reinterpret_cast<PEPROCESS>(ApcState->Process);
}
