// IRPs through device stacks: completion order, STATUS_MORE_PROCESSING_REQUIRED, invocation
// conditions, cancellation, threaded requests and reuse, with lower devices that complete inside
// IoCallDriver and later on the DPC thread.
#include "io_helpers.h"

#include <sim/io.h>
#include <win/kernel.h>

#include <cstring>
#include <string>
#include <vector>

using namespace io_test;

namespace {

struct Trace {
    std::vector<std::string> events;
    std::vector<PDEVICE_OBJECT> devices;
};

// A routine of a middle driver: records itself and continues completion.
template <int Id>
NTSTATUS RecordAndContinue(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* trace = static_cast<Trace*>(context);
    trace->events.push_back("routine " + std::to_string(Id) + " info " + std::to_string(irp->IoStatus.Information));
    trace->devices.push_back(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

class IrpCompletion : public testing::TestWithParam<Completion> {
protected:
    // top (passes down with routine 2) -> middle (passes down with routine 1) -> lower (finishes).
    void Build(sim::io::BusDispatch lower) {
        m_lower = m_stack.Push(std::move(lower), GetParam());
        m_middle = m_stack.Push([this](PDEVICE_OBJECT, PIRP irp) { return m_middleDispatch(irp); });
        m_top = m_stack.Push([this](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RecordAndContinue<2>, &m_trace, TRUE, TRUE, TRUE);
            return IoCallDriver(m_middle, irp);
        });
        m_middleDispatch = [this](PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RecordAndContinue<1>, &m_trace, TRUE, TRUE, TRUE);
            return IoCallDriver(m_lower, irp);
        };
    }
    PIRP NewIrp() {
        PIRP irp = IoAllocateIrp(m_top->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return irp;
    }

    DeviceStack m_stack;
    PDEVICE_OBJECT m_lower = nullptr;
    PDEVICE_OBJECT m_middle = nullptr;
    PDEVICE_OBJECT m_top = nullptr;
    std::function<NTSTATUS(PIRP)> m_middleDispatch;
    Trace m_trace;
};

TEST_P(IrpCompletion, RoutinesRunBottomUpWithTheDeviceAbove) {
    Build([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_SUCCESS, 7); });
    size_t before = sim::io::LiveIrpCount();
    PIRP irp = NewIrp();
    EXPECT_EQ(SendAndWait(m_top, irp), STATUS_SUCCESS);
    EXPECT_EQ(m_trace.events, (std::vector<std::string>{"routine 1 info 7", "routine 2 info 7"}));
    EXPECT_EQ(m_trace.devices, (std::vector<PDEVICE_OBJECT>{m_middle, m_top}));
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::io::LiveIrpCount(), before);
}

// A middle driver that forwards, waits, and completes again owns the IRP between the two.
TEST_P(IrpCompletion, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    Build([](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, STATUS_UNSUCCESSFUL, 3); });
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    m_middleDispatch = [this, &lowerDone](PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, KeepIrp, &lowerDone, TRUE, TRUE, TRUE);
        if (IoCallDriver(m_lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
        }
        m_trace.events.push_back("middle owns it: " + std::to_string(irp->IoStatus.Information));
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 9;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    PIRP irp = NewIrp();
    EXPECT_EQ(SendAndWait(m_top, irp), STATUS_SUCCESS);
    EXPECT_EQ(m_trace.events, (std::vector<std::string>{"middle owns it: 3", "routine 2 info 9"}));
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Modes, IrpCompletion, testing::Values(Completion::Synchronous, Completion::Asynchronous),
                         [](const auto& info) { return std::string(ModeName(info.param)); });

struct InvocationCase {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

class CompletionInvocation : public testing::TestWithParam<InvocationCase> {};

TEST_P(CompletionInvocation, FollowsTheStatusAndTheFlags) {
    const InvocationCase& c = GetParam();
    DeviceStack stack;
    PDEVICE_OBJECT lower = stack.Push([&c](PDEVICE_OBJECT device, PIRP irp) { return sim::io::Finish(device, irp, c.status); });
    Trace trace;
    stack.Push([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordAndContinue<1>, &trace, c.onSuccess, c.onError, c.onCancel);
        return IoCallDriver(lower, irp);
    });
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    irp->Cancel = c.cancelled;
    EXPECT_EQ(SendAndWait(stack.Top(), irp), c.status);
    EXPECT_EQ(trace.events.size(), c.invoked ? 1u : 0u);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompletionInvocation,
    testing::Values(InvocationCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
                    InvocationCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
                    InvocationCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                    InvocationCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
                    InvocationCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
                    InvocationCase{"CancelledOnError", STATUS_CANCELLED, true, false, true, false, true},
                    InvocationCase{"CancelFlagWithSuccess", STATUS_SUCCESS, true, false, false, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Cancellation: a lower device that set a cancel routine is called with the cancel lock held.
struct CancelSeen {
    KIRQL irql = 0xFF;
    bool cancelFlag = false;
    bool routineCleared = false;
    PDEVICE_OBJECT device = nullptr;
};
CancelSeen g_cancelSeen;

VOID RecordingCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    g_cancelSeen = {KeGetCurrentIrql(), irp->Cancel != FALSE, irp->CancelRoutine == nullptr, device};
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(IrpCancel, CallsTheCancelRoutineWithTheLockHeldAndCompletesCancelled) {
    DeviceStack stack;
    PDEVICE_OBJECT lower = stack.Push([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, RecordingCancelRoutine);
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    g_cancelSeen = {};
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(g_cancelSeen.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(g_cancelSeen.cancelFlag);
    EXPECT_TRUE(g_cancelSeen.routineCleared);
    EXPECT_EQ(g_cancelSeen.device, lower);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

// Held IRPs: cancel and release race for the IRP; exactly one of them completes it.
struct HoldCase {
    const char* name;
    bool cancelFirst;
    NTSTATUS expected;
};

class HeldIrp : public testing::TestWithParam<HoldCase> {};

TEST_P(HeldIrp, CompletesOnceByCancelOrRelease) {
    DeviceStack stack;
    int cancelled = 0;
    PDEVICE_OBJECT lower = stack.Push([&](PDEVICE_OBJECT, PIRP irp) { return sim::io::Hold(irp, [&](PIRP) { ++cancelled; }); });
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, KeepIrp, &done, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(sim::io::HeldIrpCount(), 1u);
    if (GetParam().cancelFirst) {
        EXPECT_TRUE(IoCancelIrp(irp));
        EXPECT_FALSE(sim::io::Release(irp, STATUS_SUCCESS));
    } else {
        EXPECT_TRUE(sim::io::Release(irp, STATUS_SUCCESS, 4));
        EXPECT_FALSE(IoCancelIrp(irp));
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, GetParam().expected);
    EXPECT_EQ(cancelled, GetParam().cancelFirst ? 1 : 0);
    EXPECT_EQ(sim::io::HeldIrpCount(), 0u);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldIrp,
                         testing::Values(HoldCase{"CancelThenRelease", true, STATUS_CANCELLED},
                                         HoldCase{"ReleaseThenCancel", false, STATUS_SUCCESS}),
                         [](const auto& info) { return std::string(info.param.name); });

// Threaded requests: the I/O manager copies the status block and Information bytes of buffered
// output on success or warning, sets the event and frees the IRP.
struct ThreadedCase {
    const char* name;
    NTSTATUS status;
    ULONG information;
    ULONG copied;
};

class ThreadedRequest : public testing::TestWithParam<std::tuple<ThreadedCase, Completion>> {};

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST_P(ThreadedRequest, CopiesBackAndSignals) {
    const ThreadedCase& c = std::get<0>(GetParam());
    DeviceStack stack;
    PDEVICE_OBJECT lower = stack.Push(
        [&c](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(s->MajorFunction, IRP_MJ_DEVICE_CONTROL);
            EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(buffer[0], 0x11);  // the input arrived
            std::memset(buffer, 0x5A, s->Parameters.DeviceIoControl.OutputBufferLength);
            return sim::io::Finish(device, irp, c.status, c.information);
        },
        std::get<1>(GetParam()));
    size_t before = sim::io::LiveIrpCount();
    UCHAR input[2] = {0x11, 0x22};
    UCHAR output[16];
    std::memset(output, 0xEE, sizeof(output));
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower, input, sizeof(input), output, 8, FALSE, &done, &ioStatus);
    ASSERT_NE(irp, nullptr);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(ioStatus.Status, c.status);
    EXPECT_EQ(ioStatus.Information, c.information);
    for (ULONG i = 0; i < sizeof(output); ++i) EXPECT_EQ(output[i], i < c.copied ? 0x5A : 0xEE) << "byte " << i;
    EXPECT_EQ(sim::io::LiveIrpCount(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadedRequest,
    testing::Combine(testing::Values(ThreadedCase{"Partial", STATUS_SUCCESS, 4, 4},
                                     ThreadedCase{"Whole", STATUS_SUCCESS, 8, 8},
                                     ThreadedCase{"OverflowCopiesToo", STATUS_BUFFER_OVERFLOW, 8, 8},
                                     ThreadedCase{"ErrorCopiesNothing", STATUS_UNSUCCESSFUL, 4, 0}),
                     testing::Values(Completion::Synchronous, Completion::Asynchronous)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + ModeName(std::get<1>(info.param));
    });

TEST(ThreadedRequest, InternalNeitherPassesBuffersAsGiven) {
    constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
    DeviceStack stack;
    ULONG in = 1;
    ULONG out = 0;
    ULONG argument = 0;
    PDEVICE_OBJECT lower = stack.Push([&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(s->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(s->Parameters.DeviceIoControl.Type3InputBuffer, &in);
        EXPECT_EQ(irp->UserBuffer, &out);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        *static_cast<ULONG*>(s->Parameters.Others.Argument1) = 42;
        return sim::io::Finish(device, irp, STATUS_SUCCESS);
    });
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherCode, lower, &in, sizeof(in), &out, sizeof(out), TRUE, &done, &ioStatus);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &argument;
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(argument, 42u);
    EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
}

TEST(IrpReuse, ResetsTheIrpForTheNextRequest) {
    DeviceStack stack;
    int calls = 0;
    PDEVICE_OBJECT lower = stack.Push([&](PDEVICE_OBJECT device, PIRP irp) {
        ++calls;
        return sim::io::Finish(device, irp, STATUS_UNSUCCESSFUL, 5);
    }, Completion::Asynchronous);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    irp->AllocationFlags = 0x10;
    for (int round = 0; round < 2; ++round) {
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        irp->Cancel = TRUE;
        EXPECT_EQ(SendAndWait(lower, irp), STATUS_UNSUCCESSFUL);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->IoStatus.Information, 0u);
        EXPECT_FALSE(irp->Cancel);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(irp->AllocationFlags, 0x10);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    }
    EXPECT_EQ(calls, 2);
    IoFreeIrp(irp);
}

}  // namespace

namespace {

TEST(IrpProcess, AnIrpKeepsWhetherItsSenderIs32Bit) {
    EXPECT_FALSE(IoIs32bitProcess(nullptr));
    EXPECT_EQ(IoGetCurrentProcess(), sim::io::SystemProcess());
    PEPROCESS host = sim::io::CreateProcess("host32", true);
    PIRP irp = nullptr;
    {
        sim::io::ProcessScope scope(host);
        EXPECT_TRUE(IoIs32bitProcess(nullptr));
        EXPECT_EQ(IoGetCurrentProcess(), host);
        irp = IoAllocateIrp(1, FALSE);
    }
    EXPECT_FALSE(IoIs32bitProcess(nullptr));
    EXPECT_TRUE(IoIs32bitProcess(irp));
    IoFreeIrp(irp);
    sim::io::DestroyProcess(host);
}

}  // namespace
