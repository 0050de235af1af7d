// Log record queue. Lock guards Queue, Event, EventHandle and Flags; it is taken only below
// DISPATCH_LEVEL, and WriteLog queues only at PASSIVE_LEVEL. ArmedLevels mirrors Event and Flags
// for the level test that every registry operation makes: written under the lock, read without
// it; an append tests the level again under the lock. The queue owns its records until
// GetLogData hands their bodies out or StopLogging discards them; the event is signalled under
// the lock.
#include "log/log.h"

#include "common/locking.h"
#include "common/pool_tags.h"

static struct {
    BOOLEAN Initialized;  // set once by LogInitialize
    FAST_MUTEX Lock;      // guards everything below
    LIST_ENTRY Queue;     // queued records, oldest first
    PKEVENT Event;        // referenced event given by the user; its presence arms the log
    ULONG64 EventHandle;  // the handle value as given, to recognise a repeated request
    ULONG Flags;          // levels that are queued
    ULONG Count;          // records in Queue
    LONG ArmedLevels;     // Flags while Event is set, else 0
} g_Log;

static_assert(sizeof(LOG_RECORD_BODY) == LOG_RECORD_BODY_SIZE, "log record body layout");
static_assert(FIELD_OFFSET(LOG_RECORD_BODY, ProcessName) == LOG_PROCESS_NAME_OFFSET, "log record body layout");
static_assert(FIELD_OFFSET(LOG_RECORD_BODY, Message) == LOG_MESSAGE_OFFSET, "log record body layout");
static_assert(sizeof(LOG_RECORD) == 1112, "log record layout");
static_assert(sizeof(START_LOGGING_REQUEST) == 12, "start-logging request layout");

// Names longer than the field keep their first and last characters around " ... ", filling the
// field but for its NUL.
static const WCHAR g_NameEllipsis[] = L" ... ";
#define LOG_NAME_HEAD_CHARS 13
#define LOG_NAME_TAIL_CHARS 13
static_assert(LOG_NAME_HEAD_CHARS + RTL_NUMBER_OF(g_NameEllipsis) - 1 + LOG_NAME_TAIL_CHARS == LOG_PROCESS_NAME_CHARS - 1,
              "a shortened name fills the field");

NTSTATUS LogInitialize(VOID)
{
    if (g_Log.Initialized) {
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(&g_Log, sizeof(g_Log));
    ExInitializeFastMutex(&g_Log.Lock);
    InitializeListHead(&g_Log.Queue);
    g_Log.Initialized = TRUE;
    return STATUS_SUCCESS;
}

// Is the log armed for Level? Called with Lock held, or where it cannot be taken.
static BOOLEAN IsArmedFor(ULONG Level)
{
    return g_Log.Event != NULL && (g_Log.Flags & Level) != 0;
}

BOOLEAN IsLogLevelEnabled(ULONG Level)
{
    return g_Log.Initialized && ((ULONG)ReadCountAcquire(&g_Log.ArmedLevels) & Level) != 0;
}

ULONG GetLogCount(VOID)
{
    if (!g_Log.Initialized) {
        return 0;
    }
    ExAcquireFastMutex(&g_Log.Lock);
    ULONG count = g_Log.Count;
    ExReleaseFastMutex(&g_Log.Lock);
    return count;
}

static VOID FreeOldestRecord(VOID)
{
    PLOG_RECORD record = CONTAINING_RECORD(RemoveHeadList(&g_Log.Queue), LOG_RECORD, Links);
    g_Log.Count--;
    ExFreePoolWithTag(record, VEXR_TAG);
}

static VOID StoreProcessName(PWSTR Field, PCWSTR Name, SIZE_T Characters)
{
    if (Characters < LOG_PROCESS_NAME_CHARS) {
        RtlCopyMemory(Field, Name, Characters * sizeof(WCHAR));
        return;
    }
    const SIZE_T ellipsisChars = RTL_NUMBER_OF(g_NameEllipsis) - 1;
    RtlCopyMemory(Field, Name, LOG_NAME_HEAD_CHARS * sizeof(WCHAR));
    RtlCopyMemory(Field + LOG_NAME_HEAD_CHARS, g_NameEllipsis, ellipsisChars * sizeof(WCHAR));
    RtlCopyMemory(Field + LOG_NAME_HEAD_CHARS + ellipsisChars, Name + Characters - LOG_NAME_TAIL_CHARS,
                  LOG_NAME_TAIL_CHARS * sizeof(WCHAR));
}

// Appends a record, dropping the oldest ones beyond the limit, and signals the event. The log may
// have been disarmed, or its mask changed, since the writer asked: the record is queued only if
// its level is still enabled when it is appended, under the same hold of the lock, and is freed
// otherwise.
static VOID QueueRecord(PLOG_RECORD Record)
{
    ExAcquireFastMutex(&g_Log.Lock);
    BOOLEAN armed = IsArmedFor(Record->Body.Level);
    if (armed) {
        while (g_Log.Count >= LOG_QUEUE_LIMIT) {
            FreeOldestRecord();
        }
        InsertTailList(&g_Log.Queue, &Record->Links);
        g_Log.Count++;
        KeSetEvent(g_Log.Event, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&g_Log.Lock);
    if (!armed) {
        ExFreePoolWithTag(Record, VEXR_TAG);
    }
}

static NTSTATUS WriteLogV(ULONG Level, HANDLE ProcessId, PCWSTR ProcessName, PCWSTR Format, va_list Arguments)
{
    if (!g_Log.Initialized) {
        return STATUS_UNSUCCESSFUL;
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql > PASSIVE_LEVEL) {
        DbgPrint("[Logging][RegFilter]\n          IRQL        : %d\n          Level       : %d\n"
                 "          ProcessId   : %d\n          Format      : %ws\n",
                 irql, Level, (ULONG)(ULONG_PTR)ProcessId, Format);
        return STATUS_SUCCESS;
    }
    if (!IsLogLevelEnabled(Level)) {
        return STATUS_SUCCESS;
    }

    NTSTATUS status;
    PWSTR lookedUpName = NULL;
    PLOG_RECORD record = (PLOG_RECORD)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(LOG_RECORD), VEXR_TAG);
    if (record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->Body.Level = Level;
    record->Body.ProcessId = (ULONG)(ULONG_PTR)ProcessId;

    if (ProcessName == NULL) {
        status = GetProcessName(&lookedUpName, ProcessId);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(record, VEXR_TAG);
            return status;
        }
        ProcessName = lookedUpName;
    }
    size_t nameChars = 0;
    status = RtlStringCchLengthW(ProcessName, NTSTRSAFE_MAX_CCH, &nameChars);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INVALID_PARAMETER;
        ExFreePoolWithTag(record, VEXR_TAG);
        goto Exit;
    }
    StoreProcessName(record->Body.ProcessName, ProcessName, nameChars);

    // A message that does not fit is cut at 511 characters and queued all the same.
    RtlStringCbVPrintfW(record->Body.Message, sizeof(record->Body.Message), Format, Arguments);

    QueueRecord(record);
    status = STATUS_SUCCESS;

Exit:
    if (lookedUpName != NULL) {
        ExFreePoolWithTag(lookedUpName, VEXR_TAG);
    }
    return status;
}

NTSTATUS WriteLog(ULONG Level, HANDLE ProcessId, PCWSTR ProcessName, PCWSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    NTSTATUS status = WriteLogV(Level, ProcessId, ProcessName, Format, arguments);
    va_end(arguments);
    return status;
}

NTSTATUS StartLogging(const START_LOGGING_REQUEST* Request)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = (HANDLE)(ULONG_PTR)Request->EventHandle;

    if (g_Log.Initialized) {
        ExAcquireFastMutex(&g_Log.Lock);
        BOOLEAN unchanged = g_Log.EventHandle == Request->EventHandle && g_Log.Flags == Request->Flags;
        ExReleaseFastMutex(&g_Log.Lock);

        if (unchanged) {
            status = STATUS_SUCCESS;
        } else {
            PKEVENT event = NULL;
            status = ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, (PVOID*)&event, NULL);
            if (!NT_SUCCESS(status)) {
                DbgPrint("[Logging] StartLogging : ObReferenceObjectByHandle failed: %08X\n", status);
            } else {
                ExAcquireFastMutex(&g_Log.Lock);
                PKEVENT previous = g_Log.Event;
                g_Log.Event = event;
                g_Log.EventHandle = Request->EventHandle;
                g_Log.Flags = Request->Flags;
                InterlockedExchange(&g_Log.ArmedLevels, (LONG)Request->Flags);
                ExReleaseFastMutex(&g_Log.Lock);
                if (previous != NULL) {
                    ObDereferenceObject(previous);
                }
            }
        }
    }

    WriteLog(LOG_LEVEL_TRACE, PsGetCurrentProcessId(), NULL,
             L"%s %s Handle = 0x%p Flags = 0x%08XL status = 0x%08XL", L"IRP = DEV_CTRL", L"IOCTL = START_LOG", handle,
             Request->Flags, status);
    return status;
}

NTSTATUS StopLogging(VOID)
{
    if (!g_Log.Initialized) {
        return STATUS_UNSUCCESSFUL;
    }
    ExAcquireFastMutex(&g_Log.Lock);
    while (!IsListEmpty(&g_Log.Queue)) {
        FreeOldestRecord();
    }
    PKEVENT event = g_Log.Event;
    g_Log.Event = NULL;
    g_Log.EventHandle = 0;
    g_Log.Flags = 0;
    InterlockedExchange(&g_Log.ArmedLevels, 0);
    ExReleaseFastMutex(&g_Log.Lock);
    if (event != NULL) {
        ObDereferenceObject(event);
    }
    return STATUS_SUCCESS;
}

// Handing records out removes them from the queue, which is not done without the lock: at
// DISPATCH_LEVEL or above the request is refused.
NTSTATUS GetLogData(PVOID Buffer, PULONG Length)
{
    if (!g_Log.Initialized || !MayTakeLock()) {
        *Length = 0;
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG room = *Length / LOG_RECORD_BODY_SIZE;
    ULONG copied = 0;
    ExAcquireFastMutex(&g_Log.Lock);
    if (room == 0) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (IsListEmpty(&g_Log.Queue)) {
        status = STATUS_NO_MORE_ENTRIES;
    } else {
        while (copied < room && !IsListEmpty(&g_Log.Queue)) {
            PLOG_RECORD record = CONTAINING_RECORD(g_Log.Queue.Flink, LOG_RECORD, Links);
            RtlCopyMemory((PUCHAR)Buffer + (SIZE_T)copied * LOG_RECORD_BODY_SIZE, &record->Body, LOG_RECORD_BODY_SIZE);
            FreeOldestRecord();
            copied++;
        }
    }
    ExReleaseFastMutex(&g_Log.Lock);
    *Length = copied * LOG_RECORD_BODY_SIZE;
    return status;
}
