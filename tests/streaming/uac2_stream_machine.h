// The catalog's UAC 2.0 devices with the driver's adapter and the UAC 2.0 streams: a small HAL of
// the test walks the device's AudioStreaming interfaces with Uac2BuildStreams. It stands in for the
// units the descriptors describe with a connector per terminal (1 and 4 input, 3 and 6 output) and
// a clock node that offers fixed rates and sets the device's clock source 40 with SET CUR of its
// sampling frequency.
#pragma once

#include "streaming/stream_machine.h"

#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/uac2/Uac2StreamBuilder.h"
#include "engine/stream_engine_fakes.h"

namespace stream_test {

constexpr ULONG kClockControlId = 7;
// What the fixture HAL's walk answered at the latest start.
inline NTSTATUS g_Uac2BuildStatus = STATUS_SUCCESS;
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

    static constexpr ULONG kRates[] = {44100, 48000, 96000};
    STDMETHODIMP GetRates(PULONG Count, PULONG Rates) override {
        if (*Count < 3) return STATUS_INVALID_PARAMETER;
        std::copy(std::begin(kRates), std::end(kRates), Rates);
        *Count = 3;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetRateCount(PULONG Count) override {
        *Count = 3;
        return STATUS_SUCCESS;
    }
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

class Uac2StreamHal : public AudioHal, public DeviceModel, public Uac2StreamSite {
public:
    DECLARE_KERNEL_UNKNOWN() {
        const KernelInterface answers[] = {{IID_DeviceModel, static_cast<DeviceModel*>(this)}};
        if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        return AudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    Uac2StreamHal(PUNKNOWN UnknownOuter, USHORT, USHORT) : AudioHal(UnknownOuter) {}

    NTSTATUS Identify() override {
        auto* clock = new (NonPagedPoolNx, Uac2StreamTag) FixtureClock(nullptr, GetOuterUnknown());
        NTSTATUS status = Keep(clock);
        const engine_test::ConnectorSetup connectors[] = {
            {.id = 1, .kind = NodeKindCode(NodeKind::InputConnector)},
            {.id = 3, .kind = NodeKindCode(NodeKind::OutputConnector)},
            {.id = 4, .kind = NodeKindCode(NodeKind::InputConnector)},
            {.id = 6, .kind = NodeKindCode(NodeKind::OutputConnector)},
        };
        for (const engine_test::ConnectorSetup& setup : connectors) {
            auto* connector = new (NonPagedPoolNx, Uac2StreamTag) engine_test::FakeConnector(nullptr, setup);
            const ULONG source = setup.id - 2;
            if (connector != nullptr && setup.kind == NodeKindCode(NodeKind::OutputConnector)) connector->SetSources(1, &source);
            if (NT_SUCCESS(status)) status = Keep(connector);
        }
        UsbTransport* transport = nullptr;
        if (NT_SUCCESS(status)) status = GetOuterUnknown()->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(&transport));
        if (!NT_SUCCESS(status)) return status;
        PUSB_CONFIGURATION_DESCRIPTOR configuration = transport->GetConfigurationDescriptor();
        transport->Release();
        PUSB_INTERFACE_DESCRIPTOR first =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 1, 2, -1);
        g_Uac2BuildStatus = Uac2BuildStreams(*this, configuration, first);
        return g_Uac2BuildStatus;
    }

    // Uac2StreamSite: terminal 1 feeds the render stream, terminal 6 takes the capture stream.
    AudioHal& StreamHal() override { return *this; }
    NTSTATUS ResolveTerminal(ULONG TerminalLink, ULONG* Direction, ULONG* TerminalControlId,
                             ULONG* ClockControlId) override {
        if (TerminalLink != 1 && TerminalLink != 6) return STATUS_INVALID_PARAMETER;
        *Direction = TerminalLink == 1 ? StreamDirectionRender : StreamDirectionCapture;
        *TerminalControlId = TerminalLink;
        *ClockControlId = kClockControlId;
        return STATUS_SUCCESS;
    }
    NTSTATUS AdjustStreamPath(StreamEngine*) override { return STATUS_SUCCESS; }

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

private:
    NTSTATUS Keep(AudioNode* Node) {
        if (Node == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        Node->NonDelegatingAddRef();
        const NTSTATUS status = AddNode(Node);
        Node->NonDelegatingRelease();
        return status;
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
    // The driver's own HAL instead of the fixture's, for the start that follows.
    void UseDriverHal() { ExchangeAudioHalCreators(nullptr); }
    Uac2PlaybackStream* Playback() { return static_cast<Uac2PlaybackStream*>(Stream(0)); }
    Uac2CaptureStream* Recording() { return static_cast<Uac2CaptureStream*>(Stream(1)); }

    adapter_test::ScopedCreators m_creators{&adapter_test::CapturingCreators<Uac2StreamHal, 'HS2U'>};
};

}  // namespace stream_test
