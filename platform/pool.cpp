#include "platform.h"

POOL_TYPE g_NonPagedPoolType = NonPagedPool;

// Windows 8 (6.2) introduced no-execute non-paged pool. When the version cannot be read the
// executable pool is the one that exists everywhere.
VOID PoolInitialize(VOID)
{
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    g_NonPagedPoolType = NonPagedPool;
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        g_NonPagedPoolType = NonPagedPoolNx;
    }
}
