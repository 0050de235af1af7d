// The IRQL rule of the driver's fast mutexes: they are taken only below DISPATCH_LEVEL. An
// operation that would have to walk or change a shared structure above that refuses instead.
// The one way a count changed with interlocked operations is read without its lock, and the one
// way a flag guarded by a fast mutex of its own is read and written.
#pragma once

#include "platform.h"

FORCEINLINE BOOLEAN MayTakeLock(VOID)
{
    return KeGetCurrentIrql() < DISPATCH_LEVEL;
}

// Reads a count that writers change with interlocked operations, without a lock and without
// writing to its cache line, so that readers on many processors do not contend for it.
FORCEINLINE LONG ReadCountAcquire(const volatile LONG* Count)
{
    return __atomic_load_n(Count, __ATOMIC_ACQUIRE);
}

FORCEINLINE BOOLEAN ReadLockedFlag(PFAST_MUTEX Lock, const BOOLEAN* Flag)
{
    ExAcquireFastMutex(Lock);
    BOOLEAN value = *Flag;
    ExReleaseFastMutex(Lock);
    return value;
}

FORCEINLINE VOID WriteLockedFlag(PFAST_MUTEX Lock, BOOLEAN* Flag, BOOLEAN Value)
{
    ExAcquireFastMutex(Lock);
    *Flag = Value;
    ExReleaseFastMutex(Lock);
}
