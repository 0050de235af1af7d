// Records and routines the notify folder shares: the channel state, the client slots, the process
// data records and the classification tests.
//
// Locks. Each client slot's mutex guards that slot's fields and is never held while sending,
// closing a port or logging. The process-data mutex guards the live record list; BroadcastMessage
// may be called under it (it only allocates and queues), nothing else that waits or logs is.
// The send gate is a lock-free count; nothing nests under it.
#pragma once

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"
#include "notify/notify.h"

#define NOTIFY_CLIENT_SLOTS 3
#define NOTIFY_PORT_NAME L"\\VexRegFilterConnectionPort"
#define NOTIFY_SEND_TIMEOUT (-100000000LL)  // 10 s, relative, in 100 ns units

// Sends queued and not yet finished at once; beyond this BroadcastMessage drops the message. Each
// send can hold a system worker thread for 10 s per slow client, so the queue must stay short.
#define NOTIFY_MAX_OUTSTANDING_SENDS 64

// The send gate: twice the number of outstanding sends, plus this bit once QFHFinalize closed it.
#define NOTIFY_SEND_GATE_CLOSED 1

typedef NTSTATUS(NTAPI* RTL_SET_SACL_SECURITY_DESCRIPTOR)(PSECURITY_DESCRIPTOR, BOOLEAN, PACL, BOOLEAN);
typedef PVOID(NTAPI* PS_GET_PROCESS_ADDRESS)(PEPROCESS);

typedef struct _CLIENT_SLOT {
    FAST_MUTEX Lock;
    PFLT_PORT ClientPort;             // the connected client, or none; closed only through this field
    PUNICODE_STRING ClientImageName;  // image path of the connected process (VexR), or none
    BOOLEAN Closed;                   // the channel is closing: no client may take the slot
} CLIENT_SLOT, *PCLIENT_SLOT;

// A process that qualified at creation, from then until its exit (VexH, 32 + CommandLineLength
// bytes).
typedef struct _VEX_PROCESS_DATA {
    LIST_ENTRY Links;
    PROCESS_MESSAGE Message;  // what is sent and listed; its CommandLine runs past the record's end
} VEX_PROCESS_DATA, *PVEX_PROCESS_DATA;

#define PROCESS_DATA_SIZE(commandLineLength) (FIELD_OFFSET(VEX_PROCESS_DATA, Message.CommandLine) + (commandLineLength))
#define PROCESS_MESSAGE_SIZE(message) (PROCESS_MESSAGE_HEADER_SIZE + (message)->CommandLineLength)

typedef struct _PROCESS_DATA_SET {
    FAST_MUTEX Lock;
    LIST_ENTRY Head;  // VEX_PROCESS_DATA, in creation order
} PROCESS_DATA_SET, *PPROCESS_DATA_SET;

// One queued send (VexH).
typedef struct _BROADCAST_CONTEXT {
    PIO_WORKITEM WorkItem;
    PPROCESS_MESSAGE Message;  // private copy (VexH)
    ULONG MessageLength;
} BROADCAST_CONTEXT, *PBROADCAST_CONTEXT;

typedef struct _NOTIFY_CHANNEL {
    PDEVICE_OBJECT DeviceObject;  // work items are allocated for it
    PFLT_FILTER Filter;
    PFLT_PORT ServerPort;         // the listening port, or none
    CLIENT_SLOT Clients[NOTIFY_CLIENT_SLOTS];
    PROCESS_DATA_SET ProcessData;
    CACHE_TABLE SurrogateCache;   // file names of surrogate hosts, no values
    PS_GET_PROCESS_ADDRESS PsGetProcessSectionBaseAddress;
    PS_GET_PROCESS_ADDRESS PsGetProcessPeb;
    RTL_SET_SACL_SECURITY_DESCRIPTOR RtlSetSaclSecurityDescriptor;
    LONG SendGate;                // see NOTIFY_SEND_GATE_CLOSED; changed only by interlocked operations
    KEVENT SendsDone;             // set when the last send ends after the gate closed
} NOTIFY_CHANNEL, *PNOTIFY_CHANNEL;

extern NOTIFY_CHANNEL g_NotifyChannel;

// Port callbacks.
NTSTATUS FLTAPI ConnectNotify(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
                              PVOID* ConnectionCookie);
VOID FLTAPI DisconnectNotify(PVOID ConnectionCookie);
NTSTATUS FLTAPI MessageNotify(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                              ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);

// Closes every client slot for good (QFHFinalize).
VOID CloseClientSlots(VOID);

// The send gate: no new send once closed, and QFHFinalize waits for those in flight.
VOID OpenSendGate(VOID);
VOID CloseSendGate(VOID);

// Classification. The image tests read the headers at ImageBase in the current (attached)
// process: STATUS_INSUFFICIENT_RESOURCES for a missing base or headers that are not a PE image's,
// STATUS_ACCESS_VIOLATION when they cannot be read.
NTSTATUS IsConsoleApp(PVOID ImageBase, PBOOLEAN IsCui);
NTSTATUS Is64bitApp(PVOID ImageBase, PBOOLEAN Is64);
NTSTATUS IsSurrogateProc(PCUNICODE_STRING ImagePath, PBOOLEAN IsSurrogate);
BOOLEAN IsOwnExecutable(PCUNICODE_STRING ImagePath);
NTSTATUS GetSessionId(PEPROCESS Process, PULONG SessionId);

// What the classification found about one process.
typedef struct _PROCESS_TRAITS {
    ULONG SessionId;
    BOOLEAN IsCui;
    BOOLEAN Is64;
    BOOLEAN IsSurrogate;
} PROCESS_TRAITS, *PPROCESS_TRAITS;

// Is the process one user mode may hear of: not the product's own, not a console program of
// session 0?
BOOLEAN IsReportable(const PROCESS_TRAITS* Traits, PCUNICODE_STRING ImagePath);

// A new record (not linked) for a process with these traits; the command line is kept only for
// a surrogate. Prints its line and returns null when memory runs out.
PVEX_PROCESS_DATA AllocateProcessData(HANDLE ProcessId, ULONG Started, const PROCESS_TRAITS* Traits,
                                      PCUNICODE_STRING CommandLine);
VOID FreeProcessDataList(PLIST_ENTRY Head);

// Listings and the surrogate names.
NTSTATUS QueryProcessIdList(PLIST_ENTRY Set, BOOLEAN WantCui, BOOLEAN WantSurrogate);
NTSTATUS UpdateSurrogateCache(PCWSTR Names, ULONG Length);

// Prints "VexRegFilter.sys: " and then the line, as every debugger line of the channel is printed.
#define NotifyPrint(...)                 \
    do {                                 \
        DbgPrint("VexRegFilter.sys: ");  \
        DbgPrint(__VA_ARGS__);           \
    } while (0)
