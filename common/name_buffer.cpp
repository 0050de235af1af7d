#include "common/name_buffer.h"

#include "common/pool_tags.h"

NTSTATUS AllocateName(PUNICODE_STRING String, ULONG Capacity)
{
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
    if (Capacity > MAX_COUNTED_BYTES) {
        return STATUS_NAME_TOO_LONG;
    }
    // A zero capacity still gets a buffer, so that an empty name is told apart from no name.
    String->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, Capacity != 0 ? Capacity : sizeof(WCHAR), VEXR_TAG);
    if (String->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    String->MaximumLength = (USHORT)Capacity;
    return STATUS_SUCCESS;
}

VOID AppendNameBytes(PUNICODE_STRING String, const WCHAR* Source, ULONG Bytes)
{
    if (Bytes == 0 || (ULONG)String->Length + Bytes > String->MaximumLength) {
        return;
    }
    RtlCopyMemory((PUCHAR)String->Buffer + String->Length, Source, Bytes);
    String->Length = (USHORT)(String->Length + Bytes);
}

VOID AppendName(PUNICODE_STRING String, PCUNICODE_STRING Source)
{
    AppendNameBytes(String, Source->Buffer, Source->Length);
}

VOID AppendNameTail(PUNICODE_STRING String, PCUNICODE_STRING Source, ULONG SkipBytes)
{
    if (Source->Length > SkipBytes) {
        AppendNameBytes(String, (const WCHAR*)((const UCHAR*)Source->Buffer + SkipBytes), Source->Length - SkipBytes);
    }
}

NTSTATUS CopyName(PUNICODE_STRING Destination, PCUNICODE_STRING Source, ULONG Capacity)
{
    NTSTATUS status = AllocateName(Destination, Capacity > Source->Length ? Capacity : Source->Length);
    if (NT_SUCCESS(status)) {
        AppendName(Destination, Source);
    }
    return status;
}

NTSTATUS DuplicateName(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    return CopyName(Destination, Source, Source->Length);
}

VOID FreeOwnedString(PUNICODE_STRING String)
{
    if (String->Buffer != NULL) {
        ExFreePoolWithTag(String->Buffer, VEXR_TAG);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}
