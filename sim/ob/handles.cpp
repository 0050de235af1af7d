#include "sim/ob/handles.h"

#include "sim/executive/fault_injection.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/thread.h"

#include <cstdio>

namespace vexsim {

namespace {

constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ULL;
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

HandleTable g_kernelTable;

HandleTable& CurrentTable()
{
    return HandleTableOf(CurrentContext().process);
}

// The pseudo handles name the current process or thread with every right of the type.
bool ResolvePseudoHandle(HANDLE handle, HandleEntry& entry)
{
    if (handle == NtCurrentProcess()) {
        entry = HandleEntry{CurrentContext().process, PROCESS_ALL_ACCESS, 0};
    } else if (handle == kCurrentThread) {
        entry = HandleEntry{CurrentContext().thread, THREAD_ALL_ACCESS, 0};
    } else {
        return false;
    }
    ReferenceObject(entry.object);
    return true;
}

std::string FormatHandle(ULONG_PTR value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

HandleTable& KernelHandleTable()
{
    return g_kernelTable;
}

bool IsKernelHandle(HANDLE handle)
{
    auto value = reinterpret_cast<ULONG_PTR>(handle);
    return handle != NtCurrentProcess() && handle != kCurrentThread && (value & kKernelHandleBits) == kKernelHandleBits;
}

NTSTATUS ReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                 PVOID* object, HandleEntry* entry)
{
    HandleEntry found;
    bool open;
    if (ResolvePseudoHandle(handle, found)) {
        open = true;
    } else if (IsKernelHandle(handle)) {
        open = mode == KernelMode &&
               g_kernelTable.LookupAndReference(reinterpret_cast<ULONG_PTR>(handle) & ~kKernelHandleBits, found);
    } else {
        open = handle != nullptr && CurrentTable().LookupAndReference(reinterpret_cast<ULONG_PTR>(handle), found);
    }
    if (!open) {
        return STATUS_INVALID_HANDLE;
    }
    if (type != nullptr && TypeOf(found.object) != type) {
        DereferenceObject(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode == UserMode) {
        ACCESS_MASK wanted = MapAccess(TypeOf(found.object), desiredAccess);
        if ((found.grantedAccess & wanted) != wanted) {
            DereferenceObject(found.object);
            return STATUS_ACCESS_DENIED;
        }
    }
    *object = found.object;
    if (entry != nullptr) {
        *entry = found;
    }
    return STATUS_SUCCESS;
}

HANDLE OpenHandle(PVOID object, ULONG attributes, ACCESS_MASK grantedAccess)
{
    bool kernel = (attributes & OBJ_KERNEL_HANDLE) != 0 || CurrentContext().process == PsInitialSystemProcess;
    if (kernel) {
        return reinterpret_cast<HANDLE>(g_kernelTable.Insert(object, grantedAccess, attributes) | kKernelHandleBits);
    }
    return reinterpret_cast<HANDLE>(CurrentTable().Insert(object, grantedAccess, attributes));
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    bool closed;
    if (IsKernelHandle(handle)) {
        closed = mode == KernelMode && g_kernelTable.Close(reinterpret_cast<ULONG_PTR>(handle) & ~kKernelHandleBits);
    } else {
        closed = handle != nullptr && CurrentTable().Close(reinterpret_cast<ULONG_PTR>(handle));
    }
    return closed ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

void ReportKernelHandles(std::vector<std::string>& out)
{
    for (const auto& [value, entry] : g_kernelTable.Entries()) {
        out.push_back("kernel handle " + FormatHandle(value | kKernelHandleBits) + " to " + DescribeObject(entry.object) +
                      " still open");
    }
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation)
{
    *Object = nullptr;
    NTSTATUS status;
    if (ShouldFailHandleReference(&status)) {
        return status;
    }
    HandleEntry entry;
    status = ReferenceObjectByHandle(Handle, DesiredAccess, ObjectType, AccessMode, Object, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The reference now belongs to the driver.
    HeaderOf(*Object).driverReferences.fetch_add(1);
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = entry.attributes;
        HandleInformation->GrantedAccess = entry.grantedAccess;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(AccessMode);  // objects carry no security descriptors: every open is granted
    if (Object == nullptr || Handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handle = nullptr;
    if (ObjectType != nullptr && TypeOf(Object) != ObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *Handle = OpenHandle(Object, HandleAttributes, MapAccess(TypeOf(Object), DesiredAccess));
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR NTAPI ObfReferenceObject(PVOID Object)
{
    ReferenceObjectForDriver(Object);
    return HeaderOf(Object).references.load();
}

extern "C" LONG_PTR NTAPI ObfDereferenceObject(PVOID Object)
{
    return DereferenceObjectFromDriver(Object);
}

// Zw routines run with previous mode KernelMode, so a driver may close its kernel handles from
// any process context; like every Zw routine, only at PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    RequirePassiveLevel("ZwClose");
    return CloseHandle(Handle, KernelMode);
}
