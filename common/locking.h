// The IRQL rule of the driver's fast mutexes: they are taken only below DISPATCH_LEVEL. An
// operation that would have to walk or change a shared structure above that refuses instead.
#pragma once

#include "platform.h"

FORCEINLINE BOOLEAN MayTakeLock(VOID)
{
    return KeGetCurrentIrql() < DISPATCH_LEVEL;
}
