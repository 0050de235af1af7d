// Start-up: prepares the global record, the control device and the filter registration. Nothing
// that intercepts the registry or processes is registered here.
#include "driver/global.h"

#include "common/debug_print.h"
#include "common/pool_tags.h"
#include "driver/configuration_lock.h"
#include "driver/teardown.h"
#include "log/log.h"
#include "names/name_patterns.h"
#include "notify/notify.h"
#include "tables/builtin_lists.h"
#include "tables/dl_ext_func.h"
#include "tables/id_manager.h"

static const FLT_OPERATION_REGISTRATION g_OperationRegistration[] = {
    {IRP_MJ_OPERATION_END, 0, NULL, NULL, NULL},
};

// Version 0x0202 registration: no contexts, no file-system operations, only the unload callback.
static const FLT_REGISTRATION g_FilterRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0202,
    0,
    NULL,
    g_OperationRegistration,
    FilterUnload,
    NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
};

static VOID InitializeLockedList(PLOCKED_LIST List)
{
    InitializeListHead(&List->Head);
}

// Locks and list heads of the global record. Nothing here allocates or fails.
static VOID InitializeLocksAndLists(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

    ExInitializeFastMutex(&data->ExcludeKeyLock);
    ExInitializeFastMutex(&data->ParentProcessNameList.Lock);
    ExInitializeFastMutex(&data->ProcessNameList.Lock);
    ExInitializeFastMutex(&data->ExclusionProcessNameList.Lock);
    ExInitializeFastMutex(&data->MonitoredParentProcessList.Lock);
    ExInitializeFastMutex(&data->MonitoredProcessList.Lock);
    ExInitializeFastMutex(&data->RootProcessNameList.Lock);
    ExInitializeFastMutex(&data->MonitoredRootProcessList.Lock);
    ExInitializeFastMutex(&data->MonitoredChildOfRootProcessList.Lock);
    ExInitializeFastMutex(&data->ProcessNotifyLock);
    ExInitializeFastMutex(&data->ImageNotifyLock);

    InitializeListHead(&data->ExcludeKeyList);
    InitializeLockedList(&data->ParentProcessNameList);
    InitializeLockedList(&data->ProcessNameList);
    InitializeLockedList(&data->ExclusionProcessNameList);
    InitializeLockedList(&data->MonitoredParentProcessList);
    InitializeLockedList(&data->MonitoredProcessList);
    InitializeLockedList(&data->RootProcessNameList);
    InitializeLockedList(&data->MonitoredRootProcessList);
    InitializeLockedList(&data->MonitoredChildOfRootProcessList);

    ExInitializeFastMutex(&data->ExcludeValueLock);
    InitializeListHead(&data->ExcludeValueList);

    ExInitializeFastMutex(&data->PTreeMonNameList.Lock);
    ExInitializeFastMutex(&data->PTreeMonList.Lock);
    ExInitializeFastMutex(&data->DescendantProcessList.Lock);
    InitializeLockedList(&data->PTreeMonNameList);
    InitializeLockedList(&data->PTreeMonList);
    InitializeLockedList(&data->DescendantProcessList);
}

// A table that cannot be initialised stays empty; start-up goes on without it. The three
// histories print their failure in two pieces, the long-path cache in one.
static VOID InitializeCacheTables(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    NTSTATUS status = CTInitialize(&data->CopyKeyHistory);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CTInitialize(CopyKeyHistory) failed: %08x\n", status);
    }
    status = CTInitialize(&data->CopySubkeyHistory);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CTInitialize(CopySubkeyHistory) failed: %08x\n", status);
    }
    status = CTInitialize(&data->DifferenceHistory);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CTInitialize(DifferenceHistory) failed: %08x\n", status);
    }
    status = CTInitialize(&data->ProcessCache);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - CTInitialize(ProcessCache) failed: %08x\n", status);
    }
}

// OSVersion holds the major version in bits 24-31 and the minor in bits 16-23; it stays zero
// when the version cannot be read, which every reader takes as older than Windows 8.
static VOID ReadOsVersion(VOID)
{
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);

    NTSTATUS status = RtlGetVersion(&version);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - RtlGetVersion failed: %08x\n", status);
        return;
    }
    g_VexRegFilterData.OSVersion = ((version.dwMajorVersion & 0xFF) << 24) | ((version.dwMinorVersion & 0xFF) << 16);
    DbgPrint("VexRegFilter - OS Version: 0x%08x\n", g_VexRegFilterData.OSVersion);
}

static NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, VEX_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, VEX_CONTROL_LINK_NAME);

    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &g_VexRegFilterData.DeviceObject);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - IoCreateDevice fail %x\n", status);
        g_VexRegFilterData.DeviceObject = NULL;
        return status;
    }

    // The link name may belong to someone else (a collision): the device goes here, so that the
    // cleanup after a failed start-up, which deletes the link whenever the device exists, never
    // deletes a link this driver did not make.
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - IoCreateSymbolicLink fail %x\n", status);
        IoDeleteDevice(g_VexRegFilterData.DeviceObject);
        g_VexRegFilterData.DeviceObject = NULL;
        return status;
    }

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    NTSTATUS status;

    DbgPrint("VexRegFilter DriverEntry\n");
    PoolInitialize();

    RtlZeroMemory(&g_VexRegFilterData, sizeof(g_VexRegFilterData));
    g_VexRegFilterData.Tag = VEXR_TAG;
    g_VexRegFilterData.DriverObject = DriverObject;
    RtlCopyMemory(g_VexRegFilterData.AltitudeBuffer, VEX_ALTITUDE, sizeof(VEX_ALTITUDE));
    g_VexRegFilterData.Altitude.Buffer = g_VexRegFilterData.AltitudeBuffer;
    g_VexRegFilterData.Altitude.Length = sizeof(VEX_ALTITUDE) - sizeof(WCHAR);
    g_VexRegFilterData.Altitude.MaximumLength = sizeof(g_VexRegFilterData.AltitudeBuffer);

    InitializeLocksAndLists();
    InitializeConfigurationLock();
    DlExtFuncInitialize();
    LogInitialize();
    InitializeCacheTables();
    IDManInitialize();
    ReadOsVersion();

    // A built-in list that fails to fill stays shorter; a missing pattern never matches.
    status = HLInitialize();
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - HLInitialize() failed: %08x\n", status);
    }
    status = ELInitialize();
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - ELInitialize() failed: %08x\n", status);
    }

    status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }

    status = FltRegisterFilter(DriverObject, &g_FilterRegistration, &g_VexRegFilterData.FilterHandle);
    if (!NT_SUCCESS(status)) {
        DbgPrint("FltRegisterFilter fail %x\n", status);
        g_VexRegFilterData.FilterHandle = NULL;
        goto Failed;
    }

    status = QFHInitialize(g_VexRegFilterData.DeviceObject, g_VexRegFilterData.FilterHandle);
    if (!NT_SUCCESS(status)) {
        DbgPrint("QFHInitialize error %x\n", status);
        goto Failed;
    }

    DbgPrint("VexRegFilter DriverEntry return %x\n", STATUS_SUCCESS);
    return STATUS_SUCCESS;

Failed:
    DbgPrint("VexRegFilter DriverEntry return %x\n", status);
    ReleaseDriverState();
    return status;
}
