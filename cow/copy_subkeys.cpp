// The shallow copy of a key: its values and an empty stub for each of its subkeys. Deeper levels
// are copied when they are first used.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

// CopySubkeyHistory promises that every subkey of the real key has its stub in the copy, so it is
// recorded only when the stub loop went through; otherwise the enumeration handlers make the stubs
// again later. DifferenceHistory is recorded either way: the copy is answered from now on.
NTSTATUS CopySubkeyValue(HANDLE Real, HANDLE Copy, PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName, PULONG Hash)
{
    KEY_FULL_INFORMATION counts;
    NTSTATUS status = QueryKeyCounts("CopySubkeyValue", Real, FALSE, &counts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    NTSTATUS stubs = STATUS_SUCCESS;
    if (counts.SubKeys != 0) {
        SUBKEY_WALK walk;
        status = BeginSubkeyWalk(&walk, "CopySubkeyValue", "KeyFullName", RedirectName, counts.MaxNameLen);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        stubs = CreateSubkeyStubs(&walk, Real, Copy, counts.SubKeys);
        EndSubkeyWalk(&walk);
    }
    if (NT_SUCCESS(stubs)) {
        (void)InsertRegistryHistory(&g_VexRegFilterData.CopySubkeyHistory, RedirectName, Hash, FALSE);
    }
    (void)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, RedirectName, Hash, FALSE);
    return CopyKeyValues("CopySubkeyValue", Real, Copy, OriginalName, RedirectName, Hash, &counts);
}

// Stubs alone, by full name, for a copy that is answered from the copy but was never given all of
// its real key's subkeys. A failure tells the caller not to record the copy as complete.
NTSTATUS CopySubkey(PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName)
{
    if (!IsNameSet(OriginalName) || !IsNameSet(RedirectName)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsSameName(OriginalName, RedirectName) || IsThereExcludeKey(OriginalName)) {
        return STATUS_SUCCESS;
    }
    HANDLE real = NULL;
    if (!NT_SUCCESS(OpenRegistryKey(&real, OriginalName, KEY_READ))) {
        return STATUS_SUCCESS;
    }
    KEY_FULL_INFORMATION counts;
    NTSTATUS status = QueryKeyCounts("CopySubkey", real, TRUE, &counts);
    if (NT_SUCCESS(status) && counts.SubKeys == 0) {
        DetailLinePrefixed("CopySubkey - non keys in source %d\n", counts.SubKeys);
    } else if (NT_SUCCESS(status)) {
        SUBKEY_WALK walk;
        status = BeginSubkeyWalk(&walk, "CopySubkey", "KeyFullName", RedirectName, counts.MaxNameLen);
        if (NT_SUCCESS(status)) {
            status = CreateSubkeyStubs(&walk, real, NULL, counts.SubKeys);
            EndSubkeyWalk(&walk);
        }
    }
    CloseKey(&real);
    return status;
}
