// The driver's one global state record and the names and tags it is known by.
#pragma once

#include "platform.h"
#include "tables/cache_table.h"

// Pool tags as the ULONG the pool routines take: the four characters appear in memory order.
#define VEXR_TAG 'RxeV'  // "VexR": almost every allocation of the driver
#define VEXH_TAG 'HxeV'  // "VexH": the few records that say so

#define VEX_DEVICE_NAME L"\\Device\\VexRegFilter"
#define VEX_SYMBOLIC_LINK_NAME L"\\DosDevices\\VexRegFilter"
#define VEX_ALTITUDE L"345030"

#define REDIRECTED_CLASSES_PREFIX_COUNT 5

// Record of a prepared-key enumeration thread; its owner defines it.
struct _ENUM_PREPARED_KEY_WORK;

// A list head immediately followed by the fast mutex that guards the list.
typedef struct _LOCKED_LIST {
    LIST_ENTRY Head;
    FAST_MUTEX Lock;
} LOCKED_LIST, *PLOCKED_LIST;

typedef struct _VEX_REG_FILTER_DATA {
    ULONG Tag;                              // "VexR"
    LARGE_INTEGER CallbackCookie;           // registry callback cookie; zero while redirection is stopped
    PDRIVER_OBJECT DriverObject;            // the driver object given to DriverEntry
    PDEVICE_OBJECT DeviceObject;            // the control device; empty once deleted
    PFLT_FILTER FilterHandle;               // the filter-manager registration
    UNICODE_STRING Altitude;                // refers to AltitudeBuffer
    WCHAR AltitudeBuffer[16];               // "345030", NUL-terminated
    BOOLEAN ProcessNotifyRegistered;        // the create-process notify routine is registered
    FAST_MUTEX ProcessNotifyLock;           // guards ProcessNotifyRegistered
    BOOLEAN ImageNotifyRegistered;          // the load-image notify routine is registered
    FAST_MUTEX ImageNotifyLock;             // guards ImageNotifyRegistered
    UNICODE_STRING RedirectRootKeyName;     // root of the private registry copy
    UNICODE_STRING RedirectUserClasses;     // redirect location of the user's Classes hive
    UNICODE_STRING RedirectMachineClasses;  // redirect location of the machine Classes key
    UNICODE_STRING RedirectRootKeyPattern;  // wildcard pattern derived from RedirectRootKeyName
    UNICODE_STRING RedirectRootKeyNameUser;     // RedirectRootKeyName followed by "\USER"
    UNICODE_STRING RedirectRootKeyNameMachine;  // RedirectRootKeyName followed by "\MACHINE"
    UNICODE_STRING UserSid;                 // the user's SID in text form, not NUL-terminated
    UNICODE_STRING CuSidClasses;            // Classes prefixes
    UNICODE_STRING CuClasses;
    UNICODE_STRING LmClasses;
    UNICODE_STRING RedirectedCuSidClasses[REDIRECTED_CLASSES_PREFIX_COUNT];  // Classes subkey prefixes
    UNICODE_STRING RedirectedCuClasses[REDIRECTED_CLASSES_PREFIX_COUNT];
    UNICODE_STRING RedirectedLmClasses[REDIRECTED_CLASSES_PREFIX_COUNT];
    UNICODE_STRING InternetSettingsKey;          // the user's real Internet Settings key
    UNICODE_STRING RedirectInternetSettingsKey;  // its copy under the redirect root
    CACHE_TABLE CopyKeyHistory;             // keys already copied into the redirect tree
    CACHE_TABLE CopySubkeyHistory;          // keys whose subkeys were already copied
    CACHE_TABLE DifferenceHistory;          // keys that differ from the real registry
    CACHE_TABLE ProcessCache;               // long-path-name cache
    LIST_ENTRY ExcludeKeyList;              // exclusion keys
    FAST_MUTEX ExcludeKeyLock;
    LIST_ENTRY ExcludeValueList;            // exclusion values
    FAST_MUTEX ExcludeValueLock;
    LOCKED_LIST ParentProcessNameList;
    LOCKED_LIST ProcessNameList;
    LOCKED_LIST ExclusionProcessNameList;
    LOCKED_LIST MonitoredParentProcessList;
    LOCKED_LIST MonitoredProcessList;
    LOCKED_LIST RootProcessNameList;
    LOCKED_LIST MonitoredRootProcessList;
    LOCKED_LIST MonitoredChildOfRootProcessList;
    LOCKED_LIST PTreeMonNameList;
    LOCKED_LIST PTreeMonList;
    LOCKED_LIST DescendantProcessList;
    ULONG OSVersion;                        // major << 24 | minor << 16; zero when unknown
    struct _ENUM_PREPARED_KEY_WORK* UserClassesEnumThread;     // thread for RedirectUserClasses, or none
    struct _ENUM_PREPARED_KEY_WORK* MachineClassesEnumThread;  // thread for RedirectMachineClasses, or none
    ULONG DebugLogFlags;                    // 0x1 details, 0x2 and 0x4 create/open switches, 0x8 traces
} VEX_REG_FILTER_DATA, *PVEX_REG_FILTER_DATA;

extern VEX_REG_FILTER_DATA g_VexRegFilterData;

extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Bits of DebugLogFlags that switch on extra debugger output.
#define DEBUG_FLAG_DETAILS 0x1  // details of operations
#define DEBUG_FLAG_TRACE 0x8    // entry and exit traces

FORCEINLINE BOOLEAN IsTraceEnabled(VOID) { return (g_VexRegFilterData.DebugLogFlags & DEBUG_FLAG_TRACE) != 0; }
FORCEINLINE BOOLEAN IsDetailEnabled(VOID) { return (g_VexRegFilterData.DebugLogFlags & DEBUG_FLAG_DETAILS) != 0; }

// Frees the buffer of an owned counted string and empties it; harmless on an empty one.
VOID FreeOwnedString(PUNICODE_STRING String);
