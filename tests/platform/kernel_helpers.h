// Small helpers for tests of the simulated kernel.
#pragma once

#include <gtest/gtest.h>
#include <sim/machine.h>
#include <win/kernel.h>

#include <functional>

namespace kernel_test {

using sim::machine::kMillisecond;
using sim::machine::kSecond;
using sim::machine::Time;

inline LARGE_INTEGER Relative(Time t) {
    LARGE_INTEGER value;
    value.QuadPart = -t;
    return value;
}

inline LARGE_INTEGER AbsoluteIn(Time t) {
    LARGE_INTEGER value;
    KeQuerySystemTime(&value);
    value.QuadPart += t;
    return value;
}

inline NTSTATUS Wait(PVOID object, Time timeout) {
    LARGE_INTEGER value = Relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &value);
}

inline NTSTATUS Poll(PVOID object) { return Wait(object, 0); }

inline void Delay(Time t) {
    LARGE_INTEGER value = Relative(t);
    KeDelayExecutionThread(KernelMode, FALSE, &value);
}

// Waits for a thread object to be signalled (the thread ended) and drops the reference.
inline void Join(PKTHREAD thread) {
    ASSERT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
}

inline PKTHREAD Start(std::function<void()> body) {
    PKTHREAD thread = sim::machine::StartThread("test thread", std::move(body));
    EXPECT_NE(thread, nullptr);
    return thread;
}

}  // namespace kernel_test
