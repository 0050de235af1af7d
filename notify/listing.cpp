// The listings of running console programs and surrogate hosts, and the set of surrogate image
// names user mode declares with the surrogate listing.
#include "notify/notify_private.h"

#include "log/log.h"
#include "process/name_utils.h"
#include "tables/dl_ext_func.h"

#define LISTING_RECORD_LEVEL 0x10
#define SURROGATE_RECORD_LEVEL 0x40

// x64 layout of the environment block and the process parameters.
#define PEB_PROCESS_PARAMETERS 0x20
#define PARAMETERS_COMMAND_LINE 0x70

// What one listing request says in its log records.
typedef struct _LISTING_REQUEST {
    BOOLEAN WantCui;
    BOOLEAN WantSurrogate;
    PCWSTR Text;  // "IOCTL = GET_CUI" or "IOCTL = GET_SURROGATE"
} LISTING_REQUEST;

static VOID LogReadFault(const LISTING_REQUEST* Request, ULONG ProcessId, NTSTATUS Code, PCUNICODE_STRING ImageName)
{
    NotifyPrint("EXCEPTION(QP) : pid = %d code = 0x%08x ImageName = %wZ\n", ProcessId, Code, ImageName);
    WriteLog(LISTING_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s pid = %d code = 0x%08x ImageName = %wZ",
             L"IRP = DEV_CTRL", Request->Text, ProcessId, Code, ImageName);
}

// The command line from the environment block of the current (attached) process, copied into
// CommandLine (VexH; left empty, as the caller cleared it, when the process has none). *Parameters receives the parameters'
// address for the caller's line about a missing command line.
static NTSTATUS CopyCommandLine(ULONG_PTR Peb, PULONG_PTR Parameters, PUNICODE_STRING CommandLine)
{
    UNICODE_STRING line;
    NTSTATUS status = CopyFromUserAddress(Parameters, Peb + PEB_PROCESS_PARAMETERS, sizeof(*Parameters));
    if (!NT_SUCCESS(status) || *Parameters == 0) {
        return status;
    }
    status = CopyFromUserAddress(&line, *Parameters + PARAMETERS_COMMAND_LINE, sizeof(line));
    if (!NT_SUCCESS(status) || line.Buffer == NULL || line.Length == 0) {
        return status;
    }
    line.Length &= ~(USHORT)1;  // whole characters only
    CommandLine->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, line.Length, VEXH_TAG);
    if (CommandLine->Buffer == NULL) {
        NotifyPrint("CommandLine.Buffer is null\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = CopyFromUserAddress(CommandLine->Buffer, (ULONG_PTR)line.Buffer, line.Length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(CommandLine->Buffer, VEXH_TAG);
        CommandLine->Buffer = NULL;
        return status;
    }
    CommandLine->Length = line.Length;
    CommandLine->MaximumLength = line.Length;
    return STATUS_SUCCESS;
}

// The image traits of the current (attached) process; failures other than a faulting read print
// their lines.
static NTSTATUS ReadImageTraits(PEPROCESS Process, PPROCESS_TRAITS Traits)
{
    PVOID imageBase = g_NotifyChannel.PsGetProcessSectionBaseAddress(Process);
    if (imageBase == NULL) {
        NotifyPrint("ImageBaseAddress is null\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IsConsoleApp(imageBase, &Traits->IsCui);
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_ACCESS_VIOLATION) {
            NotifyPrint("IsConsoleApp error %x\n", status);
        }
        return status;
    }
    status = Is64bitApp(imageBase, &Traits->Is64);
    if (!NT_SUCCESS(status) && status != STATUS_ACCESS_VIOLATION) {
        NotifyPrint("Is64bitApp error %x\n", status);
    }
    return status;
}

// Examines one running process and appends its record to Set when the request wants it. A
// process without an environment block is skipped silently; a read that faults leaves an
// exception record.
static VOID ListProcess(PSYSTEM_PROCESS_INFORMATION Entry, const LISTING_REQUEST* Request, PKAPC_STATE ApcState, PLIST_ENTRY Set)
{
    HANDLE processId = Entry->UniqueProcessId;
    ULONG lowId = (ULONG)(ULONG_PTR)processId;
    PEPROCESS process = NULL;
    PUNICODE_STRING imagePath = NULL;
    UNICODE_STRING commandLine;
    PROCESS_TRAITS traits;
    ULONG_PTR parameters = 0;
    BOOLEAN noCommandLine = FALSE;
    PVOID peb = NULL;

    RtlZeroMemory(&commandLine, sizeof(commandLine));
    RtlZeroMemory(&traits, sizeof(traits));
    NTSTATUS status = PsLookupProcessByProcessId(processId, &process);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("PsLookupProcessByProcessId failed: pid = %d NTStatus = %08x\n", lowId, status);
        return;
    }
    status = GetSessionId(process, &traits.SessionId);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("GetSessionId failed: 0x%08x\n", status);
        goto Cleanup;
    }

    KeStackAttachProcess((PKPROCESS)process, ApcState);
    peb = g_NotifyChannel.PsGetProcessPeb(process);
    if (peb != NULL) {
        status = CopyCommandLine((ULONG_PTR)peb, &parameters, &commandLine);
        noCommandLine = NT_SUCCESS(status) && commandLine.Buffer == NULL;
        if (NT_SUCCESS(status)) {
            status = ReadImageTraits(process, &traits);
        }
    }
    KeUnstackDetachProcess(ApcState);
    if (peb == NULL) {
        goto Cleanup;
    }
    if (noCommandLine) {
        NotifyPrint("pid = %d ProcessParameters = %p ImageName = %wZ\n", lowId, (PVOID)parameters, &Entry->ImageName);
        WriteLog(LISTING_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s pid = %d ProcessParameters = %p ImageName = %wZ",
                 L"IRP = DEV_CTRL", Request->Text, lowId, (PVOID)parameters, &Entry->ImageName);
    }
    if (status == STATUS_ACCESS_VIOLATION) {
        LogReadFault(Request, lowId, status, &Entry->ImageName);
    }
    if (!NT_SUCCESS(status)) {
        goto Cleanup;
    }
    status = GetFileNameFromProcessID(processId, &imagePath);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("GetFileNameFromProcessID error %x\n", status);
        goto Cleanup;
    }
    IsSurrogateProc(imagePath, &traits.IsSurrogate);
    if (IsReportable(&traits, imagePath) && ((Request->WantCui && traits.IsCui) || (Request->WantSurrogate && traits.IsSurrogate))) {
        PVEX_PROCESS_DATA record = AllocateProcessData(processId, 1, &traits, &commandLine);
        if (record != NULL) {
            InsertTailList(Set, &record->Links);
        }
    }

Cleanup:
    if (imagePath != NULL) {
        ExFreePoolWithTag(imagePath, VEXR_TAG);
    }
    if (commandLine.Buffer != NULL) {
        ExFreePoolWithTag(commandLine.Buffer, VEXH_TAG);
    }
    ObDereferenceObject(process);
}

static NTSTATUS ListProcesses(PLIST_ENTRY Set, const LISTING_REQUEST* Request)
{
    PVOID snapshot = NULL;
    PKAPC_STATE apcState = (PKAPC_STATE)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(KAPC_STATE), VEXH_TAG);
    if (apcState == NULL) {
        NotifyPrint("ApcState allocate error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = QuerySystemInformation(&snapshot);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("QuerySystemInformation error %x\n", status);
        ExFreePoolWithTag(apcState, VEXH_TAG);
        return status;
    }
    PSYSTEM_PROCESS_INFORMATION entry = (PSYSTEM_PROCESS_INFORMATION)snapshot;
    while (entry != NULL) {
        ULONG lowId = (ULONG)(ULONG_PTR)entry->UniqueProcessId;
        if (lowId != 0 && lowId != 4) {
            ListProcess(entry, Request, apcState, Set);
        }
        entry = entry->NextEntryOffset == 0 ? NULL : (PSYSTEM_PROCESS_INFORMATION)((PUCHAR)entry + entry->NextEntryOffset);
    }
    if (snapshot != NULL) {
        ExFreePoolWithTag(snapshot, VEXR_TAG);
    }
    ExFreePoolWithTag(apcState, VEXH_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS QueryProcessIdList(PLIST_ENTRY Set, BOOLEAN WantCui, BOOLEAN WantSurrogate)
{
    LISTING_REQUEST request = {WantCui, WantSurrogate, WantCui ? L"IOCTL = GET_CUI" : L"IOCTL = GET_SURROGATE"};
    return ListProcesses(Set, &request);
}

static NTSTATUS InsertSurrogateName(PCWSTR Name, ULONG Characters)
{
    UNICODE_STRING name;
    NTSTATUS status = STATUS_NAME_TOO_LONG;
    name.Buffer = (PWSTR)Name;
    name.Length = 0;
    name.MaximumLength = 0;
    if (Characters <= MAX_COUNTED_BYTES / sizeof(WCHAR)) {
        name.Length = (USHORT)(Characters * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        status = CTInsertElement(&g_NotifyChannel.SurrogateCache, &name, NULL, NULL, TRUE);
    }
    if (!NT_SUCCESS(status)) {
        WriteLog(SURROGATE_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s status = 0x%08XL path = %wZ", L"IRP = DEV_CTRL",
                 L"IOCTL = GET_SURROGATE", status, &name);
    }
    return status;
}

// Names separated by '*' and ended by a NUL; only whole characters within Length are read. An
// empty name between two separators is a name too; a name not ended within Length is dropped.
NTSTATUS UpdateSurrogateCache(PCWSTR Names, ULONG Length)
{
    if (Names == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    CTDeleteAllElements(&g_NotifyChannel.SurrogateCache);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG start = 0;
    for (ULONG i = 0; i < Length / sizeof(WCHAR); i++) {
        if (Names[i] == L'*') {
            status = InsertSurrogateName(Names + start, i - start);
            start = i + 1;
        } else if (Names[i] == UNICODE_NULL) {
            return i > start ? InsertSurrogateName(Names + start, i - start) : STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return status;
}

// TotalLength, counted in 64 bits so that no number of records can wrap it, is written saturated
// when it passes 32 bits: no output buffer could hold such a listing anyway.
static NTSTATUS WriteListing(PLIST_ENTRY Set, PVOID Output, ULONG OutputLength)
{
    ULONG64 total = PROCESS_LISTING_HEADER_SIZE;
    for (PLIST_ENTRY link = Set->Flink; link != Set; link = link->Flink) {
        total += PROCESS_MESSAGE_SIZE(&CONTAINING_RECORD(link, VEX_PROCESS_DATA, Links)->Message);
    }
    ULONG written = total > MAXULONG ? MAXULONG : (ULONG)total;
    RtlCopyMemory(Output, &written, sizeof(written));
    if (OutputLength < total) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PUCHAR at = (PUCHAR)Output + PROCESS_LISTING_HEADER_SIZE;
    for (PLIST_ENTRY link = Set->Flink; link != Set; link = link->Flink) {
        PPROCESS_MESSAGE message = &CONTAINING_RECORD(link, VEX_PROCESS_DATA, Links)->Message;
        RtlCopyMemory(at, message, PROCESS_MESSAGE_SIZE(message));
        at += PROCESS_MESSAGE_SIZE(message);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ListInto(BOOLEAN WantCui, PVOID Output, ULONG OutputLength)
{
    LIST_ENTRY set;
    InitializeListHead(&set);
    NTSTATUS status = QueryProcessIdList(&set, WantCui, !WantCui);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("QueryProcessIdList error %x\n", status);
    } else {
        status = WriteListing(&set, Output, OutputLength);
    }
    FreeProcessDataList(&set);
    return status;
}

NTSTATUS GetCuiPidList(PVOID Output, ULONG OutputLength)
{
    if (Output == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OutputLength < PROCESS_LISTING_HEADER_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return ListInto(TRUE, Output, OutputLength);
}

NTSTATUS GetSurrogatePidList(PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    if (Output == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OutputLength < PROCESS_LISTING_HEADER_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = UpdateSurrogateCache((PCWSTR)Input, InputLength);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("UpdateSurrogateCache error %x\n", status);
        return status;
    }
    return ListInto(FALSE, Output, OutputLength);
}
