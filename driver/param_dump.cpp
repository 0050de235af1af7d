// The parameter dump. Headings and counts are written at level 0x40, which the mask always
// holds; list items at 0x01, which the registry value chooses. Lists are copied under their own
// mutexes and written after, so no list lock is held across a mailslot write.
#include "driver/param_dump.h"

#include "common/pool_tags.h"
#include "driver/global.h"
#include "log/log.h"
#include "log/mailslot_line.h"
#include "process/process_lists.h"
#include "tables/list_snapshot.h"

#define DUMP_LEVEL_HEADING 0x40
#define DUMP_LEVEL_ITEM 0x01

#define PARAM_LABEL L"Param :"

// Who asked, and where the lines go.
typedef struct _DUMP_TARGET {
    HANDLE Mailslot;
    ULONG Mask;
    HANDLE ProcessId;
    HANDLE ThreadId;
    PWSTR ProcessName;
} DUMP_TARGET, *PDUMP_TARGET;

#define DUMP_LINE(Target, Level, ...)                                                                             \
    (void)WriteMailslotLine((Level), (Target)->Mask, (Target)->Mailslot, (Target)->ProcessId, (Target)->ThreadId, \
                            (Target)->ProcessName, __VA_ARGS__)

static VOID DumpRedirectNames(PDUMP_TARGET Target)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s %s\r\n", L"IRP = DEV_CTRL", L"IOCTL = OUTPUT_PARAM");
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectRootKeyName = %wZ\r\n", PARAM_LABEL, &data->RedirectRootKeyName);
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectUserClasses = %wZ\r\n", PARAM_LABEL, &data->RedirectUserClasses);
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectMachineClasses = %wZ\r\n", PARAM_LABEL, &data->RedirectMachineClasses);
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectRootKeyPattern = %wZ\r\n", PARAM_LABEL, &data->RedirectRootKeyPattern);
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectRootKeyNameUser = %wZ\r\n", PARAM_LABEL, &data->RedirectRootKeyNameUser);
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s RedirectRootKeyNameMachine = %wZ\r\n", PARAM_LABEL,
              &data->RedirectRootKeyNameMachine);
}

static NTSTATUS DumpExcludeKeys(PDUMP_TARGET Target)
{
    PLIST_SNAPSHOT snapshot = NULL;
    NTSTATUS status = DuplicateExcludeKeyList(&snapshot);
    if (!NT_SUCCESS(status)) {
        DbgPrint("DuplicateExcludeKeyList failed.\n");
        return status;
    }
    DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s %s Count = %d\r\n", PARAM_LABEL, L"ExcludeKey :", snapshot->Count);
    for (ULONG i = 0; i < snapshot->Count; i++) {
        DUMP_LINE(Target, DUMP_LEVEL_ITEM, L"%s %s Path = %wZ\r\n", PARAM_LABEL, L"ExcludeKey :", &snapshot->Entries[i].Name);
    }
    FreeListSnapshot(snapshot);
    return STATUS_SUCCESS;
}

typedef struct _DUMPED_LIST {
    PLOCKED_LIST List;
    PCWSTR Label;
} DUMPED_LIST;

static NTSTATUS DumpNameLists(PDUMP_TARGET Target)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    const DUMPED_LIST lists[] = {
        {&data->ParentProcessNameList, L"ParentName :"},
        {&data->ProcessNameList, L"ProcessName :"},
        {&data->ExclusionProcessNameList, L"ExcProcName :"},
        {&data->RootProcessNameList, L"RootName :"},
    };
    for (ULONG list = 0; list < RTL_NUMBER_OF(lists); list++) {
        PLIST_SNAPSHOT snapshot = NULL;
        NTSTATUS status = DuplicateProcessNameList(lists[list].List, &snapshot);
        if (!NT_SUCCESS(status)) {
            DbgPrint("DuplicateProcessNameList failed.\n");
            return status;
        }
        DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s %s Count = %d\r\n", PARAM_LABEL, lists[list].Label, snapshot->Count);
        for (ULONG i = 0; i < snapshot->Count; i++) {
            DUMP_LINE(Target, DUMP_LEVEL_ITEM, L"%s %s %wZ\r\n", PARAM_LABEL, lists[list].Label, &snapshot->Entries[i].Name);
        }
        FreeListSnapshot(snapshot);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS DumpMonitoredLists(PDUMP_TARGET Target)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    const DUMPED_LIST lists[] = {
        {&data->MonitoredParentProcessList, L"Parent :"},
        {&data->MonitoredProcessList, L"Child :"},
        {&data->MonitoredRootProcessList, L"Root :"},
        {&data->MonitoredChildOfRootProcessList, L"Root : Child :"},
    };
    for (ULONG list = 0; list < RTL_NUMBER_OF(lists); list++) {
        PLIST_SNAPSHOT snapshot = NULL;
        NTSTATUS status = DuplicateMonProcList(lists[list].List, &snapshot);
        if (!NT_SUCCESS(status)) {
            DbgPrint("DuplicateMonProcList failed.\n");
            return status;
        }
        DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s %s Count = %d\r\n", PARAM_LABEL, lists[list].Label, snapshot->Count);
        for (ULONG i = 0; i < snapshot->Count; i++) {
            DUMP_LINE(Target, DUMP_LEVEL_ITEM, L"%s %s PID = %d\r\n", PARAM_LABEL, lists[list].Label, snapshot->Entries[i].ProcessId);
        }
        FreeListSnapshot(snapshot);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS DumpCacheCounts(PDUMP_TARGET Target)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    const struct {
        PCACHE_TABLE Table;
        PCWSTR Label;
    } tables[] = {
        {&data->CopyKeyHistory, L"Cache : CopyKey :"},
        {&data->CopySubkeyHistory, L"Cache : CopySubkey :"},
        {&data->DifferenceHistory, L"Cache : Difference :"},
        {&data->ProcessCache, L"Cache : Process :"},
    };
    for (ULONG i = 0; i < RTL_NUMBER_OF(tables); i++) {
        ULONG count = 0;
        NTSTATUS status = CTGetElementCount(tables[i].Table, &count);
        if (!NT_SUCCESS(status)) {
            DbgPrint("CTGetElementCount failed. NTStatus = 0x%08x\n", status);
            return status;
        }
        DUMP_LINE(Target, DUMP_LEVEL_HEADING, L"%s %s Count = %d\r\n", PARAM_LABEL, tables[i].Label, count);
    }
    return STATUS_SUCCESS;
}

// The mailslot is opened for synchronous I/O: each write is complete when ZwWriteFile returns, so
// the line buffers may go right after it.
static NTSTATUS OpenDebugMailslot(PHANDLE Mailslot)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DEBUG_MAILSLOT_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus;
    NTSTATUS status = ZwCreateFile(Mailslot, GENERIC_WRITE | SYNCHRONIZE, &attributes, &ioStatus, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ZwOpenFile failed. ObjectName = %wZ NTStatus = %x\n", &name, status);
    }
    return status;
}

NTSTATUS OutputCurrentParam(VOID)
{
    DUMP_TARGET target;
    RtlZeroMemory(&target, sizeof(target));
    NTSTATUS status = GetDebugLogFlags(&target.Mask);
    if (!NT_SUCCESS(status)) {
        DbgPrint("GetDebugLogFlags failed.\n");
        return status;
    }
    target.Mask |= DUMP_LEVEL_HEADING;
    DbgPrint("DebugLogFlags 0x%02x\n", target.Mask);
    status = OpenDebugMailslot(&target.Mailslot);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    target.ProcessId = PsGetCurrentProcessId();
    target.ThreadId = PsGetCurrentThreadId();
    status = GetProcessName(&target.ProcessName, target.ProcessId);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Cannot resolve process name.\n");
    } else {
        DumpRedirectNames(&target);
        status = DumpExcludeKeys(&target);
        if (NT_SUCCESS(status)) {
            status = DumpNameLists(&target);
        }
        if (NT_SUCCESS(status)) {
            status = DumpMonitoredLists(&target);
        }
        if (NT_SUCCESS(status)) {
            status = DumpCacheCounts(&target);
        }
    }
    if (!NT_SUCCESS(status)) {
        DUMP_LINE(&target, DUMP_LEVEL_HEADING, L"%s %s status = 0x%08XL\r\n", L"IRP = DEV_CTRL", L"IOCTL = OUTPUT_PARAM", status);
    }
    if (target.ProcessName != NULL) {
        ExFreePoolWithTag(target.ProcessName, VEXR_TAG);
    }
    ZwClose(target.Mailslot);
    return status;
}
