// Run-time resolved routines. The addresses are written without a lock: two first uses that race
// resolve the same address twice, which is harmless.
#include "tables/dl_ext_func.h"

#include "driver/global.h"

typedef NTSTATUS(NTAPI* ZW_QUERY_INFORMATION_PROCESS)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI* ZW_QUERY_SYSTEM_INFORMATION)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI* ZW_SET_INFORMATION_KEY)(HANDLE, KEY_SET_INFORMATION_CLASS, PVOID, ULONG);

static struct {
    ZW_QUERY_INFORMATION_PROCESS ZwQueryInformationProcess;
    ZW_QUERY_SYSTEM_INFORMATION ZwQuerySystemInformation;
    ZW_SET_INFORMATION_KEY ZwSetInformationKey;
} g_DlExtFunc;

static PVOID ResolveRoutine(PCWSTR Name, PCSTR FailureLine)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    PVOID address = MmGetSystemRoutineAddress(&name);
    if (address == NULL) {
        DbgPrint("%s", FailureLine);
    }
    return address;
}

NTSTATUS ResolveZwQueryInformationProcess(VOID)
{
    if (g_DlExtFunc.ZwQueryInformationProcess == NULL) {
        g_DlExtFunc.ZwQueryInformationProcess = (ZW_QUERY_INFORMATION_PROCESS)ResolveRoutine(
            L"ZwQueryInformationProcess", "[DlExtFunc] Cannot resolve ZwQueryInformationProcess\n");
    }
    return g_DlExtFunc.ZwQueryInformationProcess != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ResolveZwQuerySystemInformation(VOID)
{
    if (g_DlExtFunc.ZwQuerySystemInformation == NULL) {
        g_DlExtFunc.ZwQuerySystemInformation = (ZW_QUERY_SYSTEM_INFORMATION)ResolveRoutine(
            L"ZwQuerySystemInformation", "[DlExtFunc] Cannot resolve ZwQuerySystemInformation\n");
    }
    return g_DlExtFunc.ZwQuerySystemInformation != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ResolveZwSetInformationKey(VOID)
{
    if (g_DlExtFunc.ZwSetInformationKey == NULL) {
        g_DlExtFunc.ZwSetInformationKey = (ZW_SET_INFORMATION_KEY)ResolveRoutine(
            L"ZwSetInformationKey", "[DlExtFunc] Cannot resolve ZwSetInformationKey\n");
    }
    return g_DlExtFunc.ZwSetInformationKey != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS DlExtFuncInitialize(VOID)
{
    // Unresolved at every load of the image; said explicitly so that a reload in the same
    // address space (as on the simulated kernel) resolves afresh too.
    RtlZeroMemory(&g_DlExtFunc, sizeof(g_DlExtFunc));
    ResolveZwQueryInformationProcess();
    ResolveZwQuerySystemInformation();
    ResolveZwSetInformationKey();
    return STATUS_SUCCESS;
}

NTSTATUS DlExtFuncFinalize(VOID)
{
    return STATUS_SUCCESS;
}

// The lines a sized query prints on its three ways to fail.
typedef struct _SIZED_QUERY_LINES {
    PCSTR NonMismatch;   // with the status
    PCSTR ZeroSize;
    PCSTR NoResources;
} SIZED_QUERY_LINES;

// Asks with an ever larger allocation until the answer fits. Query is called with the current
// allocation (none at first) and its length, and reports the length it needs.
template <typename QueryRoutine>
static NTSTATUS QueryIntoNewBuffer(QueryRoutine Query, const SIZED_QUERY_LINES* Lines, PVOID* Buffer)
{
    PVOID allocation = NULL;
    ULONG length = 0;
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = Query(allocation, length, &needed);
        if (NT_SUCCESS(status)) {
            *Buffer = allocation;
            return status;
        }
        if (allocation != NULL) {
            ExFreePoolWithTag(allocation, VEXR_TAG);
            allocation = NULL;
        }
        if (status != STATUS_INFO_LENGTH_MISMATCH) {
            DbgPrint(Lines->NonMismatch, status);
            return status;
        }
        if (needed == 0) {
            DbgPrint("%s", Lines->ZeroSize);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        allocation = ExAllocatePoolZero(g_NonPagedPoolType, needed, VEXR_TAG);
        if (allocation == NULL) {
            DbgPrint("%s", Lines->NoResources);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        length = needed;
    }
}

NTSTATUS QueryInformationProcess(HANDLE ProcessHandle, PROCESSINFOCLASS InformationClass, PVOID* Buffer, ULONG Length)
{
    NTSTATUS status = ResolveZwQueryInformationProcess();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ZW_QUERY_INFORMATION_PROCESS query = g_DlExtFunc.ZwQueryInformationProcess;

    if (*Buffer != NULL) {
        if (Length == 0) {
            DbgPrint("[DlExtFunc] QueryInformationProcess : ProcessInformationLength is zero.\n");
            return STATUS_INVALID_PARAMETER;
        }
        ULONG returned = 0;
        status = query(ProcessHandle, InformationClass, *Buffer, Length, &returned);
        if (!NT_SUCCESS(status)) {
            DbgPrint("[DlExtFunc] QueryInformationProcess failed : %08X %d\n", status, returned);
        }
        return status;
    }

    static const SIZED_QUERY_LINES lines = {
        "[DlExtFunc] QueryInformationProcess failed : non-mismatch %08X\n",
        "[DlExtFunc] QueryInformationProcess : the size of buffer required is zero.\n",
        "[DlExtFunc] QueryInformationProcess : resource allocation error\n",
    };
    return QueryIntoNewBuffer(
        [&](PVOID allocation, ULONG length, PULONG needed) {
            return query(ProcessHandle, InformationClass, allocation, length, needed);
        },
        &lines, Buffer);
}

NTSTATUS QuerySystemInformation(PVOID* Buffer)
{
    NTSTATUS status = ResolveZwQuerySystemInformation();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (*Buffer != NULL) {
        DbgPrint("[DlExtFunc] QuerySystemInformation : SystemInformationLength is zero.\n");
        return STATUS_INVALID_PARAMETER;
    }
    ZW_QUERY_SYSTEM_INFORMATION query = g_DlExtFunc.ZwQuerySystemInformation;
    static const SIZED_QUERY_LINES lines = {
        "[DlExtFunc] QuerySystemInformation failed : non-mismatch %08X\n",
        "[DlExtFunc] QuerySystemInformation : the size of buffer required is zero.\n",
        "[DlExtFunc] QuerySystemInformation : resource allocation error\n",
    };
    return QueryIntoNewBuffer(
        [&](PVOID allocation, ULONG length, PULONG needed) {
            return query(SystemProcessInformation, allocation, length, needed);
        },
        &lines, Buffer);
}

NTSTATUS SetKeyLastWriteTime(HANDLE KeyHandle, LARGE_INTEGER LastWriteTime)
{
    NTSTATUS status = ResolveZwSetInformationKey();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KEY_WRITE_TIME_INFORMATION information;
    information.LastWriteTime = LastWriteTime;
    status = g_DlExtFunc.ZwSetInformationKey(KeyHandle, KeyWriteTimeInformation, &information, sizeof(information));
    if (!NT_SUCCESS(status)) {
        DbgPrint("[DlExtFunc] ZwSetInformationKey failed : %08X\n", status);
    }
    return status;
}
