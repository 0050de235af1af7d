// ZwQuerySecurityObject and ZwSetSecurityObject on key handles: the key's self-relative
// descriptor through the security model, with the RegNt*KeySecurity notifications. Objects of
// other types carry no descriptor in this machine (STATUS_NOT_SUPPORTED).
#include "sim/cm/key_operation.h"
#include "sim/cm/key_services.h"
#include "sim/ob/handles.h"
#include "sim/ps/process_memory.h"

#include <algorithm>

namespace vexsim {

namespace {

ACCESS_MASK AccessToRead(SECURITY_INFORMATION information)
{
    ACCESS_MASK access = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                       LABEL_SECURITY_INFORMATION)) {
        access |= READ_CONTROL;
    }
    if (information & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

ACCESS_MASK AccessToWrite(SECURITY_INFORMATION information)
{
    ACCESS_MASK access = 0;
    if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) access |= WRITE_OWNER;
    if (information & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
    if (information & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
    return access;
}

// Whether the handle is a key's; anything else is refused before the registry sees it.
NTSTATUS CheckKeyHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    PVOID object;
    NTSTATUS status = ReferenceObjectByHandle(handle, 0, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool key = IsKeyObject(object);
    DereferenceObject(object);
    return key ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

}  // namespace

}  // namespace vexsim

using namespace vexsim;

namespace vexsim {

// The descriptor is built in kernel memory and copied out as the caller owns its buffer; at most
// the answer's length is allocated, whatever Length the caller claims.
NTSTATUS QueryKeySecurity(HANDLE handle, SECURITY_INFORMATION securityInformation,
                          PSECURITY_DESCRIPTOR securityDescriptor, ULONG length, PULONG resultLength,
                          KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckOutputBuffer(securityDescriptor, length, resultLength, mode);
    if (NT_SUCCESS(status)) {
        status = CheckKeyHandle(handle, mode);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SECURITY_INFORMATION information = securityInformation;
    ULONG callbackLength = length;
    REG_QUERY_KEY_SECURITY_INFORMATION info{nullptr, &information, securityDescriptor, &callbackLength,
                                            nullptr, nullptr,      nullptr};
    bool answeredByRegistry = false;
    status = RunKeyOperation(handle, AccessToRead(securityInformation), mode, RegNtPreQueryKeySecurity,
                             RegNtPostQueryKeySecurity, info, [&](KeyBody& key) {
                                 answeredByRegistry = true;
                                 SecurityDescriptorBytes copy;
                                 {
                                     std::lock_guard lock(TreeLock());
                                     if (key.node->deleted) {
                                         return STATUS_KEY_DELETED;
                                     }
                                     copy = key.node->security;
                                 }
                                 ULONG needed = 0;
                                 NTSTATUS answer = QuerySecurity(copy, securityInformation, nullptr, 0, &needed);
                                 std::vector<UCHAR> built(std::min(length, needed));
                                 if (length >= needed) {
                                     answer = QuerySecurity(copy, securityInformation, built.data(), needed, &needed);
                                 }
                                 NTSTATUS copied = CopyToCaller(mode, resultLength, &needed, sizeof(needed));
                                 if (NT_SUCCESS(copied) && NT_SUCCESS(answer)) {
                                     copied = CopyToCaller(mode, securityDescriptor, built.data(), needed);
                                 }
                                 return NT_SUCCESS(copied) ? answer : copied;
                             });
    // A callback that answered the query (or refused it for its size) put the length through
    // Length, the service's own copy; the caller learns it as from the registry. Windows does not
    // document this hand-over; a size negotiation such as RegGetKeySecurity's relies on it.
    if (!answeredByRegistry && (status == STATUS_SUCCESS || status == STATUS_BUFFER_TOO_SMALL)) {
        NTSTATUS copied = CopyToCaller(mode, resultLength, &callbackLength, sizeof(callbackLength));
        if (!NT_SUCCESS(copied)) {
            status = copied;
        }
    }
    return status;
}

}  // namespace vexsim

extern "C" NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                                PULONG ResultLength)
{
    KernelServiceScope kernel(__func__);
    return QueryKeySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, ResultLength, KernelMode);
}

// Keys of application hives refuse per-key security (STATUS_ACCESS_DENIED), as on Windows.
extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    KernelServiceScope kernel(__func__);
    if (SecurityDescriptor == nullptr) {
        return BadPointer(KernelMode, "a null SecurityDescriptor");
    }
    NTSTATUS status = CheckKeyHandle(Handle, KernelMode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SECURITY_INFORMATION information = SecurityInformation;
    REG_SET_KEY_SECURITY_INFORMATION info{nullptr, &information, SecurityDescriptor, nullptr, nullptr, nullptr};
    return RunKeyOperation(Handle, AccessToWrite(SecurityInformation), KernelMode, RegNtPreSetKeySecurity,
                           RegNtPostSetKeySecurity, info, [&](KeyBody& key) {
                               std::lock_guard lock(TreeLock());
                               KeyNode& node = *key.node;
                               if (node.deleted) {
                                   return STATUS_KEY_DELETED;
                               }
                               if (node.appHive != nullptr) {
                                   return STATUS_ACCESS_DENIED;
                               }
                               return SetSecurity(node.security, SecurityInformation, SecurityDescriptor);
                           });
}
