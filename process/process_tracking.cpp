// Process creation and exit: a new process is classified against the lists in a fixed order of
// tests, an exited one leaves every monitored list.
#include "process/process_tracking.h"

#include "log/log.h"
#include "process/name_utils.h"
#include "process/process_private.h"

// What the classification knows of the process being created.
typedef struct _NEW_PROCESS {
    PEPROCESS Process;
    HANDLE ProcessId;
    HANDLE ParentProcessId;             // the process it inherits from
    HANDLE CreatorProcessId;            // the process that created it; may differ from the parent
    PCWSTR LongName;                    // NUL-terminated long image path; none when it could not be obtained
    UNICODE_STRING ShownName;           // the long name, or else the name the image was opened by
    UNICODE_STRING FileName;            // the file-name part of ShownName, which records carry
    PPS_CREATE_NOTIFY_INFO CreateInfo;  // its CreationStatus refuses the creation
} NEW_PROCESS, *PNEW_PROCESS;

static ULONG LowId(HANDLE ProcessId)
{
    return (ULONG)(ULONG_PTR)ProcessId;
}

// In the order the exit records come in.
static VOID RemoveFromMonitoredLists(HANDLE ProcessId, BOOLEAN Exited)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    PLOCKED_LIST lists[] = {&data->MonitoredRootProcessList, &data->MonitoredChildOfRootProcessList,
                            &data->MonitoredParentProcessList, &data->MonitoredProcessList,
                            &data->PTreeMonList, &data->DescendantProcessList};
    for (ULONG i = 0; i < RTL_NUMBER_OF(lists); i++) {
        if (Exited) {
            DeleteMonitoredProcess(lists[i], ProcessId);
        } else {
            DeleteStaleMonitoredProcess(lists[i], ProcessId);
        }
    }
}

static VOID RecordCreation(const NEW_PROCESS* New, PCWSTR StatusText, ULONG Id)
{
    WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s id = %d ppid = %d pid = %d name = %wZ",
             L"PROC = CREATED", StatusText, Id, LowId(New->ParentProcessId), LowId(New->ProcessId), &New->FileName);
}

// Does the name list hold the image? Never without a name.
static BOOLEAN IsImageIn(const NEW_PROCESS* New, PLOCKED_LIST List, PCSTR Line, PULONG Id)
{
    if (!FindProcessName(List, New->LongName, Id)) {
        return FALSE;
    }
    if (IsDetailEnabled()) {
        DbgPrint(Line, &New->ShownName);
    }
    return TRUE;
}

// Does the monitored list hold Ancestor (the parent or the creator) with a kind in KindMask?
static BOOLEAN IsAncestorIn(const NEW_PROCESS* New, PLOCKED_LIST List, HANDLE Ancestor, ULONG KindMask, PCSTR Line, PULONG Id)
{
    if (!FindMonitoredProcess(List, Ancestor, KindMask, Id)) {
        return FALSE;
    }
    if (IsDetailEnabled()) {
        DbgPrint(Line, &New->ShownName);
    }
    return TRUE;
}

// Adds the new process to a list and records it; a failed insert is printed and not recorded.
static NTSTATUS AddNewProcess(const NEW_PROCESS* New, PLOCKED_LIST List, ULONG Kind, ULONG Id, PCWSTR AddedText)
{
    NTSTATUS status = InsertMonitoredProcess(List, New->Process, New->ProcessId, New->ParentProcessId, Kind, Id);
    if (NT_SUCCESS(status)) {
        RecordCreation(New, AddedText, Id);
    } else {
        DbgPrint("VexRegFilter - InsertMonitoredProcess error %x - %wZ (%d)\n", status, &New->FileName, LowId(New->ProcessId));
    }
    return status;
}

// An addition that decides sandbox membership. A process that belongs under the sandbox (or is a
// monitored parent, whose children do) must not run outside it for want of an entry: the
// creation is refused instead.
static NTSTATUS AddMember(const NEW_PROCESS* New, PLOCKED_LIST List, ULONG Kind, ULONG Id, PCWSTR AddedText)
{
    NTSTATUS status = AddNewProcess(New, List, Kind, Id, AddedText);
    if (!NT_SUCCESS(status)) {
        New->CreateInfo->CreationStatus = status;
    }
    return status;
}

// Is the process a monitored parent or a child member of the sandbox?
static BOOLEAN IsSandboxAncestor(const NEW_PROCESS* New, HANDLE Ancestor, PULONG Id)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    return IsAncestorIn(New, &data->MonitoredParentProcessList, Ancestor, MONITORED_KIND_ANY,
                        "VexRegFilter - MonitoredParentProcessList:Exist: %wZ\n", Id) ||
           IsAncestorIn(New, &data->MonitoredProcessList, Ancestor, MONITORED_KIND_CHILD,
                        "VexRegFilter - MonitoredProcessList:Exist: %wZ\n", Id);
}

// The parent decides, and so does the creator when it named another parent for the process: a
// sandboxed program must not take its child out of the sandbox by choosing an outside parent.
static BOOLEAN HasSandboxAncestor(const NEW_PROCESS* New, PULONG Id)
{
    return IsSandboxAncestor(New, New->ParentProcessId, Id) ||
           (New->CreatorProcessId != New->ParentProcessId && IsSandboxAncestor(New, New->CreatorProcessId, Id));
}

// The tests in their order: an excluded image is never tracked; roots and their children are
// kept besides the sandbox decision; a parent image wins over a process image, and both win
// over membership through the parent; the tree monitors watch only processes that have just
// joined the sandbox as children.
static NTSTATUS ClassifyNewProcess(const NEW_PROCESS* New)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG id = 0;

    if (IsImageIn(New, &data->ExclusionProcessNameList, "VexRegFilter - ExclusionProcessNameList:Exist: %wZ\n", &id)) {
        RecordCreation(New, L"status = EXCLUDED", id);
        return STATUS_SUCCESS;
    }
    if (IsImageIn(New, &data->RootProcessNameList, "VexRegFilter - RootProcessNameList:Exist: %wZ\n", &id)) {
        status = AddNewProcess(New, &data->MonitoredRootProcessList, MONITORED_KIND_CHILD, id, L"status = ADDED_ROOT");
    }
    if (IsAncestorIn(New, &data->MonitoredRootProcessList, New->ParentProcessId, MONITORED_KIND_ANY,
                     "VexRegFilter - MonitoredRootProcessList:Exist: %wZ\n", &id)) {
        status = AddNewProcess(New, &data->MonitoredChildOfRootProcessList, MONITORED_KIND_PROCESS, id,
                               L"status = ADDED_CHILD_OF_ROOT");
    }
    if (IsImageIn(New, &data->ParentProcessNameList, "VexRegFilter - ParentProcessNameList:Exist: %wZ\n", &id)) {
        return AddMember(New, &data->MonitoredParentProcessList, MONITORED_KIND_CHILD, id, L"status = ADDED_PARENT");
    }
    if (IsImageIn(New, &data->ProcessNameList, "VexRegFilter - ProcessNameList:Exist: %wZ\n", &id)) {
        return AddMember(New, &data->MonitoredProcessList, MONITORED_KIND_PROCESS, id, L"status = ADDED_PROCESS");
    }
    if (!HasSandboxAncestor(New, &id)) {
        return STATUS_SUCCESS;
    }
    status = AddMember(New, &data->MonitoredProcessList, MONITORED_KIND_CHILD, id, L"status = ADDED_CHILD");
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (IsImageIn(New, &data->PTreeMonNameList, "VexRegFilter - PTreeMonNameList:Exist: %wZ\n", &id)) {
        return AddNewProcess(New, &data->PTreeMonList, MONITORED_KIND_CHILD, id, L"status = ADDED_PTREE_MONITOR");
    }
    if (IsAncestorIn(New, &data->PTreeMonList, New->ParentProcessId, MONITORED_KIND_ANY,
                     "VexRegFilter - PTreeMonList:Exist: %wZ\n", &id) ||
        IsAncestorIn(New, &data->DescendantProcessList, New->ParentProcessId, MONITORED_KIND_CHILD,
                     "VexRegFilter - DescendantProcessList:Exist: %wZ\n", &id)) {
        return AddNewProcess(New, &data->DescendantProcessList, MONITORED_KIND_CHILD, id, L"status = ADDED_DESCENDANT");
    }
    return status;
}

NTSTATUS OnProcessCreated(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    UNICODE_STRING dosName = {0, 0, NULL};
    UNICODE_STRING longName = {0, 0, NULL};
    NEW_PROCESS process;
    RtlZeroMemory(&process, sizeof(process));

    // An entry that still carries this id was left by an earlier process whose exit went unseen
    // (it ended while the routine was not registered); the id names this process now.
    RemoveFromMonitoredLists(ProcessId, FALSE);

    NTSTATUS status = GetFileNameFromCreateInfo(CreateInfo, &dosName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - GetFileNameFromCreateInfo failed %08x\n", status);
    } else if (!ContainsTilde(&dosName)) {
        // Without a short component the path is its own long form: no copy of it is made.
        longName = dosName;
        dosName.Buffer = NULL;
    } else {
        status = KernelGetLongPathName(&dosName, &longName);
        if (!NT_SUCCESS(status)) {
            DbgPrint("VexRegFilter - KernelGetLongPathName failed %08x\n", status);
        }
    }

    process.Process = Process;
    process.ProcessId = ProcessId;
    process.ParentProcessId = CreateInfo->ParentProcessId;
    process.CreatorProcessId = CreateInfo->CreatingThreadId.UniqueProcess;
    process.CreateInfo = CreateInfo;
    if (longName.Buffer != NULL) {
        process.LongName = longName.Buffer;
        process.ShownName = longName;
    } else if (CreateInfo->ImageFileName != NULL) {
        process.ShownName = *CreateInfo->ImageFileName;
    }
    GetFileNamePart(&process.FileName, &process.ShownName);

    status = ClassifyNewProcess(&process);
    FreeOwnedString(&longName);
    FreeOwnedString(&dosName);
    return status;
}

VOID OnProcessExited(HANDLE ProcessId)
{
    RemoveFromMonitoredLists(ProcessId, TRUE);
}
