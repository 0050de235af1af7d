// ZwQuerySystemInformation(SystemProcessInformation): the process snapshot in the x64 layout.
//
// Each entry is a SYSTEM_PROCESS_INFORMATION followed by its SYSTEM_THREAD_INFORMATION records
// and then its image name (NUL-terminated, pointed to by ImageName.Buffer inside the output
// buffer); entries start on 8-byte boundaries and NextEntryOffset is 0 on the last. The idle
// process (id 0, empty name, one thread) comes first, then the live processes in id order, so
// the System process (id 4, "System") is second.
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/thread.h"

#include <cstring>

namespace vexsim {

namespace {

constexpr LONG kNormalPriority = 8;
constexpr ULONG kThreadStateWaiting = 5;

struct ThreadRow {
    ULONG_PTR id;
    PVOID startAddress;
    LONGLONG createTime;
};

struct ProcessRow {
    ULONG_PTR id;
    ULONG_PTR parentId;
    LONGLONG createTime;
    std::u16string name;
    ULONG sessionId;
    ULONG handleCount;
    LONG basePriority;
    std::vector<ThreadRow> threads;
};

std::vector<ProcessRow> TakeRows()
{
    std::vector<ProcessRow> rows;
    rows.push_back(ProcessRow{0, 0, 0, u"", 0, 0, 0, {ThreadRow{0, nullptr, 0}}});
    for (PEPROCESS process : ReferenceLiveProcesses()) {
        ProcessRow row{process->id, process->parentId, process->createTime, process->imageName,
                       process->sessionId, static_cast<ULONG>(process->handles->Count()), kNormalPriority, {}};
        {
            std::lock_guard lock(ProcessLock());
            for (PETHREAD thread : process->threads) {
                row.threads.push_back(
                    ThreadRow{thread->id, reinterpret_cast<PVOID>(thread->startRoutine), thread->createTime});
            }
        }
        rows.push_back(std::move(row));
        DereferenceObject(process);
    }
    return rows;
}

size_t NameBytes(const ProcessRow& row)
{
    return row.name.empty() ? 0 : (row.name.size() + 1) * sizeof(WCHAR);
}

size_t EntrySize(const ProcessRow& row)
{
    size_t size = sizeof(SYSTEM_PROCESS_INFORMATION) + row.threads.size() * sizeof(SYSTEM_THREAD_INFORMATION) + NameBytes(row);
    return ALIGN_UP_BY(size, 8);
}

void WriteEntry(const ProcessRow& row, char* at, bool last)
{
    size_t size = EntrySize(row);
    std::memset(at, 0, size);
    auto* entry = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(at);
    entry->NextEntryOffset = last ? 0 : static_cast<ULONG>(size);
    entry->NumberOfThreads = static_cast<ULONG>(row.threads.size());
    entry->CreateTime.QuadPart = row.createTime;
    entry->BasePriority = row.basePriority;
    entry->UniqueProcessId = reinterpret_cast<HANDLE>(row.id);
    entry->InheritedFromUniqueProcessId = reinterpret_cast<HANDLE>(row.parentId);
    entry->HandleCount = row.handleCount;
    entry->SessionId = row.sessionId;
    auto* threadInfo = reinterpret_cast<SYSTEM_THREAD_INFORMATION*>(entry + 1);
    for (const ThreadRow& thread : row.threads) {
        threadInfo->CreateTime.QuadPart = thread.createTime;
        threadInfo->StartAddress = thread.startAddress;
        threadInfo->ClientId.UniqueProcess = reinterpret_cast<HANDLE>(row.id);
        threadInfo->ClientId.UniqueThread = reinterpret_cast<HANDLE>(thread.id);
        threadInfo->Priority = row.basePriority;
        threadInfo->BasePriority = row.basePriority;
        threadInfo->ThreadState = kThreadStateWaiting;
        threadInfo->WaitReason = Executive;
        ++threadInfo;
    }
    if (!row.name.empty()) {
        auto* name = reinterpret_cast<WCHAR*>(threadInfo);
        std::memcpy(name, row.name.data(), row.name.size() * sizeof(WCHAR));
        entry->ImageName.Length = static_cast<USHORT>(row.name.size() * sizeof(WCHAR));
        entry->ImageName.MaximumLength = static_cast<USHORT>(NameBytes(row));
        entry->ImageName.Buffer = name;
    }
}

}  // namespace

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                   PVOID SystemInformation, ULONG SystemInformationLength,
                                                   PULONG ReturnLength)
{
    RequirePassiveLevel("ZwQuerySystemInformation");
    if (SystemInformationClass != SystemProcessInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    RunProcessHook(ProcessHookPoint::Snapshot, 0);
    std::vector<ProcessRow> rows = TakeRows();
    size_t needed = 0;
    for (const ProcessRow& row : rows) {
        needed += EntrySize(row);
    }
    if (ReturnLength != nullptr) {
        *ReturnLength = static_cast<ULONG>(needed);
    }
    if (SystemInformationLength < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (SystemInformation == nullptr) {
        return STATUS_ACCESS_VIOLATION;
    }
    char* at = static_cast<char*>(SystemInformation);
    for (size_t i = 0; i < rows.size(); ++i) {
        WriteEntry(rows[i], at, i + 1 == rows.size());
        at += EntrySize(rows[i]);
    }
    return STATUS_SUCCESS;
}
