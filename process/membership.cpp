// Sandbox membership, the answers of the membership requests, and removal across all lists.
#include "process/process_private.h"

#include "tables/id_manager.h"

BOOLEAN IsProcessUnderSandbox(HANDLE ProcessId)
{
    return FindMonitoredProcess(&g_VexRegFilterData.MonitoredProcessList, ProcessId, MONITORED_KIND_ANY, NULL);
}

// A monitored parent counts as under the sandbox for user mode, though its own registry
// operations are not redirected.
ULONG AnswerIsUnderSandbox(HANDLE ProcessId)
{
    BOOLEAN under = FindMonitoredProcess(&g_VexRegFilterData.MonitoredParentProcessList, ProcessId, MONITORED_KIND_ANY, NULL) ||
                    IsProcessUnderSandbox(ProcessId);
    if (IsDetailEnabled()) {
        DbgPrint(under ? "VexRegFilter - IOCTL_SANDBOX_IS_UNDER_SANDBOX :PID[%d]:TRUE\n"
                       : "VexRegFilter - IOCTL_SANDBOX_IS_UNDER_SANDBOX :PID[%d]:FALSE\n",
                 (ULONG)(ULONG_PTR)ProcessId);
    }
    return under ? 1 : 0;
}

ULONG AnswerIsExistUnderSandbox(VOID)
{
    BOOLEAN exists = !IsMonitoredProcessListEmpty(&g_VexRegFilterData.MonitoredProcessList);
    if (IsDetailEnabled()) {
        DbgPrint(exists ? "VexRegFilter - IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX :TRUE\n"
                        : "VexRegFilter - IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX :FALSE\n");
    }
    return exists ? 1 : 0;
}

// Only the first entry of the process in DescendantProcessList is compared.
ULONG AnswerExistProcessTree(ULONG Id, HANDLE ProcessId)
{
    ULONG found = 0;
    BOOLEAN exists = FindMonitoredProcess(&g_VexRegFilterData.DescendantProcessList, ProcessId, MONITORED_KIND_ANY, &found) &&
                     found == Id;
    if (IsDetailEnabled()) {
        DbgPrint(exists ? "VexRegFilter - IOCTL_EXIST_PROCESS_TREE :ID[%d]:PID[%d]:TRUE\n"
                        : "VexRegFilter - IOCTL_EXIST_PROCESS_TREE :ID[%d]:PID[%d]:FALSE\n",
                 Id, (ULONG)(ULONG_PTR)ProcessId);
    }
    return exists ? 1 : 0;
}

// The identifier stays issued until every list has let go of it, so that a setting added
// meanwhile cannot receive it and lose its entries to the removals still to come.
VOID DeleteSettingById(ULONG Id, PCWSTR Operation)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    BOOLEAN named = RemoveProcessNamesById(&data->ParentProcessNameList, Id, Operation);
    named |= RemoveProcessNamesById(&data->ProcessNameList, Id, Operation);
    named |= RemoveProcessNamesById(&data->ExclusionProcessNameList, Id, Operation);
    RemoveMonitoredProcessesById(&data->MonitoredParentProcessList, Id, Operation);
    RemoveMonitoredProcessesById(&data->MonitoredProcessList, Id, Operation);
    named |= RemoveProcessNamesById(&data->RootProcessNameList, Id, Operation);
    RemoveMonitoredProcessesById(&data->MonitoredRootProcessList, Id, Operation);
    RemoveMonitoredProcessesById(&data->MonitoredChildOfRootProcessList, Id, Operation);
    named |= RemoveProcessNamesById(&data->PTreeMonNameList, Id, Operation);
    RemoveMonitoredProcessesById(&data->PTreeMonList, Id, Operation);
    RemoveMonitoredProcessesById(&data->DescendantProcessList, Id, Operation);
    if (named) {
        ReleaseId(Id);
    }
}

VOID DeleteProcessById(ULONG Id)
{
    DeleteSettingById(Id, OP_DEL_PROCESS);
}

VOID ClearProcessLists(BOOLEAN Logged)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    ClearProcessNameList(&data->ParentProcessNameList, Logged);
    ClearProcessNameList(&data->ProcessNameList, Logged);
    ClearProcessNameList(&data->ExclusionProcessNameList, Logged);
    ClearMonitoredProcessList(&data->MonitoredParentProcessList, Logged);
    ClearMonitoredProcessList(&data->MonitoredProcessList, Logged);
    ClearProcessNameList(&data->RootProcessNameList, Logged);
    ClearMonitoredProcessList(&data->MonitoredRootProcessList, Logged);
    ClearMonitoredProcessList(&data->MonitoredChildOfRootProcessList, Logged);
    ClearProcessNameList(&data->PTreeMonNameList, Logged);
    ClearMonitoredProcessList(&data->PTreeMonList, Logged);
    ClearMonitoredProcessList(&data->DescendantProcessList, Logged);
}
