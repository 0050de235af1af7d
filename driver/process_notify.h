// The create-process notify routine: list classification and the process records of the
// notification channel, for every process creation and exit while it is registered.
#pragma once

#include "platform.h"

// Creation: OnProcessCreated, then RecordProcessData unless the creation was refused. Exit:
// OnProcessExited, then AnnounceProcessExit.
VOID NTAPI ProcessNotifyRoutine(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);

// Register and remove ProcessNotifyRoutine, keeping g_VexRegFilterData.ProcessNotifyRegistered
// under its lock; a failure prints its line and leaves the flag as it was. Registering when
// registered and removing when not registered succeed without doing anything. Callers serialise
// them (start, stop and unload).
NTSTATUS RegisterProcessNotify(VOID);
NTSTATUS UnregisterProcessNotify(VOID);
