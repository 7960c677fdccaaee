// Processes: handle tables of their own, user events resolved by ObReferenceObjectByHandle in the
// caller's process, process attachment, a process's death, and buffered requests as the I/O
// manager sends them from a process.
#include "io_helpers.h"

#include <sim/io.h>
#include <win/kernel.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace io_test;

namespace {

// Two user processes, one of them 32-bit, destroyed at the end of the test.
struct Processes {
    PEPROCESS host = sim::io::CreateProcess("host", false);
    PEPROCESS other = sim::io::CreateProcess("other32", true);
    ~Processes() {
        sim::io::DestroyProcess(host);
        sim::io::DestroyProcess(other);
    }
};

struct HandleCase {
    const char* name;
    // Makes the handle to look up; runs in the system process, may enter processes.
    std::function<HANDLE(Processes&)> make;
    ACCESS_MASK desired;
    POBJECT_TYPE* type;
    KPROCESSOR_MODE mode;
    NTSTATUS expected;
};

HANDLE EventIn(PEPROCESS process, ACCESS_MASK access = EVENT_ALL_ACCESS) {
    sim::io::ProcessScope scope(process);
    return sim::io::CreateUserEvent(false, false, access);
}

class UserHandles : public testing::TestWithParam<HandleCase> {};

TEST_P(UserHandles, ResolveOnlyInTheCallersProcess) {
    const HandleCase& c = GetParam();
    Processes p;
    HANDLE handle = c.make(p);
    std::optional<sim::io::ProcessScope> scope(std::in_place, p.host);
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION info{};
    EXPECT_EQ(ObReferenceObjectByHandle(handle, c.desired, *c.type, c.mode, &object, &info), c.expected);
    if (NT_SUCCESS(c.expected)) {
        ASSERT_NE(object, nullptr);
        // The object is the process's event: setting it wakes a wait through the handle.
        KeSetEvent(static_cast<PKEVENT>(object), 8, FALSE);
        LARGE_INTEGER none{.QuadPart = 0};
        EXPECT_EQ(sim::io::WaitForUserObject(handle, &none), STATUS_SUCCESS);
        ObDereferenceObject(object);
    } else {
        EXPECT_EQ(object, nullptr);
    }
    scope.reset();
    // The processes' handles close with them; a kernel handle is closed here.
    ZwClose(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UserHandles,
    testing::Values(
        HandleCase{"OwnEvent", [](Processes& p) { return EventIn(p.host); }, EVENT_MODIFY_STATE, ExEventObjectType,
                   UserMode, STATUS_SUCCESS},
        HandleCase{"Closed",
                   [](Processes& p) {
                       HANDLE h = EventIn(p.host);
                       sim::io::ProcessScope scope(p.host);
                       EXPECT_EQ(sim::io::CloseUserHandle(h), STATUS_SUCCESS);
                       return h;
                   },
                   EVENT_MODIFY_STATE, ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
        HandleCase{"WrongType", [](Processes& p) { return EventIn(p.host); }, EVENT_MODIFY_STATE, PsThreadType,
                   UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        HandleCase{"Foreign", [](Processes& p) { return EventIn(p.other); }, EVENT_MODIFY_STATE, ExEventObjectType,
                   UserMode, STATUS_INVALID_HANDLE},
        HandleCase{"KernelHandleFromUserMode", [](Processes&) { return sim::io::CreateUserEvent(false, false); },
                   EVENT_MODIFY_STATE, ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
        HandleCase{"AccessNotGranted", [](Processes& p) { return EventIn(p.host, SYNCHRONIZE); }, EVENT_MODIFY_STATE,
                   ExEventObjectType, UserMode, STATUS_ACCESS_DENIED},
        HandleCase{"KernelModeSkipsTheAccessCheck", [](Processes& p) { return EventIn(p.host, SYNCHRONIZE); },
                   EVENT_MODIFY_STATE, ExEventObjectType, KernelMode, STATUS_SUCCESS},
        HandleCase{"GenericAllGrantsEverything", [](Processes& p) { return EventIn(p.host, GENERIC_ALL); },
                   EVENT_MODIFY_STATE, ExEventObjectType, UserMode, STATUS_SUCCESS}),
    [](const testing::TestParamInfo<HandleCase>& info) { return info.param.name; });

TEST(UserHandles, KernelHandlesNeedKernelModeAndUserHandlesAProcess) {
    HANDLE kernel = sim::io::CreateUserEvent(true, false);  // the system process's table is the kernel's
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(kernel, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    EXPECT_EQ(ObReferenceObjectByHandle(kernel, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);

    // A user handle named by a system thread that is not attached to the process resolves nowhere.
    Processes p;
    HANDLE user = EventIn(p.host);
    EXPECT_EQ(ObReferenceObjectByHandle(user, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    // Handles of a 32-bit process fit in 32 bits.
    HANDLE narrow = EventIn(p.other);
    EXPECT_LT(reinterpret_cast<uintptr_t>(narrow), uintptr_t{1} << 32);
}

// A long-lived process that opens and closes handles never fills its table: the 16,384th handle
// once stopped the machine although one handle was open. A closed value is not handed out again
// soon (a stale handle stays invalid), and the table is full only with every value open.
TEST(UserHandles, ALongLivedProcessReusesTheValuesOfClosedHandles) {
    Processes p;
    sim::io::ProcessScope scope(p.other);
    HANDLE kept = sim::io::CreateUserEvent(false, false);
    HANDLE closed = sim::io::CreateUserEvent(false, false);
    ASSERT_EQ(sim::io::CloseUserHandle(closed), STATUS_SUCCESS);
    for (int i = 0; i < 40000; ++i) {
        HANDLE h = sim::io::CreateUserEvent(false, false);
        ASSERT_NE(h, kept);
        if (i < 1000) {
            ASSERT_NE(h, closed) << "a closed value came back at once";
        }
        ASSERT_LT(reinterpret_cast<uintptr_t>(h), uintptr_t{1} << 32) << "a 32-bit process's handle";
        ASSERT_EQ(sim::io::CloseUserHandle(h), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim::io::HandleCount(p.other), 1u);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(kept, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    ASSERT_EQ(sim::io::CloseUserHandle(kept), STATUS_SUCCESS);
}

TEST(UserHandlesDeathTest, ATableWithEveryValueOpenStopsTheMachine) {
    EXPECT_DEATH(
        {
            Processes p;
            sim::io::ProcessScope scope(p.host);
            for (int i = 0; i < 0x4000; ++i) sim::io::CreateUserEvent(false, false);
        },
        "handle table [0-9]+ is full");
}

TEST(ProcessAttach, NestsAndSwitchesTheHandleTable) {
    Processes p;
    HANDLE event = EventIn(p.host);
    sim::io::ProcessScope scope(p.other);
    KAPC_STATE outer;
    KAPC_STATE inner;
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(p.host), &outer);
    EXPECT_EQ(PsGetCurrentProcess(), p.host);
    EXPECT_FALSE(IoIs32bitProcess(nullptr));
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
    KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(sim::io::SystemProcess()), &inner);
    EXPECT_EQ(PsGetCurrentProcess(), sim::io::SystemProcess());
    KeUnstackDetachProcess(&inner);
    EXPECT_EQ(PsGetCurrentProcess(), p.host);
    KeUnstackDetachProcess(&outer);
    EXPECT_EQ(PsGetCurrentProcess(), p.other);
    EXPECT_TRUE(IoIs32bitProcess(nullptr));
}

// A device that records, for each major function, the process the request ran in.
struct RecordingDevice {
    std::vector<std::pair<UCHAR, PEPROCESS>> seen;
    DeviceStack stack;
    RecordingDevice() {
        PDEVICE_OBJECT device = sim::io::CreateBusDevice(
            [this](PDEVICE_OBJECT self, PIRP irp) {
                seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction, PsGetCurrentProcess());
                return sim::io::Finish(self, irp, STATUS_SUCCESS);
            },
            Completion::Synchronous, u"\\Device\\KvProcessTest");
        EXPECT_NE(device, nullptr);
        m_device = device;
    }
    ~RecordingDevice() { sim::io::DeleteBusDevice(m_device); }
    PDEVICE_OBJECT m_device;
};

TEST(ProcessDeath, ClosesItsHandlesInItsOwnContext) {
    RecordingDevice device;
    PEPROCESS host = sim::io::CreateProcess("dying", false);
    ObReferenceObject(host);  // a driver may keep the process past its death
    PKEVENT event = nullptr;
    {
        sim::io::ProcessScope scope(host);
        HANDLE file = nullptr;
        ASSERT_EQ(sim::io::OpenFileHandle(u"\\Device\\KvProcessTest", &file), STATUS_SUCCESS);
        HANDLE e = sim::io::CreateUserEvent(false, false);
        ASSERT_EQ(ObReferenceObjectByHandle(e, SYNCHRONIZE, *ExEventObjectType, UserMode,
                                            reinterpret_cast<PVOID*>(&event), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(sim::io::HandleCount(host), 2u);
    }
    device.seen.clear();
    sim::io::DestroyProcess(host);
    ASSERT_EQ(device.seen.size(), 2u);
    EXPECT_EQ(device.seen[0].first, IRP_MJ_CLEANUP);
    EXPECT_EQ(device.seen[1].first, IRP_MJ_CLOSE);
    EXPECT_EQ(device.seen[0].second, host);
    EXPECT_EQ(device.seen[1].second, host);
    EXPECT_EQ(PsGetCurrentProcess(), sim::io::SystemProcess());
    // The event outlives the handle by the reference taken through it.
    EXPECT_EQ(KeSetEvent(event, 0, FALSE), 0);
    ObDereferenceObject(event);
    ObDereferenceObject(host);
}

TEST(ProcessDeath, ClosingTheLastHandleOfAFileClosesIt) {
    RecordingDevice device;
    PEPROCESS host = sim::io::CreateProcess("host", false);
    {
        sim::io::ProcessScope scope(host);
        HANDLE file = nullptr;
        ASSERT_EQ(sim::io::OpenFileHandle(u"\\Device\\KvProcessTest", &file), STATUS_SUCCESS);
        device.seen.clear();
        EXPECT_EQ(sim::io::CloseUserHandle(file), STATUS_SUCCESS);
        EXPECT_EQ(sim::io::CloseUserHandle(file), STATUS_INVALID_HANDLE);
    }
    ASSERT_EQ(device.seen.size(), 2u);
    EXPECT_EQ(device.seen[1].first, IRP_MJ_CLOSE);
    sim::io::DestroyProcess(host);
}

// Buffered device control: what the driver sees and what the caller gets back.
struct BufferedCase {
    const char* name;
    ULONG in;
    ULONG out;
    NTSTATUS status;
    ULONG_PTR information;
    ULONG copied;  // bytes of the caller's output buffer overwritten
};

class BufferedRequests : public testing::TestWithParam<BufferedCase> {};

TEST_P(BufferedRequests, CarryOneSystemBufferAndCopyBackInformationBytes) {
    const BufferedCase& c = GetParam();
    constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    std::vector<unsigned char> seen;
    PEPROCESS requestor = nullptr;
    bool is32bit = false;
    PDEVICE_OBJECT device = sim::io::CreateBusDevice(
        [&](PDEVICE_OBJECT self, PIRP irp) {
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
                return sim::io::Finish(self, irp, STATUS_SUCCESS);
            }
            auto* buffer = static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer);
            ULONG length = std::max(c.in, c.out);
            if (buffer != nullptr) {
                seen.assign(buffer, buffer + length);
                std::memset(buffer, 'w', length);
            }
            requestor = IoGetRequestorProcess(irp);
            is32bit = IoIs32bitProcess(irp) != FALSE;
            return sim::io::Finish(self, irp, c.status, c.information);
        },
        Completion::Asynchronous, u"\\Device\\KvBuffered");
    PEPROCESS host = sim::io::CreateProcess("host32", true);
    {
        sim::io::ProcessScope scope(host);
        HANDLE file = nullptr;
        ASSERT_EQ(sim::io::OpenFileHandle(u"\\Device\\KvBuffered", &file), STATUS_SUCCESS);
        std::vector<unsigned char> input(c.in, 'i');
        std::vector<unsigned char> output(c.out + 1, 'o');
        ULONG_PTR information = 0;
        EXPECT_EQ(sim::io::DeviceIoControl(file, kCode, input.data(), c.in, output.data(), c.out, &information),
                  c.status);
        EXPECT_EQ(information, c.information);
        for (ULONG i = 0; i <= c.out; ++i) EXPECT_EQ(output[i], i < c.copied ? 'w' : 'o') << "byte " << i;
        sim::io::CloseUserHandle(file);
    }
    // One buffer of max(in, out): the input, then poison where nothing was sent.
    ASSERT_EQ(seen.size(), std::max(c.in, c.out));
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], i < c.in ? 'i' : sim::io::kSystemBufferPoison) << "byte " << i;
    }
    EXPECT_EQ(requestor, host);
    EXPECT_TRUE(is32bit);
    sim::io::DestroyProcess(host);
    sim::io::DeleteBusDevice(device);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferedRequests,
    testing::Values(BufferedCase{"Success", 4, 16, STATUS_SUCCESS, 6, 6},
                    BufferedCase{"InputLongerThanOutput", 16, 4, STATUS_SUCCESS, 4, 4},
                    BufferedCase{"WarningCopiesToo", 0, 8, STATUS_BUFFER_OVERFLOW, 8, 8},
                    BufferedCase{"ErrorCopiesNothing", 2, 8, STATUS_INVALID_PARAMETER, 8, 0},
                    BufferedCase{"SizeQueryWithoutOutput", 0, 0, STATUS_BUFFER_OVERFLOW, 44, 0},
                    BufferedCase{"NoOutputNoCopy", 8, 0, STATUS_SUCCESS, 0, 0}),
    [](const testing::TestParamInfo<BufferedCase>& info) { return info.param.name; });

}  // namespace
