// Executive services of the simulated kernel: pool, IRQL, fast mutexes, events and waits, system
// threads, work items, time and routine lookup.
#pragma once

#include "ntbase.h"

// Pool.
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
// Frees whatever tag the block carries: for buffers the kernel allocates for its caller.
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

// IRQL.
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTKERNELAPI VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);

// Critical regions: normal kernel APCs off while a thread holds a lock that allows waits.
NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);

// Dispatcher objects. The header layout follows the DDK; the simulated kernel keeps the signal
// state in SignalState and guards every dispatcher object with one dispatcher lock.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

// Specific rights of an event handle.
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | EVENT_QUERY_STATE | EVENT_MODIFY_STATE)

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);
// Object is a KEVENT, a thread object, or any object whose body begins with a DISPATCHER_HEADER.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// Fast mutexes: acquisition raises to APC_LEVEL; not recursive.
typedef struct _FAST_MUTEX {
    LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// Threads.
typedef VOID NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                                HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext);
NTKERNELAPI __attribute__((noreturn)) NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
// The mode the current system service was called from: UserMode inside a user process's native
// call (and in the registry callbacks it runs), KernelMode inside Zw* calls and system threads.
NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
#define KeGetCurrentThread() ((PKTHREAD)PsGetCurrentThread())
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

// Time: 100 ns units since 1601-01-01 UTC, on a clock that the machine sets and advances.
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);

// Routines looked up by name.
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// Interlocked operations.
#define InterlockedIncrement(p) __atomic_add_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedDecrement(p) __atomic_sub_fetch((p), 1, __ATOMIC_SEQ_CST)
#define InterlockedExchange(p, v) __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedExchangePointer(p, v) __atomic_exchange_n((p), (v), __ATOMIC_SEQ_CST)
#define InterlockedCompareExchangePointer(p, e, c) \
    __extension__({ PVOID _expected = (PVOID)(c); __atomic_compare_exchange_n((p), &_expected, (PVOID)(e), false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); _expected; })
#define InterlockedCompareExchange(p, e, c) \
    __extension__({ auto _expected = (c); __atomic_compare_exchange_n((p), &_expected, (e), false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); _expected; })
