// The IRQL rule of the driver's fast mutexes: they are taken only below DISPATCH_LEVEL. An
// operation that would have to walk or change a shared structure above that refuses instead.
// And the one way a count changed with interlocked operations is read without its lock.
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
