// The driver's one global state record, g_VexRegFilterData, and the debugger switches it holds.
//
// Every subsystem from the tables up reads the record, and it embeds the cache tables, so it is
// declared here, at the lowest layer whose types it holds; driver/ fills it at start-up and
// empties it at unload. The redirect names and Classes prefixes are written only while
// redirection is stopped and read without a lock while it runs; every list has its own lock.
#pragma once

#include "platform.h"
#include "common/debug_print.h"
#include "tables/cache_table.h"

// The Classes subkeys that have a separate 32-bit copy under Wow6432Node (CLSID, DirectShow,
// Interface, Media Type, MediaFoundation): entries of each Redirected* prefix array.
#define WOW64_CLASSES_SUBKEY_COUNT 5

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
    UNICODE_STRING RedirectedCuSidClasses[WOW64_CLASSES_SUBKEY_COUNT];  // Classes subkey prefixes
    UNICODE_STRING RedirectedCuClasses[WOW64_CLASSES_SUBKEY_COUNT];
    UNICODE_STRING RedirectedLmClasses[WOW64_CLASSES_SUBKEY_COUNT];
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

// Bits of DebugLogFlags that switch on extra debugger output.
#define DEBUG_FLAG_DETAILS 0x1            // details of operations
#define DEBUG_FLAG_PASS_THROUGH_ONLY 0x2  // creates and opens are logged and never redirected
#define DEBUG_FLAG_OPEN_FULL_NAME 0x4     // an open's full name is printed also without the details bit
#define DEBUG_FLAG_TRACE 0x8              // entry and exit traces

FORCEINLINE BOOLEAN IsTraceEnabled(VOID) { return (g_VexRegFilterData.DebugLogFlags & DEBUG_FLAG_TRACE) != 0; }
FORCEINLINE BOOLEAN IsDetailEnabled(VOID) { return (g_VexRegFilterData.DebugLogFlags & DEBUG_FLAG_DETAILS) != 0; }

// Trace lines (entry, exit and the values on the way): printed only when DebugLogFlags has the
// trace bit, in one piece or in the two pieces of PrintPrefixed.
#define TraceLine(...)                 \
    do {                               \
        if (IsTraceEnabled()) {        \
            DbgPrint(__VA_ARGS__);     \
        }                              \
    } while (0)
#define TraceLinePrefixed(...)         \
    do {                               \
        if (IsTraceEnabled()) {        \
            PrintPrefixed(__VA_ARGS__); \
        }                              \
    } while (0)

// Detail lines: printed only when DebugLogFlags has the details bit, in the two pieces of
// PrintPrefixed.
#define DetailLinePrefixed(...)        \
    do {                               \
        if (IsDetailEnabled()) {       \
            PrintPrefixed(__VA_ARGS__); \
        }                              \
    } while (0)
