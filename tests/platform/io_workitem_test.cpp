// Work items run at PASSIVE_LEVEL on worker threads, whatever IRQL queued them; one that waits
// for another does not hold the other up.
#include "io_helpers.h"

#include "support/bugcheck.h"

using namespace io_test;

namespace {

struct Item {
    PIO_WORKITEM item = nullptr;
    KEVENT ran;
    KEVENT* waitFor = nullptr;
    KIRQL irql = 0xFF;
    PKTHREAD thread = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

VOID RunItem(PDEVICE_OBJECT device, PVOID context) {
    auto* item = static_cast<Item*>(context);
    item->irql = KeGetCurrentIrql();
    item->thread = KeGetCurrentThread();
    item->device = device;
    if (item->waitFor != nullptr) KeWaitForSingleObject(item->waitFor, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&item->ran, IO_NO_INCREMENT, FALSE);
}

class WorkItems : public testing::Test {
protected:
    void SetUp() override {
        m_device = m_stack.Push([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
        for (Item& item : m_items) {
            item.item = IoAllocateWorkItem(m_device);
            ASSERT_NE(item.item, nullptr);
            KeInitializeEvent(&item.ran, NotificationEvent, FALSE);
        }
    }
    void TearDown() override {
        for (Item& item : m_items) IoFreeWorkItem(item.item);
    }

    DeviceStack m_stack;
    PDEVICE_OBJECT m_device = nullptr;
    Item m_items[2];
};

TEST_F(WorkItems, RunAtPassiveLevelOnAWorkerWhenQueuedAtDispatchLevel) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(m_items[0].item, RunItem, DelayedWorkQueue, &m_items[0]);
    KeLowerIrql(old);
    KeWaitForSingleObject(&m_items[0].ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(m_items[0].irql, PASSIVE_LEVEL);
    EXPECT_NE(m_items[0].thread, KeGetCurrentThread());
    EXPECT_EQ(m_items[0].device, m_device);
}

TEST_F(WorkItems, OneWaitingForAnotherDoesNotBlockIt) {
    m_items[0].waitFor = &m_items[1].ran;
    IoQueueWorkItem(m_items[0].item, RunItem, DelayedWorkQueue, &m_items[0]);
    IoQueueWorkItem(m_items[1].item, RunItem, DelayedWorkQueue, &m_items[1]);
    KeWaitForSingleObject(&m_items[0].ran, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&m_items[1].ran), 1);
    // Queued again after it ran: an item may be reused.
    KeClearEvent(&m_items[1].ran);
    IoQueueWorkItem(m_items[1].item, RunItem, DelayedWorkQueue, &m_items[1]);
    KeWaitForSingleObject(&m_items[1].ran, Executive, KernelMode, FALSE, nullptr);
}

// Every worker busy: the next item stays queued, and freeing it is a bug check.
TEST_F(WorkItems, FreedWhileQueuedIsABugCheck) {
    auto freeQueued = [&] {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        static Item blockers[8];
        for (Item& blocker : blockers) {
            blocker.item = IoAllocateWorkItem(m_device);
            KeInitializeEvent(&blocker.ran, NotificationEvent, FALSE);
            blocker.waitFor = &never;
            IoQueueWorkItem(blocker.item, RunItem, DelayedWorkQueue, &blocker);
        }
        IoQueueWorkItem(m_items[0].item, RunItem, DelayedWorkQueue, &m_items[0]);
        IoFreeWorkItem(m_items[0].item);
    };
    EXPECT_BUGCHECK(freeQueued(), "DRIVER_VERIFIER_IOMANAGER_VIOLATION", "while it is queued");
}

}  // namespace
