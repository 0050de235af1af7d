// Filter-manager declarations shared by both targets. mingw-w64 ships no fltKernel.h, so the
// registration types and routines the driver uses are declared here with the DDK's names and the
// x64 layout; the simulated kernel implements the same routines for Linux builds.
#pragma once

typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_PORT* PFLT_PORT;
typedef ULONG FLT_FILTER_UNLOAD_FLAGS;

#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0202
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

typedef NTSTATUS FLTAPI FLT_FILTER_UNLOAD_CALLBACK(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef FLT_FILTER_UNLOAD_CALLBACK* PFLT_FILTER_UNLOAD_CALLBACK;

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;  // IRP_MJ_OPERATION_END ends the list
    ULONG Flags;
    PVOID PreOperation;
    PVOID PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

// Communication ports.
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef NTSTATUS FLTAPI FLT_CONNECT_NOTIFY(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                           ULONG SizeOfContext, PVOID* ConnectionPortCookie);
typedef FLT_CONNECT_NOTIFY* PFLT_CONNECT_NOTIFY;
typedef VOID FLTAPI FLT_DISCONNECT_NOTIFY(PVOID ConnectionCookie);
typedef FLT_DISCONNECT_NOTIFY* PFLT_DISCONNECT_NOTIFY;
typedef NTSTATUS FLTAPI FLT_MESSAGE_NOTIFY(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                           ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);
typedef FLT_MESSAGE_NOTIFY* PFLT_MESSAGE_NOTIFY;

typedef struct _FLT_REGISTRATION {
    USHORT Size;     // sizeof(FLT_REGISTRATION), 104 on x64
    USHORT Version;  // FLT_REGISTRATION_VERSION_0202
    ULONG Flags;
    const VOID* ContextRegistration;
    const FLT_OPERATION_REGISTRATION* OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PVOID InstanceSetupCallback;
    PVOID InstanceQueryTeardownCallback;
    PVOID InstanceTeardownStartCallback;
    PVOID InstanceTeardownCompleteCallback;
    PVOID GenerateFileNameCallback;
    PVOID NormalizeNameComponentCallback;
    PVOID NormalizeContextCleanupCallback;
    PVOID TransactionNotificationCallback;
    PVOID NormalizeNameComponentExCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;

extern "C" {
NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration, PFLT_FILTER* RetFilter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);

NTSTATUS FLTAPI FltBuildDefaultSecurityDescriptor(PSECURITY_DESCRIPTOR* SecurityDescriptor, ACCESS_MASK DesiredAccess);
VOID FLTAPI FltFreeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT* ServerPort, POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie, PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback, LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort);
// Sets *ClientPort to NULL as it closes, so a FltSendMessage given the same variable sees NULL.
VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT* ClientPort);
// Timeout in 100 ns units: negative relative, positive absolute, NULL forever. STATUS_TIMEOUT is
// a success code.
NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT* ClientPort, PVOID SenderBuffer, ULONG SenderBufferLength,
                               PVOID ReplyBuffer, PULONG ReplyLength, PLARGE_INTEGER Timeout);
}
