// One I/O-control request as its handler sees it, after the dispatcher checked its buffers.
#pragma once

#include "platform.h"

typedef struct _CONTROL_REQUEST {
    PVOID SystemBuffer;    // the captured input; also room for OutputLength bytes of answer
    ULONG InputLength;
    ULONG OutputLength;
    PVOID Output;          // the caller's output buffer, written only through the caller-memory copy
    UNICODE_STRING Text;   // text input: the characters before its NUL, inside the input
    ULONG_PTR Information; // bytes the I/O manager copies back (only the log data sets it)
} CONTROL_REQUEST, *PCONTROL_REQUEST;

typedef NTSTATUS (*CONTROL_HANDLER)(PCONTROL_REQUEST Request);

// Process settings and membership.
NTSTATUS HandleSetParentProcess(PCONTROL_REQUEST Request);
NTSTATUS HandleSetProcess(PCONTROL_REQUEST Request);
NTSTATUS HandleSetRootProcess(PCONTROL_REQUEST Request);
NTSTATUS HandleAddExclusionProcess(PCONTROL_REQUEST Request);
NTSTATUS HandleAddProcessTreeMonitor(PCONTROL_REQUEST Request);
NTSTATUS HandleDeleteProcess(PCONTROL_REQUEST Request);
NTSTATUS HandleIsUnderSandbox(PCONTROL_REQUEST Request);
NTSTATUS HandleIsExistUnderSandbox(PCONTROL_REQUEST Request);
NTSTATUS HandleExistProcessTree(PCONTROL_REQUEST Request);
NTSTATUS HandleGetPidList(PCONTROL_REQUEST Request);
NTSTATUS HandleGetChildOfRootPidList(PCONTROL_REQUEST Request);
NTSTATUS HandleGetPidPpidList(PCONTROL_REQUEST Request);
NTSTATUS HandleGetCuiPidList(PCONTROL_REQUEST Request);
NTSTATUS HandleGetSurrogatePidList(PCONTROL_REQUEST Request);

// Exclusions and the log.
NTSTATUS HandleAddExcludeKey(PCONTROL_REQUEST Request);
NTSTATUS HandleResetExcludeKey(PCONTROL_REQUEST Request);
NTSTATUS HandleAddExcludeValue(PCONTROL_REQUEST Request);
NTSTATUS HandleResetExcludeValue(PCONTROL_REQUEST Request);
NTSTATUS HandleStartLogging(PCONTROL_REQUEST Request);
NTSTATUS HandleStopLogging(PCONTROL_REQUEST Request);
NTSTATUS HandleGetLogData(PCONTROL_REQUEST Request);

// Redirection and the parameter dump; the dispatcher holds the configuration lock.
NTSTATUS HandleSetRedirectKeyName(PCONTROL_REQUEST Request);
NTSTATUS HandleSetRedirectUserClasses(PCONTROL_REQUEST Request);
NTSTATUS HandleSetRedirectMachineClasses(PCONTROL_REQUEST Request);
NTSTATUS HandleSetRegValue(PCONTROL_REQUEST Request);
NTSTATUS HandleStartRedirect(PCONTROL_REQUEST Request);
NTSTATUS HandleStopRedirect(PCONTROL_REQUEST Request);
NTSTATUS HandleOutputCurrentParam(PCONTROL_REQUEST Request);
