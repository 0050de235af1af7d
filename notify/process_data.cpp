// The records of qualifying processes and their messages: a record is made at creation, its start
// message goes out when the process loads its system base library, its exit message when it ends.
//
// The process-data mutex is held only to find, change, link or unlink records (and to queue a
// message, which only allocates). Everything that queries the system, waits or logs happens
// after it is released; a record found before such a step is found again afterwards.
#include "notify/notify_private.h"

#include "log/log.h"
#include "common/locking.h"
#include "common/match.h"
#include "process/name_utils.h"

#define EXCEPTION_RECORD_LEVEL 0x10

// The system base library, as the loader maps it for 64-bit and for WOW64 processes. A name
// matches when it ends with one of these (the leading '*' of the pattern).
static const UNICODE_STRING g_BaseLibraryTails[] = {
    CONSTANT_NAME(L"\\Windows\\System32\\KernelBase.dll"),
    CONSTANT_NAME(L"\\Windows\\SysWOW64\\KernelBase.dll"),
};

static BOOLEAN IsBaseLibrary(PCUNICODE_STRING ImageName)
{
    if (ImageName == NULL || ImageName->Buffer == NULL) {
        return FALSE;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_BaseLibraryTails); i++) {
        const UNICODE_STRING* tail = &g_BaseLibraryTails[i];
        if (ImageName->Length >= tail->Length) {
            UNICODE_STRING end;
            end.Buffer = ImageName->Buffer + (ImageName->Length - tail->Length) / sizeof(WCHAR);
            end.Length = tail->Length;
            end.MaximumLength = tail->Length;
            if (IsSameName(&end, tail)) {
                return TRUE;
            }
        }
    }
    return FALSE;
}

static ULONG LowProcessId(HANDLE ProcessId)
{
    return (ULONG)(ULONG_PTR)ProcessId;
}

// The first record of the process in the list; caller holds the list's mutex if it has one.
static PVEX_PROCESS_DATA FindProcessData(PLIST_ENTRY Head, ULONG ProcessId)
{
    for (PLIST_ENTRY link = Head->Flink; link != Head; link = link->Flink) {
        PVEX_PROCESS_DATA record = CONTAINING_RECORD(link, VEX_PROCESS_DATA, Links);
        if (record->Message.ProcessId == ProcessId) {
            return record;
        }
    }
    return NULL;
}

PVEX_PROCESS_DATA AllocateProcessData(HANDLE ProcessId, ULONG Started, const PROCESS_TRAITS* Traits, PCUNICODE_STRING CommandLine)
{
    ULONG commandLineLength = 0;
    if (Traits->IsSurrogate && CommandLine != NULL && CommandLine->Buffer != NULL) {
        commandLineLength = CommandLine->Length;
    }
    PVEX_PROCESS_DATA record =
        (PVEX_PROCESS_DATA)ExAllocatePoolZero(g_NonPagedPoolType, PROCESS_DATA_SIZE(commandLineLength), VEXH_TAG);
    if (record == NULL) {
        NotifyPrint("VEX_PROCESS_DATA allocate error\n");
        return NULL;
    }
    record->Message.ProcessId = LowProcessId(ProcessId);
    record->Message.Started = Started;
    record->Message.Flags = (Traits->Is64 ? PROCESS_FLAG_64BIT : 0) | (Traits->IsCui ? PROCESS_FLAG_CUI : 0) |
                            (Traits->IsSurrogate ? PROCESS_FLAG_SURROGATE : 0);
    record->Message.CommandLineLength = commandLineLength;
    if (commandLineLength != 0) {
        RtlCopyMemory(record->Message.CommandLine, CommandLine->Buffer, commandLineLength);
    }
    return record;
}

VOID FreeProcessDataList(PLIST_ENTRY Head)
{
    while (!IsListEmpty(Head)) {
        PLIST_ENTRY link = RemoveHeadList(Head);
        ExFreePoolWithTag(CONTAINING_RECORD(link, VEX_PROCESS_DATA, Links), VEXH_TAG);
    }
}

// Classifies the image of a process being created, attached to it. Failures print their lines.
static NTSTATUS ReadCreatedImage(PEPROCESS Process, PPROCESS_TRAITS Traits)
{
    KAPC_STATE apcState;
    KeStackAttachProcess((PKPROCESS)Process, &apcState);
    PVOID imageBase = g_NotifyChannel.PsGetProcessSectionBaseAddress(Process);
    NTSTATUS status = IsConsoleApp(imageBase, &Traits->IsCui);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("IsConsoleApp error %x\n", status);
    } else {
        status = Is64bitApp(imageBase, &Traits->Is64);
        if (!NT_SUCCESS(status)) {
            NotifyPrint("Is64bitApp error %x\n", status);
        }
    }
    KeUnstackDetachProcess(&apcState);
    return status;
}

// Drops the records that carry the id: they belong to an earlier process whose exit was missed.
static VOID DropProcessData(ULONG ProcessId)
{
    PVEX_PROCESS_DATA stale;
    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    while ((stale = FindProcessData(&g_NotifyChannel.ProcessData.Head, ProcessId)) != NULL) {
        RemoveEntryList(&stale->Links);
        ExFreePoolWithTag(stale, VEXH_TAG);
    }
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);
}

VOID RecordProcessData(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo)
{
    PROCESS_TRAITS traits;
    RtlZeroMemory(&traits, sizeof(traits));

    // Whether or not this process gets a record, none of another may answer for its id.
    DropProcessData(LowProcessId(ProcessId));
    if (!NT_SUCCESS(ReadCreatedImage(Process, &traits))) {
        return;
    }
    // Either name may be missing: such a process is then no surrogate and has no command line.
    IsSurrogateProc(CreateInfo->ImageFileName, &traits.IsSurrogate);
    // Only console programs and surrogates get records; the session, which takes a handle to
    // the process to learn, matters only for those.
    if (!(traits.IsCui || traits.IsSurrogate)) {
        return;
    }
    NTSTATUS status = GetSessionId(Process, &traits.SessionId);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("GetSessionId failed: 0x%08x\n", status);
        return;
    }
    if (!IsReportable(&traits, CreateInfo->ImageFileName)) {
        return;
    }
    PVEX_PROCESS_DATA record = AllocateProcessData(ProcessId, 0, &traits, CreateInfo->CommandLine);
    if (record == NULL) {
        return;
    }

    // Creations of one id never overlap, so no other record of it can have come meanwhile.
    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    InsertTailList(&g_NotifyChannel.ProcessData.Head, &record->Links);
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);
}

VOID AnnounceProcessExit(HANDLE ProcessId)
{
    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    PVEX_PROCESS_DATA record = FindProcessData(&g_NotifyChannel.ProcessData.Head, LowProcessId(ProcessId));
    if (record != NULL) {
        record->Message.Started = 0;
        BroadcastMessage(&record->Message, PROCESS_MESSAGE_SIZE(&record->Message));
        RemoveEntryList(&record->Links);
    }
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);
    if (record != NULL) {
        ExFreePoolWithTag(record, VEXH_TAG);
    }
}

// Does the process have a record whose start message is still due?
static BOOLEAN IsStartDue(ULONG ProcessId)
{
    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    PVEX_PROCESS_DATA record = FindProcessData(&g_NotifyChannel.ProcessData.Head, ProcessId);
    BOOLEAN due = record != NULL && record->Message.Started == 0;
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);
    return due;
}

// Reads whether the loading process's main image is 64-bit, attached to it. A read that faults
// leaves an exception record; other failures print their lines.
static NTSTATUS ReadLoadingImage(HANDLE ProcessId, PCUNICODE_STRING FileName, PBOOLEAN Is64)
{
    PEPROCESS process = NULL;
    KAPC_STATE apcState;
    NTSTATUS status = PsLookupProcessByProcessId(ProcessId, &process);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("PsLookupProcessByProcessId failed: pid = %d NTStatus = %08x\n", LowProcessId(ProcessId), status);
        return status;
    }
    KeStackAttachProcess((PKPROCESS)process, &apcState);
    PVOID imageBase = g_NotifyChannel.PsGetProcessSectionBaseAddress(process);
    if (imageBase == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = Is64bitApp(imageBase, Is64);
    }
    KeUnstackDetachProcess(&apcState);
    ObDereferenceObject(process);

    if (imageBase == NULL) {
        NotifyPrint("ImageBaseAddress is null\n");
    } else if (status == STATUS_ACCESS_VIOLATION) {
        NotifyPrint("EXCEPTION(LI) : pid = %d code = 0x%08x ImageName = %wZ\n", LowProcessId(ProcessId), status, FileName);
        WriteLog(EXCEPTION_RECORD_LEVEL, PsGetCurrentProcessId(), NULL, L"%s %s pid = %d code = 0x%08x ImageName = %wZ",
                 L"PROC = CREATED", L"func = NOTIFY", LowProcessId(ProcessId), status, FileName);
    } else if (!NT_SUCCESS(status)) {
        NotifyPrint("Is64bitApp error %x\n", status);
    }
    return status;
}

VOID NTAPI OnImageLoaded(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo)
{
    UNREFERENCED_PARAMETER(ImageInfo);
    ULONG processId = LowProcessId(ProcessId);
    PUNICODE_STRING imagePath = NULL;
    UNICODE_STRING fileName;
    BOOLEAN is64 = FALSE;

    if (processId == 0 || processId == 4 || !IsStartDue(processId) || !IsBaseLibrary(FullImageName)) {
        return;
    }
    NTSTATUS status = GetFileNameFromProcessID(ProcessId, &imagePath);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("GetFileNameFromProcessID error %x\n", status);
        return;
    }
    GetFileNamePart(&fileName, imagePath);
    status = ReadLoadingImage(ProcessId, &fileName, &is64);
    ExFreePoolWithTag(imagePath, VEXR_TAG);
    if (!NT_SUCCESS(status)) {
        return;
    }

    // The record may have gone (or been announced) meanwhile; the start is sent once.
    ExAcquireFastMutex(&g_NotifyChannel.ProcessData.Lock);
    PVEX_PROCESS_DATA record = FindProcessData(&g_NotifyChannel.ProcessData.Head, processId);
    if (record != NULL && record->Message.Started == 0) {
        record->Message.Flags = (record->Message.Flags & ~PROCESS_FLAG_64BIT) | (is64 ? PROCESS_FLAG_64BIT : 0);
        record->Message.Started = 1;
        BroadcastMessage(&record->Message, PROCESS_MESSAGE_SIZE(&record->Message));
    }
    ExReleaseFastMutex(&g_NotifyChannel.ProcessData.Lock);
}

static BOOLEAN IsImageNotifyRegistered(VOID)
{
    return ReadLockedFlag(&g_VexRegFilterData.ImageNotifyLock, &g_VexRegFilterData.ImageNotifyRegistered);
}

static VOID SetImageNotifyRegistered(BOOLEAN Registered)
{
    WriteLockedFlag(&g_VexRegFilterData.ImageNotifyLock, &g_VexRegFilterData.ImageNotifyRegistered, Registered);
}

// Registration changes are serialised by the caller (start, stop and unload); the flag's mutex is
// not held across the call, which must run at PASSIVE_LEVEL.
NTSTATUS RegisterImageLoadNotify(VOID)
{
    if (IsImageNotifyRegistered()) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = PsSetLoadImageNotifyRoutine(OnImageLoaded);
    if (NT_SUCCESS(status)) {
        SetImageNotifyRegistered(TRUE);
    }
    return status;
}

// A failed removal leaves the flag set, so a later unload tries again.
NTSTATUS UnregisterImageLoadNotify(VOID)
{
    if (!IsImageNotifyRegistered()) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = PsRemoveLoadImageNotifyRoutine(OnImageLoaded);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - PsRemoveLoadImageNotifyRoutine - %08x\n", status);
        return status;
    }
    SetImageNotifyRegistered(FALSE);
    return status;
}
