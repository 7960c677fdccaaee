// Kernel: IRQL, spin locks, dispatcher objects (events, mutexes, semaphores, timers, threads),
// waits, DPCs, system threads, time, timer resolution and executive callback objects.
// Records that drivers embed keep their x64 sizes; the fields inside belong to this kernel.
#pragma once

#include <win/ntdef.h>

// ---------------------------------------------------------------------------------------------
// IRQL

KV_EXTERN_C KIRQL KeGetCurrentIrql(void);
// Raises to NewIrql and returns the previous level; raising to a lower level is a bug check.
KV_EXTERN_C KIRQL KfRaiseIrql(KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
// Lowers to NewIrql; lowering to a higher level is a bug check.
KV_EXTERN_C VOID KeLowerIrql(KIRQL NewIrql);
KV_EXTERN_C KIRQL KeRaiseIrqlToDpcLevel(void);

// Pageable code asserts that it runs at or below APC_LEVEL.
KV_EXTERN_C VOID KvPagedCodeCheck(PCSTR Function);
#define PAGED_CODE() KvPagedCodeCheck(__func__)
#define PAGED_CODE_LOCKED() ((void)0)

// ---------------------------------------------------------------------------------------------
// Spin locks

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
static_assert(sizeof(KSPIN_LOCK) == 8);

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE* volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24 && offsetof(KLOCK_QUEUE_HANDLE, OldIrql) == 16);

KV_EXTERN_C VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KV_EXTERN_C KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
KV_EXTERN_C VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
KV_EXTERN_C VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
KV_EXTERN_C VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
KV_EXTERN_C VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
KV_EXTERN_C VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
KV_EXTERN_C VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
KV_EXTERN_C VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

// ---------------------------------------------------------------------------------------------
// Dispatcher objects

typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
    DpcObject = 19,
} KOBJECTS;

// Common head of every waitable object.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;       // KOBJECTS
    UCHAR Signature;  // set when the object is initialised, checked by every wait
    UCHAR Size;       // in 32-bit units
    UCHAR Inserted;   // timers: queued to expire
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;
static_assert(sizeof(DISPATCHER_HEADER) == 24 && offsetof(DISPATCHER_HEADER, SignalState) == 4 &&
              offsetof(DISPATCHER_HEADER, WaitListHead) == 8);

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1, WaitNotification = 2, WaitDequeue = 3 } WAIT_TYPE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrSpare0,
    WrQueue,
    WrLpcReceive,
    WrLpcReply,
    WrVirtualMemory,
    WrPageOut,
    WrRendezvous,
    WrKeyedEvent,
    WrTerminated,
    WrProcessInSwap,
    WrCpuRateControl,
    WrCalloutStack,
    WrKernel,
    WrResource,
    WrPushLock,
    WrMutex,
    WrQuantumEnd,
    WrDispatchInt,
    WrPreempted,
    WrYieldExecution,
    WrFastMutex,
    WrGuardedMutex,
    WrRundown,
    WrAlertByThreadId,
    WrDeferredPreempt,
    WrPhysicalFault,
    MaximumWaitReason,
} KWAIT_REASON;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
static_assert(sizeof(KEVENT) == 24);

typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD ETHREAD, *PETHREAD;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;  // SignalState 1 when free, 0 or below (minus recursion) when owned
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
static_assert(sizeof(KMUTEX) == 56 && offsetof(KMUTEX, OwnerThread) == 40);

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;
static_assert(sizeof(KSEMAPHORE) == 32);

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    UCHAR Type;  // DpcObject once initialised
    UCHAR Importance;
    USHORT Number;
    ULONG Reserved;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;
static_assert(sizeof(KDPC) == 64 && offsetof(KDPC, DeferredRoutine) == 24);

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;    // interrupt time of the next expiry, 100 ns units
    ULONGLONG QueueSequence;   // position in the kernel's expiry queue among equal due times
    ULONGLONG Reserved;
    PKDPC Dpc;
    ULONG Processor;
    LONG Period;  // milliseconds, 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;
static_assert(sizeof(KTIMER) == 64 && offsetof(KTIMER, Dpc) == 48 && offsetof(KTIMER, Period) == 60);

// Caller-supplied wait blocks for waits on more than THREAD_WAIT_OBJECTS objects.
typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
    LONG SpareLong;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;
static_assert(sizeof(KWAIT_BLOCK) == 48);

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

KV_EXTERN_C VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Returns the previous signal state.
KV_EXTERN_C LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
KV_EXTERN_C LONG KeResetEvent(PRKEVENT Event);
KV_EXTERN_C VOID KeClearEvent(PRKEVENT Event);
KV_EXTERN_C LONG KeReadStateEvent(PRKEVENT Event);

KV_EXTERN_C VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
KV_EXTERN_C LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
KV_EXTERN_C LONG KeReadStateMutex(PRKMUTEX Mutex);

KV_EXTERN_C VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Returns the previous count; raising the count above the limit is a bug check.
KV_EXTERN_C LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
KV_EXTERN_C LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

KV_EXTERN_C VOID KeInitializeTimer(PKTIMER Timer);
KV_EXTERN_C VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// DueTime: negative relative, positive absolute system time, 100 ns units. Returns TRUE when
// the timer was already queued (it is re-set).
KV_EXTERN_C BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
// Period in milliseconds; 0 makes a one-shot timer.
KV_EXTERN_C BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns TRUE when the timer was queued.
KV_EXTERN_C BOOLEAN KeCancelTimer(PKTIMER Timer);
KV_EXTERN_C BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Timeout: null waits forever, zero polls, negative relative, positive absolute system time.
KV_EXTERN_C NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                           BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// WaitAny returns STATUS_WAIT_0 + the lowest signalled index. WaitBlockArray is required above
// THREAD_WAIT_OBJECTS objects; Count is at most MAXIMUM_WAIT_OBJECTS.
KV_EXTERN_C NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                              KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                              PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray);
KV_EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// Stops the machine: the code under test found a state it cannot go on from.
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
KV_EXTERN_C [[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                                           ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4);

// ---------------------------------------------------------------------------------------------
// DPCs: run at DISPATCH_LEVEL on the machine's DPC thread, one at a time, in queue order.

KV_EXTERN_C VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
// FALSE when the DPC is already queued.
KV_EXTERN_C BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued (it is removed and will not run).
KV_EXTERN_C BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns when every DPC queued before the call has run.
KV_EXTERN_C VOID KeFlushQueuedDpcs(void);

// ---------------------------------------------------------------------------------------------
// Process attachment: a thread runs for a while in another process's address space and handle
// table. Attachments nest; each detach hands back the state of the matching attach.

typedef struct _KPROCESS* PKPROCESS, *PRKPROCESS;

typedef struct _KAPC_STATE {
    LIST_ENTRY ApcListHead[2];
    PKPROCESS Process;
    BOOLEAN KernelApcInProgress;
    BOOLEAN KernelApcPending;
    BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
static_assert(sizeof(KAPC_STATE) == 0x30 && offsetof(KAPC_STATE, Process) == 0x20 &&
              offsetof(KAPC_STATE, KernelApcInProgress) == 0x28 && offsetof(KAPC_STATE, UserApcPending) == 0x2A);

// Process is a PEPROCESS (the process object begins with its kernel part).
KV_EXTERN_C VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
KV_EXTERN_C VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// ---------------------------------------------------------------------------------------------
// Threads

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
static_assert(sizeof(CLIENT_ID) == 16);

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

KV_EXTERN_C NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                          PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
// Ends the calling system thread; does not return.
KV_EXTERN_C DECLSPEC_NORETURN NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
KV_EXTERN_C PETHREAD PsGetCurrentThread(void);
KV_EXTERN_C PKTHREAD KeGetCurrentThread(void);
// Returns the previous priority.
KV_EXTERN_C KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KV_EXTERN_C KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

// ---------------------------------------------------------------------------------------------
// Time. All values come from the machine's one clock, in 100 ns units.

// Current system time (100 ns units since 1601-01-01 UTC).
KV_EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// Time since the machine started, 100 ns units.
KV_EXTERN_C ULONGLONG KeQueryInterruptTime(void);
// Clock ticks since start; one tick is KeQueryTimeIncrement() 100 ns units.
KV_EXTERN_C VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
KV_EXTERN_C ULONG KeQueryTimeIncrement(void);
// 10 MHz counter.
KV_EXTERN_C LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Busy-waits on a real machine; here CPU work takes no simulated time, so it returns at once.
KV_EXTERN_C VOID KeStallExecutionProcessor(ULONG MicroSeconds);
// DesiredTime in 100 ns units. Every request (SetResolution TRUE) must be matched by a release
// (FALSE); returns the resolution in effect afterwards.
KV_EXTERN_C ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// ---------------------------------------------------------------------------------------------
// Executive callback objects

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID CALLBACK_FUNCTION(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

// Opens the callback object named by ObjectAttributes (case-insensitive), creating it when Create
// is TRUE. The caller receives one reference, released with ObDereferenceObject.
KV_EXTERN_C NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes,
                                      BOOLEAN Create, BOOLEAN AllowMultipleCallbacks);
// Returns a registration handle, or null when the object takes no further registration.
KV_EXTERN_C PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction,
                                     PVOID CallbackContext);
// Removes a registration; returns after every call of it already in flight has returned.
KV_EXTERN_C VOID ExUnregisterCallback(PVOID CallbackRegistration);
// Calls every registration synchronously in the caller's thread; callable at DISPATCH_LEVEL.
KV_EXTERN_C VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2);
