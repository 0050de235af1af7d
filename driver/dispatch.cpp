// Dispatch routines of the control device. Every request completes synchronously in the caller's
// thread. The dispatcher checks each request's buffers against its control's shape before any
// handler reads or writes them, refuses changes from a process under the sandbox, and runs the
// configuration handlers under the configuration lock.
//
// Known weakness: the device keeps the I/O manager's default security, so whoever can open it can
// send every request; only sandboxed callers are told apart.
#include "driver/global.h"

#include "common/name_buffer.h"
#include "driver/configuration_lock.h"
#include "driver/control_request.h"
#include "process/process_lists.h"

// The input a control takes.
typedef enum _CONTROL_INPUT {
    InputNone,   // not read
    InputText,   // UTF-16, even length, NUL-terminated inside the input
    InputFixed,  // at least InputSize bytes
    InputExact,  // exactly InputSize bytes
} CONTROL_INPUT;

// The output a control gives.
typedef enum _CONTROL_OUTPUT {
    OutputNone,        // not written
    OutputUlongExact,  // a 32-bit answer into an output of exactly 4 bytes
    OutputUlong,       // a 32-bit answer into an output of at least 4 bytes
    OutputList,        // a count or total first: shorter than 4 bytes is STATUS_BUFFER_TOO_SMALL
    OutputSystem,      // the log data, into the system buffer
} CONTROL_OUTPUT;

#define CONTROL_CHANGES 0x1        // changes configuration or state: refused to sandboxed callers
#define CONTROL_CONFIGURATION 0x2  // runs under the configuration lock

typedef struct _CONTROL_ENTRY {
    ULONG Code;
    CONTROL_INPUT Input;
    ULONG InputSize;
    CONTROL_OUTPUT Output;
    ULONG Flags;
    CONTROL_HANDLER Handler;
} CONTROL_ENTRY;

static const CONTROL_ENTRY g_Controls[] = {
    {IOCTL_SANDBOX_SET_PARENT_PROCESS, InputText, 0, OutputUlongExact, CONTROL_CHANGES, HandleSetParentProcess},
    {IOCTL_SANDBOX_DEL_PROCESS, InputFixed, CONTROL_ULONG_REQUEST_SIZE, OutputNone, CONTROL_CHANGES, HandleDeleteProcess},
    {IOCTL_SANDBOX_IS_UNDER_SANDBOX, InputFixed, CONTROL_ULONG_REQUEST_SIZE, OutputUlong, 0, HandleIsUnderSandbox},
    {IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, InputText, 0, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION,
     HandleSetRedirectKeyName},
    {IOCTL_SANDBOX_SET_REG_VALUE, InputFixed, SET_REG_VALUE_REQUEST_SIZE, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION,
     HandleSetRegValue},
    {IOCTL_SANDBOX_START_REG_REDIRECT, InputNone, 0, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION, HandleStartRedirect},
    {IOCTL_SANDBOX_STOP_REG_REDIRECT, InputNone, 0, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION, HandleStopRedirect},
    {IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, InputText, 0, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION,
     HandleSetRedirectUserClasses},
    {IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, InputText, 0, OutputNone, CONTROL_CHANGES | CONTROL_CONFIGURATION,
     HandleSetRedirectMachineClasses},
    {IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX, InputNone, 0, OutputUlong, 0, HandleIsExistUnderSandbox},
    {IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, InputText, 0, OutputNone, CONTROL_CHANGES, HandleAddExcludeKey},
    {IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME, InputNone, 0, OutputNone, CONTROL_CHANGES, HandleResetExcludeKey},
    {IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, InputNone, 0, OutputList, 0, HandleGetPidList},
    {IOCTL_START_LOGGING, InputExact, START_LOGGING_REQUEST_SIZE, OutputNone, CONTROL_CHANGES, HandleStartLogging},
    {IOCTL_STOP_LOGGING, InputNone, 0, OutputNone, CONTROL_CHANGES, HandleStopLogging},
    // Draining takes the records away from the service that armed the log.
    {IOCTL_GET_LOG_DATA, InputNone, 0, OutputSystem, CONTROL_CHANGES, HandleGetLogData},
    {IOCTL_SANDBOX_SET_PROCESS, InputText, 0, OutputUlongExact, CONTROL_CHANGES, HandleSetProcess},
    {IOCTL_SANDBOX_SET_ROOT_PROCESS, InputText, 0, OutputUlongExact, CONTROL_CHANGES, HandleSetRootProcess},
    {IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST, InputNone, 0, OutputList, 0, HandleGetChildOfRootPidList},
    {IOCTL_ADD_EXC_PROCESS, InputText, 0, OutputUlongExact, CONTROL_CHANGES, HandleAddExclusionProcess},
    {IOCTL_GET_CUI_PID_LIST, InputNone, 0, OutputList, 0, HandleGetCuiPidList},
    // The request replaces the set of surrogate image names before it lists.
    {IOCTL_GET_SURROGATE_PID_LIST, InputText, 0, OutputList, CONTROL_CHANGES, HandleGetSurrogatePidList},
    {IOCTL_OUTPUT_CURRENT_PARAM, InputNone, 0, OutputNone, CONTROL_CONFIGURATION, HandleOutputCurrentParam},
    {IOCTL_GET_PID_PPID_LIST, InputNone, 0, OutputList, 0, HandleGetPidPpidList},
    {IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME, InputText, 0, OutputNone, CONTROL_CHANGES, HandleAddExcludeValue},
    {IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME, InputNone, 0, OutputNone, CONTROL_CHANGES, HandleResetExcludeValue},
    {IOCTL_ADD_PROCESS_TREE_MONITOR, InputText, 0, OutputUlongExact, CONTROL_CHANGES, HandleAddProcessTreeMonitor},
    {IOCTL_EXIST_PROCESS_TREE, InputFixed, EXIST_PROCESS_TREE_REQUEST_SIZE, OutputUlongExact, 0, HandleExistProcessTree},
};

static const CONTROL_ENTRY* FindControl(ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Controls); i++) {
        if (g_Controls[i].Code == Code) {
            return &g_Controls[i];
        }
    }
    return NULL;
}

// The text at the start of the input: an even number of bytes, with a NUL inside them. Its
// length, without the NUL, must leave room for a NUL in a counted string.
static NTSTATUS CheckTextInput(PCONTROL_REQUEST Request)
{
    if (Request->SystemBuffer == NULL || Request->InputLength < sizeof(WCHAR) || Request->InputLength % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const WCHAR* text = (const WCHAR*)Request->SystemBuffer;
    ULONG characters = Request->InputLength / sizeof(WCHAR);
    ULONG limit = (MAX_COUNTED_BYTES - sizeof(WCHAR)) / sizeof(WCHAR);
    for (ULONG i = 0; i < characters && i <= limit; i++) {
        if (text[i] == L'\0') {
            Request->Text.Buffer = (PWSTR)text;
            Request->Text.Length = (USHORT)(i * sizeof(WCHAR));
            Request->Text.MaximumLength = (USHORT)((i + 1) * sizeof(WCHAR));
            return STATUS_SUCCESS;
        }
    }
    return characters > limit ? STATUS_NAME_TOO_LONG : STATUS_INVALID_PARAMETER;
}

static NTSTATUS CheckInput(const CONTROL_ENTRY* Control, PCONTROL_REQUEST Request)
{
    switch (Control->Input) {
    case InputText:
        return CheckTextInput(Request);
    case InputFixed:
        return Request->SystemBuffer != NULL && Request->InputLength >= Control->InputSize ? STATUS_SUCCESS
                                                                                           : STATUS_INVALID_PARAMETER;
    case InputExact:
        if (Request->SystemBuffer == NULL || Request->InputLength != Control->InputSize) {
            DbgPrint("VexRegFilter - IOCTL_START_LOGGING: STATUS_INVALID_PARAMETER\n");
            return STATUS_INVALID_PARAMETER;
        }
        return STATUS_SUCCESS;
    default:
        return STATUS_SUCCESS;
    }
}

static NTSTATUS CheckOutput(const CONTROL_ENTRY* Control, PCONTROL_REQUEST Request)
{
    switch (Control->Output) {
    case OutputUlongExact:
        return Request->OutputLength == CONTROL_ULONG_ANSWER_SIZE && Request->Output != NULL ? STATUS_SUCCESS
                                                                                              : STATUS_INVALID_PARAMETER;
    case OutputUlong:
        return Request->OutputLength >= CONTROL_ULONG_ANSWER_SIZE && Request->Output != NULL ? STATUS_SUCCESS
                                                                                              : STATUS_INVALID_PARAMETER;
    case OutputList:
        if (Request->OutputLength < PID_LIST_COUNT_SIZE) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return Request->Output != NULL && Request->SystemBuffer != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    default:
        return STATUS_SUCCESS;
    }
}

static NTSTATUS RunControl(const CONTROL_ENTRY* Control, PCONTROL_REQUEST Request)
{
    NTSTATUS status = CheckOutput(Control, Request);
    if (NT_SUCCESS(status)) {
        status = CheckInput(Control, Request);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((Control->Flags & CONTROL_CHANGES) != 0 && IsProcessUnderSandbox(PsGetCurrentProcessId())) {
        return STATUS_ACCESS_DENIED;
    }
    if ((Control->Flags & CONTROL_CONFIGURATION) == 0) {
        return Control->Handler(Request);
    }
    AcquireConfigurationLock();
    status = Control->Handler(Request);
    ReleaseConfigurationLock();
    return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Output = Irp->UserBuffer;

    const CONTROL_ENTRY* control = FindControl(stack->Parameters.DeviceIoControl.IoControlCode);
    NTSTATUS status = control != NULL ? RunControl(control, &request) : STATUS_INVALID_PARAMETER;

    // Answers go straight into the caller's output buffer, so nothing is copied back but the log
    // data.
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = request.Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
