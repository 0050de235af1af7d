#include "sim/cm/user_registry.h"

#include "sim/cm/key_services.h"
#include "sim/core/kernel.h"
#include "sim/ob/handles.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// User mode cannot ask for kernel handles: the attribute is dropped from its requests.
NTSTATUS UserOpen(OpenKeyRequest request, PHANDLE keyHandle, PULONG disposition, const char* call)
{
    RequireUserMode(call);
    if (request.attributes == nullptr) {
        return BadPointer(UserMode, "null ObjectAttributes");
    }
    OBJECT_ATTRIBUTES attributes = *request.attributes;
    attributes.Attributes &= ~static_cast<ULONG>(OBJ_KERNEL_HANDLE);
    request.attributes = &attributes;
    return OpenOrCreateKey(request, UserMode, keyHandle, disposition);
}

}  // namespace

NTSTATUS NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                     PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    return UserOpen(CreateKeyRequest(DesiredAccess, ObjectAttributes, Class, CreateOptions), KeyHandle, Disposition,
                    "NtCreateKey");
}

NTSTATUS NtOpenKeyEx(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG OpenOptions)
{
    OpenKeyRequest request;
    request.desiredAccess = DesiredAccess;
    request.attributes = ObjectAttributes;
    request.options = OpenOptions;
    return UserOpen(request, KeyHandle, nullptr, "NtOpenKeyEx");
}

NTSTATUS NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return NtOpenKeyEx(KeyHandle, DesiredAccess, ObjectAttributes, 0);
}

NTSTATUS NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength)
{
    RequireUserMode("NtQueryKey");
    return QueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength, UserMode);
}

NTSTATUS NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength)
{
    RequireUserMode("NtEnumerateKey");
    return EnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength, UserMode);
}

NTSTATUS NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    RequireUserMode("NtQueryValueKey");
    return QueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                         UserMode);
}

NTSTATUS NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    RequireUserMode("NtEnumerateValueKey");
    return EnumerateValueKey(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                             UserMode);
}

NTSTATUS NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    RequireUserMode("NtSetValueKey");
    return SetValueKey(KeyHandle, ValueName, TitleIndex, Type, Data, DataSize, UserMode);
}

NTSTATUS NtDeleteKey(HANDLE KeyHandle)
{
    RequireUserMode("NtDeleteKey");
    return DeleteKey(KeyHandle, UserMode);
}

NTSTATUS NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    RequireUserMode("NtDeleteValueKey");
    return DeleteValueKey(KeyHandle, ValueName, UserMode);
}

NTSTATUS NtRenameKey(HANDLE KeyHandle, PUNICODE_STRING NewName)
{
    RequireUserMode("NtRenameKey");
    return RenameKey(KeyHandle, NewName, UserMode);
}

NTSTATUS NtFlushKey(HANDLE KeyHandle)
{
    RequireUserMode("NtFlushKey");
    return FlushKey(KeyHandle, UserMode);
}

NTSTATUS NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length, PULONG LengthNeeded)
{
    RequireUserMode("NtQuerySecurityObject");
    return QueryKeySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded, UserMode);
}

NTSTATUS NtClose(HANDLE Handle)
{
    RequireUserMode("NtClose");
    return CloseHandle(Handle, UserMode);
}

NTSTATUS LoadApplicationHive(ACCESS_MASK DesiredAccess, PHANDLE RootHandle, std::u16string* hiveName)
{
    RequireUserMode("LoadApplicationHive");
    std::shared_ptr<AppHive> hive;
    std::u16string name;
    SecurityDescriptorBytes rootSecurity = UserHiveSecurity(TokenOf(CurrentContext().process).user);
    {
        std::lock_guard lock(TreeLock());
        hive = AddAppHive(std::move(rootSecurity));
        name = u"\\REGISTRY\\A\\" + hive->guid;
    }
    UNICODE_STRING counted = CountedView(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    OpenKeyRequest request;
    request.desiredAccess = DesiredAccess;
    request.attributes = &attributes;
    request.allowAppHiveRoot = true;
    NTSTATUS status = OpenOrCreateKey(request, UserMode, RootHandle, nullptr);
    {
        std::lock_guard lock(TreeLock());
        // An open that failed leaves nothing holding the hive: it unloads at once.
        if (hive->keyObjects == 0) {
            RemoveAppHive(*hive);
        }
    }
    if (NT_SUCCESS(status) && hiveName != nullptr) {
        *hiveName = name;
    }
    return status;
}

}  // namespace vexsim
