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
}
