// Process settings from the control requests, and the scans of the running processes that bring
// already-running instances under the lists.
#include "process/process_private.h"

#include "common/match.h"
#include "log/log.h"
#include "process/name_utils.h"
#include "tables/dl_ext_func.h"

// Ancestors examined above a process when looking for a monitored parent.
#define MAX_PARENT_GENERATIONS 52

typedef NTSTATUS (*NAME_SCAN)(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id);
typedef NTSTATUS (*TREE_SCAN)(PSYSTEM_PROCESS_INFORMATION Snapshot);

// The first entry whose id is the child's parent id and that was not created after the child,
// so that a recycled id never passes for the parent.
static PSYSTEM_PROCESS_INFORMATION FindParentProcessEntry(PSYSTEM_PROCESS_INFORMATION Snapshot, PSYSTEM_PROCESS_INFORMATION Child)
{
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; entry != NULL; entry = NextProcessEntry(entry)) {
        if (entry->UniqueProcessId == Child->InheritedFromUniqueProcessId &&
            entry->CreateTime.QuadPart <= Child->CreateTime.QuadPart) {
            return entry;
        }
    }
    return NULL;
}

// Where a scan puts the processes it finds, and how it records them.
typedef struct _SCAN_TARGET {
    PLOCKED_LIST List;
    ULONG Kind;           // kept by MonitoredProcessList; the other lists store their own
    PCWSTR Operation;     // "IOCTL = SET_PARENT" and the like
    PCWSTR AddedText;     // "status = ADDED_PARENT" and the like
} SCAN_TARGET;

// Inserts a process that a scan found, with the snapshot's parent id (for the lists that keep
// one), and writes its record. A process that has begun to exit is passed over; any other failure
// is the scan's, and nothing is recorded for it.
static NTSTATUS AddScannedProcess(const SCAN_TARGET* Target, PEPROCESS Process, PSYSTEM_PROCESS_INFORMATION Entry, ULONG Id)
{
    ULONG pid = (ULONG)(ULONG_PTR)Entry->UniqueProcessId;
    NTSTATUS status = InsertMonitoredProcess(Target->List, Process, Entry->UniqueProcessId, Entry->InheritedFromUniqueProcessId,
                                             Target->Kind, Id);
    if (status == STATUS_PROCESS_IS_TERMINATING) {
        if (IsDetailEnabled()) {
            DbgPrint("VexRegFilter - %wZ (%d) exited before it was added.\n", &Entry->ImageName, pid);
        }
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - InsertMonitoredProcess error %x - %wZ (%d)\n", status, &Entry->ImageName, pid);
        return status;
    }
    WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d ppid = %d pid = %d name = %wZ",
             IRP_DEV_CTRL, Target->Operation, Target->AddedText, Id, (ULONG)(ULONG_PTR)Entry->InheritedFromUniqueProcessId, pid,
             &Entry->ImageName);
    return STATUS_SUCCESS;
}

static BOOLEAN IsInEither(PLOCKED_LIST First, PLOCKED_LIST Second, HANDLE ProcessId)
{
    return FindMonitoredProcess(First, ProcessId, MONITORED_KIND_ANY, NULL) ||
           (Second != NULL && FindMonitoredProcess(Second, ProcessId, MONITORED_KIND_ANY, NULL));
}

// What differs between the three scans by name.
typedef struct _NAME_SCAN_TRAITS {
    PCSTR HeaderLine;
    PLOCKED_LIST AddedIn;      // a process in this list (any kind) is already added
    PLOCKED_LIST AlsoAddedIn;  // or in this one (any kind), when set
    PCSTR InsertLine;
    SCAN_TARGET Target;
} NAME_SCAN_TRAITS;

// One snapshot entry of a scan by name. A process that cannot be examined is skipped; only a
// failed insert fails the scan.
static NTSTATUS ScanEntryByName(const NAME_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Entry, PCUNICODE_STRING Name,
                                PCUNICODE_STRING NtName, ULONG Id)
{
    HANDLE processId = Entry->UniqueProcessId;
    PUNICODE_STRING imageName = NULL;
    PEPROCESS process = NULL;
    UNICODE_STRING longName = {0, 0, NULL};
    NTSTATUS result = STATUS_SUCCESS;

    if (IsDetailEnabled()) {
        DbgPrint(Traits->HeaderLine, (ULONG)(ULONG_PTR)processId, &Entry->ImageName);
    }
    NTSTATUS status = GetProcessImageNameFromProcessId(processId, &imageName, &process);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - GetProcessImageNameFromProcessId Failed: 0x%08XL\n", status);
    } else {
        status = KernelGetLongPathName(imageName, &longName);
        if (!NT_SUCCESS(status)) {
            DbgPrint("VexRegFilter - KernelGetLongPathName failed %08x\n", status);
        } else if (IsInEither(Traits->AddedIn, Traits->AlsoAddedIn, processId)) {
            if (IsDetailEnabled()) {
                DbgPrint("VexRegFilter - %wZ (%d) has already been added.\n", &longName, (ULONG)(ULONG_PTR)processId);
            }
        } else if (IsSameName(&longName, NtName)) {
            if (IsDetailEnabled()) {
                DbgPrint(Traits->InsertLine, process, (ULONG)(ULONG_PTR)processId, Name);
            }
            result = AddScannedProcess(&Traits->Target, process, Entry, Id);
        }
    }
    FreeOwnedString(&longName);
    if (imageName != NULL) {
        ExFreePoolWithTag(imageName, VEXR_TAG);
    }
    if (process != NULL) {
        ObDereferenceObject(process);
    }
    return result;
}

static NTSTATUS ScanByName(const NAME_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    UNICODE_STRING ntName;
    NTSTATUS status = GetNtNameFromDosName(Name, &ntName);
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; NT_SUCCESS(status) && entry != NULL; entry = NextProcessEntry(entry)) {
        status = ScanEntryByName(Traits, entry, Name, &ntName, Id);
    }
    FreeOwnedString(&ntName);
    return status;
}

static NTSTATUS RegistMonitoredParentProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    static const NAME_SCAN_TRAITS traits = {
        .HeaderLine = "VexRegFilter - RegistMonitoredParentProcess: %d - %wZ\n",
        .AddedIn = &g_VexRegFilterData.MonitoredParentProcessList,
        .AlsoAddedIn = &g_VexRegFilterData.MonitoredProcessList,
        .InsertLine = "VexRegFilter - insert parent %p %d %wZ\n",
        .Target = {.List = &g_VexRegFilterData.MonitoredParentProcessList,
                   .Kind = MONITORED_KIND_CHILD,
                   .Operation = OP_SET_PARENT,
                   .AddedText = L"status = ADDED_PARENT"},
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

static NTSTATUS RegistMonitoredProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    static const NAME_SCAN_TRAITS traits = {
        .HeaderLine = "VexRegFilter - RegistMonitoredProcess: %d - %wZ\n",
        .AddedIn = &g_VexRegFilterData.MonitoredProcessList,
        .AlsoAddedIn = NULL,
        .InsertLine = "VexRegFilter - insert process %p %d %wZ\n",
        .Target = {.List = &g_VexRegFilterData.MonitoredProcessList,
                   .Kind = MONITORED_KIND_PROCESS,
                   .Operation = OP_SET_PROCESS,
                   .AddedText = L"status = ADDED_PROCESS"},
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

static NTSTATUS RegistMonitoredRootProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    static const NAME_SCAN_TRAITS traits = {
        .HeaderLine = "VexRegFilter - RegistMonitoredRootProcess: %d - %wZ\n",
        .AddedIn = &g_VexRegFilterData.MonitoredRootProcessList,
        .AlsoAddedIn = &g_VexRegFilterData.MonitoredChildOfRootProcessList,
        .InsertLine = "VexRegFilter - insert root %p %d %wZ\n",
        .Target = {.List = &g_VexRegFilterData.MonitoredRootProcessList,
                   .Kind = MONITORED_KIND_CHILD,
                   .Operation = OP_SET_ROOT,
                   .AddedText = L"status = ADDED_ROOT"},
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

// What differs between the two scans by ancestry.
typedef struct _TREE_SCAN_TRAITS {
    PCSTR HeaderLine;
    PLOCKED_LIST AddedIn;    // a process in this list or the target is already added
    PLOCKED_LIST Ancestors;  // the list an ancestor must be in
    ULONG Generations;       // ancestors examined
    SCAN_TARGET Target;
} TREE_SCAN_TRAITS;

// The identifier of the nearest ancestor of Entry, within the generations of the scan, that is in
// the scan's list of ancestors.
static BOOLEAN FindMonitoredAncestor(const TREE_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot,
                                     PSYSTEM_PROCESS_INFORMATION Entry, PULONG Id)
{
    PSYSTEM_PROCESS_INFORMATION ancestor = FindParentProcessEntry(Snapshot, Entry);
    for (ULONG generation = 1; ancestor != NULL && generation <= Traits->Generations; generation++) {
        if (FindMonitoredProcess(Traits->Ancestors, ancestor->UniqueProcessId, MONITORED_KIND_ANY, Id)) {
            return TRUE;
        }
        ancestor = FindParentProcessEntry(Snapshot, ancestor);
    }
    return FALSE;
}

// One snapshot entry of a scan by ancestry. The process is looked up by its id only after its
// ancestry was judged on the snapshot, so the id may have passed to a later process meanwhile:
// one created at another time is not the snapshot's and is passed over.
static NTSTATUS ScanEntryByAncestry(const TREE_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot,
                                    PSYSTEM_PROCESS_INFORMATION Entry)
{
    HANDLE processId = Entry->UniqueProcessId;
    ULONG id = 0;
    PEPROCESS process = NULL;
    NTSTATUS result = STATUS_SUCCESS;

    if (IsDetailEnabled()) {
        DbgPrint(Traits->HeaderLine, (ULONG)(ULONG_PTR)processId, &Entry->ImageName);
    }
    if (IsInEither(Traits->AddedIn, Traits->Target.List, processId)) {
        if (IsDetailEnabled()) {
            DbgPrint("VexRegFilter - %wZ (%d) has already been added.\n", &Entry->ImageName, (ULONG)(ULONG_PTR)processId);
        }
        return STATUS_SUCCESS;
    }
    if (!FindMonitoredAncestor(Traits, Snapshot, Entry, &id)) {
        return STATUS_SUCCESS;
    }
    if (IsDetailEnabled()) {
        DbgPrint("VexRegFilter - %wZ (%d) is child process\n", &Entry->ImageName, (ULONG)(ULONG_PTR)processId);
    }
    if (NT_SUCCESS(PsLookupProcessByProcessId(processId, &process))) {
        if (PsGetProcessCreateTimeQuadPart(process) == Entry->CreateTime.QuadPart) {
            result = AddScannedProcess(&Traits->Target, process, Entry, id);
        }
        ObDereferenceObject(process);
    }
    return result;
}

static NTSTATUS ScanByAncestry(const TREE_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; NT_SUCCESS(status) && entry != NULL; entry = NextProcessEntry(entry)) {
        status = ScanEntryByAncestry(Traits, Snapshot, entry);
    }
    return status;
}

static NTSTATUS RegistMonitoredChildrenProcess(PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    static const TREE_SCAN_TRAITS traits = {
        .HeaderLine = "VexRegFilter - RegistMonitoredChildrenProcess: %d - %wZ\n",
        .AddedIn = &g_VexRegFilterData.MonitoredParentProcessList,
        .Ancestors = &g_VexRegFilterData.MonitoredParentProcessList,
        .Generations = MAX_PARENT_GENERATIONS,
        .Target = {.List = &g_VexRegFilterData.MonitoredProcessList,
                   .Kind = MONITORED_KIND_CHILD,
                   .Operation = OP_SET_PARENT,
                   .AddedText = L"status = ADDED_CHILD"},
    };
    return ScanByAncestry(&traits, Snapshot);
}

static NTSTATUS RegistMonitoredChildOfRootProcess(PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    static const TREE_SCAN_TRAITS traits = {
        .HeaderLine = "VexRegFilter - RegistMonitoredChildOfRootProcess: %d - %wZ\n",
        .AddedIn = &g_VexRegFilterData.MonitoredRootProcessList,
        .Ancestors = &g_VexRegFilterData.MonitoredRootProcessList,
        .Generations = 1,
        .Target = {.List = &g_VexRegFilterData.MonitoredChildOfRootProcessList,
                   .Kind = MONITORED_KIND_PROCESS,
                   .Operation = OP_SET_ROOT,
                   .AddedText = L"status = ADDED_CHILD_OF_ROOT"},
    };
    return ScanByAncestry(&traits, Snapshot);
}

// The scans a name list runs after an addition, with their failure lines; none for exclusions and
// tree monitors. An empty snapshot holds no process to scan.
typedef struct _SETTING_SCANS {
    NAME_SCAN ByName;
    PCSTR ByNameFailure;
    TREE_SCAN ByAncestry;  // when set, runs after ByName succeeded
    PCSTR ByAncestryFailure;
} SETTING_SCANS;

static NTSTATUS RunScans(const SETTING_SCANS* Scans, PCUNICODE_STRING Name, ULONG Id)
{
    PVOID snapshot = NULL;
    NTSTATUS status = QuerySystemInformation(&snapshot);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - QuerySystemInformation error %x\n", status);
        return status;
    }
    status = Scans->ByName((PSYSTEM_PROCESS_INFORMATION)snapshot, Name, Id);
    if (!NT_SUCCESS(status)) {
        DbgPrint(Scans->ByNameFailure, status);
    } else if (Scans->ByAncestry != NULL) {
        status = Scans->ByAncestry((PSYSTEM_PROCESS_INFORMATION)snapshot);
        if (!NT_SUCCESS(status)) {
            DbgPrint(Scans->ByAncestryFailure, status);
        }
    }
    if (snapshot != NULL) {
        ExFreePoolWithTag(snapshot, VEXR_TAG);
    }
    return status;
}

static VOID WriteSettingRecord(PCWSTR Operation, PCWSTR StatusText, ULONG Id, PCUNICODE_STRING Name)
{
    WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d path = %wZ", IRP_DEV_CTRL, Operation,
             StatusText, Id, Name);
}

// Adds a setting to a name list, or finds the one of that name, and runs the list's scans.
//
// A name already present costs nothing (no allocation, no identifier) and is never taken away:
// whatever fails, the existing setting and what its scans caught stay, and only the failure is
// reported. A new setting that fails is removed with everything captured under its identifier,
// which is given back afterwards. The scans and records work on the caller's name, never on the
// published entry, which a concurrent removal may free at any time.
static NTSTATUS AddSetting(const NAME_LIST_TRAITS* Traits, PCWSTR Name, PULONG Id, const SETTING_SCANS* Scans)
{
    UNICODE_STRING name;
    ULONG id = 0;

    if (Name == NULL || Id == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = MeasureProcessName(Name, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BOOLEAN added;
    status = InsertProcessName(Traits, &name, &id, &added);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WriteSettingRecord(Traits->Operation, added ? L"status = ADDED_SETTING" : L"status = SETTING_EXISTS", id, &name);
    *Id = id;
    if (Scans != NULL) {
        status = RunScans(Scans, &name, id);
    }
    if (!NT_SUCCESS(status) && added) {
        DeleteSettingById(id, Traits->Operation);
    }
    return status;
}

NTSTATUS SetParentProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {
        .ByName = RegistMonitoredParentProcess,
        .ByNameFailure = "VexRegFilter - RegistMonitoredParentProcess error - %x\n",
        .ByAncestry = RegistMonitoredChildrenProcess,
        .ByAncestryFailure = "VexRegFilter - RegistMonitoredChildrenProcess error - %x\n",
    };
    return AddSetting(&g_ParentProcessNames, Name, Id, &scans);
}

NTSTATUS SetProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {
        .ByName = RegistMonitoredProcess,
        .ByNameFailure = "VexRegFilter - RegistMonitoredProcess error - %x\n",
        .ByAncestry = NULL,
        .ByAncestryFailure = NULL,
    };
    return AddSetting(&g_ProcessNames, Name, Id, &scans);
}

NTSTATUS SetRootProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {
        .ByName = RegistMonitoredRootProcess,
        .ByNameFailure = "VexRegFilter - RegistMonitoredRootProcess error - %x\n",
        .ByAncestry = RegistMonitoredChildOfRootProcess,
        .ByAncestryFailure = "VexRegFilter - RegistMonitoredChildOfRootProcess error - %x\n",
    };
    return AddSetting(&g_RootProcessNames, Name, Id, &scans);
}

NTSTATUS AddExclusionProcess(PCWSTR Name, PULONG Id)
{
    return AddSetting(&g_ExclusionProcessNames, Name, Id, NULL);
}

NTSTATUS AddProcessTreeMonitor(PCWSTR Name, PULONG Id)
{
    return AddSetting(&g_TreeMonitorNames, Name, Id, NULL);
}
