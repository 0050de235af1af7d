// Carrying a key's last-write time and security descriptor over to its copy.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/pool_tags.h"
#include "tables/dl_ext_func.h"
#include "tables/global_data.h"

NTSTATUS CopyWriteTimeInfo(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName)
{
    HANDLE key = NULL;
    KEY_CACHED_INFORMATION cached = {};
    ULONG length = 0;

    TraceLine("VexRegFilter - CopyWriteTimeInfo() - enter\n");
    TraceLine("VexRegFilter - CopyWriteTimeInfo() [SourceName] : %wZ\n", SourceName);
    TraceLine("VexRegFilter - CopyWriteTimeInfo() [TargetName] : %wZ\n", TargetName);
    NTSTATUS status = OpenRegistryKey(&key, SourceName, KEY_READ);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyWriteTimeInfo - ZwOpenKey failed  : %wZ\n", SourceName);
        goto Exit;
    }
    status = ZwQueryKey(key, KeyCachedInformation, &cached, sizeof(cached), &length);
    CloseKey(&key);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyWriteTimeInfo - ZwQueryKey failed  : %wZ\n", SourceName);
        goto Exit;
    }
    status = OpenRegistryKey(&key, TargetName, KEY_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyWriteTimeInfo - ZwOpenKey failed  : %wZ\n", TargetName);
        goto Exit;
    }
    status = SetKeyLastWriteTime(key, cached.LastWriteTime);
    CloseKey(&key);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyWriteTimeInfo - SetInformationKey failed  : %wZ\n", TargetName);
    }

Exit:
    TraceLine("VexRegFilter - CopyWriteTimeInfo() - exit\n");
    return status;
}

// The owner stays the copy's own; group, DACL and SACL come from the source.
#define COPIED_SECURITY_INFORMATION (GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION)

NTSTATUS QueryKeySecurity(HANDLE Key, PCUNICODE_STRING Name, PSECURITY_DESCRIPTOR* Descriptor)
{
    ULONG length = 0;
    *Descriptor = NULL;
    NTSTATUS status = ZwQuerySecurityObject(Key, COPIED_SECURITY_INFORMATION, NULL, 0, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        PrintPrefixed("CopySecurityObject - Failed to ZwQuerySecurityObject. status = %x key = %wZ\n", status, Name);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    if (length == 0) {
        PrintPrefixed("CopySecurityObject - Failed to ZwQuerySecurityObject(Zero length). status = %x key = %wZ\n", status, Name);
        return STATUS_BUFFER_TOO_SMALL;
    }
    PSECURITY_DESCRIPTOR descriptor = ExAllocatePoolZero(g_NonPagedPoolType, length, VEXR_TAG);
    if (descriptor == NULL) {
        PrintPrefixed("CopySecurityObject - Descriptor allocate error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQuerySecurityObject(Key, COPIED_SECURITY_INFORMATION, descriptor, length, &length);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopySecurityObject - Failed to ZwQuerySecurityObject. status = %x key = %wZ\n", status, Name);
        ExFreePoolWithTag(descriptor, VEXR_TAG);
        return status;
    }
    *Descriptor = descriptor;
    return STATUS_SUCCESS;
}

NTSTATUS ApplyKeySecurity(HANDLE Key, PCUNICODE_STRING Name, PSECURITY_DESCRIPTOR Descriptor)
{
    NTSTATUS status = ZwSetSecurityObject(Key, COPIED_SECURITY_INFORMATION, Descriptor);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopySecurityObject - Failed to ZwSetSecurityObject. status = %x key = %wZ\n", status, Name);
    }
    return status;
}

NTSTATUS CopySecurityObject(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName)
{
    HANDLE key = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;

    NTSTATUS status = OpenRegistryKey(&key, SourceName, KEY_READ);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopySecurityObject - Failed to OpenRegistryKey. status = %x key = %wZ\n", status, SourceName);
        return status;
    }
    status = QueryKeySecurity(key, SourceName, &descriptor);
    CloseKey(&key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = OpenRegistryKey(&key, TargetName, KEY_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopySecurityObject - Failed to OpenRegistryKey. status = %x key = %wZ\n", status, TargetName);
    } else {
        status = ApplyKeySecurity(key, TargetName, descriptor);
        CloseKey(&key);
    }
    ExFreePoolWithTag(descriptor, VEXR_TAG);
    return status;
}
