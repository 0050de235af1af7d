// Process settings from the control requests, and the scans of the running processes that bring
// already-running instances under the lists.
#include "process/process_private.h"

#include "log/log.h"
#include "common/match.h"
#include "process/name_utils.h"
#include "tables/dl_ext_func.h"

// Ancestors examined above a process when looking for a monitored parent.
#define MAX_PARENT_GENERATIONS 52

typedef NTSTATUS (*NAME_SCAN)(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id);
typedef NTSTATUS (*TREE_SCAN)(PSYSTEM_PROCESS_INFORMATION Snapshot);

static PSYSTEM_PROCESS_INFORMATION NextEntry(PSYSTEM_PROCESS_INFORMATION Entry)
{
    return Entry->NextEntryOffset == 0 ? NULL : (PSYSTEM_PROCESS_INFORMATION)((PUCHAR)Entry + Entry->NextEntryOffset);
}

// The first entry whose id is the child's parent id and that was not created after the child,
// so that a recycled id never passes for the parent.
static PSYSTEM_PROCESS_INFORMATION FindParentProcessEntry(PSYSTEM_PROCESS_INFORMATION Snapshot, PSYSTEM_PROCESS_INFORMATION Child)
{
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; entry != NULL; entry = NextEntry(entry)) {
        if (entry->UniqueProcessId == Child->InheritedFromUniqueProcessId &&
            entry->CreateTime.QuadPart <= Child->CreateTime.QuadPart) {
            return entry;
        }
    }
    return NULL;
}

static VOID WriteScanRecord(PCWSTR Operation, PCWSTR StatusText, ULONG Id, PSYSTEM_PROCESS_INFORMATION Entry)
{
    WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d ppid = %d pid = %d name = %wZ",
             IRP_DEV_CTRL, Operation, StatusText, Id, (ULONG)(ULONG_PTR)Entry->InheritedFromUniqueProcessId,
             (ULONG)(ULONG_PTR)Entry->UniqueProcessId, &Entry->ImageName);
}

// What differs between the three scans by name.
typedef struct _NAME_SCAN_TRAITS {
    PCSTR HeaderLine;
    PLOCKED_LIST AddedIn;        // a process in this list (any kind) is already added
    PLOCKED_LIST AlsoAddedIn;    // or in this one (any kind)
    PLOCKED_LIST Target;
    ULONG Kind;
    BOOLEAN StoresParent;
    PCSTR InsertLine;
    PCWSTR Operation;
    PCWSTR AddedText;
} NAME_SCAN_TRAITS;

static BOOLEAN IsInEither(PLOCKED_LIST First, PLOCKED_LIST Second, HANDLE ProcessId, PULONG Id)
{
    return FindMonitoredProcess(First, ProcessId, MONITORED_KIND_ANY, Id) ||
           (Second != NULL && FindMonitoredProcess(Second, ProcessId, MONITORED_KIND_ANY, Id));
}

static NTSTATUS ScanByName(const NAME_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    UNICODE_STRING ntName;
    if (Snapshot == NULL || Name == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = GetNtNameFromDosName(Name, &ntName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; entry != NULL; entry = NextEntry(entry)) {
        HANDLE processId = entry->UniqueProcessId;
        PUNICODE_STRING imageName = NULL;
        PEPROCESS process = NULL;
        UNICODE_STRING longName = {0, 0, NULL};
        if (IsDetailEnabled()) {
            DbgPrint(Traits->HeaderLine, (ULONG)(ULONG_PTR)processId, &entry->ImageName);
        }
        status = GetProcessImageNameFromProcessId(processId, &imageName, &process);
        if (!NT_SUCCESS(status)) {
            DbgPrint("VexRegFilter - GetProcessImageNameFromProcessId Failed: 0x%08XL\n", status);
        } else {
            status = KernelGetLongPathName(imageName, &longName);
            if (!NT_SUCCESS(status)) {
                DbgPrint("VexRegFilter - KernelGetLongPathName failed %08x\n", status);
            } else if (IsInEither(Traits->AddedIn, Traits->AlsoAddedIn, processId, NULL)) {
                if (IsDetailEnabled()) {
                    DbgPrint("VexRegFilter - %wZ (%d) has already been added.\n", &longName, (ULONG)(ULONG_PTR)processId);
                }
            } else if (IsSameName(&longName, &ntName)) {
                if (IsDetailEnabled()) {
                    DbgPrint(Traits->InsertLine, process, (ULONG)(ULONG_PTR)processId, Name);
                }
                InsertMonitoredProcess(Traits->Target, process, processId,
                                       Traits->StoresParent ? entry->InheritedFromUniqueProcessId : NULL, Traits->Kind, Id);
                WriteScanRecord(Traits->Operation, Traits->AddedText, Id, entry);
            }
        }
        FreeOwnedString(&longName);
        if (imageName != NULL) {
            ExFreePoolWithTag(imageName, VEXR_TAG);
        }
        if (process != NULL) {
            ObDereferenceObject(process);
        }
    }
    FreeOwnedString(&ntName);
    return STATUS_SUCCESS;
}

static NTSTATUS RegistMonitoredParentProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    const NAME_SCAN_TRAITS traits = {
        "VexRegFilter - RegistMonitoredParentProcess: %d - %wZ\n", &g_VexRegFilterData.MonitoredParentProcessList,
        &g_VexRegFilterData.MonitoredProcessList, &g_VexRegFilterData.MonitoredParentProcessList, MONITORED_KIND_CHILD, FALSE,
        "VexRegFilter - insert parent %p %d %wZ\n", OP_SET_PARENT, L"status = ADDED_PARENT",
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

static NTSTATUS RegistMonitoredProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    const NAME_SCAN_TRAITS traits = {
        "VexRegFilter - RegistMonitoredProcess: %d - %wZ\n", &g_VexRegFilterData.MonitoredProcessList, NULL,
        &g_VexRegFilterData.MonitoredProcessList, MONITORED_KIND_PROCESS, TRUE,
        "VexRegFilter - insert process %p %d %wZ\n", OP_SET_PROCESS, L"status = ADDED_PROCESS",
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

static NTSTATUS RegistMonitoredRootProcess(PSYSTEM_PROCESS_INFORMATION Snapshot, PCUNICODE_STRING Name, ULONG Id)
{
    const NAME_SCAN_TRAITS traits = {
        "VexRegFilter - RegistMonitoredRootProcess: %d - %wZ\n", &g_VexRegFilterData.MonitoredRootProcessList,
        &g_VexRegFilterData.MonitoredChildOfRootProcessList, &g_VexRegFilterData.MonitoredRootProcessList,
        MONITORED_KIND_CHILD, FALSE, "VexRegFilter - insert root %p %d %wZ\n", OP_SET_ROOT, L"status = ADDED_ROOT",
    };
    return ScanByName(&traits, Snapshot, Name, Id);
}

// What differs between the two scans by ancestry.
typedef struct _TREE_SCAN_TRAITS {
    PCSTR HeaderLine;
    PLOCKED_LIST AddedIn;      // a process in this list or the target is already added
    PLOCKED_LIST Ancestors;    // the list an ancestor must be in
    ULONG Generations;         // ancestors examined
    PLOCKED_LIST Target;
    ULONG Kind;
    BOOLEAN StoresParent;
    PCWSTR Operation;
    PCWSTR AddedText;
} TREE_SCAN_TRAITS;

static NTSTATUS ScanByAncestry(const TREE_SCAN_TRAITS* Traits, PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    if (Snapshot == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    for (PSYSTEM_PROCESS_INFORMATION entry = Snapshot; entry != NULL; entry = NextEntry(entry)) {
        HANDLE processId = entry->UniqueProcessId;
        ULONG id = 0;
        BOOLEAN found = FALSE;
        if (IsDetailEnabled()) {
            DbgPrint(Traits->HeaderLine, (ULONG)(ULONG_PTR)processId, &entry->ImageName);
        }
        if (IsInEither(Traits->AddedIn, Traits->Target, processId, NULL)) {
            if (IsDetailEnabled()) {
                DbgPrint("VexRegFilter - %wZ (%d) has already been added.\n", &entry->ImageName, (ULONG)(ULONG_PTR)processId);
            }
            continue;
        }
        PSYSTEM_PROCESS_INFORMATION ancestor = FindParentProcessEntry(Snapshot, entry);
        for (ULONG generation = 1; ancestor != NULL && generation <= Traits->Generations; generation++) {
            if (FindMonitoredProcess(Traits->Ancestors, ancestor->UniqueProcessId, MONITORED_KIND_ANY, &id)) {
                found = TRUE;
                break;
            }
            ancestor = FindParentProcessEntry(Snapshot, ancestor);
        }
        if (!found) {
            continue;
        }
        if (IsDetailEnabled()) {
            DbgPrint("VexRegFilter - %wZ (%d) is child process\n", &entry->ImageName, (ULONG)(ULONG_PTR)processId);
        }
        PEPROCESS process = NULL;
        if (NT_SUCCESS(PsLookupProcessByProcessId(processId, &process))) {
            InsertMonitoredProcess(Traits->Target, process, processId,
                                   Traits->StoresParent ? entry->InheritedFromUniqueProcessId : NULL, Traits->Kind, id);
            WriteScanRecord(Traits->Operation, Traits->AddedText, id, entry);
            ObDereferenceObject(process);
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS RegistMonitoredChildrenProcess(PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    const TREE_SCAN_TRAITS traits = {
        "VexRegFilter - RegistMonitoredChildrenProcess: %d - %wZ\n", &g_VexRegFilterData.MonitoredParentProcessList,
        &g_VexRegFilterData.MonitoredParentProcessList, MAX_PARENT_GENERATIONS, &g_VexRegFilterData.MonitoredProcessList,
        MONITORED_KIND_CHILD, TRUE, OP_SET_PARENT, L"status = ADDED_CHILD",
    };
    return ScanByAncestry(&traits, Snapshot);
}

static NTSTATUS RegistMonitoredChildOfRootProcess(PSYSTEM_PROCESS_INFORMATION Snapshot)
{
    const TREE_SCAN_TRAITS traits = {
        "VexRegFilter - RegistMonitoredChildOfRootProcess: %d - %wZ\n", &g_VexRegFilterData.MonitoredRootProcessList,
        &g_VexRegFilterData.MonitoredRootProcessList, 1, &g_VexRegFilterData.MonitoredChildOfRootProcessList,
        MONITORED_KIND_PROCESS, FALSE, OP_SET_ROOT, L"status = ADDED_CHILD_OF_ROOT",
    };
    return ScanByAncestry(&traits, Snapshot);
}

// The scans a name list runs after an addition, with their failure lines; none for exclusions.
typedef struct _SETTING_SCANS {
    NAME_SCAN ByName;
    PCSTR ByNameFailure;
    TREE_SCAN ByAncestry;
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
    ExFreePoolWithTag(snapshot, VEXR_TAG);
    return status;
}

static VOID WriteSettingRecord(PCWSTR Operation, PCWSTR StatusText, ULONG Id, PCUNICODE_STRING Name)
{
    WriteLog(PROCESS_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s %s id = %d path = %wZ", IRP_DEV_CTRL, Operation,
             StatusText, Id, Name);
}

// The setting's name as a counted view of the caller's string. Without a name or a place for the
// identifier there is nothing to do; an unterminated name cannot be matched against anything.
static NTSTATUS MeasureSettingName(PCWSTR Name, PULONG Id, PUNICODE_STRING View)
{
    if (Name == NULL || Id == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return MeasureProcessName(Name, View);
}

// Appends Entry to a name list unless the list holds its name already, and records which of the
// two it was. Returns TRUE when the list took Entry; *Id receives the setting's identifier.
static BOOLEAN AppendSetting(PLOCKED_LIST List, PPROCESS_NAME_ENTRY Entry, PCUNICODE_STRING Name, PULONG Id)
{
    BOOLEAN existing;
    AppendProcessNameOnce(List, Entry, Id, &existing);
    WriteSettingRecord(NameListTraits(List)->Operation, existing ? L"status = SETTING_EXISTS" : L"status = ADDED_SETTING", *Id,
                       Name);
    return !existing;
}

// Adds a setting to a name list (or finds the existing one) and runs the list's scans. A failure
// removes every entry of that name again. The scans and records work on the caller's name, never
// on the published entry, which a concurrent removal may free at any time.
static NTSTATUS AddSetting(PLOCKED_LIST List, PCWSTR Name, PULONG Id, const SETTING_SCANS* Scans)
{
    UNICODE_STRING name;
    PPROCESS_NAME_ENTRY entry = NULL;
    ULONG id = 0;

    // A name that is refused adds nothing and removes nothing.
    NTSTATUS status = MeasureSettingName(Name, Id, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BOOLEAN existing = FindProcessNameCounted(List, &name, &id);
    if (existing) {
        WriteSettingRecord(NameListTraits(List)->Operation, L"status = SETTING_EXISTS", id, &name);
    }
    status = AllocateProcessNameEntry(List, &name, &entry);
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    if (!existing && AppendSetting(List, entry, &name, &id)) {
        entry = NULL;  // the list owns it now
    }
    *Id = id;
    if (Scans != NULL) {
        status = RunScans(Scans, &name, id);
    }

Cleanup:
    if (!NT_SUCCESS(status)) {
        DeleteProcessNameCounted(List, &name, 0, TRUE);
    }
    if (entry != NULL) {
        FreeProcessNameEntry(entry);
    }
    return status;
}

NTSTATUS SetParentProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {
        RegistMonitoredParentProcess, "VexRegFilter - RegistMonitoredParentProcess error - %x\n",
        RegistMonitoredChildrenProcess, "VexRegFilter - RegistMonitoredChildrenProcess error - %x\n",
    };
    return AddSetting(&g_VexRegFilterData.ParentProcessNameList, Name, Id, &scans);
}

NTSTATUS SetProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {RegistMonitoredProcess, "VexRegFilter - RegistMonitoredProcess error - %x\n", NULL, NULL};
    return AddSetting(&g_VexRegFilterData.ProcessNameList, Name, Id, &scans);
}

NTSTATUS SetRootProcess(PCWSTR Name, PULONG Id)
{
    static const SETTING_SCANS scans = {
        RegistMonitoredRootProcess, "VexRegFilter - RegistMonitoredRootProcess error - %x\n",
        RegistMonitoredChildOfRootProcess, "VexRegFilter - RegistMonitoredChildOfRootProcess error - %x\n",
    };
    return AddSetting(&g_VexRegFilterData.RootProcessNameList, Name, Id, &scans);
}

NTSTATUS AddExclusionProcess(PCWSTR Name, PULONG Id)
{
    return AddSetting(&g_VexRegFilterData.ExclusionProcessNameList, Name, Id, NULL);
}

// No scan and no removal by name: a failure only frees the new entry.
NTSTATUS AddProcessTreeMonitor(PCWSTR Name, PULONG Id)
{
    PLOCKED_LIST list = &g_VexRegFilterData.PTreeMonNameList;
    UNICODE_STRING name;
    PPROCESS_NAME_ENTRY entry = NULL;
    ULONG id = 0;
    NTSTATUS status = MeasureSettingName(Name, Id, &name);
    if (NT_SUCCESS(status)) {
        status = AllocateProcessNameEntry(list, &name, &entry);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!AppendSetting(list, entry, &name, &id)) {
        FreeProcessNameEntry(entry);
    }
    *Id = id;
    return STATUS_SUCCESS;
}
