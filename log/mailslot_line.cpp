#include "log/mailslot_line.h"

#include "common/pool_tags.h"

#define DEBUG_LOG_LEVEL_MASK_SHIFT 16
#define DEBUG_LOG_LEVEL_MASK_BYTE 2  // the byte of the DWORD that holds the mask
#define LINE_LEVEL_BITS 0x7F

NTSTATUS GetDebugLogFlags(PULONG Mask)
{
    *Mask = 0;
    UNICODE_STRING keyName;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&keyName, PRODUCT_KEY_NAME);
    RtlInitUnicodeString(&valueName, DEBUG_LOG_LEVEL_VALUE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ZwOpenKey failed. Path = %wZ NTStatus = %x\n", &keyName, status);
        return status;
    }
    ULONG needed = 0;
    PKEY_VALUE_PARTIAL_INFORMATION value = NULL;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &needed);
    if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) {
        DbgPrint("ZwQueryValueKey ValueName = %wZ NTStatus = %x\n", &valueName, status);
        goto Exit;
    }
    value = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, needed, VEXR_TAG);
    if (value == NULL) {
        DbgPrint("DebugLogFlag allocate error\n");
        goto Exit;
    }
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, needed, &needed);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ZwQueryValueKey ValueName = %wZ NTStatus = %x\n", &valueName, status);
        goto Exit;
    }
    if (value->Type != REG_DWORD) {
        DbgPrint("REG_XXX type = %08x\n", value->Type);
    } else if (value->DataLength == 0) {
        DbgPrint("DataLength = Zero\n");
    } else if (value->DataLength > DEBUG_LOG_LEVEL_MASK_BYTE) {
        // Only data that reaches the third byte is read; shorter data chooses nothing.
        *Mask = value->Data[DEBUG_LOG_LEVEL_MASK_BYTE];
    }
    status = STATUS_SUCCESS;

Exit:
    if (value != NULL) {
        ExFreePoolWithTag(value, VEXR_TAG);
    }
    ZwClose(key);
    return status;
}

static PCWSTR LevelName(ULONG LineLevel)
{
    if ((LineLevel & 0x03) != 0) {
        return L"Info";
    }
    if ((LineLevel & 0x0C) != 0) {
        return L"Warn";
    }
    if ((LineLevel & 0x30) != 0) {
        return L"Error";
    }
    return L"Trace";
}

NTSTATUS WriteMailslotLine(ULONG LineLevel, ULONG Mask, HANDLE Mailslot, HANDLE ProcessId, HANDLE ThreadId,
                           PCWSTR ProcessName, PCWSTR Format, ...)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || (LineLevel & Mask) == 0 || (LineLevel & LINE_LEVEL_BITS) == 0) {
        return STATUS_SUCCESS;
    }
    PWSTR line = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, MAILSLOT_LINE_BYTES, VEXR_TAG);
    if (line == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER systemTime;
    LARGE_INTEGER localTime;
    TIME_FIELDS time;
    KeQuerySystemTime(&systemTime);
    ExSystemTimeToLocalTime(&systemTime, &localTime);
    RtlTimeToTimeFields(&localTime, &time);
    ULONG processId = (ULONG)(ULONG_PTR)ProcessId;
    if (ProcessName == NULL) {
        ProcessName = L"";
    }
    NTSTATUS status = RtlStringCbPrintfW(line, MAILSLOT_LINE_BYTES, L"0|%d/%02d/%02d %02d:%02d:%02d [%ws (%d)] tid=%d %ws : %ws [%ws (%d)] ",
                                         time.Year, time.Month, time.Day, time.Hour, time.Minute, time.Second, ProcessName,
                                         processId, (ULONG)(ULONG_PTR)ThreadId, L"VexRegFilter", LevelName(LineLevel),
                                         ProcessName, processId);
    size_t headerBytes = 0;
    if (NT_SUCCESS(status)) {
        status = RtlStringCbLengthW(line, MAILSLOT_LINE_BYTES, &headerBytes);
    }
    if (NT_SUCCESS(status)) {
        // A text that does not fit is cut; the cut line is still written.
        va_list arguments;
        va_start(arguments, Format);
        (void)RtlStringCbVPrintfW(line + headerBytes / sizeof(WCHAR), MAILSLOT_LINE_BYTES - headerBytes, Format, arguments);
        va_end(arguments);
        size_t lineBytes = 0;
        (void)RtlStringCbLengthW(line, MAILSLOT_LINE_BYTES, &lineBytes);
        IO_STATUS_BLOCK ioStatus;
        status = ZwWriteFile(Mailslot, NULL, NULL, NULL, &ioStatus, line, (ULONG)(lineBytes + sizeof(WCHAR)), NULL, NULL);
        if (!NT_SUCCESS(status)) {
            DbgPrint("ZwWriteFile failed. Mailslot = %p NTStatus = %x\n", Mailslot, status);
        }
    }
    ExFreePoolWithTag(line, VEXR_TAG);
    return status;
}
