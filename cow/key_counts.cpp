// A key's counts and maxima, from which the copy routines size their buffers.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"

NTSTATUS QueryKeyCounts(PCSTR Caller, HANDLE Key, BOOLEAN KeepSizeStatus, PKEY_FULL_INFORMATION Counts)
{
    ULONG length = 0;
    RtlZeroMemory(Counts, sizeof(*Counts));

    NTSTATUS sizeStatus = ZwQueryKey(Key, KeyFullInformation, NULL, 0, &length);
    if (sizeStatus != STATUS_BUFFER_OVERFLOW && sizeStatus != STATUS_BUFFER_TOO_SMALL) {
        PrintPrefixed("%s - Failed to ZwQueryKey. status = %x\n", Caller, sizeStatus);
        return sizeStatus;
    }
    if (length == 0) {
        PrintPrefixed("%s - NecessaryLength = zero\n", Caller);
        return sizeStatus;
    }
    PKEY_FULL_INFORMATION information = (PKEY_FULL_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, length, VEXR_TAG);
    if (information == NULL) {
        PrintPrefixed("%s - PKEY_FULL_INFORMATION allocate error\n", Caller);
        return KeepSizeStatus ? sizeStatus : STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ZwQueryKey(Key, KeyFullInformation, information, length, &length);
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(Counts, information, FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        DetailLinePrefixed("%s - keys = %d max = %d, values = %d max = %d, data = %d\n", Caller, Counts->SubKeys,
                           Counts->MaxNameLen, Counts->Values, Counts->MaxValueNameLen, Counts->MaxValueDataLen);
    } else {
        PrintPrefixed("%s - Failed to ZwQueryKey. status = %x\n", Caller, status);
    }
    ExFreePoolWithTag(information, VEXR_TAG);
    return status;
}
