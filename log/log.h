// The log record queue: a bounded queue of records that user mode arms with an event and a level
// mask, drains, and disarms. Nothing is queued while it is not armed.
#pragma once

#include "platform.h"
#include "log/log_format.h"

typedef struct _LOG_RECORD_BODY {
    ULONG Level;                                // the level bit given by the writer
    ULONG ProcessId;                            // the process id given by the writer
    WCHAR ProcessName[LOG_PROCESS_NAME_CHARS];  // at most 31 characters, shortened in the middle
    WCHAR Message[LOG_MESSAGE_CHARS];           // at most 511 characters
} LOG_RECORD_BODY, *PLOG_RECORD_BODY;

typedef struct _LOG_RECORD {
    LIST_ENTRY Links;  // in the queue, oldest first
    LOG_RECORD_BODY Body;
} LOG_RECORD, *PLOG_RECORD;

// Input of IOCTL_START_LOGGING, exactly 12 bytes.
#pragma pack(push, 4)
typedef struct _START_LOGGING_REQUEST {
    ULONG64 EventHandle;  // an event handle valid in the calling process
    ULONG Flags;          // level mask
} START_LOGGING_REQUEST, *PSTART_LOGGING_REQUEST;
#pragma pack(pop)

NTSTATUS LogInitialize(VOID);
BOOLEAN IsLogLevelEnabled(ULONG Level);

// Queues a record when the log is armed for Level. ProcessName may be null: it is then looked up
// by ProcessId. Format is a wide printf format with the kernel's extensions (%s takes a wide
// string, %wZ a counted string). Writers ignore the result: logging never fails an operation.
NTSTATUS WriteLog(ULONG Level, HANDLE ProcessId, PCWSTR ProcessName, PCWSTR Format, ...);

ULONG GetLogCount(VOID);
NTSTATUS StartLogging(const START_LOGGING_REQUEST* Request);
NTSTATUS StopLogging(VOID);

// Copies whole record bodies, oldest first, into Buffer; Length is the buffer's size on entry and
// the number of bytes written on return.
NTSTATUS GetLogData(PVOID Buffer, PULONG Length);

// The image file name of a process as a NUL-terminated VexR allocation the caller frees.
NTSTATUS GetProcessName(PWSTR* Name, HANDLE ProcessId);
