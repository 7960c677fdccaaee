// The UAC 1.0 device on the simulated machine with the driver's own adapter and HAL: the engines the
// descriptor walk builds are USB streams, and the tests reach them as clients do, through
// StreamClients. Test clients play a per-channel ramp into the render stream or collect what the
// capture stream hands them.
#pragma once

#include "engine/adapter_machine.h"

#include "driver/engine/stream/UsbAudioStream.h"

#include <sim/machine.h>
#include <sim/usb_audio.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace stream_test {

// The value a ramp puts into frame n, channel c, wrapped to the container and sign-extended.
inline int32_t RampValue(uint32_t base, uint64_t n, unsigned channel, unsigned containerBytes) {
    const unsigned bits = containerBytes * 8;
    const uint32_t raw = static_cast<uint32_t>(base + n + channel * 0x100u) & ((bits == 32 ? 0 : (1u << bits)) - 1u);
    const uint32_t sign = 1u << (bits - 1);
    return static_cast<int32_t>((raw ^ sign) - sign);
}

// One consumer of a stream. Render: writes its ramp (starting at Base) into every buffer it owns.
// Capture: keeps channel 0 of every frame it is handed while it owns the stream.
class TestClient {
public:
    TestClient(StreamClients* Clients, ClientKind Kind, uint32_t Base = 0) : m_Clients(Clients), m_Kind(Kind), m_Base(Base) {}
    ~TestClient() { EXPECT_EQ(m_Id, nullptr) << "a test client was left registered"; }

    NTSTATUS Register(const WAVEFORMATEXTENSIBLE& Format, ULONG TransferMs = 10, ULONG Count = 4) {
        m_Format = Format;
        WAVEFORMATEXTENSIBLE copy = Format;
        return m_Clients->RegisterClient(static_cast<ULONG>(m_Kind), &copy.Format, TransferMs, Count, Callback, this, &m_Id);
    }
    NTSTATUS SetFormat(ULONG* Frame = nullptr) {
        ULONG ms = 0;
        ULONG frame = 0;
        const NTSTATUS status = m_Clients->SetClientFormat(m_Id, &ms, &frame);
        if (Frame != nullptr) *Frame = frame;
        m_LastFrame = frame;
        return status;
    }
    NTSTATUS Start() {
        ULONG ms = 0;
        return m_Clients->StartClient(m_Id, m_LastFrame + 2, &ms, nullptr);
    }
    // Register, SetFormat and Start in a row: a client streaming in Format. The first failure.
    NTSTATUS Begin(const WAVEFORMATEXTENSIBLE& Format, ULONG TransferMs = 10, ULONG Count = 4) {
        NTSTATUS status = Register(Format, TransferMs, Count);
        if (NT_SUCCESS(status)) status = SetFormat();
        if (NT_SUCCESS(status)) status = Start();
        return status;
    }
    NTSTATUS Stop() { return m_Clients->StopClient(m_Id, nullptr); }
    NTSTATUS Close() { return m_Clients->CloseClient(m_Id); }
    NTSTATUS Unregister() {
        const NTSTATUS status = m_Clients->UnregisterClient(m_Id);
        if (NT_SUCCESS(status)) m_Id = nullptr;
        return status;
    }
    // Stop, close and unregister, whatever state the client is in.
    void Leave() {
        if (m_Id == nullptr) return;
        Stop();
        Close();
        EXPECT_EQ(Unregister(), STATUS_SUCCESS);
    }

    // Render: channels from Channel on carry silence instead of their ramp.
    void SilenceFrom(unsigned Channel) { m_SilentFrom = Channel; }
    // Render: Value(frame, channel) instead of the ramp (a sample of the container, sign-extended).
    void Content(std::function<int32_t(uint64_t, unsigned)> Value) { m_Content = std::move(Value); }

    PVOID Id() const { return m_Id; }
    uint64_t FramesWritten() const { return m_Written.load(); }
    uint64_t FormatChanges() const { return m_FormatChanges.load(); }
    uint64_t OwnedFormatChanges() const { return m_OwnedFormatChanges.load(); }
    uint64_t TransfersDone() const { return m_TransfersDone.load(); }
    std::vector<int32_t> Captured() {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Captured;
    }

private:
    static void Callback(PVOID Context, PVOID Argument1, PVOID) {
        auto* self = static_cast<TestClient*>(Context);
        auto* notice = static_cast<StreamNotifyRecord*>(Argument1);
        const bool mine = notice->Owner != nullptr && notice->Owner->Registration == self->m_Id;
        switch (static_cast<StreamNotifyKind>(notice->Kind)) {
        case StreamNotifyKind::FillRenderBuffer:
            if (mine) self->Fill(static_cast<UCHAR*>(notice->FirstValue.Data), notice->SecondValue);
            break;
        case StreamNotifyKind::CaptureData:
            if (mine) self->Collect(static_cast<const UCHAR*>(notice->FirstValue.Data), notice->SecondValue);
            break;
        case StreamNotifyKind::FormatChanged:
            ++self->m_FormatChanges;
            if (mine && (notice->FirstValue.Shape.Milliseconds & StreamFormatChangedFlag) != 0) ++self->m_OwnedFormatChanges;
            break;
        case StreamNotifyKind::TransferDone:
            if (mine) ++self->m_TransfersDone;
            break;
        }
    }
    void Fill(UCHAR* Data, ULONG Bytes) {
        const unsigned channels = m_Format.Format.nChannels;
        const unsigned container = m_Format.Format.wBitsPerSample / 8;
        const ULONG frames = Bytes / m_Format.Format.nBlockAlign;
        uint64_t n = m_Written.load();
        for (ULONG f = 0; f < frames; ++f, ++n) {
            for (unsigned c = 0; c < channels; ++c) {
                uint32_t v = c < m_SilentFrom ? static_cast<uint32_t>(RampValue(m_Base, n, c, container)) : 0;
                if (m_Content) v = static_cast<uint32_t>(m_Content(n, c));
                for (unsigned i = 0; i < container; ++i) *Data++ = static_cast<UCHAR>(v >> (8 * i));
            }
        }
        m_Written.store(n);
    }
    void Collect(const UCHAR* Data, ULONG Bytes) {
        const unsigned container = m_Format.Format.wBitsPerSample / 8;
        const ULONG frames = Bytes / m_Format.Format.nBlockAlign;
        std::lock_guard<std::mutex> guard(m_Lock);
        for (ULONG f = 0; f < frames; ++f) {
            const UCHAR* s = Data + f * m_Format.Format.nBlockAlign;
            uint32_t v = 0;
            for (unsigned i = 0; i < container; ++i) v |= uint32_t(s[i]) << (8 * i);
            const uint32_t sign = 1u << (container * 8 - 1);
            m_Captured.push_back(static_cast<int32_t>(((v & ((container == 4 ? 0 : 1u << (container * 8)) - 1u)) ^ sign) - sign));
        }
    }

    StreamClients* m_Clients;
    ClientKind m_Kind;
    uint32_t m_Base;
    unsigned m_SilentFrom = ~0u;
    std::function<int32_t(uint64_t, unsigned)> m_Content;
    PVOID m_Id = nullptr;
    ULONG m_LastFrame = 0;
    WAVEFORMATEXTENSIBLE m_Format{};
    std::atomic<uint64_t> m_Written{0};
    std::atomic<uint64_t> m_FormatChanges{0};
    std::atomic<uint64_t> m_OwnedFormatChanges{0};
    std::atomic<uint64_t> m_TransfersDone{0};
    std::mutex m_Lock;
    std::vector<int32_t> m_Captured;
};

// The catalog device "uac1" with the driver's adapter and UAC 1.0 HAL.
class StreamMachine : public adapter_test::AdapterMachine {
protected:
    static constexpr uint8_t kRenderInterface = 1;
    static constexpr uint8_t kCaptureInterface = 2;

    void TearDown() override {
        ReleaseStreams();
        AdapterMachine::TearDown();
    }
    NTSTATUS StartDevice(std::string_view device = "uac1") {
        Plug(device);
        return Start();
    }
    void ReleaseStreams() {
        for (UsbAudioStream*& stream : m_streams) {
            if (stream != nullptr) static_cast<StreamClients*>(stream)->Release();
            stream = nullptr;
        }
    }
    // The USB stream behind engine Index, with a reference the fixture drops.
    UsbAudioStream* Stream(ULONG Index) {
        if (m_streams[Index] != nullptr) return m_streams[Index];
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(m_common->GetStreamEngine(Index, &engine)) || engine == nullptr) return nullptr;
        StreamClients* clients = nullptr;
        if (!NT_SUCCESS(engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&clients)))) return nullptr;
        m_streams[Index] = static_cast<UsbAudioStream*>(clients);
        return m_streams[Index];
    }
    // A format of the engine with this rate and sample width (mask 0 or not, as asked).
    static WAVEFORMATEXTENSIBLE FindFormat(StreamEngine* Engine, ULONG Rate, WORD Bits, bool Masked = true) {
        for (ULONG i = 0; i < Engine->GetFormatCount(); ++i) {
            WAVEFORMATEXTENSIBLE format{};
            if (NT_SUCCESS(Engine->GetFormat(i, &format)) && format.Format.nSamplesPerSec == Rate &&
                format.Format.wBitsPerSample == Bits && (format.dwChannelMask != 0) == Masked) {
                return format;
            }
        }
        ADD_FAILURE() << "no format " << Rate << " Hz " << Bits << " bits";
        return {};
    }
    sim::usb::AudioFunction& Audio() { return *sim::usb::DeviceOf(m_port).Audio(); }
    static bool RunFor(sim::machine::Time time) {
        sim::machine::RunFor(time);
        return true;
    }

    UsbAudioStream* m_streams[2] = {};
};

}  // namespace stream_test
