#include "driver/configuration_lock.h"

static KEVENT g_ConfigurationLock;  // signalled while free

VOID InitializeConfigurationLock(VOID)
{
    KeInitializeEvent(&g_ConfigurationLock, SynchronizationEvent, TRUE);
}

VOID AcquireConfigurationLock(VOID)
{
    KeEnterCriticalRegion();
    (void)KeWaitForSingleObject(&g_ConfigurationLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseConfigurationLock(VOID)
{
    KeSetEvent(&g_ConfigurationLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
