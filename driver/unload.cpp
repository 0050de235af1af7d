// Unload: the filter unload callback is the driver's whole unload path. It is never refused.
#include "driver/global.h"

#include "callback/callback.h"
#include "cow/cow.h"
#include "driver/configuration_lock.h"
#include "driver/process_notify.h"
#include "driver/redirection.h"
#include "driver/teardown.h"
#include "log/log.h"
#include "names/name_patterns.h"
#include "notify/notify.h"
#include "process/process_lists.h"
#include "tables/builtin_lists.h"
#include "tables/dl_ext_func.h"
#include "tables/id_manager.h"
#include "tables/key_lists.h"

// The control device exists only together with its symbolic link (start-up deletes the device
// when the link cannot be made), so the link is deleted whenever the device is.
static VOID DeleteControlDevice(VOID)
{
    if (g_VexRegFilterData.DeviceObject == NULL) {
        return;
    }
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, VEX_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(g_VexRegFilterData.DeviceObject);
    g_VexRegFilterData.DeviceObject = NULL;
}

VOID ReleaseDriverState(VOID)
{
    // Nothing may call into the driver once the channel and the tables go: the create-process
    // routine is removed first (each removal waits for the routine's calls in flight, so no
    // process record or send is made after this), the prepared-key threads stop, the registry
    // callback is unregistered and the image-load routine removed, then the channel closes
    // (waiting for the sends it queued) before the filter that owns its port is unregistered.
    UnregisterProcessNotify();
    DeleteEnumPreparedKeyThreads();
    UnregisterRegistryCallback();
    UnregisterImageLoadNotify();
    if (g_VexRegFilterData.FilterHandle != NULL) {
        QFHFinalize();
        FltUnregisterFilter(g_VexRegFilterData.FilterHandle);
        g_VexRegFilterData.FilterHandle = NULL;
    }
    DeleteControlDevice();
    FreeRedirectNames();
    CTFinalize(&g_VexRegFilterData.CopyKeyHistory);
    CTFinalize(&g_VexRegFilterData.CopySubkeyHistory);
    CTFinalize(&g_VexRegFilterData.DifferenceHistory);
    ResetExcludeKey();
    ResetExcludeValue();
    ClearProcessLists(FALSE);
    CTFinalize(&g_VexRegFilterData.ProcessCache);
    HLFinalize();
    ELFinalize();
    IDManFinalize();
    StopLogging();
    DlExtFuncFinalize();
}

NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags)
{
    UNREFERENCED_PARAMETER(Flags);
    DbgPrint("VexRegFilter Unload\n");
    AcquireConfigurationLock();
    ReleaseDriverState();
    ReleaseConfigurationLock();
    DbgPrint("VexRegFilter Unload STATUS_SUCCESS\n");
    return STATUS_SUCCESS;
}
