// Process services of the simulated kernel beyond the object manager's: create-process and
// load-image notify routines, the process's image base and environment block, attaching to a
// process, and copying from its memory without risking a fault. Layouts are x64.
#pragma once

#include "ntbase.h"
#include "ntex.h"
#include "ntfile.h"

typedef struct _KPROCESS* PKPROCESS;
typedef PKPROCESS PRKPROCESS;

// Information about a process being created, as the notify routine receives it.
typedef struct _PS_CREATE_NOTIFY_INFO {
    SIZE_T Size;
    union {
        ULONG Flags;
        struct {
            ULONG FileOpenNameAvailable : 1;
            ULONG IsSubsystemProcess : 1;
            ULONG Reserved : 30;
        };
    };
    HANDLE ParentProcessId;              // the process the new one inherits from
    CLIENT_ID CreatingThreadId;          // the creator, which may differ from the parent
    struct _FILE_OBJECT* FileObject;     // the image file
    PCUNICODE_STRING ImageFileName;      // the name the image was opened by
    PCUNICODE_STRING CommandLine;        // may be null
    NTSTATUS CreationStatus;             // a routine that sets a failure here refuses the creation
} PS_CREATE_NOTIFY_INFO, *PPS_CREATE_NOTIFY_INFO;

typedef VOID NTAPI CREATE_PROCESS_NOTIFY_ROUTINE_EX(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
typedef CREATE_PROCESS_NOTIFY_ROUTINE_EX* PCREATE_PROCESS_NOTIFY_ROUTINE_EX;
NTKERNELAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine, BOOLEAN Remove);

typedef struct _IMAGE_INFO {
    union {
        ULONG Properties;
        struct {
            ULONG ImageAddressingMode : 8;
            ULONG SystemModeImage : 1;
            ULONG ImageMappedToAllPids : 1;
            ULONG ExtendedInfoPresent : 1;
            ULONG Reserved : 21;
        };
    };
    PVOID ImageBase;
    ULONG ImageSelector;
    SIZE_T ImageSize;
    ULONG ImageSectionNumber;
} IMAGE_INFO, *PIMAGE_INFO;

typedef VOID NTAPI LOAD_IMAGE_NOTIFY_ROUTINE(PUNICODE_STRING FullImageName, HANDLE ProcessId, PIMAGE_INFO ImageInfo);
typedef LOAD_IMAGE_NOTIFY_ROUTINE* PLOAD_IMAGE_NOTIFY_ROUTINE;
NTKERNELAPI NTSTATUS NTAPI PsSetLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);
NTKERNELAPI NTSTATUS NTAPI PsRemoveLoadImageNotifyRoutine(PLOAD_IMAGE_NOTIFY_ROUTINE NotifyRoutine);

// User addresses lie below MM_USER_PROBE_ADDRESS; everything from it up is system space.
NTKERNELAPI ULONG64 MmUserProbeAddress;
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress

// Addresses in the process's own address space: read them attached, through MmCopyMemory.
NTKERNELAPI PVOID NTAPI PsGetProcessSectionBaseAddress(PEPROCESS Process);
NTKERNELAPI PVOID NTAPI PsGetProcessPeb(PEPROCESS Process);

// When the process was created (KeQuerySystemTime then), and its exit status: STATUS_PENDING while
// it runs, its exit status from the moment it begins to exit, before the exit notify routines.
NTKERNELAPI LONGLONG NTAPI PsGetProcessCreateTimeQuadPart(PEPROCESS Process);
NTKERNELAPI NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process);

typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[2];
    PKPROCESS Process;
    BOOLEAN KernelApcInProgress;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

NTKERNELAPI VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
NTKERNELAPI VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// Copying memory that may not be readable: the copy reports a fault as a status instead of
// raising it.
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
typedef struct _MM_COPY_ADDRESS {
    union {
        PVOID VirtualAddress;
        PHYSICAL_ADDRESS PhysicalAddress;
    };
} MM_COPY_ADDRESS, *PMM_COPY_ADDRESS;
#define MM_COPY_MEMORY_PHYSICAL 0x1
#define MM_COPY_MEMORY_VIRTUAL 0x2
NTKERNELAPI NTSTATUS NTAPI MmCopyMemory(PVOID TargetAddress, MM_COPY_ADDRESS SourceAddress, SIZE_T NumberOfBytes,
                                        ULONG Flags, PSIZE_T NumberOfBytesTransferred);
