// Every rule the kernel's verifier enforces stops the machine with the rule and the culprit.
#include "../../platform/kernel/scheduler.h"
#include "kernel_helpers.h"

#include <sim/pnp.h>

#include <functional>

using namespace kernel_test;

namespace {

struct DeathCase {
    const char* name;
    std::function<void()> statement;
    const char* pattern;
};

class KernelVerifier : public testing::TestWithParam<DeathCase> {};

TEST_P(KernelVerifier, StopsTheMachine) { EXPECT_DEATH(GetParam().statement(), GetParam().pattern); }

void WaitAtDispatch(PLARGE_INTEGER timeout) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

void TakeMutexes(PKMUTEX first, PKMUTEX second) {
    KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(second, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(second, FALSE);
    KeReleaseMutex(first, FALSE);
}

void TakeSpinLocks(PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KLOCK_QUEUE_HANDLE outer;
    KLOCK_QUEUE_HANDLE inner;
    KeAcquireInStackQueuedSpinLock(first, &outer);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(second, &inner);
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&inner);
    KeReleaseInStackQueuedSpinLock(&outer);
}

void PageableRoutine() { PAGED_CODE(); }

void UnregisterSelf(PVOID context, PVOID, PVOID) { ExUnregisterCallback(*static_cast<PVOID*>(context)); }

PCALLBACK_OBJECT OpenCallbackObject(PCWSTR path) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    ExCreateCallback(&object, &attributes, TRUE, TRUE);
    return object;
}

// A driver linked into the test whose entry leaves one thing behind, loaded and unloaded.
void LoadAndUnload(PDRIVER_INITIALIZE entry) {
    sim::pnp::Driver* driver = nullptr;
    if (NT_SUCCESS(sim::pnp::LoadLinkedDriver(entry, u"KvBalanceTest", &driver))) sim::pnp::UnloadDriver(driver);
}

NTSTATUS KeepTimerResolution(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExSetTimerResolution(10'000, TRUE);
    return STATUS_SUCCESS;
}

NTSTATUS KeepCallbackRegistration(PDRIVER_OBJECT, PUNICODE_STRING) {
    PCALLBACK_OBJECT object = OpenCallbackObject(u"\\Callback\\TestBalance");
    ExRegisterCallback(object, [](PVOID, PVOID, PVOID) {}, nullptr);
    return STATUS_SUCCESS;
}

// Creates a permanent callback object and only dereferences it, as if it were temporary.
NTSTATUS KeepPermanentObject(PDRIVER_OBJECT, PUNICODE_STRING) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Callback\\TestPermanentLeak");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    if (NT_SUCCESS(ExCreateCallback(&object, &attributes, TRUE, TRUE))) ObDereferenceObject(object);
    return STATUS_SUCCESS;
}

NTSTATUS KeepSystemThread(PDRIVER_OBJECT, PUNICODE_STRING) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           [](PVOID) { Delay(kSecond); }, nullptr);
    if (NT_SUCCESS(status)) ZwClose(handle);
    return status;
}

NTSTATUS KeepPool(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'kaeL');
    return STATUS_SUCCESS;
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, KernelVerifier,
    testing::Values(
        DeathCase{"WaitWithoutTimeoutAtDispatch", [] { WaitAtDispatch(nullptr); },
                  "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with no time-out at IRQL 2"},
        DeathCase{"WaitWithTimeoutAtDispatch",
                  [] {
                      LARGE_INTEGER timeout = Relative(kMillisecond);
                      WaitAtDispatch(&timeout);
                  },
                  "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero time-out at IRQL 2"},
        DeathCase{"PollAboveDispatch",
                  [] {
                      KEVENT event;
                      KeInitializeEvent(&event, NotificationEvent, TRUE);
                      KIRQL old;
                      KeRaiseIrql(CLOCK_LEVEL, &old);
                      Poll(&event);
                  },
                  "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a zero time-out at IRQL 13"},
        DeathCase{"FourObjectsWithoutWaitBlocks",
                  [] {
                      KEVENT events[4];
                      PVOID objects[4];
                      for (int i = 0; i < 4; ++i) {
                          KeInitializeEvent(&events[i], NotificationEvent, TRUE);
                          objects[i] = &events[i];
                      }
                      KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
                  },
                  "MAXIMUM_WAIT_OBJECTS_EXCEEDED: KeWaitForMultipleObjects on 4 objects without a wait block array"},
        DeathCase{"WaitOnUninitialisedEvent",
                  [] {
                      KEVENT event{};
                      Poll(&event);
                  },
                  "INVALID_DISPATCHER_OBJECT: KeWaitForSingleObject on 0x[0-9a-f]+, which is not an initialised "
                  "dispatcher object"},
        DeathCase{"SetEventOnAMutex",
                  [] {
                      KMUTEX mutex;
                      KeInitializeMutex(&mutex, 0);
                      KeSetEvent(reinterpret_cast<PRKEVENT>(&mutex), 0, FALSE);
                  },
                  "INVALID_DISPATCHER_OBJECT: KeSetEvent on 0x[0-9a-f]+, which is a"},
        DeathCase{"SemaphoreReleasedPastItsLimit",
                  [] {
                      KSEMAPHORE semaphore;
                      KeInitializeSemaphore(&semaphore, 1, 2);
                      KeReleaseSemaphore(&semaphore, 0, 2, FALSE);
                  },
                  "SEMAPHORE_LIMIT_EXCEEDED: KeReleaseSemaphore of 0x[0-9a-f]+ by 2: count 1, limit 2"},
        DeathCase{"DelayAtDispatch",
                  [] {
                      KeRaiseIrqlToDpcLevel();
                      Delay(kMillisecond);
                  },
                  "IRQL_NOT_LESS_OR_EQUAL: KeDelayExecutionThread at IRQL 2"},
        DeathCase{"PagedCodeAtDispatch",
                  [] {
                      KeRaiseIrqlToDpcLevel();
                      PageableRoutine();
                  },
                  "IRQL_NOT_LESS_OR_EQUAL: pageable routine PageableRoutine called at IRQL 2"},
        DeathCase{"RaiseToALowerIrql",
                  [] {
                      KIRQL old;
                      KeRaiseIrql(DISPATCH_LEVEL, &old);
                      KeRaiseIrql(APC_LEVEL, &old);
                  },
                  "IRQL_NOT_GREATER_OR_EQUAL"},
        DeathCase{"LowerToAHigherIrql", [] { KeLowerIrql(DISPATCH_LEVEL); }, "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql"},
        DeathCase{"LowerBelowDispatchHoldingASpinLock",
                  [] {
                      KSPIN_LOCK lock;
                      KeInitializeSpinLock(&lock);
                      KIRQL old;
                      KeAcquireSpinLock(&lock, &old);
                      KeLowerIrql(PASSIVE_LEVEL);
                  },
                  "IRQL_NOT_GREATER_OR_EQUAL: KeLowerIrql to 0 while holding spin lock"},
        DeathCase{"SpinLockAcquiredTwice",
                  [] {
                      KSPIN_LOCK lock;
                      KeInitializeSpinLock(&lock);
                      KIRQL old;
                      KeAcquireSpinLock(&lock, &old);
                      KeAcquireSpinLockAtDpcLevel(&lock);
                  },
                  "SPIN_LOCK_ALREADY_OWNED: spin lock 0x[0-9a-f]+ acquired twice by the same thread"},
        DeathCase{"SpinLockReleasedWhenNotHeld",
                  [] {
                      KSPIN_LOCK lock;
                      KeInitializeSpinLock(&lock);
                      KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
                  },
                  "SPIN_LOCK_NOT_OWNED: release of spin lock 0x[0-9a-f]+, which is not held"},
        DeathCase{"AtDpcLevelFormBelowDispatch",
                  [] {
                      KSPIN_LOCK lock;
                      KeInitializeSpinLock(&lock);
                      KeAcquireSpinLockAtDpcLevel(&lock);
                  },
                  "IRQL_NOT_GREATER_OR_EQUAL: KeAcquireSpinLockAtDpcLevel called at IRQL 0"},
        DeathCase{"MutexReleasedByANonOwner",
                  [] {
                      KMUTEX mutex;
                      KeInitializeMutex(&mutex, 0);
                      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                      Join(Start([&] { KeReleaseMutex(&mutex, FALSE); }));
                  },
                  "MUTEX_NOT_OWNED: KeReleaseMutex of kernel mutex 0x[0-9a-f]+ by test thread, but it is owned by "
                  "main thread"},
        DeathCase{"ThreadEndsHoldingAMutex",
                  [] {
                      KMUTEX mutex;
                      KeInitializeMutex(&mutex, 0);
                      Join(Start([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); }));
                  },
                  "THREAD_TERMINATE_HELD_MUTEX: test thread ended holding kernel mutex"},
        DeathCase{"MutexOrderCycle",
                  [] {
                      KMUTEX a;
                      KMUTEX b;
                      KeInitializeMutex(&a, 0);
                      KeInitializeMutex(&b, 0);
                      TakeMutexes(&a, &b);
                      TakeMutexes(&b, &a);
                  },
                  "LOCK_ORDER_INVERSION: kernel mutex 0x[0-9a-f]+ taken while holding kernel mutex 0x[0-9a-f]+.*"
                  "now at:.*TakeMutexes.*first seen at:.*TakeMutexes"},
        DeathCase{"SpinLockOrderCycleAcrossThreads",
                  [] {
                      KSPIN_LOCK a;
                      KSPIN_LOCK b;
                      KeInitializeSpinLock(&a);
                      KeInitializeSpinLock(&b);
                      TakeSpinLocks(&a, &b);
                      Join(Start([&] { TakeSpinLocks(&b, &a); }));
                  },
                  "LOCK_ORDER_INVERSION: queued spin lock 0x[0-9a-f]+ taken while holding queued spin lock"},
        DeathCase{"DeadlockDumpsEveryWait",
                  [] {
                      KEVENT first;
                      KEVENT second;
                      KeInitializeEvent(&first, NotificationEvent, FALSE);
                      KeInitializeEvent(&second, SynchronizationEvent, FALSE);
                      KeSetEvent(&second, 0, FALSE);
                      KeResetEvent(&second);
                      PKTHREAD other = Start([&] {
                          KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
                          KeSetEvent(&second, 0, FALSE);
                      });
                      KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
                      Join(other);
                  },
                  "DEADLOCK: every thread of the machine waits and no deadline is pending.*"
                  "DPC thread .*idle.*"
                  "main thread .*waiting in KeWaitForSingleObject with no time-out.*"
                  "synchronization event 0x[0-9a-f]+: not signalled; last signalled by main thread.*"
                  "test thread .*notification event 0x[0-9a-f]+: not signalled; never signalled"},
        DeathCase{"CallbackUnregisteredFromItsOwnCall",
                  [] {
                      PCALLBACK_OBJECT object = OpenCallbackObject(u"\\Callback\\TestSelfRemoval");
                      PVOID registration = nullptr;
                      registration = ExRegisterCallback(object, UnregisterSelf, &registration);
                      ExNotifyCallback(object, nullptr, nullptr);
                  },
                  "CALLBACK_UNREGISTER_FROM_ITSELF"},
        DeathCase{"TimerResolutionReleasedWithoutRequest", [] { ExSetTimerResolution(0, FALSE); },
                  "TIMER_RESOLUTION_UNBALANCED"},
        DeathCase{"UnloadWithTimerResolutionRequested", [] { LoadAndUnload(KeepTimerResolution); },
                  "DRIVER_VERIFIER_DETECTED_VIOLATION: .*KvBalanceTest is unloaded with 1 timer resolution requests "
                  "not released"},
        DeathCase{"UnloadWithCallbackRegistered", [] { LoadAndUnload(KeepCallbackRegistration); },
                  "DRIVER_VERIFIER_DETECTED_VIOLATION: .*KvBalanceTest is unloaded with 1 callback registrations left"},
        DeathCase{"UnloadWithPermanentObjectLeft", [] { LoadAndUnload(KeepPermanentObject); },
                  "DRIVER_VERIFIER_DETECTED_VIOLATION: .*KvBalanceTest is unloaded with 1 permanent objects left, "
                  "never made temporary: .*Callback.TestPermanentLeak \\(created by "},
        DeathCase{"UnloadWithSystemThreadRunning", [] { LoadAndUnload(KeepSystemThread); },
                  "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS: .*KvBalanceTest is unloaded with 1 system "
                  "threads still running"},
        DeathCase{"UnloadWithPoolLeft", [] { LoadAndUnload(KeepPool); },
                  "DRIVER_VERIFIER_DETECTED_VIOLATION: .*KvBalanceTest did not free its pool: .*tag \"Leak\": 1 "
                  "blocks, 24 bytes"},
        DeathCase{"MemoryFreedWithItsTimerSet",
                  [] {
                      KTIMER timer;
                      KeInitializeTimer(&timer);
                      KeSetTimer(&timer, Relative(kSecond), nullptr);
                      sim::ke::CheckFreedMemory(&timer, sizeof timer);
                  },
                  "TIMER_OR_DPC_INVALID: memory 0x[0-9a-f]+ \\(64 bytes\\) freed while timer 0x[0-9a-f]+ in it is set"}),
    [](const testing::TestParamInfo<DeathCase>& info) { return info.param.name; });

}  // namespace
