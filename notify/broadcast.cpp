// Sending messages: BroadcastMessage queues a copy on the delayed work queue and SendMessageWorker
// sends it to each connected client in turn, waiting up to 10 s for each empty reply.
//
// The send gate counts the sends that are queued or running. It is bounded, so a burst of process
// starts cannot tie up the system's worker threads without end, and QFHFinalize closes it and
// waits for the count to drop to zero, so no work item runs against a closed channel.
#include "notify/notify_private.h"

#include "log/log.h"
#include "process/name_utils.h"

#define NOTIFY_RECORD_LEVEL 0x02    // one per client and message
#define SEND_FAILURE_LEVEL 0x40

static LONG ReadSendGate(VOID)
{
    return InterlockedCompareExchange(&g_NotifyChannel.SendGate, 0, 0);
}

// The gate starts open and empty with the zeroed channel.
VOID OpenSendGate(VOID)
{
    KeInitializeEvent(&g_NotifyChannel.SendsDone, NotificationEvent, FALSE);
}

// Counts one more send, unless the gate is closed or the bound reached.
static BOOLEAN EnterSendGate(VOID)
{
    for (;;) {
        LONG gate = ReadSendGate();
        if ((gate & NOTIFY_SEND_GATE_CLOSED) != 0 || gate / 2 >= NOTIFY_MAX_OUTSTANDING_SENDS) {
            return FALSE;
        }
        if (InterlockedCompareExchange(&g_NotifyChannel.SendGate, gate + 2, gate) == gate) {
            return TRUE;
        }
    }
}

static VOID LeaveSendGate(VOID)
{
    for (;;) {
        LONG gate = ReadSendGate();
        if (InterlockedCompareExchange(&g_NotifyChannel.SendGate, gate - 2, gate) == gate) {
            if (gate - 2 == NOTIFY_SEND_GATE_CLOSED) {
                KeSetEvent(&g_NotifyChannel.SendsDone, IO_NO_INCREMENT, FALSE);
            }
            return;
        }
    }
}

VOID CloseSendGate(VOID)
{
    for (;;) {
        LONG gate = ReadSendGate();
        if ((gate & NOTIFY_SEND_GATE_CLOSED) != 0) {
            return;
        }
        if (InterlockedCompareExchange(&g_NotifyChannel.SendGate, gate | NOTIFY_SEND_GATE_CLOSED, gate) == gate) {
            if (gate != 0) {
                KeWaitForSingleObject(&g_NotifyChannel.SendsDone, Executive, KernelMode, FALSE, NULL);
            }
            return;
        }
    }
}

static VOID FreeBroadcastContext(PBROADCAST_CONTEXT Context)
{
    if (Context->WorkItem != NULL) {
        IoFreeWorkItem(Context->WorkItem);
    }
    if (Context->Message != NULL) {
        ExFreePoolWithTag(Context->Message, VEXH_TAG);
    }
    ExFreePoolWithTag(Context, VEXH_TAG);
}

// The texts a message is described by in debugger lines and log records.
typedef struct _MESSAGE_TEXTS {
    PCWSTR Event;
    PCWSTR Platform;
    PCWSTR Cui;
    PCWSTR Surrogate;
    UNICODE_STRING CommandLine;
} MESSAGE_TEXTS;

static VOID DescribeMessage(const PROCESS_MESSAGE* Message, MESSAGE_TEXTS* Texts)
{
    Texts->Event = Message->Started != 0 ? L"PROC = CREATED" : L"PROC = EXITS";
    Texts->Platform = (Message->Flags & PROCESS_FLAG_64BIT) != 0 ? L"64bit" : L"32bit";
    Texts->Cui = (Message->Flags & PROCESS_FLAG_CUI) != 0 ? L"TRUE" : L"FALSE";
    Texts->Surrogate = (Message->Flags & PROCESS_FLAG_SURROGATE) != 0 ? L"TRUE" : L"FALSE";
    Texts->CommandLine.Length = (USHORT)Message->CommandLineLength;
    Texts->CommandLine.MaximumLength = (USHORT)Message->CommandLineLength;
    Texts->CommandLine.Buffer = (PWSTR)Message->CommandLine;
}

// The file-name part of the slot's client image (a fresh copy in *ClientName, previous one freed),
// or an empty name; FALSE when the slot is free.
static BOOLEAN TakeClientName(PCLIENT_SLOT Slot, PUNICODE_STRING ClientName)
{
    if (ClientName->Buffer != NULL) {
        ExFreePoolWithTag(ClientName->Buffer, VEXR_TAG);
    }
    RtlZeroMemory(ClientName, sizeof(*ClientName));
    ExAcquireFastMutex(&Slot->Lock);
    BOOLEAN taken = InterlockedCompareExchangePointer((PVOID volatile*)&Slot->ClientPort, NULL, NULL) != NULL;
    if (taken && Slot->ClientImageName != NULL) {
        GetFileNameFromFullPath(ClientName, Slot->ClientImageName);
    }
    ExReleaseFastMutex(&Slot->Lock);
    return taken;
}

static VOID SendToSlot(PCLIENT_SLOT Slot, PBROADCAST_CONTEXT Context, const MESSAGE_TEXTS* Texts, PCUNICODE_STRING ClientName)
{
    const PROCESS_MESSAGE* message = Context->Message;
    HANDLE processId = (HANDLE)(ULONG_PTR)message->ProcessId;
    PFLT_PORT port = (PFLT_PORT)InterlockedCompareExchangePointer((PVOID volatile*)&Slot->ClientPort, NULL, NULL);
    ULONG reply = 0;
    ULONG replyLength = 0;
    LARGE_INTEGER timeout;
    timeout.QuadPart = NOTIFY_SEND_TIMEOUT;

    WriteLog(NOTIFY_RECORD_LEVEL, processId, NULL,
             L"%s %s to = %wZ(%p) Platform = %s CUI = %s Surrogate = %s CommandLine = %wZ", Texts->Event, L"func = NOTIFY",
             ClientName, port, Texts->Platform, Texts->Cui, Texts->Surrogate, &Texts->CommandLine);
    NTSTATUS status = FltSendMessage(g_NotifyChannel.Filter, &Slot->ClientPort, Context->Message, Context->MessageLength, &reply,
                                     &replyLength, &timeout);
    // STATUS_TIMEOUT passes NT_SUCCESS, but the client did not answer.
    if (status != STATUS_SUCCESS) {
        NotifyPrint("FltSendMessage failed. %ws pid = %d to = %wZ(%p) Platform = %ws CUI = %ws Surrogate = %ws status = 0x%08XL "
                    "CommandLine = %wZ\n",
                    Texts->Event, message->ProcessId, ClientName, port, Texts->Platform, Texts->Cui, Texts->Surrogate, status,
                    &Texts->CommandLine);
        WriteLog(SEND_FAILURE_LEVEL, processId, NULL,
                 L"%s %s to = %wZ(%p) Platform = %s CUI = %s Surrogate = %s status = 0x%08XL CommandLine = %wZ", Texts->Event,
                 L"func = SEND_MSG", ClientName, port, Texts->Platform, Texts->Cui, Texts->Surrogate, status,
                 &Texts->CommandLine);
    }
}

// Runs on a system worker thread. The slots are served one after the other, so a client that does
// not answer delays the next by up to the timeout.
static VOID NTAPI SendMessageWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PBROADCAST_CONTEXT context = (PBROADCAST_CONTEXT)Context;
    UNICODE_STRING clientName;
    MESSAGE_TEXTS texts;

    RtlZeroMemory(&clientName, sizeof(clientName));
    DescribeMessage(context->Message, &texts);
    for (ULONG i = 0; i < NOTIFY_CLIENT_SLOTS; i++) {
        PCLIENT_SLOT slot = &g_NotifyChannel.Clients[i];
        if (TakeClientName(slot, &clientName)) {
            SendToSlot(slot, context, &texts, &clientName);
        }
    }
    if (clientName.Buffer != NULL) {
        ExFreePoolWithTag(clientName.Buffer, VEXR_TAG);
    }
    FreeBroadcastContext(context);
    LeaveSendGate();
}

NTSTATUS BroadcastMessage(const PROCESS_MESSAGE* Message, ULONG Length)
{
    PBROADCAST_CONTEXT context = NULL;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

    if (!EnterSendGate()) {
        NotifyPrint("BroadcastMessage error %x\n", status);
        return status;
    }
    context = (PBROADCAST_CONTEXT)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*context), VEXH_TAG);
    if (context == NULL) {
        goto Failed;
    }
    context->Message = (PPROCESS_MESSAGE)ExAllocatePoolZero(g_NonPagedPoolType, Length, VEXH_TAG);
    if (context->Message == NULL) {
        goto Failed;
    }
    RtlCopyMemory(context->Message, Message, Length);
    context->MessageLength = Length;
    context->WorkItem = IoAllocateWorkItem(g_NotifyChannel.DeviceObject);
    if (context->WorkItem == NULL) {
        goto Failed;
    }
    IoQueueWorkItem(context->WorkItem, SendMessageWorker, DelayedWorkQueue, context);
    return STATUS_SUCCESS;

Failed:
    NotifyPrint("BroadcastMessage error %x\n", status);
    if (context != NULL) {
        FreeBroadcastContext(context);
    }
    LeaveSendGate();
    return status;
}
