// The driver's own names and entry points. The global record it fills is declared with the
// tables (tables/global_data.h), below every subsystem that reads it.
#pragma once

#include "platform.h"
#include "driver/control_codes.h"
#include "tables/global_data.h"

#define VEX_ALTITUDE L"345030"

extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
