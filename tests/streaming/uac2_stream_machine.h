// The catalog's UAC 2.0 devices with the driver's adapter and the UAC 2.0 streams: a small HAL of
// the test builds the render stream on interface 1 and the capture stream on interface 2 with the
// catalog's formats (setting 1: 24 bits in 4 bytes, setting 2: 16 bits, stereo), behind a clock
// node that sets the device's clock source with SET CUR of its sampling frequency.
#pragma once

#include "streaming/stream_machine.h"

#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/uac2/Uac2Streams.h"

namespace stream_test {

constexpr ULONG kClockControlId = 7;
constexpr UCHAR kClockEntity = 40;

// The clock source's sample-rate control: SET CUR of CS_SAM_FREQ_CONTROL with 4 bytes of rate.
class FixtureClock : public SampleRateControl, public AudioNode {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_SampleRateControl, static_cast<SampleRateControl*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    FixtureClock(PUNKNOWN UnknownOuter, PUNKNOWN Adapter)
        : AudioNode(UnknownOuter, kClockControlId, NodeKindCode(NodeKind::SampleRate)), m_Adapter(Adapter) {}

    STDMETHODIMP GetRates(PULONG, PULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP GetRateCount(PULONG) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP SetRate(ULONG Rate) override {
        UsbTransport* transport = nullptr;
        NTSTATUS status = m_Adapter->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport));
        if (!NT_SUCCESS(status)) return status;
        UCHAR bytes[4] = {UCHAR(Rate), UCHAR(Rate >> 8), UCHAR(Rate >> 16), UCHAR(Rate >> 24)};
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST request{};
        request.Hdr.Length = sizeof(request);
        request.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
        request.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
        request.TransferBufferLength = sizeof(bytes);
        request.TransferBuffer = bytes;
        request.Request = 0x01;
        request.Value = 0x0100;
        request.Index = USHORT(kClockEntity << 8 | transport->GetControlInterfaceNumber());
        status = transport->SubmitUrbSync(reinterpret_cast<PURB>(&request));
        transport->Release();
        if (NT_SUCCESS(status)) m_Rate = Rate;
        return status;
    }
    STDMETHODIMP GetRate(PULONG Rate) override {
        *Rate = m_Rate;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP IsClockValid(PUCHAR Valid) override {
        *Valid = 1;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP Init(ULONG, const ULONG*) override { return STATUS_SUCCESS; }

private:
    PUNKNOWN m_Adapter;  // not referenced
    ULONG m_Rate = 0;
};

class Uac2StreamHal : public AudioHal, public DeviceModel {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_DeviceModel, static_cast<DeviceModel*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    Uac2StreamHal(PUNKNOWN UnknownOuter, USHORT, USHORT) : AudioHal(UnknownOuter) {}

    NTSTATUS Identify() override {
        PUNKNOWN adapter = static_cast<AdapterCommon*>(this);
        auto* clock = new (NonPagedPoolNx, Uac2StreamTag) FixtureClock(nullptr, GetOuterUnknown());
        if (clock == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        clock->NonDelegatingAddRef();
        NTSTATUS status = AddNode(clock);
        clock->NonDelegatingRelease();
        for (ULONG direction : {StreamDirectionRender, StreamDirectionCapture}) {
            if (!NT_SUCCESS(status)) break;
            const ULONG interface = direction == StreamDirectionRender ? 1 : 2;
            UsbAudioStream* stream =
                direction == StreamDirectionRender
                    ? static_cast<UsbAudioStream*>(new (NonPagedPoolNx, Uac2StreamTag)
                                                       Uac2PlaybackStream(nullptr, interface, 0, kClockControlId))
                    : static_cast<UsbAudioStream*>(new (NonPagedPoolNx, Uac2StreamTag)
                                                       Uac2CaptureStream(nullptr, interface, 0, kClockControlId));
            if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            stream->NonDelegatingAddRef();
            status = stream->StartWorker(direction, adapter);
            if (NT_SUCCESS(status)) status = AddStreamEngine(stream);
            for (UCHAR alt : {UCHAR(1), UCHAR(2)}) {
                for (ULONG rate : {44100u, 48000u, 96000u}) {
                    if (NT_SUCCESS(status)) status = stream->AddAltSettingFormat(&Format(alt, rate), alt);
                }
            }
            if (NT_SUCCESS(status)) status = stream->AllocateWorkBuffers();
            stream->NonDelegatingRelease();
        }
        return status;
    }
    NTSTATUS UpdateMiniports(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override {
        *CallbackObject = m_CallbackObject;
        return STATUS_SUCCESS;
    }
    NTSTATUS BuildTopology(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS RestoreDeviceState() override { return STATUS_SUCCESS; }

    static const WAVEFORMATEXTENSIBLE& Format(UCHAR Alt, ULONG Rate) {
        static thread_local WAVEFORMATEXTENSIBLE format;
        const WORD bytes = Alt == 1 ? 4 : 2;
        format = {};
        format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.Format.nChannels = 2;
        format.Format.nSamplesPerSec = Rate;
        format.Format.wBitsPerSample = WORD(bytes * 8);
        format.Format.nBlockAlign = WORD(2 * bytes);
        format.Format.nAvgBytesPerSec = Rate * 2 * bytes;
        format.Format.cbSize = 22;
        format.Samples.wValidBitsPerSample = Alt == 1 ? 24 : 16;
        format.dwChannelMask = 0x3;
        format.SubFormat = GUID{0x0001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
        return format;
    }
};

class Uac2StreamMachine : public StreamMachine {
protected:
    static constexpr uint8_t kRenderInterface = 1;
    static constexpr uint8_t kCaptureInterface = 2;

    NTSTATUS StartDevice(std::string_view device) {
        Plug(device);
        return Start();
    }
    Uac2PlaybackStream* Playback() { return static_cast<Uac2PlaybackStream*>(Stream(0)); }
    Uac2CaptureStream* Recording() { return static_cast<Uac2CaptureStream*>(Stream(1)); }

    adapter_test::ScopedCreators m_creators{&adapter_test::CapturingCreators<Uac2StreamHal, 'HS2U'>};
};

}  // namespace stream_test
