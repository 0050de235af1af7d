// The create-process notify routine joins the process lists and the notification channel, which
// know nothing of each other.
#include "driver/process_notify.h"

#include "common/locking.h"
#include "driver/global.h"
#include "notify/notify.h"
#include "process/process_tracking.h"

VOID NTAPI ProcessNotifyRoutine(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    if (CreateInfo != NULL) {
        OnProcessCreated(Process, ProcessId, CreateInfo);
        // A refused process never runs: user mode hears nothing of it.
        if (NT_SUCCESS(CreateInfo->CreationStatus)) {
            RecordProcessData(Process, ProcessId, CreateInfo);
        }
    } else {
        OnProcessExited(ProcessId);
        AnnounceProcessExit(ProcessId);
    }
}

static BOOLEAN IsProcessNotifyRegistered(VOID)
{
    return ReadLockedFlag(&g_VexRegFilterData.ProcessNotifyLock, &g_VexRegFilterData.ProcessNotifyRegistered);
}

static VOID SetProcessNotifyRegistered(BOOLEAN Registered)
{
    WriteLockedFlag(&g_VexRegFilterData.ProcessNotifyLock, &g_VexRegFilterData.ProcessNotifyRegistered, Registered);
}

// The flag's mutex is not held across the registration calls, which run at PASSIVE_LEVEL and,
// for a removal, wait for the routine's calls in flight.
static NTSTATUS SetProcessNotifyRoutine(BOOLEAN Remove)
{
    NTSTATUS status = PsSetCreateProcessNotifyRoutineEx(ProcessNotifyRoutine, Remove);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - PsSetCreateProcessNotifyRoutineEx - %08x\n", status);
        return status;
    }
    SetProcessNotifyRegistered(!Remove);
    return status;
}

NTSTATUS RegisterProcessNotify(VOID)
{
    return IsProcessNotifyRegistered() ? STATUS_SUCCESS : SetProcessNotifyRoutine(FALSE);
}

NTSTATUS UnregisterProcessNotify(VOID)
{
    return IsProcessNotifyRegistered() ? SetProcessNotifyRoutine(TRUE) : STATUS_SUCCESS;
}
