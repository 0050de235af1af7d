// Queries about a running process: its image path and whether it runs under WOW64.
#include "process/name_utils.h"

#include "common/pool_tags.h"
#include "tables/global_data.h"
#include "tables/dl_ext_func.h"

// Which step of an image-name query failed, for the caller's own debugger lines.
typedef enum _IMAGE_QUERY_STEP { ImageQueryLookup, ImageQueryOpen, ImageQueryInformation } IMAGE_QUERY_STEP;

// Looks the process up, opens a kernel handle to it and asks for its image file name, closing
// the handle in every case. *Process is set once the look-up succeeded.
static NTSTATUS QueryImageFileName(HANDLE ProcessId, PUNICODE_STRING* ImageName, PEPROCESS* Process, IMAGE_QUERY_STEP* Failed)
{
    HANDLE handle = NULL;
    PVOID buffer = NULL;

    *ImageName = NULL;
    *Process = NULL;
    *Failed = ImageQueryLookup;
    NTSTATUS status = PsLookupProcessByProcessId(ProcessId, Process);
    if (!NT_SUCCESS(status)) {
        *Process = NULL;
        return status;
    }
    *Failed = ImageQueryOpen;
    status = ObOpenObjectByPointer(*Process, OBJ_KERNEL_HANDLE, NULL, GENERIC_READ, *PsProcessType, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Failed = ImageQueryInformation;
    status = QueryInformationProcess(handle, ProcessImageFileName, &buffer, 0);
    ZwClose(handle);
    if (NT_SUCCESS(status)) {
        *ImageName = (PUNICODE_STRING)buffer;
    }
    return status;
}

NTSTATUS GetProcessImageNameFromProcessId(HANDLE ProcessId, PUNICODE_STRING* ImageName, PEPROCESS* Process)
{
    IMAGE_QUERY_STEP failed;
    *ImageName = NULL;
    *Process = NULL;
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        DbgPrint("GetProcessImageNameFromProcessId Failed: ObOpenObjectByPointer should only be called at IRQL <= APC_LEVEL.\n");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QueryImageFileName(ProcessId, ImageName, Process, &failed);
    if (!NT_SUCCESS(status)) {
        if (failed == ImageQueryLookup) {
            DbgPrint("PsLookupProcessByProcessId Failed: 0x%08XL, ProcessId = %d\n", status, (ULONG)(ULONG_PTR)ProcessId);
        } else if (failed == ImageQueryOpen) {
            DbgPrint("ObOpenObjectByPointer Failed: 0x%08XL, ProcessId = %d\n", status, (ULONG)(ULONG_PTR)ProcessId);
        } else {
            DbgPrint("QueryInformationProcess Failed: %08x\n", status);
        }
    }
    return status;
}

NTSTATUS GetFileNameFromProcessID(HANDLE ProcessId, PUNICODE_STRING* ImageName)
{
    IMAGE_QUERY_STEP failed;
    PEPROCESS process = NULL;
    *ImageName = NULL;
    if (ProcessId == NULL) {
        DbgPrint("VexRegFilter.sys: ");
        DbgPrint("ProcessHandle is NULL\n");
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QueryImageFileName(ProcessId, ImageName, &process, &failed);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter.sys: ");
        if (failed == ImageQueryLookup) {
            DbgPrint("PsLookupProcessByProcessId failed: %08x\n", status);
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else if (failed == ImageQueryOpen) {
            DbgPrint("ObOpenObjectByPointer failed: %08x\n", status);
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            DbgPrint("QueryInformationProcess Failed: %08x\n", status);
        }
    }
    if (process != NULL) {
        ObDereferenceObject(process);
    }
    return status;
}

BOOLEAN IsProcessWow64(PEPROCESS Process)
{
    HANDLE handle = NULL;
    ULONG_PTR wow64 = 0;
    PVOID buffer = &wow64;
    NTSTATUS status = ObOpenObjectByPointer(Process, OBJ_KERNEL_HANDLE, NULL, GENERIC_READ, *PsProcessType, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        DbgPrint("ObOpenObjectByPointer Failed: %08x\n", status);
        return FALSE;
    }
    status = QueryInformationProcess(handle, ProcessWow64Information, &buffer, sizeof(wow64));
    if (!NT_SUCCESS(status)) {
        DbgPrint("QueryInformationProcess Failed: %08x, ProcessHandle %p\n", status, handle);
        wow64 = 0;
    }
    ZwClose(handle);
    return wow64 != 0;
}
