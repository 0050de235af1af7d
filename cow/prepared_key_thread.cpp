// The prepared-key threads. A slot of g_VexRegFilterData owns its record from creation to
// deletion; the thread reads the record while it runs, so a record is freed only after its thread
// has ended. Creation and deletion are serialised by the configuration requests that call them;
// the stop flag is the one field both the deleting thread and the walk touch, with interlocked
// operations.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

// The walk covers the keys directly below the root.
#define PREPARED_KEY_DEPTH 1

#define HUNDRED_NANOSECONDS_PER_MILLISECOND 10000

static BOOLEAN IsStopRequested(PENUM_PREPARED_KEY_WORK Work)
{
    return InterlockedCompareExchange(&Work->StopRequested, 0, 0) != 0;
}

static VOID RequestStop(PENUM_PREPARED_KEY_WORK Work)
{
    (void)InterlockedExchange(&Work->StopRequested, 1);
}

VOID DeleteEnumPreparedKeyThread(PENUM_PREPARED_KEY_WORK* Slot)
{
    PENUM_PREPARED_KEY_WORK work = *Slot;
    if (work == NULL) {
        PrintPrefixed("DeleteEnumPreparedKeyThread - Failed to DeleteEnumPreparedKeyThread. status = %x\n", STATUS_INVALID_PARAMETER);
        return;
    }
    RequestStop(work);
    if (work->Thread != NULL) {
        (void)KeWaitForSingleObject(work->Thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(work->Thread);
    }
    FreeOwnedString(&work->RootName);
    ExFreePoolWithTag(work, VEXR_TAG);
    *Slot = NULL;
}

VOID DeleteEnumPreparedKeyThreads(VOID)
{
    PENUM_PREPARED_KEY_WORK* slots[] = {&g_VexRegFilterData.UserClassesEnumThread, &g_VexRegFilterData.MachineClassesEnumThread};
    for (ULONG i = 0; i < RTL_NUMBER_OF(slots); i++) {
        if (*slots[i] != NULL) {
            DeleteEnumPreparedKeyThread(slots[i]);
        }
    }
}

NTSTATUS CreateEnumPreparedKeyThread(PENUM_PREPARED_KEY_WORK* Slot, PCUNICODE_STRING RootName)
{
    HANDLE thread = NULL;

    if (*Slot != NULL) {
        PrintPrefixed("CreateEnumPreparedKeyThread - Failed to CreateEnumPreparedKeyThread. status = %x\n", STATUS_INVALID_PARAMETER);
        DeleteEnumPreparedKeyThread(Slot);
        return STATUS_INVALID_PARAMETER;
    }
    PENUM_PREPARED_KEY_WORK work = (PENUM_PREPARED_KEY_WORK)ExAllocatePoolZero(g_NonPagedPoolType, sizeof(*work), VEXR_TAG);
    if (work == NULL) {
        PrintPrefixed("CreateEnumPreparedKeyThread - Failed to ExAllocatePoolZero. status = %x\n", STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Slot = work;
    NTSTATUS status = DuplicateName(&work->RootName, RootName);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        PrintPrefixed("CreateEnumPreparedKeyThread - Failed to ExAllocatePoolZero. status = %x\n", status);
        goto Failed;
    }
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, EnumPreparedKeyThread, work);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateEnumPreparedKeyThread - Failed to PsCreateSystemThread. status = %x\n", status);
        goto Failed;
    }
    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &work->Thread, NULL);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateEnumPreparedKeyThread - Failed to ObReferenceObjectByHandle. status = %x\n", status);
        // The thread already runs on the record: stop it and wait for it through its handle, the
        // one hold on it left, before the record goes.
        work->Thread = NULL;
        RequestStop(work);
        (void)ZwWaitForSingleObject(thread, FALSE, NULL);
    }
    ZwClose(thread);
    if (NT_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }

Failed:
    DeleteEnumPreparedKeyThread(Slot);
    return status;
}

VOID NTAPI EnumPreparedKeyThread(PVOID Context)
{
    PENUM_PREPARED_KEY_WORK work = (PENUM_PREPARED_KEY_WORK)Context;
    LARGE_INTEGER start, end;

    PrintPrefixed("EnumPreparedKeyThread - start. WorkQueue = %p\n", work);
    KeQuerySystemTime(&start);
    if (work == NULL) {
        PrintPrefixed("EnumPreparedKeyThread - WorkQueue is NULL.\n");
    } else {
        NTSTATUS status = EnumPreparedKey(work, &work->RootName, PREPARED_KEY_DEPTH);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed("EnumPreparedKeyThread - Failed to EnumPreparedKey. status = %x\n", status);
        }
    }
    KeQuerySystemTime(&end);
    PrintPrefixed("EnumPreparedKeyThread - exit. WorkQueue = %p time = %I64d ms\n", work,
                  (end.QuadPart - start.QuadPart) / HUNDRED_NANOSECONDS_PER_MILLISECOND);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS EnumPreparedKey(PENUM_PREPARED_KEY_WORK Work, PCUNICODE_STRING Name, ULONG Depth)
{
    if (Depth > PREPARED_KEY_DEPTH) {
        return STATUS_SUCCESS;
    }
    HANDLE key = NULL;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, (PUNICODE_STRING)Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return STATUS_SUCCESS;
    }
    KEY_FULL_INFORMATION counts;
    SUBKEY_WALK walk = {};
    NTSTATUS status = QueryKeyCounts("EnumPreparedKey", key, TRUE, &counts);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    if (counts.SubKeys == 0) {
        DetailLinePrefixed("EnumPreparedKey - non keys in source %d\n", counts.SubKeys);
        goto Exit;
    }
    status = BeginSubkeyWalk(&walk, "EnumPreparedKey", "Subkey", Name, counts.MaxNameLen);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    for (ULONG index = 0; index < counts.SubKeys; index++) {
        if (IsStopRequested(Work)) {
            PrintPrefixed("EnumPreparedKey - Received stop event.\n");
            break;
        }
        UNICODE_STRING subkey;
        status = NextSubkey(&walk, key, index, &subkey);
        if (!NT_SUCCESS(status)) {
            DetailLinePrefixed("EnumPreparedKey - Failed to ZwEnumerateKey. index = %d status = %x\n", index, status);
            if (status == STATUS_NO_MORE_ENTRIES) {
                status = STATUS_SUCCESS;
            }
            break;
        }
        UNICODE_STRING fullName = walk.FullName;
        fullName.Length -= sizeof(WCHAR);
        DetailLinePrefixed("EnumPreparedKey - Enum Subkey. Path = %wZ\n", &fullName);
        (void)InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, &walk.FullName, NULL, FALSE);
        status = EnumPreparedKey(Work, &fullName, Depth + 1);
        if (!NT_SUCCESS(status)) {
            break;
        }
    }

Exit:
    EndSubkeyWalk(&walk);
    CloseKey(&key);
    return status;
}
