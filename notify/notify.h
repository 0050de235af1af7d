// The notification channel: the filter-manager communication port through which user-mode
// clients hear of console programs and surrogate hosts starting and exiting, and the process
// classification that decides which processes those are.
//
// Start-up opens the channel (QFHInitialize) after registering the filter; unload closes it
// (QFHFinalize) after every notify routine is removed and before the filter goes. Between the
// two, the process notify routine hands every creation to RecordProcessData and every exit to
// AnnounceProcessExit; OnImageLoaded, registered by redirection start, sends the start message.
#pragma once

#include "platform.h"
#include "notify/process_message_format.h"

// The message sent to clients, and the element of the listings.
typedef struct _PROCESS_MESSAGE {
    ULONG ProcessId;          // low 32 bits of the process id
    ULONG Started;            // 1 started (base library loaded), 0 exited
    ULONG Flags;              // PROCESS_FLAG_* bits
    ULONG CommandLineLength;  // bytes of CommandLine; 0 unless a surrogate had a command line
    WCHAR CommandLine[1];     // CommandLineLength bytes, no NUL
} PROCESS_MESSAGE, *PPROCESS_MESSAGE;

static_assert(FIELD_OFFSET(PROCESS_MESSAGE, Flags) == PROCESS_MESSAGE_FLAGS_OFFSET, "message layout");
static_assert(FIELD_OFFSET(PROCESS_MESSAGE, CommandLine) == PROCESS_MESSAGE_COMMAND_LINE_OFFSET, "message layout");

// Opens the port "\VexRegFilterConnectionPort" on the filter and prepares the surrogate cache and
// the process records. A failure fails the driver load; QFHFinalize undoes what was done.
NTSTATUS QFHInitialize(PDEVICE_OBJECT DeviceObject, PFLT_FILTER Filter);

// Closes the port and every client connection, waits until no queued send is left, and frees
// the process records and the surrogate cache. Always succeeds.
NTSTATUS QFHFinalize(VOID);

// Queues one send of a copy of Message (Length bytes) to every connected client and returns
// before anything is sent. May be called with the process-data mutex held. Fails, dropping the
// message, when memory runs out, when too many sends are outstanding, or once QFHFinalize began.
NTSTATUS BroadcastMessage(const PROCESS_MESSAGE* Message, ULONG Length);

// A process was created: records it when it is a console program outside session 0 or a
// surrogate host (not one of the product's own programs); nothing is sent yet. Records left by
// an earlier process with the same id (whose exit was missed) are dropped first, in every case.
VOID RecordProcessData(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);

// A process exited: sends the exit message of its record, if it has one, and drops the record.
VOID AnnounceProcessExit(HANDLE ProcessId);

// The load-image notify routine: when a recorded process loads its system base library, its
// start message goes out (once).
VOID NTAPI OnImageLoaded(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);

// Register and remove OnImageLoaded, keeping g_VexRegFilterData.ImageNotifyRegistered under its
// lock. Removing when not registered succeeds without doing anything.
NTSTATUS RegisterImageLoadNotify(VOID);
NTSTATUS UnregisterImageLoadNotify(VOID);

// The listings: TotalLength and the messages of the running console programs (or surrogate hosts)
// into Output, a kernel buffer of OutputLength bytes. STATUS_BUFFER_TOO_SMALL with the length
// needed in the first u32 when the messages do not fit. The surrogate listing first replaces the
// set of surrogate image names with Input: UTF-16 file names separated by '*' and ended by a NUL.
NTSTATUS GetCuiPidList(PVOID Output, ULONG OutputLength);
NTSTATUS GetSurrogatePidList(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength);
