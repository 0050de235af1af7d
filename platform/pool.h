// Pool allocation for driver code.
//
// Every allocation of the driver is zero-filled, tagged and non-paged: from no-execute non-paged
// pool on Windows 8 and later, from plain non-paged pool before. PoolInitialize chooses the pool
// type once at start-up; ExAllocatePoolZero keeps the DDK's name and signature (mingw-w64 lacks it).
#pragma once

extern POOL_TYPE g_NonPagedPoolType;

VOID PoolInitialize(VOID);

FORCEINLINE PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    PVOID p = ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
    if (p != NULL) {
        RtlZeroMemory(p, NumberOfBytes);
    }
    return p;
}
