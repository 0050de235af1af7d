// What the object manager tells about an object: ObQueryNameString, and ZwQueryObject /
// NtQueryObject with ObjectBasicInformation and ObjectNameInformation.
//
// Name answers (documented for ObQueryNameString): the name follows the OBJECT_NAME_INFORMATION
// header in the caller's buffer, NUL-terminated, Name.Buffer pointing at it; a buffer shorter
// than header, name and NUL gives STATUS_INFO_LENGTH_MISMATCH with the length needed and nothing
// written; an unnamed object answers an empty name (Buffer null). Basic answers need exactly
// sizeof(OBJECT_BASIC_INFORMATION) (STATUS_INFO_LENGTH_MISMATCH otherwise, the NT convention);
// the pool charges and sizes are not modelled and read 0.
#include "sim/ob/user_objects.h"

#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/user_mode_scope.h"

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace vexsim {

namespace {

std::mutex g_queryNameLock;
std::map<POBJECT_TYPE, QueryNameProcedure> g_queryName;  // guarded by g_queryNameLock

NTSTATUS NameOf(PVOID object, std::u16string* name)
{
    QueryNameProcedure procedure = nullptr;
    {
        std::lock_guard lock(g_queryNameLock);
        auto found = g_queryName.find(TypeOf(object));
        procedure = found == g_queryName.end() ? nullptr : found->second;
    }
    if (procedure != nullptr) {
        return procedure(object, name);
    }
    *name = HeaderOf(object).name;
    return STATUS_SUCCESS;
}

// Writes the name answer into the caller's buffer (at `buffer`, as the caller of `mode` sees it).
NTSTATUS AnswerName(PVOID object, PVOID buffer, ULONG length, PULONG returnLength, KPROCESSOR_MODE mode)
{
    std::u16string name;
    NTSTATUS status = NameOf(object, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const size_t nameBytes = name.size() * sizeof(char16_t);
    const size_t needed = sizeof(OBJECT_NAME_INFORMATION) + (name.empty() ? 0 : nameBytes + sizeof(char16_t));
    if (nameBytes > 0xFFFC) {
        return STATUS_NAME_TOO_LONG;  // no counted string holds it
    }
    const auto neededLength = static_cast<ULONG>(needed);
    if (returnLength != nullptr) {
        status = CopyToCaller(mode, returnLength, &neededLength, sizeof(neededLength));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::vector<unsigned char> answer(needed);
    OBJECT_NAME_INFORMATION header{};
    if (!name.empty()) {
        header.Name.Length = static_cast<USHORT>(nameBytes);
        header.Name.MaximumLength = static_cast<USHORT>(nameBytes + sizeof(char16_t));
        header.Name.Buffer = reinterpret_cast<PWSTR>(static_cast<unsigned char*>(buffer) + sizeof(header));
        std::memcpy(answer.data() + sizeof(header), name.c_str(), nameBytes + sizeof(char16_t));
    }
    std::memcpy(answer.data(), &header, sizeof(header));
    return CopyToCaller(mode, buffer, answer.data(), answer.size());
}

NTSTATUS AnswerBasic(PVOID object, const HandleEntry& entry, PVOID buffer, ULONG length, PULONG returnLength,
                     KPROCESSOR_MODE mode)
{
    const ULONG needed = sizeof(OBJECT_BASIC_INFORMATION);
    if (returnLength != nullptr) {
        NTSTATUS status = CopyToCaller(mode, returnLength, &needed, sizeof(needed));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (length != needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    OBJECT_BASIC_INFORMATION basic{};
    basic.Attributes = entry.attributes;
    basic.GrantedAccess = entry.grantedAccess;
    basic.HandleCount = static_cast<ULONG>(HeaderOf(object).handles.load());
    basic.PointerCount = static_cast<ULONG>(HeaderOf(object).references.load());
    return CopyToCaller(mode, buffer, &basic, sizeof(basic));
}

}  // namespace

void SetQueryNameProcedure(POBJECT_TYPE type, QueryNameProcedure procedure)
{
    std::lock_guard lock(g_queryNameLock);
    g_queryName[type] = procedure;
}

NTSTATUS QueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                     PULONG returnLength, KPROCESSOR_MODE mode)
{
    if (informationClass != ObjectBasicInformation && informationClass != ObjectNameInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (buffer == nullptr && length != 0) {
        return mode == UserMode ? STATUS_ACCESS_VIOLATION : STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = ProbeCaller(mode, buffer, length, true);
    if (NT_SUCCESS(status) && returnLength != nullptr) {
        status = ProbeCaller(mode, returnLength, sizeof(ULONG), true);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID object;
    HandleEntry entry;
    status = ReferenceObjectByHandle(handle, 0, nullptr, mode, &object, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = informationClass == ObjectNameInformation ? AnswerName(object, buffer, length, returnLength, mode)
                                                        : AnswerBasic(object, entry, buffer, length, returnLength, mode);
    DereferenceObject(object);
    return status;
}

NTSTATUS NtQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass, PVOID ObjectInformation,
                       ULONG ObjectInformationLength, PULONG ReturnLength)
{
    RequireUserMode("NtQueryObject");
    return QueryObject(Handle, ObjectInformationClass, ObjectInformation, ObjectInformationLength, ReturnLength,
                       UserMode);
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                            PULONG ReturnLength)
{
    if (Object == nullptr || ReturnLength == nullptr || (ObjectNameInfo == nullptr && Length != 0)) {
        StopMachine("ObQueryNameString called with a null Object or ReturnLength, or a null buffer of nonzero Length");
    }
    return AnswerName(Object, ObjectNameInfo, Length, ReturnLength, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwQueryObject(HANDLE Handle, OBJECT_INFORMATION_CLASS ObjectInformationClass,
                                        PVOID ObjectInformation, ULONG ObjectInformationLength, PULONG ReturnLength)
{
    RequirePassiveLevel("ZwQueryObject");
    return QueryObject(Handle, ObjectInformationClass, ObjectInformation, ObjectInformationLength, ReturnLength,
                       KernelMode);
}
