// libFuzzer target: the private ASIO interface as any process can reach it. The driver runs on an
// ASIO device for the whole run; each input is a sequence of steps by a 64-bit and a 32-bit
// process: open and close handles, send any code with any lengths (0 to 4 KiB) and bytes through
// the I/O manager (handles in the input replaced by a valid, closed, wrong-type, foreign or kernel
// handle), and D3/D0 cycles (a STOP may arrive meanwhile). After every request: Information within
// a non-zero output length, no system-buffer byte in the small fixed answers. After every step: an
// owner exactly while rings exist, and a STOP held below D0 only for an owner that streams. After
// the input: every handle closed (the processes hold as many as before), and no ring, user mapping,
// owner or client left.
//
// Steps (one byte of kind, then its bytes):
//   0 p        open a handle in process p & 1 (at most 4 per process)
//   1 p h      close handle h of process p
//   2 p h c i o k  request: code index c, input length i and output length o (2 bytes each,
//              modulo 4097), handle kind k for the first bytes of the input, then i input bytes
//   3 s        power cycle D3 then D0; s & 1: a STOP from process 0's first handle while below D0
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/asio/AsioProtocol.h"
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"

#include <sim/io.h>
#include <sim/machine.h>
#include <sim/mm.h>
#include <sim/pnp.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/kernel.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "asio ioctl: %s\n", what);
    std::abort();
}

constexpr ULONG kCodes[] = {
    IOCTL_ASIO_GET_DEVICE_NAME, IOCTL_ASIO_GET_CHANNELS,      IOCTL_ASIO_GET_CHANNEL_INFO, IOCTL_ASIO_GET_BIT_DEPTHS,
    IOCTL_ASIO_GET_LATENCY_CHOICES, IOCTL_ASIO_SET_NOTIFY_EVENT, IOCTL_ASIO_GET_STATE,     IOCTL_ASIO_SET_BIT_DEPTH,
    IOCTL_ASIO_SET_LATENCY,     IOCTL_ASIO_GET_LATENCIES,     IOCTL_ASIO_GET_SAMPLE_RATE,  IOCTL_ASIO_CAN_SAMPLE_RATE,
    IOCTL_ASIO_SET_SAMPLE_RATE, IOCTL_ASIO_GET_BUFFER_SIZE,   IOCTL_ASIO_CREATE_BUFFERS,   IOCTL_ASIO_DISPOSE_BUFFERS,
    IOCTL_ASIO_START,           IOCTL_ASIO_STOP,              IOCTL_ASIO_CLEAR_NOTIFY_EVENT, IOCTL_ASIO_CAN_DO_IO_FORMAT,
    IOCTL_ASIO_SET_IO_FORMAT,   IOCTL_ASIO_GET_IO_FORMAT,     0x1DA048,                    0x1D0000,
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
constexpr size_t kMaxHandles = 4;
constexpr ULONG kMaxLength = 4096;

struct Machine {
    sim::pnp::Driver* driver = nullptr;
    sim::pnp::DeviceNode* node = nullptr;
    PEPROCESS process[2] = {};
    HANDLE events[2] = {};      // a valid event of each process
    HANDLE closedEvent[2] = {};  // a handle value that was closed
    // A value of the kernel's handle table, which user requests must never reach.
    HANDLE kernelEvent = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0xFFFFFFFF80000004ull));

    Machine() {
        if (!NT_SUCCESS(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &driver))) Fail("load");
        sim::usb::Port* port = sim::usb::PlugDevice(sim::usb::CreateCatalogDevice("uac1-klq864"));
        node = sim::usb::NodeOf(port);
        if (!NT_SUCCESS(sim::pnp::AddDevice(driver, node)) || !NT_SUCCESS(sim::pnp::StartDevice(node))) Fail("start");
        for (int p = 0; p < 2; ++p) {
            process[p] = sim::io::CreateProcess(p == 0 ? "host64" : "host32", p == 1);
            sim::io::ProcessScope scope(process[p]);
            events[p] = sim::io::CreateUserEvent(false, false);
            closedEvent[p] = sim::io::CreateUserEvent(false, false);
            sim::io::CloseUserHandle(closedEvent[p]);
        }
    }
    UsbAudioAdapter* Adapter() const {
        PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(node)->AttachedDevice;
        return static_cast<UsbAudioAdapter*>(GetAdapterExtension(functional)->Adapter);
    }
};

Machine& TheMachine() {
    static Machine* machine = new Machine();
    return *machine;
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
    bool Empty() const { return m_At >= m_Size; }
    uint8_t Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
    ULONG Length() {
        const ULONG low = Byte();
        return (low | ULONG(Byte()) << 8) % (kMaxLength + 1);
    }
    void Take(uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = Byte();
    }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_At = 0;
};

// Small fixed answers whose values can never hold the system buffer's poison byte.
bool FixedAnswer(ULONG code) {
    return code == IOCTL_ASIO_GET_STATE || code == IOCTL_ASIO_GET_SAMPLE_RATE || code == IOCTL_ASIO_GET_IO_FORMAT ||
           code == IOCTL_ASIO_GET_LATENCIES || code == IOCTL_ASIO_GET_CHANNELS;
}

void Request(Machine& m, std::vector<HANDLE>* handles, int p, Input& in) {
    std::vector<HANDLE>& mine = handles[p];
    const size_t h = in.Byte();
    const ULONG code = kCodes[in.Byte() % kCodeCount];
    const ULONG inLength = in.Length();
    const ULONG outLength = in.Length();
    const uint8_t kind = in.Byte();
    std::vector<uint8_t> input(inLength);
    in.Take(input.data(), input.size());
    // A handle where START and SET_NOTIFY_EVENT read one.
    HANDLE value = nullptr;
    switch (kind % 6) {
    case 1: value = m.events[p]; break;
    case 2: value = m.closedEvent[p]; break;
    case 3: value = mine.empty() ? nullptr : mine.front(); break;  // a file: the wrong type
    case 4: value = m.events[1 - p]; break;                          // another process's
    case 5: value = m.kernelEvent; break;
    default: break;
    }
    if (kind % 6 != 0 && !input.empty()) {
        const ULONGLONG wide = reinterpret_cast<ULONG_PTR>(value);
        std::memcpy(input.data(), &wide, std::min<size_t>(input.size(), p == 1 ? 4 : 8));
    }
    if (mine.empty()) return;
    std::vector<uint8_t> output(outLength, 0x5A);
    ULONG_PTR information = 0;
    sim::io::ProcessScope scope(m.process[p]);
    const NTSTATUS status = sim::io::DeviceIoControl(mine[h % mine.size()], code, input.empty() ? nullptr : input.data(),
                                                     inLength, output.empty() ? nullptr : output.data(), outLength,
                                                     &information);
    if (outLength != 0 && information > outLength) Fail("Information beyond the output");
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW && information != 0) Fail("Information on failure");
    if (FixedAnswer(code) && NT_SUCCESS(status)) {
        for (ULONG_PTR i = 0; i < information; ++i) {
            if (output[i] == sim::io::kSystemBufferPoison) Fail("system buffer byte in an answer");
        }
    }
}

void PowerCycle(Machine& m, std::vector<HANDLE>* handles, bool stop) {
    sim::pnp::SetDevicePower(m.node, PowerDeviceD3);
    PKTHREAD stopper = nullptr;
    if (stop && !handles[0].empty()) {
        HANDLE file = handles[0].front();
        stopper = sim::machine::StartThread("asio stop", [&m, file] {
            sim::io::ProcessScope scope(m.process[0]);
            ULONG_PTR information = 0;
            sim::io::DeviceIoControl(file, IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0, &information);
        });
        sim::machine::RunFor(2 * sim::machine::kMillisecond);
        // Only the owner's STOP waits for D0; a STOP that stops nothing never takes the slot.
        if (m.Adapter()->AsioStopHeld() && !m.Adapter()->AsioOwnerStreaming()) Fail("a STOP held for a client that owns nothing");
    }
    sim::pnp::SetDevicePower(m.node, PowerDeviceD0);
    if (stopper != nullptr) {
        KeWaitForSingleObject(stopper, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(stopper);
    }
}

// After every step: an owner exists exactly while rings do (no failed CREATE_BUFFERS leaves one).
void CheckOwner(Machine& m) {
    UsbAudioAdapter* adapter = m.Adapter();
    bool rings = false;
    for (ULONG i = 0; i < adapter->AsioRingCount(); ++i) rings = rings || adapter->AsioRing(i)->Ring != nullptr;
    if (adapter->AsioOwned() != rings) Fail(rings ? "rings without an owner" : "an owner without rings");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Machine& m = TheMachine();
    const size_t handlesBefore[2] = {sim::io::HandleCount(m.process[0]), sim::io::HandleCount(m.process[1])};
    std::vector<HANDLE> handles[2];
    std::vector<sim::pnp::InterfaceInfo> links = sim::pnp::Interfaces(&GUID_KLASIOPrivateInterface);
    if (links.empty()) Fail("no ASIO interface");
    Input in(data, size);
    for (int steps = 0; !in.Empty() && steps < 64; ++steps) {
        const uint8_t step = in.Byte() % 4;
        const int p = in.Byte() & 1;
        if (step == 0) {
            if (handles[p].size() >= kMaxHandles) continue;
            sim::io::ProcessScope scope(m.process[p]);
            HANDLE file = nullptr;
            if (NT_SUCCESS(sim::io::OpenFileHandle(links.front().symbolicLink, &file))) handles[p].push_back(file);
        } else if (step == 1) {
            const size_t h = in.Byte();
            if (handles[p].empty()) continue;
            sim::io::ProcessScope scope(m.process[p]);
            const size_t at = h % handles[p].size();
            sim::io::CloseUserHandle(handles[p][at]);
            handles[p].erase(handles[p].begin() + static_cast<std::ptrdiff_t>(at));
        } else if (step == 2) {
            Request(m, handles, p, in);
        } else {
            PowerCycle(m, handles, (p & 1) != 0);
        }
        CheckOwner(m);
    }
    for (int p = 0; p < 2; ++p) {
        sim::io::ProcessScope scope(m.process[p]);
        for (HANDLE file : handles[p]) sim::io::CloseUserHandle(file);
    }
    UsbAudioAdapter* adapter = m.Adapter();
    if (sim::mm::UserMappingCount() != 0) Fail("a user mapping outlived its owner");
    for (ULONG i = 0; i < adapter->AsioRingCount(); ++i) {
        if (adapter->AsioRing(i)->Ring != nullptr || adapter->AsioRing(i)->Client != nullptr) Fail("a ring outlived its owner");
    }
    if (adapter->AsioStreaming() || adapter->AsioStopHeld()) Fail("streaming after the last close");
    for (int p = 0; p < 2; ++p) {
        if (sim::io::HandleCount(m.process[p]) != handlesBefore[p]) Fail("a handle outlived the input");
    }
    return 0;
}
