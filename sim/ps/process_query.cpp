// ZwQueryInformationProcess for the classes the driver uses.
//
// Fixed-size classes demand the exact size (one byte more or less is
// STATUS_INFO_LENGTH_MISMATCH). ProcessImageFileName returns a UNICODE_STRING followed by the NT
// device path in the same buffer; the copied name is NUL-terminated (MaximumLength = Length + 2)
// and a buffer too small for header, name and terminator gets STATUS_INFO_LENGTH_MISMATCH with
// ReturnLength set to that total. The handle may be NtCurrentProcess(), a kernel handle or one of
// the current process's handles; as a Zw routine it skips the access check.
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"

#include <algorithm>
#include <cstring>

namespace vexsim {

namespace {

// Where a WOW64 process's 32-bit PEB would sit; any nonzero value means "WOW64".
constexpr ULONG_PTR kWow64PebAddress = 0x7EFDE000;

ULONG FixedSizeOf(PROCESSINFOCLASS infoClass)
{
    switch (infoClass) {
    case ProcessSessionInformation:
        return sizeof(PROCESS_SESSION_INFORMATION);
    case ProcessWow64Information:
        return sizeof(ULONG_PTR);
    default:
        return 0;
    }
}

NTSTATUS QueryImageFileName(PEPROCESS process, PVOID buffer, ULONG length, PULONG returnLength)
{
    size_t nameBytes = process->imagePath.size() * sizeof(WCHAR);
    ULONG needed = static_cast<ULONG>(sizeof(UNICODE_STRING) + nameBytes + sizeof(WCHAR));
    if (returnLength != nullptr) {
        *returnLength = needed;
    }
    if (length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* header = static_cast<UNICODE_STRING*>(buffer);
    auto* chars = reinterpret_cast<WCHAR*>(header + 1);
    std::memcpy(chars, process->imagePath.data(), nameBytes);
    chars[process->imagePath.size()] = UNICODE_NULL;
    header->Length = static_cast<USHORT>(nameBytes);
    // A name of the longest counted length has its NUL beyond what MaximumLength can count.
    header->MaximumLength = static_cast<USHORT>(std::min<size_t>(nameBytes + sizeof(WCHAR), 0xFFFE));
    header->Buffer = chars;
    return STATUS_SUCCESS;
}

}  // namespace

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwQueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS ProcessInformationClass,
                                                    PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                    PULONG ReturnLength)
{
    RequirePassiveLevel("ZwQueryInformationProcess");
    ULONG fixedSize = FixedSizeOf(ProcessInformationClass);
    if (fixedSize == 0 && ProcessInformationClass != ProcessImageFileName) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (fixedSize != 0 && ProcessInformationLength != fixedSize) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    PVOID object;
    NTSTATUS status = ReferenceObjectByHandle(ProcessHandle, PROCESS_QUERY_LIMITED_INFORMATION, *PsProcessType,
                                              KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* process = static_cast<PEPROCESS>(object);
    if (ProcessInformation == nullptr && ProcessInformationLength != 0) {
        status = STATUS_ACCESS_VIOLATION;
    } else if (ProcessInformationClass == ProcessImageFileName) {
        status = QueryImageFileName(process, ProcessInformation, ProcessInformationLength, ReturnLength);
    } else {
        if (ProcessInformationClass == ProcessSessionInformation) {
            static_cast<PROCESS_SESSION_INFORMATION*>(ProcessInformation)->SessionId = process->sessionId;
        } else {
            *static_cast<ULONG_PTR*>(ProcessInformation) = process->wow64 ? kWow64PebAddress : 0;
        }
        if (ReturnLength != nullptr) {
            *ReturnLength = fixedSize;
        }
    }
    DereferenceObject(object);
    return status;
}
