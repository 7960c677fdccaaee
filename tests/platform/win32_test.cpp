// Win32 user mode on the simulated machine: device I/O control through a bus device with the
// status-to-error mapping, events and waits, user threads and the clock, injected failures.
#include <sim/io.h>
#include <sim/machine.h>
#include <sim/user.h>
#include <win/io.h>
#include <win/win32.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr DWORD kOverflow = 0x1D6000;  // METHOD_BUFFERED codes
constexpr DWORD kRefused = 0x1D6004;
constexpr DWORD kAnswer = 0x1D6008;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return sim::io::Finish(device, irp, STATUS_SUCCESS);
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case kOverflow:
            return sim::io::Finish(device, irp, STATUS_BUFFER_OVERFLOW, 12);
        case kRefused:
            return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);
        case kAnswer:
            if (outLength < 4) return sim::io::Finish(device, irp, STATUS_BUFFER_TOO_SMALL);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 4);
            return sim::io::Finish(device, irp, STATUS_SUCCESS, 4);
        default:
            return sim::io::Finish(device, irp, STATUS_NOT_SUPPORTED);
    }
}

class Win32Test : public ::testing::Test {
protected:
    void SetUp() override {
        m_device = sim::io::CreateBusDevice(Dispatch, sim::io::Completion::Asynchronous, u"\\Device\\Win32Test");
        m_process = sim::user::CreateProcess("win32 test");
    }
    void TearDown() override {
        EXPECT_EQ(sim::user::DestroyProcess(m_process), 0u);
        sim::io::DeleteBusDevice(m_device);
        sim::user::ClearFailures();
    }
    PDEVICE_OBJECT m_device = nullptr;
    sim::user::Process* m_process = nullptr;
};

TEST_F(Win32Test, DeviceIoControlMapsStatusesToErrors) {
    sim::user::ProcessScope scope(m_process);
    HANDLE file = CreateFileA("\\\\.\\GLOBALROOT\\Device\\Win32Test", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct Case {
        DWORD code;
        DWORD outLength;
        BOOL result;
        DWORD error;
        DWORD bytes;
    };
    const Case cases[] = {
        {kOverflow, 0, FALSE, ERROR_MORE_DATA, 12},
        {kRefused, 0, FALSE, ERROR_INVALID_PARAMETER, 0},
        {kAnswer, 2, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
        {kAnswer, 8, TRUE, ERROR_SUCCESS, 4},
        {0x1D600C, 0, FALSE, ERROR_NOT_SUPPORTED, 0},
    };
    for (const Case& c : cases) {
        char out[8] = {};
        DWORD bytes = 99;
        SetLastError(0);
        EXPECT_EQ(DeviceIoControl(file, c.code, nullptr, 0, c.outLength != 0 ? out : nullptr, c.outLength, &bytes,
                                  nullptr),
                  c.result)
            << std::hex << c.code;
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.code;
        EXPECT_EQ(bytes, c.bytes) << std::hex << c.code;
    }
    EXPECT_EQ(sim::user::OpenHandleCount(m_process), 1u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateFileA("\\\\.\\GLOBALROOT\\Device\\Missing", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(Win32Test, WaitAnyTakesLowestIndexAndConsumesAutoReset) {
    sim::user::ProcessScope scope(m_process);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE set[3] = {other, automatic, manual};
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(manual);
    SetEvent(automatic);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);  // consumed
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);  // manual stays set
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 5), WAIT_TIMEOUT);
    for (HANDLE h : set) CloseHandle(h);
}

DWORD WINAPI SleepThenSignal(LPVOID parameter) {
    Sleep(30);
    SetEvent(static_cast<HANDLE>(parameter));
    return 7;
}

TEST_F(Win32Test, ThreadsRunInTheProcessOnTheMachineClock) {
    sim::user::ProcessScope scope(m_process);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD start = timeGetTime();
    HANDLE thread = CreateThread(nullptr, 0, SleepThenSignal, event, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_GE(timeGetTime() - start, 30u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    sim::machine::RunUntil([this] { return sim::user::RunningThreadCount(m_process) == 0; }, sim::machine::kSecond);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST_F(Win32Test, InjectedFailuresHitTheNthCall) {
    sim::user::ProcessScope scope(m_process);
    sim::user::FailNth(sim::user::Failure::CreateEvent, 2);
    HANDLE first = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    sim::user::FailNth(sim::user::Failure::CreateThread, 1);
    EXPECT_EQ(CreateThread(nullptr, 0, SleepThenSignal, first, 0, nullptr), nullptr);
    EXPECT_FALSE(sim::user::FailureArmed());
    CloseHandle(first);
}

TEST_F(Win32Test, CriticalSectionIsRecursiveForItsOwner) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_EQ(section.RecursionCount, 2);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
    EXPECT_EQ(sim::user::CriticalSectionCount(), 0u);
}

}  // namespace
