// The driver's own names and entry points. The global record it fills is declared with the
// tables (tables/global_data.h), below every subsystem that reads it.
#pragma once

#include "platform.h"
#include "tables/global_data.h"

#define VEX_DEVICE_NAME L"\\Device\\VexRegFilter"
#define VEX_SYMBOLIC_LINK_NAME L"\\DosDevices\\VexRegFilter"
#define VEX_ALTITUDE L"345030"

extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
