// The registry-operation log record and the shortening of its path.
#include "callback/callback_private.h"

#include "common/pool_tags.h"
#include "log/log.h"

// A path longer than this (260 characters) is logged shortened in the middle.
#define LOG_PATH_CAPACITY 520
#define LOG_PATH_MINIMUM_CAPACITY 16

static const WCHAR g_PathEllipsis[] = L" ... ";
#define PATH_ELLIPSIS_BYTES (sizeof(g_PathEllipsis) - sizeof(WCHAR))

// The head keeps the first half of the capacity but for two characters, the tail the rest but
// for the ellipsis, so a shortened path fills the capacity exactly: with 520 bytes, 128
// characters, " ... " and 127 characters. A capacity is counted in whole characters.
NTSTATUS ShortenLogPath(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    const ULONG capacity = Destination->MaximumLength & ~(ULONG)1;
    Destination->Length = 0;
    if (capacity < LOG_PATH_MINIMUM_CAPACITY) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Source->Length <= capacity) {
        RtlCopyMemory(Destination->Buffer, Source->Buffer, Source->Length);
        Destination->Length = Source->Length;
        return STATUS_SUCCESS;
    }
    const ULONG half = (capacity / 2) & ~(ULONG)1;
    const ULONG head = half - 2 * sizeof(WCHAR);
    const ULONG tail = capacity - head - PATH_ELLIPSIS_BYTES;
    PUCHAR out = (PUCHAR)Destination->Buffer;
    RtlCopyMemory(out, Source->Buffer, head);
    RtlCopyMemory(out + head, g_PathEllipsis, PATH_ELLIPSIS_BYTES);
    RtlCopyMemory(out + head + PATH_ELLIPSIS_BYTES, (PUCHAR)Source->Buffer + Source->Length - tail, tail);
    Destination->Length = (USHORT)capacity;
    return STATUS_SUCCESS;
}

NTSTATUS LogRegistryOperation(ULONG Level, HANDLE ProcessId, PCWSTR OperationText, PCWSTR FuncText, NTSTATUS Status,
                              PCUNICODE_STRING Path)
{
    if (!IsLogLevelEnabled(Level)) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING shortened;
    shortened.Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, LOG_PATH_CAPACITY, VEXR_TAG);
    if (shortened.Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    shortened.Length = 0;
    shortened.MaximumLength = LOG_PATH_CAPACITY;
    (VOID)ShortenLogPath(&shortened, Path);
    NTSTATUS status = WriteLog(Level, ProcessId, NULL, L"%s %s %s status = 0x%08XL path = %wZ", OperationText, L"Ope = PRE",
                               FuncText, Status, &shortened);
    ExFreePoolWithTag(shortened.Buffer, VEXR_TAG);
    return status;
}
