// Handlers of the controls that reach the process lists, the exclusion lists, the log and the
// listings. Answers are written into the caller's output buffer through the caller-memory copy;
// list answers are built in the system buffer first (it has room for the whole output) and only
// the bytes of the answer are copied out.
#include "driver/control_request.h"

#include "driver/control_codes.h"
#include "log/log.h"
#include "notify/notify.h"
#include "process/process_lists.h"
#include "tables/key_lists.h"

typedef NTSTATUS (*PROCESS_SETTING)(PCWSTR Name, PULONG Id);

static NTSTATUS AnswerUlong(PCONTROL_REQUEST Request, ULONG Value)
{
    return CopyToCaller(Request->Output, &Value, sizeof(Value));
}

static ULONG InputUlong(PCONTROL_REQUEST Request, ULONG Offset)
{
    ULONG value;
    RtlCopyMemory(&value, (PUCHAR)Request->SystemBuffer + Offset, sizeof(value));
    return value;
}

// A new process setting; its identifier is the answer, printed after the operation.
static NTSTATUS AddSetting(PCONTROL_REQUEST Request, PROCESS_SETTING Setting, PCSTR Line)
{
    ULONG id = 0;
    NTSTATUS status = Setting(Request->Text.Buffer, &id);
    if (NT_SUCCESS(status)) {
        status = AnswerUlong(Request, id);
    }
    DbgPrint(Line, Request->Text.Buffer, id);
    return status;
}

NTSTATUS HandleSetParentProcess(PCONTROL_REQUEST Request)
{
    return AddSetting(Request, SetParentProcess, "VexRegFilter - IOCTL_SANDBOX_SET_PARENT_PROCESS: '%ws', id(%d)\n");
}

NTSTATUS HandleSetProcess(PCONTROL_REQUEST Request)
{
    return AddSetting(Request, SetProcess, "VexRegFilter - IOCTL_SANDBOX_SET_PROCESS: '%ws', id(%d)\n");
}

NTSTATUS HandleSetRootProcess(PCONTROL_REQUEST Request)
{
    return AddSetting(Request, SetRootProcess, "VexRegFilter - IOCTL_SANDBOX_SET_ROOT_PROCESS: '%ws', id(%d)\n");
}

NTSTATUS HandleAddExclusionProcess(PCONTROL_REQUEST Request)
{
    return AddSetting(Request, AddExclusionProcess, "VexRegFilter - IOCTL_ADD_EXC_PROCESS: '%ws', id(%d)\n");
}

NTSTATUS HandleAddProcessTreeMonitor(PCONTROL_REQUEST Request)
{
    return AddSetting(Request, AddProcessTreeMonitor, "VexRegFilter - IOCTL_ADD_PROCESS_TREE_MONITOR: '%ws', id(%d)\n");
}

NTSTATUS HandleDeleteProcess(PCONTROL_REQUEST Request)
{
    ULONG id = InputUlong(Request, 0);
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_DEL_PROCESS: id(%d)\n", id);
    DeleteProcessById(id);
    return STATUS_SUCCESS;
}

NTSTATUS HandleIsUnderSandbox(PCONTROL_REQUEST Request)
{
    return AnswerUlong(Request, AnswerIsUnderSandbox((HANDLE)(ULONG_PTR)InputUlong(Request, 0)));
}

NTSTATUS HandleIsExistUnderSandbox(PCONTROL_REQUEST Request)
{
    return AnswerUlong(Request, AnswerIsExistUnderSandbox());
}

NTSTATUS HandleExistProcessTree(PCONTROL_REQUEST Request)
{
    ULONG id = InputUlong(Request, EXIST_PROCESS_TREE_ID_OFFSET);
    ULONG processId = InputUlong(Request, EXIST_PROCESS_TREE_PROCESS_ID_OFFSET);
    return AnswerUlong(Request, AnswerExistProcessTree(id, (HANDLE)(ULONG_PTR)processId));
}

// Copies out what a list operation left at the start of the system buffer: the whole answer of
// AnswerBytes bytes on success, only the leading count or total when the output was too small.
static NTSTATUS CopyListAnswer(PCONTROL_REQUEST Request, NTSTATUS Status, ULONG64 AnswerBytes)
{
    if (Status == STATUS_BUFFER_TOO_SMALL) {
        NTSTATUS copied = CopyToCaller(Request->Output, Request->SystemBuffer, PID_LIST_COUNT_SIZE);
        return NT_SUCCESS(copied) ? Status : copied;
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (AnswerBytes > Request->OutputLength) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return CopyToCaller(Request->Output, Request->SystemBuffer, (SIZE_T)AnswerBytes);
}

static NTSTATUS CopyPidList(PCONTROL_REQUEST Request, NTSTATUS Status, ULONG BytesPerEntry)
{
    ULONG count = NT_SUCCESS(Status) ? InputUlong(Request, 0) : 0;
    return CopyListAnswer(Request, Status, PID_LIST_COUNT_SIZE + (ULONG64)count * BytesPerEntry);
}

NTSTATUS HandleGetPidList(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX\n");
    NTSTATUS status = GetMonitoredPidList(&g_VexRegFilterData.MonitoredProcessList, Request->SystemBuffer, Request->OutputLength);
    return CopyPidList(Request, status, PID_LIST_ENTRY_SIZE);
}

NTSTATUS HandleGetChildOfRootPidList(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST\n");
    NTSTATUS status =
        GetMonitoredPidList(&g_VexRegFilterData.MonitoredChildOfRootProcessList, Request->SystemBuffer, Request->OutputLength);
    return CopyPidList(Request, status, PID_LIST_ENTRY_SIZE);
}

NTSTATUS HandleGetPidPpidList(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_GET_PID_PPID_LIST\n");
    NTSTATUS status = GetMonitoredPidPpidList(Request->SystemBuffer, Request->OutputLength);
    return CopyPidList(Request, status, PID_PPID_LIST_ENTRY_SIZE);
}

// A listing starts with its total length in bytes.
static NTSTATUS CopyListing(PCONTROL_REQUEST Request, NTSTATUS Status)
{
    return CopyListAnswer(Request, Status, NT_SUCCESS(Status) ? InputUlong(Request, 0) : 0);
}

NTSTATUS HandleGetCuiPidList(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_GET_CUI_PID_LIST\n");
    return CopyListing(Request, GetCuiPidList(Request->SystemBuffer, Request->OutputLength));
}

// The names are read from the system buffer before the listing overwrites it.
NTSTATUS HandleGetSurrogatePidList(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_GET_SURROGATE_PID_LIST\n");
    return CopyListing(Request, GetSurrogatePidList(Request->SystemBuffer, Request->InputLength, Request->SystemBuffer,
                                                    Request->OutputLength));
}

NTSTATUS HandleAddExcludeKey(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME: '%ws'\n", Request->Text.Buffer);
    (void)InsertExcludeKey(&Request->Text);
    return STATUS_SUCCESS;
}

NTSTATUS HandleResetExcludeKey(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME\n");
    ResetExcludeKey();
    return STATUS_SUCCESS;
}

NTSTATUS HandleAddExcludeValue(PCONTROL_REQUEST Request)
{
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME: '%ws'\n", Request->Text.Buffer);
    (void)InsertExcludeValue(&Request->Text);
    return STATUS_SUCCESS;
}

NTSTATUS HandleResetExcludeValue(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME\n");
    ResetExcludeValue();
    return STATUS_SUCCESS;
}

NTSTATUS HandleStartLogging(PCONTROL_REQUEST Request)
{
    START_LOGGING_REQUEST start;
    RtlCopyMemory(&start, Request->SystemBuffer, sizeof(start));
    DbgPrint("VexRegFilter - IOCTL_START_LOGGING: Handle = %p Flags = 0x%08X\n", (PVOID)(ULONG_PTR)start.EventHandle, start.Flags);
    return StartLogging(&start);
}

NTSTATUS HandleStopLogging(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("VexRegFilter - IOCTL_STOP_LOGGING\n");
    return StopLogging();
}

NTSTATUS HandleGetLogData(PCONTROL_REQUEST Request)
{
    if (IsDetailEnabled()) {
        DbgPrint("VexRegFilter - IOCTL_GET_LOG_DATA\n");
    }
    ULONG length = Request->SystemBuffer != NULL ? Request->OutputLength : 0;
    NTSTATUS status = GetLogData(Request->SystemBuffer, &length);
    Request->Information = length;
    return status;
}
