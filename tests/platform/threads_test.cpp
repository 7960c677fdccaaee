// System threads: creation, handles and thread objects, termination, priorities.
#include "kernel_helpers.h"

#include <atomic>

using namespace kernel_test;

namespace {

struct ThreadContext {
    bool terminateEarly;
    std::atomic<bool> ran{false};
    std::atomic<bool> ranPastTerminate{false};
    std::atomic<PKTHREAD> self{nullptr};
    std::atomic<KIRQL> irql{HIGH_LEVEL};
};

void ThreadRoutine(PVOID context) {
    auto* c = static_cast<ThreadContext*>(context);
    c->self = KeGetCurrentThread();
    c->irql = KeGetCurrentIrql();
    Delay(10 * kMillisecond);
    c->ran = true;
    if (c->terminateEarly) {
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    c->ranPastTerminate = c->terminateEarly;
}

class SystemThread : public testing::TestWithParam<bool> {};

TEST_P(SystemThread, EndSignalsTheThreadObject) {
    ThreadContext context{.terminateEarly = GetParam()};
    const size_t running = sim::machine::SystemThreadsRunning();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadRoutine, &context),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    auto* thread = static_cast<PKTHREAD>(object);
    EXPECT_EQ(KeSetPriorityThread(thread, 24), 8);
    EXPECT_EQ(sim::machine::ThreadPriority(thread), 24);
    EXPECT_EQ(sim::machine::SystemThreadsRunning(), running + 1);
    EXPECT_EQ(Poll(thread), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_TRUE(context.ran.load());
    EXPECT_FALSE(context.ranPastTerminate.load());
    EXPECT_EQ(context.self.load(), thread);
    EXPECT_EQ(context.irql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::machine::SystemThreadsRunning(), running);
    EXPECT_EQ(Poll(thread), STATUS_WAIT_0);  // stays signalled
    ObDereferenceObject(thread);
}

INSTANTIATE_TEST_SUITE_P(Kernel, SystemThread, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "PsTerminateSystemThread" : "ReturnFromRoutine";
                         });

TEST(SystemThreadHandle, WrongTypeAndClosedHandleAreRefused) {
    ThreadContext context{.terminateEarly = false};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadRoutine, &context),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    Join(static_cast<PKTHREAD>(object));
}

TEST(SystemThreadDump, NamesEachThreadAndItsWait) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PKTHREAD waiter = Start([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    Delay(kMillisecond);
    std::string dump = sim::machine::DumpThreads();
    EXPECT_NE(dump.find("main thread"), std::string::npos) << dump;
    EXPECT_NE(dump.find("DPC thread"), std::string::npos) << dump;
    EXPECT_NE(dump.find("test thread"), std::string::npos) << dump;
    EXPECT_NE(dump.find("notification event"), std::string::npos) << dump;
    EXPECT_NE(dump.find("never signalled"), std::string::npos) << dump;
    KeSetEvent(&event, 0, FALSE);
    Join(waiter);
}

}  // namespace
