// The notification channel's life: opening the port with its security descriptor at start-up and
// closing everything at unload.
#include "notify/notify_private.h"

NOTIFY_CHANNEL g_NotifyChannel;

// The mandatory-label entry that lets low-integrity processes connect: type 0x11, no flags,
// no-write-up, SID S-1-16-4096.
typedef struct _LOW_LABEL_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    SID Sid;  // one sub-authority
} LOW_LABEL_ACE;

static_assert(sizeof(LOW_LABEL_ACE) == 20, "label entry size");
#define LOW_LABEL_ACL_SIZE (sizeof(ACL) + sizeof(LOW_LABEL_ACE))  // 28

static NTSTATUS ResolveRoutine(PVOID* Slot, PCWSTR Name, PCSTR FailureLine)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    *Slot = MmGetSystemRoutineAddress(&name);
    if (*Slot == NULL) {
        NotifyPrint("%s", FailureLine);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ResolveRoutines(VOID)
{
    NTSTATUS status = ResolveRoutine((PVOID*)&g_NotifyChannel.PsGetProcessSectionBaseAddress,
                                     L"PsGetProcessSectionBaseAddress", "Cannot resolve PsGetProcessSectionBaseAddress\n");
    if (NT_SUCCESS(status)) {
        status = ResolveRoutine((PVOID*)&g_NotifyChannel.PsGetProcessPeb, L"PsGetProcessPeb", "Cannot resolve PsGetProcessPeb\n");
    }
    if (NT_SUCCESS(status)) {
        status = ResolveRoutine((PVOID*)&g_NotifyChannel.RtlSetSaclSecurityDescriptor, L"RtlSetSaclSecurityDescriptor",
                                "Cannot resolve RtlSetSaclSecurityDescriptor\n");
    }
    return status;
}

// The port's descriptor: the filter manager's default, with a low mandatory label in the SACL
// (Sacl, LOW_LABEL_ACL_SIZE bytes of the caller's, must outlive the port's creation) and a NULL
// DACL, so processes of any user and of low integrity may connect. The caller frees *Descriptor
// with FltFreeSecurityDescriptor whenever it is set.
static NTSTATUS BuildPortSecurity(PSECURITY_DESCRIPTOR* Descriptor, PACL Sacl)
{
    static const SID_IDENTIFIER_AUTHORITY labelAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    LOW_LABEL_ACE label;

    NTSTATUS status = FltBuildDefaultSecurityDescriptor(Descriptor, FLT_PORT_ALL_ACCESS);
    if (!NT_SUCCESS(status)) {
        *Descriptor = NULL;
        NotifyPrint("FltBuildDefaultSecurityDescriptor error %x\n", status);
        return status;
    }
    RtlZeroMemory(&label, sizeof(label));
    label.Header.AceType = SYSTEM_MANDATORY_LABEL_ACE_TYPE;
    label.Header.AceSize = sizeof(label);
    label.Mask = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
    label.Sid.Revision = SID_REVISION;
    label.Sid.SubAuthorityCount = 1;
    label.Sid.IdentifierAuthority = labelAuthority;
    label.Sid.SubAuthority[0] = SECURITY_MANDATORY_LOW_RID;

    status = RtlCreateAcl(Sacl, LOW_LABEL_ACL_SIZE, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAce(Sacl, ACL_REVISION, MAXULONG, &label, sizeof(label));
    }
    if (!NT_SUCCESS(status)) {
        NotifyPrint("RtlAddAce error %x\n", status);
        return status;
    }
    status = g_NotifyChannel.RtlSetSaclSecurityDescriptor(*Descriptor, TRUE, Sacl, FALSE);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("RtlSetSaclSecurityDescriptor error %x\n", status);
        return status;
    }
    status = RtlSetDaclSecurityDescriptor(*Descriptor, TRUE, NULL, FALSE);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("RtlSetDaclSecurityDescriptor error %x\n", status);
    }
    return status;
}

static NTSTATUS OpenServerPort(VOID)
{
    ULONG saclBuffer[(LOW_LABEL_ACL_SIZE + sizeof(ULONG) - 1) / sizeof(ULONG)];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;

    NTSTATUS status = BuildPortSecurity(&descriptor, (PACL)saclBuffer);
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&name, NOTIFY_PORT_NAME);
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, descriptor);
        status = FltCreateCommunicationPort(g_NotifyChannel.Filter, &g_NotifyChannel.ServerPort, &attributes, NULL, ConnectNotify,
                                            DisconnectNotify, MessageNotify, NOTIFY_CLIENT_SLOTS);
        if (!NT_SUCCESS(status)) {
            g_NotifyChannel.ServerPort = NULL;
            NotifyPrint("FltCreateCommunicationPort error %x\n", status);
        }
    }
    if (descriptor != NULL) {
        FltFreeSecurityDescriptor(descriptor);
    }
    return status;
}

NTSTATUS QFHInitialize(PDEVICE_OBJECT DeviceObject, PFLT_FILTER Filter)
{
    RtlZeroMemory(&g_NotifyChannel, sizeof(g_NotifyChannel));
    g_NotifyChannel.DeviceObject = DeviceObject;
    g_NotifyChannel.Filter = Filter;
    for (ULONG i = 0; i < NOTIFY_CLIENT_SLOTS; i++) {
        ExInitializeFastMutex(&g_NotifyChannel.Clients[i].Lock);
    }
    ExInitializeFastMutex(&g_NotifyChannel.ProcessData.Lock);
    InitializeListHead(&g_NotifyChannel.ProcessData.Head);
    OpenSendGate();

    NTSTATUS status = CTInitialize(&g_NotifyChannel.SurrogateCache);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("CTInitialize(Surrogate) failed: %08x\n", status);
        return status;
    }
    status = ResolveRoutines();
    if (NT_SUCCESS(status)) {
        status = OpenServerPort();
    }
    return status;
}

// The port goes first, so no client connects while the others are being closed; closing the
// clients ends every send that waits for one, so the wait for outstanding sends is short.
NTSTATUS QFHFinalize(VOID)
{
    if (g_NotifyChannel.ServerPort != NULL) {
        FltCloseCommunicationPort(g_NotifyChannel.ServerPort);
        g_NotifyChannel.ServerPort = NULL;
    }
    CloseClientSlots();
    CloseSendGate();

    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    FreeProcessDataList(&g_NotifyChannel.ProcessData.Head);
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);

    CTFinalize(&g_NotifyChannel.SurrogateCache);
    g_NotifyChannel.DeviceObject = NULL;
    g_NotifyChannel.Filter = NULL;
    return STATUS_SUCCESS;
}
