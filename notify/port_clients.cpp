// The port's clients: three slots, taken at connect and freed at disconnect.
//
// A slot's ClientPort is closed only through FltCloseClientPort on the slot's own field, which the
// filter manager clears as it closes; a send given the same field therefore sees either the open
// port or none, never a closed one. The field is read with interlocked operations, because the
// filter manager writes it outside the slot's mutex. A slot is free exactly when the field is
// empty, so it stays taken until the close is done.
#include "notify/notify_private.h"

#include "process/name_utils.h"

static PFLT_PORT CurrentClientPort(PCLIENT_SLOT Slot)
{
    return (PFLT_PORT)InterlockedCompareExchangePointer((PVOID volatile*)&Slot->ClientPort, NULL, NULL);
}

// Takes the image name out of the slot under its mutex (so only one caller frees it) and closes
// the client port through the slot's field after releasing it.
static VOID EmptySlot(PCLIENT_SLOT Slot, BOOLEAN CloseForGood)
{
    ExAcquireFastMutex(&Slot->Lock);
    PUNICODE_STRING imageName = Slot->ClientImageName;
    Slot->ClientImageName = NULL;
    if (CloseForGood) {
        Slot->Closed = TRUE;
    }
    ExReleaseFastMutex(&Slot->Lock);

    FltCloseClientPort(g_NotifyChannel.Filter, &Slot->ClientPort);
    if (imageName != NULL) {
        ExFreePoolWithTag(imageName, VEXR_TAG);
    }
}

NTSTATUS FLTAPI ConnectNotify(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
                              PVOID* ConnectionCookie)
{
    UNREFERENCED_PARAMETER(ServerPortCookie);
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(SizeOfContext);
    PUNICODE_STRING imageName = NULL;

    // The connecting process's own thread runs this; a name that cannot be had stays empty.
    if (!NT_SUCCESS(GetFileNameFromProcessID(PsGetCurrentProcessId(), &imageName))) {
        imageName = NULL;
    }
    for (ULONG i = 0; i < NOTIFY_CLIENT_SLOTS; i++) {
        PCLIENT_SLOT slot = &g_NotifyChannel.Clients[i];
        ExAcquireFastMutex(&slot->Lock);
        if (!slot->Closed && CurrentClientPort(slot) == NULL) {
            slot->ClientImageName = imageName;
            (VOID) InterlockedExchangePointer((PVOID volatile*)&slot->ClientPort, ClientPort);
            *ConnectionCookie = slot;
            ExReleaseFastMutex(&slot->Lock);
            return STATUS_SUCCESS;
        }
        ExReleaseFastMutex(&slot->Lock);
    }
    if (imageName != NULL) {
        ExFreePoolWithTag(imageName, VEXR_TAG);
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

VOID FLTAPI DisconnectNotify(PVOID ConnectionCookie)
{
    if (ConnectionCookie == NULL) {
        DbgPrint("VexRegFilter ConnectionCookie is null\n");
        return;
    }
    EmptySlot((PCLIENT_SLOT)ConnectionCookie, FALSE);
}

// User mode has no commands on this port: every message is accepted and answered with nothing.
NTSTATUS FLTAPI MessageNotify(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                              ULONG OutputBufferLength, PULONG ReturnOutputBufferLength)
{
    UNREFERENCED_PARAMETER(PortCookie);
    UNREFERENCED_PARAMETER(InputBuffer);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(OutputBuffer);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    if (ReturnOutputBufferLength != NULL) {
        *ReturnOutputBufferLength = 0;
    }
    return STATUS_SUCCESS;
}

VOID CloseClientSlots(VOID)
{
    for (ULONG i = 0; i < NOTIFY_CLIENT_SLOTS; i++) {
        EmptySlot(&g_NotifyChannel.Clients[i], TRUE);
    }
}
