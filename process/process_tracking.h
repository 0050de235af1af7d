// Processes entering and leaving the lists as they start and exit: the creation and exit halves
// of the create-process notify routine. Both run at PASSIVE_LEVEL in the thread the system calls
// the routine in, take each list's mutex only for one look-up or change, and compute the image
// path with no lock held.
#pragma once

#include "platform.h"

// Classifies a process being created against the lists and adds it where it belongs, each
// addition with its "PROC = CREATED" record. Entries that still carry its id belong to an earlier
// process whose exit was missed and are removed first. Membership through the parent holds even
// when the image path cannot be obtained; only the name settings then cannot match. An entry that
// would put the process under the sandbox (or make it a monitored parent) and cannot be made
// refuses the creation through CreateInfo->CreationStatus. The result is that of the last
// addition made.
NTSTATUS OnProcessCreated(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);

// Removes an exited process from every monitored list, each entry with its "PROC = EXITS" record.
VOID OnProcessExited(HANDLE ProcessId);
