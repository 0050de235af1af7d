// Run-time resolved routines. The addresses are written without a lock: two first uses that race
// resolve the same address twice, which is harmless.
#include "tables/dl_ext_func.h"

#include "common/pool_tags.h"

typedef NTSTATUS(NTAPI* ZW_QUERY_INFORMATION_PROCESS)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI* ZW_QUERY_SYSTEM_INFORMATION)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
typedef NTSTATUS(NTAPI* ZW_SET_INFORMATION_KEY)(HANDLE, KEY_SET_INFORMATION_CLASS, PVOID, ULONG);
typedef NTSTATUS(NTAPI* MM_COPY_MEMORY)(PVOID, MM_COPY_ADDRESS, SIZE_T, ULONG, PSIZE_T);

static struct {
    ZW_QUERY_INFORMATION_PROCESS ZwQueryInformationProcess;
    ZW_QUERY_SYSTEM_INFORMATION ZwQuerySystemInformation;
    ZW_SET_INFORMATION_KEY ZwSetInformationKey;
    MM_COPY_MEMORY MmCopyMemory;
} g_DlExtFunc;

// Looks Name up once its slot is empty; a routine not found is looked up again next time.
static NTSTATUS ResolveRoutine(PVOID* Slot, PCWSTR Name, PCSTR FailureLine)
{
    if (*Slot != NULL) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    *Slot = MmGetSystemRoutineAddress(&name);
    if (*Slot == NULL) {
        DbgPrint("%s", FailureLine);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ResolveZwQueryInformationProcess(VOID)
{
    return ResolveRoutine((PVOID*)&g_DlExtFunc.ZwQueryInformationProcess, L"ZwQueryInformationProcess",
                          "[DlExtFunc] Cannot resolve ZwQueryInformationProcess\n");
}

NTSTATUS ResolveZwQuerySystemInformation(VOID)
{
    return ResolveRoutine((PVOID*)&g_DlExtFunc.ZwQuerySystemInformation, L"ZwQuerySystemInformation",
                          "[DlExtFunc] Cannot resolve ZwQuerySystemInformation\n");
}

NTSTATUS ResolveZwSetInformationKey(VOID)
{
    return ResolveRoutine((PVOID*)&g_DlExtFunc.ZwSetInformationKey, L"ZwSetInformationKey",
                          "[DlExtFunc] Cannot resolve ZwSetInformationKey\n");
}

NTSTATUS ResolveMmCopyMemory(VOID)
{
    return ResolveRoutine((PVOID*)&g_DlExtFunc.MmCopyMemory, L"MmCopyMemory", "[DlExtFunc] Cannot resolve MmCopyMemory\n");
}

NTSTATUS DlExtFuncInitialize(VOID)
{
    // Unresolved at every load of the image; said explicitly so that a reload in the same
    // address space (as on the simulated kernel) resolves afresh too.
    RtlZeroMemory(&g_DlExtFunc, sizeof(g_DlExtFunc));
    ResolveZwQueryInformationProcess();
    ResolveZwQuerySystemInformation();
    ResolveZwSetInformationKey();
    ResolveMmCopyMemory();
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

NTSTATUS CopyFromUserAddress(PVOID Target, ULONG_PTR Source, SIZE_T Length)
{
    NTSTATUS status = ResolveMmCopyMemory();
    if (!NT_SUCCESS(status) || Length == 0) {
        return status;
    }
    // An address the other process chose may point into system space: such a range is refused
    // before anything is read.
    ULONG_PTR limit = (ULONG_PTR)MM_USER_PROBE_ADDRESS;
    if (Source >= limit || Length > limit - Source) {
        return STATUS_ACCESS_VIOLATION;
    }
    MM_COPY_ADDRESS address;
    address.VirtualAddress = (PVOID)Source;
    SIZE_T copied = 0;
    status = g_DlExtFunc.MmCopyMemory(Target, address, Length, MM_COPY_MEMORY_VIRTUAL, &copied);
    return (NT_SUCCESS(status) && copied == Length) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
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
