// DOS paths to device paths, the DOS image path of a new process, and file-name parts.
#include "process/name_utils.h"

#include "common/match.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"

// Allocates a zero-filled buffer for String; sizes a counted string cannot express are refused.
static NTSTATUS AllocateStringBuffer(PUNICODE_STRING String, ULONG Bytes)
{
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
    if (Bytes > MAX_COUNTED_BYTES) {
        return STATUS_NAME_TOO_LONG;
    }
    String->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, Bytes, VEXR_TAG);
    if (String->Buffer == NULL) {
        DbgPrint("Memory allocation error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    String->MaximumLength = (USHORT)Bytes;
    return STATUS_SUCCESS;
}

static VOID AppendText(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    RtlCopyMemory((PUCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)(Destination->Length + Source->Length);
}

BOOLEAN IsDosPath(PCUNICODE_STRING Path)
{
    return Path != NULL && Path->Buffer != NULL && Path->Length >= 3 * sizeof(WCHAR) && Path->Buffer[1] == L':' &&
           Path->Buffer[2] == L'\\';
}

NTSTATUS GetNtNameFromDosName(PCUNICODE_STRING DosName, PUNICODE_STRING NtName)
{
    NTSTATUS status;
    HANDLE link = NULL;
    UNICODE_STRING target = {0, 0, NULL};
    ULONG needed = 0;

    NtName->Buffer = NULL;
    NtName->Length = 0;
    NtName->MaximumLength = 0;
    if (!IsDosPath(DosName)) {
        DbgPrint("GetNtNameFromDosName failed: Invalid Parameter %wZ\n", DosName);
        return STATUS_INVALID_PARAMETER;
    }

    UNICODE_STRING rest;
    rest.Buffer = DosName->Buffer + 2;
    rest.Length = (USHORT)(DosName->Length - 2 * sizeof(WCHAR));
    rest.MaximumLength = rest.Length;

    WCHAR linkText[6] = {L'\\', L'?', L'?', L'\\', DosName->Buffer[0], L':'};
    UNICODE_STRING linkName;
    linkName.Buffer = linkText;
    linkName.Length = sizeof(linkText);
    linkName.MaximumLength = sizeof(linkText);

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &linkName, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ZwOpenSymbolicLinkObject failed %x\n", status);
        link = NULL;
        goto Cleanup;
    }

    status = ZwQuerySymbolicLinkObject(link, &target, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        DbgPrint("ZwOpenSymbolicLinkObject failed (not TOO_SMALL) %x\n", status);
        if (NT_SUCCESS(status)) {
            status = STATUS_UNSUCCESSFUL;
        }
        goto Cleanup;
    }
    if (needed == 0) {
        DbgPrint("SymbolicLinkLength is zero\n");
        status = STATUS_BUFFER_TOO_SMALL;
        goto Cleanup;
    }
    status = AllocateStringBuffer(&target, needed);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    status = ZwQuerySymbolicLinkObject(link, &target, &needed);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ZwQuerySymbolicLinkObject failed %x\n", status);
        goto Cleanup;
    }

    status = AllocateStringBuffer(NtName, (ULONG)target.Length + rest.Length);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    AppendText(NtName, &target);
    AppendText(NtName, &rest);

Cleanup:
    FreeOwnedString(&target);
    if (link != NULL) {
        ZwClose(link);
    }
    return status;
}

// Results hold the text and a NUL after it. A volume without a DOS name (no drive letter) does not
// stop the process from being named: the name its image was opened by stands in.
NTSTATUS GetFileNameFromCreateInfo(PPS_CREATE_NOTIFY_INFO CreateInfo, PUNICODE_STRING DosName)
{
    static const UNICODE_STRING uncPrefix = CONSTANT_NAME(L"\\??\\UNC");
    static const UNICODE_STRING backslash = CONSTANT_NAME(L"\\");
    NTSTATUS status;
    PFILE_OBJECT file = CreateInfo->FileObject;

    DosName->Buffer = NULL;
    DosName->Length = 0;
    DosName->MaximumLength = 0;
    if (file != NULL && file->Vpb != NULL) {
        UNICODE_STRING volume = {0, 0, NULL};
        status = IoVolumeDeviceToDosName(file->Vpb->RealDevice, &volume);
        if (NT_SUCCESS(status)) {
            status = AllocateStringBuffer(DosName, (ULONG)volume.Length + file->FileName.Length + sizeof(WCHAR));
            if (NT_SUCCESS(status)) {
                AppendText(DosName, &volume);
                AppendText(DosName, &file->FileName);
            }
            ExFreePool(volume.Buffer);
            return status;
        }
        DbgPrint("IoVolumeDeviceToDosName failed: 0x%08x\n", status);
    } else if (file != NULL && IsPrefixName(&uncPrefix, CreateInfo->ImageFileName)) {
        status = AllocateStringBuffer(DosName, (ULONG)backslash.Length + file->FileName.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status)) {
            AppendText(DosName, &backslash);
            AppendText(DosName, &file->FileName);
        }
        return status;
    }
    if (CreateInfo->ImageFileName == NULL || CreateInfo->ImageFileName->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    status = AllocateStringBuffer(DosName, (ULONG)CreateInfo->ImageFileName->Length + sizeof(WCHAR));
    if (NT_SUCCESS(status)) {
        AppendText(DosName, CreateInfo->ImageFileName);
    }
    return status;
}

NTSTATUS GetFileNamePart(PUNICODE_STRING FileName, PCUNICODE_STRING Path)
{
    FileName->Buffer = NULL;
    FileName->Length = 0;
    FileName->MaximumLength = 0;
    if (Path == NULL || Path->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT count = Path->Length / sizeof(WCHAR);
    USHORT start = 0;
    // The last backslash that has a character after it starts the name.
    for (USHORT i = 0; i + 1 < count; i++) {
        if (Path->Buffer[i] == L'\\') {
            start = i + 1;
        }
    }
    FileName->Buffer = Path->Buffer + start;
    FileName->Length = (USHORT)((count - start) * sizeof(WCHAR));
    FileName->MaximumLength = FileName->Length;
    return STATUS_SUCCESS;
}

NTSTATUS GetFileNameFromFullPath(PUNICODE_STRING FileName, PCUNICODE_STRING Path)
{
    UNICODE_STRING part;
    NTSTATUS status = GetFileNamePart(&part, Path);
    FileName->Buffer = NULL;
    FileName->Length = 0;
    FileName->MaximumLength = 0;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (part.Length == 0) {
        return STATUS_SUCCESS;
    }
    FileName->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, part.Length, VEXR_TAG);
    if (FileName->Buffer == NULL) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("GetFileNameFromFullPath : resource allocation error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(FileName->Buffer, part.Buffer, part.Length);
    FileName->Length = part.Length;
    FileName->MaximumLength = part.Length;
    return STATUS_SUCCESS;
}

BOOLEAN ContainsTilde(PCUNICODE_STRING Path)
{
    if (Path == NULL || Path->Buffer == NULL) {
        return FALSE;
    }
    for (USHORT i = 0; i < Path->Length / sizeof(WCHAR); i++) {
        if (Path->Buffer[i] == L'~') {
            return TRUE;
        }
    }
    return FALSE;
}
