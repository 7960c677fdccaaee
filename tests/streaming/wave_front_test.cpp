// The wave filter end to end: the driver's front, adapter, HAL and wave-cyclic miniport on a
// catalog device, driven by the audio stack client, beside the driver's topology filter.
#include <gtest/gtest.h>

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/SubdeviceInfo.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/WaveCyclicMiniport.h"
#include "driver/front/WaveCyclicStream.h"
#include "streaming/wave_front_machine.h"

#include <sim/audio_stack.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/portcls.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <sim/usb_ramp_check.h>
#include <win/ksmedia.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace wave_front_test;

constexpr uint8_t kRenderInterface = 1;
constexpr uint8_t kCaptureInterface = 2;

// A 16-bit stereo ramp source: frame n carries n on channel 0 and n + 0x100 on channel 1.
struct RampSource {
    uint64_t frame = 0;
    uint64_t limit = 0;
    size_t operator()(UCHAR* data, size_t length) {
        size_t written = 0;
        while (written + 4 <= length && frame < limit) {
            const int16_t left = static_cast<int16_t>(frame);
            const int16_t right = static_cast<int16_t>(frame + 0x100);
            std::memcpy(data + written, &left, 2);
            std::memcpy(data + written + 2, &right, 2);
            written += 4;
            ++frame;
        }
        return written;
    }
};

TEST_F(WaveFront, RampReachesTheDeviceSampleExact) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    RampSource source{.limit = 48000 / 2};
    ASSERT_EQ(Play(source, 700 * kMs), STATUS_SUCCESS);
    EXPECT_EQ(m_Stats.positionStalls, 0u);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);

    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    sim::usb::RampSpec spec;
    spec.channelOffset = 0x100;
    const sim::usb::RampReport report = sim::usb::CheckRamp(sink, spec);
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_EQ(report.rampFrames, source.limit);
}

}  // namespace

namespace {

TEST_F(WaveFront, DeviceRampReachesTheCapturePin) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_CAPTURE);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    ASSERT_EQ(m_Pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(m_Pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<int32_t> samples;
    sim::hosts::StreamRunStats stats;
    ASSERT_EQ(m_Pin->Capture(
                  [&](const UCHAR* data, size_t length) {
                      for (size_t at = 0; at + 2 <= length; at += 2) {
                          int16_t sample;
                          std::memcpy(&sample, data + at, 2);
                          samples.push_back(sample);
                      }
                  },
                  300 * kMs, &stats),
              STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);

    sim::usb::CaptureSource& source = *Audio().Capture(kCaptureInterface);
    sim::usb::RampSpec spec = sim::usb::RampOfSource(source.Config(), source.Format());
    spec.fromStart = false;
    const sim::usb::RampReport report = sim::usb::CheckRamp(samples, 2, spec);
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_GT(report.rampFrames, 48000u / 4);  // most of 300 ms; the start lags by the transfers in flight
}

// One stream per filter; a paused stream runs again as a new client of the USB stream, and the
// position keeps moving.
TEST_F(WaveFront, SecondPinRefusedAndPauseRunsAgain) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    std::unique_ptr<KsPinClient> second;
    EXPECT_FALSE(NT_SUCCESS(KsPinClient::Open(*m_Filter, 0, sim::hosts::WaveFormat(48000, 16, 2), &second)));

    RampSource source{.limit = 48000};
    ASSERT_EQ(Play(source, 200 * kMs), STATUS_SUCCESS);
    const sim::hosts::StreamRunStats first = m_Stats;
    ASSERT_EQ(m_Pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    sim::machine::RunFor(50 * kMs);
    ASSERT_EQ(Play(source, 200 * kMs), STATUS_SUCCESS);
    EXPECT_EQ(m_Stats.positionStalls, 0u);
    EXPECT_GT(m_Stats.positionBytes, first.positionBytes);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    // Both runs reached the device in order; the pause is silence between them.
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_GE(sink.Frames(), 48000u * 350 / 1000);
}

// The device leaves while a pin runs: the surprise removal comes first, the application closes
// the pin later, then the device is removed; nothing hangs and nothing is left.
TEST_F(WaveFront, RemovalWithARunningPin) {
    ASSERT_NO_FATAL_FAILURE(StartPlaying(100 * kMs));
    sim::usb::UnplugDevice(m_Port);
    EXPECT_EQ(sim::pnp::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    sim::machine::RunFor(20 * kMs);
    m_Pin.reset();
    // The filter the application still holds takes no new stream for a device that is gone.
    EXPECT_EQ(OpenPin(48000), STATUS_DEVICE_REMOVED);
    m_Filter.reset();
    Unplug();
}

// A recovery that cannot select the zero-bandwidth setting any more cycles the port, and the hub
// re-enumerates the device: the old node is surprise-removed at once (its filters leave), removed
// once the application closed its pin and filter, and a new node starts under the same device key
// and plays a ramp sample-exact.
TEST_F(WaveFront, ACycledPortReenumeratesTheDeviceAndItPlaysAgain) {
    m_PlugOptions.reenumerate = true;
    ASSERT_NO_FATAL_FAILURE(StartPlaying(100 * kMs));
    sim::pnp::DeviceNode* old = m_Node;
    const std::u16string driverKey = sim::pnp::DriverKeyPath(old);
    sim::usb::Device& device = sim::usb::DeviceOf(m_Port);
    device.AddControlFault({.match = {.bmRequestType = 0x01, .bRequest = USB_REQUEST_SET_INTERFACE}, .times = 1});
    const uint64_t frame = sim::usb::CurrentFrame() + 5;
    device.AddPacketFault({.endpoint = 0x01, .frames = {frame, frame + 1, frame + 2}});

    // The node counts as not started as soon as the surprise removal is sent; its filters leave
    // while the driver handles it on the PnP thread.
    ASSERT_TRUE(sim::machine::RunUntil(
        [old] { return !sim::pnp::IsStarted(old) && sim::hosts::FindFilters(KSCATEGORY_RENDER).empty(); },
        sim::machine::kSecond))
        << "the old node is not surprise-removed, or its render filter stays";
    EXPECT_EQ(sim::usb::PortCycles(m_Port), 1u);
    EXPECT_EQ(sim::usb::NodeOf(m_Port), old) << "removed only once the application closed its handles";
    m_Pin.reset();
    m_Filter.reset();
    ASSERT_TRUE(sim::pnp::WaitForIdle(sim::machine::kSecond));
    // The old node is gone (its memory may serve the new one): the port's node now is a started one.
    m_Node = sim::usb::NodeOf(m_Port);
    EXPECT_TRUE(sim::pnp::IsStarted(m_Node));
    EXPECT_EQ(sim::pnp::DriverKeyPath(m_Node), driverKey);

    device.ClearFaults();
    Audio().Render(kRenderInterface)->Clear();
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    RampSource source{.limit = 48000 / 4};
    ASSERT_EQ(Play(source, 400 * kMs), STATUS_SUCCESS);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    sim::usb::RampSpec spec;
    spec.channelOffset = 0x100;
    const sim::usb::RampReport report = sim::usb::CheckRamp(*Audio().Render(kRenderInterface), spec);
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_EQ(report.rampFrames, source.limit);
}

// The eight-channel device lists no record with its largest channel count, rate and bits
// together: a wildcard client still gets the best record it has, and that format opens the pin.
TEST_F(WaveFront, WildcardIntersectionFindsAnExistingRecord) {
    ASSERT_EQ(Plug("uac1-w4m3"), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_RENDER);
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = GUID_NULL;
    std::vector<UCHAR> client(sizeof(range));
    std::memcpy(client.data(), &range, sizeof(range));
    std::vector<UCHAR> format;
    ASSERT_EQ(m_Filter->DataIntersection(0, client, &format), STATUS_SUCCESS);
    ASSERT_EQ(format.size(), 104u);
    WAVEFORMATEXTENSIBLE wave = {};
    std::memcpy(&wave, format.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    EXPECT_EQ(wave.Format.nChannels, 8u);
    EXPECT_EQ(KsPinClient::Open(*m_Filter, 0, format, &m_Pin), STATUS_SUCCESS);
}

// The UAC 1.0 catalog models whose HAL the driver builds today start and show their wave filters.
TEST_F(WaveFront, CatalogUac1DevicesStart) {
    for (const std::string name : {"uac1", "uac1-klq864"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Plug(name), STATUS_SUCCESS);
        EXPECT_FALSE(sim::hosts::FindFilters(KSCATEGORY_RENDER).empty());
        EXPECT_FALSE(sim::hosts::FindFilters(KSCATEGORY_CAPTURE).empty());
        // The topology filter: bridge pins, nodes and a connection into every output pin.
        OpenFilter(KSCATEGORY_TOPOLOGY);
        ULONG pins = 0;
        std::vector<GUID> nodes;
        std::vector<KSTOPOLOGY_CONNECTION> connections;
        EXPECT_EQ(m_Filter->PinCount(&pins), STATUS_SUCCESS);
        EXPECT_EQ(m_Filter->Nodes(&nodes), STATUS_SUCCESS);
        EXPECT_EQ(m_Filter->Connections(&connections), STATUS_SUCCESS);
        EXPECT_GE(pins, 4u);
        EXPECT_FALSE(nodes.empty());
        for (ULONG pin = 0; pin < pins; ++pin) {
            KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
            ASSERT_EQ(m_Filter->PinValue(KSPROPERTY_PIN_DATAFLOW, pin, &flow, sizeof(flow)), STATUS_SUCCESS);
            if (flow != KSPIN_DATAFLOW_OUT) continue;
            bool fed = false;
            for (const KSTOPOLOGY_CONNECTION& c : connections) fed |= c.ToNode == KSFILTER_NODE && c.ToNodePin == pin;
            EXPECT_TRUE(fed) << "output pin " << pin;
        }
        m_Filter.reset();
        Unplug();
    }
}

}  // namespace

namespace {

KSDATARANGE_AUDIO ClientRange(const GUID& specifier, ULONG minRate, ULONG maxRate) {
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = specifier;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 16;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

// The streaming pin offers the PCM range first; an intersection proposes a format the engine
// lists exactly, which then opens the pin; ranges that do not overlap find nothing.
TEST_F(WaveFront, RangesAndIntersection) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_RENDER);
    std::vector<std::vector<UCHAR>> ranges;
    ASSERT_EQ(m_Filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_FALSE(ranges.empty());
    KSDATARANGE_AUDIO first = {};
    ASSERT_GE(ranges[0].size(), sizeof(first));
    std::memcpy(&first, ranges[0].data(), sizeof(first));
    EXPECT_TRUE(IsEqualGUID(first.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    EXPECT_EQ(first.MaximumSampleFrequency, 48000u);

    struct Case {
        const char* what;
        KSDATARANGE_AUDIO range;
        bool match;
    };
    const Case cases[] = {
        {"wave format range", ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 8000, 48000), true},
        {"wildcard specifier", ClientRange(GUID_NULL, 0, 0), true},
        {"no common rate", ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 96000, 192000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<UCHAR> client(sizeof(c.range));
        std::memcpy(client.data(), &c.range, sizeof(c.range));
        std::vector<UCHAR> format;
        const NTSTATUS status = m_Filter->DataIntersection(0, client, &format);
        EXPECT_EQ(NT_SUCCESS(status), c.match) << std::hex << status;
        if (!c.match || !NT_SUCCESS(status)) continue;
        ASSERT_EQ(format.size(), 104u);
        ASSERT_EQ(KsPinClient::Open(*m_Filter, 0, format, &m_Pin), STATUS_SUCCESS);
        m_Pin.reset();
    }
}

void IgnoreNotices(PVOID, PVOID, PVOID) {}

// A client of higher kind runs the endpoint at 44.1 kHz (transfers of 220 and 221 frames) while
// the pin plays 48 kHz: the pin's
// samples are not the ones sent, but its position keeps the pin's own rate (converted from the
// owner's transfers), so the stack sees the duration it played without stalls.
TEST_F(WaveFront, PositionKeepsThePinsRateWhileAnotherRateOwnsTheEndpoint) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice;
    AdapterCommon* adapter = GetAdapterExtension(functional)->Adapter;
    ASSERT_NE(adapter, nullptr);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(adapter->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetDirection(), StreamDirectionRender);
    WAVEFORMATEXTENSIBLE owner = {};
    for (ULONG i = 0; i < engine->GetFormatCount(); ++i) {
        WAVEFORMATEXTENSIBLE record = {};
        engine->GetFormat(i, &record);
        if (record.Format.nSamplesPerSec == 44100 && record.Format.wBitsPerSample == 16 &&
            record.Format.nChannels == 2) {
            owner = record;
        }
    }
    ASSERT_EQ(owner.Format.nSamplesPerSec, 44100u);
    StreamClients* clients = nullptr;
    ASSERT_EQ(engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&clients)), STATUS_SUCCESS);
    PVOID holder = nullptr;
    ASSERT_EQ(clients->RegisterClient(static_cast<ULONG>(ClientKind::Asio), &owner.Format, 5, 3, IgnoreNotices,
                                      nullptr, &holder),
              STATUS_SUCCESS);
    ULONG ms = 0;
    ULONG frame = 0;
    ASSERT_EQ(clients->SetClientFormat(holder, &ms, &frame), STATUS_SUCCESS);
    ASSERT_EQ(clients->StartClient(holder, frame + 2, &ms, nullptr), STATUS_SUCCESS);

    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    RampSource source{.limit = 48000};
    ASSERT_EQ(Play(source, 1000 * kMs), STATUS_SUCCESS);
    EXPECT_EQ(m_Stats.positionStalls, 0u);
    // One second of 48 kHz stereo 16-bit is 192000 bytes; the USB side starts two frames late.
    EXPECT_NEAR(static_cast<double>(m_Stats.positionBytes), 192000.0, 192000.0 * 0.01);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Audio().StreamRate(kRenderInterface), 44100u);

    EXPECT_EQ(clients->StopClient(holder, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(clients->CloseClient(holder), STATUS_SUCCESS);
    EXPECT_EQ(clients->UnregisterClient(holder), STATUS_SUCCESS);
    clients->Release();
}

}  // namespace

namespace {

// A start that runs out of pool at any of its allocations ends cleanly: the removal that follows
// leaves no reference on the adapter (the bus interface it holds is given back) and no request
// with the bus.
TEST_F(WaveFront, EveryFailedStartAllocationIsUndoneByTheRemoval) {
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice("uac1");
        m_Port = sim::usb::PlugDevice(std::move(device));
        m_Node = sim::usb::NodeOf(m_Port);
        ASSERT_EQ(sim::pnp::AddDevice(m_Driver, m_Node), STATUS_SUCCESS);
        m_Added = true;
        sim::pool::FailNthAllocation(n);
        const NTSTATUS status = sim::pnp::StartDevice(m_Node);
        const bool fired = !sim::pool::FaultArmed();
        sim::pool::DisarmFaults();
        EXPECT_EQ(sim::pnp::RemoveDevice(m_Node), STATUS_SUCCESS);
        m_Added = false;
        EXPECT_EQ(sim::usb::HeldRequests(m_Port), 0u);
        ASSERT_EQ(sim::usb::BusInterfaceReferences(m_Port), 0) << "start status " << std::hex << status;
        sim::usb::RemovePort(m_Port);
        m_Port = nullptr;
        if (!fired) break;
    }
}

}  // namespace

namespace {

// A stop and a second start: the first start's topology filter keeps its name until the removal,
// so the second start's topology subdevice is refused; what that start made is let go, and the
// removal after the device is pulled leaves nothing.
TEST_F(WaveFront, RestartThenSurpriseRemoval) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::StopDevice(m_Node), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::StartDevice(m_Node), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY).size(), 1u);
    sim::usb::UnplugDevice(m_Port);
    EXPECT_EQ(sim::pnp::SurpriseRemoveDevice(m_Node), STATUS_SUCCESS);
    Unplug();
}

}  // namespace

namespace {

std::vector<std::string> SubdeviceNames(PDEVICE_OBJECT functional) {
    std::vector<std::string> names;
    for (const sim::portcls::Subdevice& s : sim::portcls::Subdevices(functional)) {
        names.emplace_back(s.name.begin(), s.name.end());
    }
    return names;
}

bool Holds(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The UAC 2.0 device switches its speaker output to headphones by itself: the status thread reads
// the terminal type once, and the render wave filter is taken down and installed again under the
// name of the new type, still one render filter beside the capture filter.
TEST_F(WaveFront, DeviceTerminalTypeChangeRenamesAndReinstallsTheRenderFilter) {
    ASSERT_EQ(Plug("uac2-vendor"), STATUS_SUCCESS);
    PDEVICE_OBJECT functional = sim::usb::PhysicalDeviceObject(m_Port)->AttachedDevice;
    ASSERT_NE(functional, nullptr);
    const std::vector<std::string> before = SubdeviceNames(functional);
    ASSERT_TRUE(Holds(before, "SPKOut00Wave")) << testing::PrintToString(before);
    ASSERT_EQ(sim::hosts::FindFilters(KSCATEGORY_RENDER).size(), 1u);
    sim::usb::Device& device = sim::usb::DeviceOf(m_Port);
    sim::machine::RunFor(20 * kMs);  // the start's own status traffic is over
    device.ClearLog();

    ASSERT_TRUE(Audio().ChangeFromDevice(3, 8, 0, 0x0302));
    ASSERT_TRUE(sim::machine::RunUntil([&] { return Holds(SubdeviceNames(functional), "HPOut00Wave"); }, 500 * kMs));
    sim::machine::RunFor(20 * kMs);
    const std::vector<std::string> after = SubdeviceNames(functional);
    EXPECT_FALSE(Holds(after, "SPKOut00Wave")) << testing::PrintToString(after);
    EXPECT_EQ(after.size(), before.size()) << testing::PrintToString(after);
    EXPECT_EQ(sim::hosts::FindFilters(KSCATEGORY_RENDER).size(), 1u);
    EXPECT_EQ(sim::hosts::FindFilters(KSCATEGORY_CAPTURE).size(), 1u);
    // One read of the terminal type, and no selection sent back: the device chose it.
    int typeReads = 0;
    for (const sim::usb::LogEntry& e : device.Log()) {
        if (!e.isRequest || (e.setup.wIndex >> 8) != 3 || e.setup.wValue != 0x0800) continue;
        if (e.setup.bmRequestType == 0xA1 && e.setup.bRequest == 1) {
            ++typeReads;
        } else {
            ADD_FAILURE() << e.text;
        }
    }
    EXPECT_EQ(typeReads, 1);
}

}  // namespace

namespace {

// A device power change reaches every miniport that asks for it: down to D3 and back to D0, the
// topology and wave miniports each keep the state they were told.
TEST_F(WaveFront, PowerChangesReachTheMiniports) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    PDEVICE_OBJECT functional = sim::pnp::PhysicalDeviceObject(m_Node)->AttachedDevice;
    auto states = [&] {
        std::vector<ULONG> found;
        for (const sim::portcls::Subdevice& s : sim::portcls::Subdevices(functional)) {
            PUNKNOWN unknown = nullptr;
            if (NT_SUCCESS(s.miniport->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&unknown)))) {
                found.push_back(static_cast<TopologyMiniport*>(static_cast<IMiniportTopology*>(unknown))->DevicePowerState());
            } else if (NT_SUCCESS(s.miniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&unknown)))) {
                found.push_back(static_cast<WaveCyclicMiniport*>(static_cast<IMiniportWaveCyclic*>(unknown))->DevicePowerState());
            } else {
                ADD_FAILURE() << "a miniport of neither kind";
                continue;
            }
            unknown->Release();
        }
        return found;
    };
    const std::vector<ULONG> started = states();
    ASSERT_EQ(started.size(), 3u);
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(states(), std::vector<ULONG>(3, PowerDeviceD3));
    ASSERT_EQ(sim::pnp::SetDevicePower(m_Node, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(states(), std::vector<ULONG>(3, PowerDeviceD0));
}

// The system hands a content identifier to a running stream: it reaches the bus driver below with
// the stream's data pipe.
TEST_F(WaveFront, ContentIdIsForwardedWithTheDataPipe) {
    ASSERT_NO_FATAL_FAILURE(StartPlaying(50 * kMs));
    const DRMRIGHTS rights = {TRUE, 0, FALSE};
    ASSERT_EQ(sim::portcls::PinSetContentId(m_Pin->File(), 0x5A17, rights), STATUS_SUCCESS);
    const sim::portcls::ForwardedContent forwarded = sim::portcls::LastForwardedContent();
    EXPECT_TRUE(forwarded.forwarded);
    EXPECT_EQ(forwarded.contentId, 0x5A17u);
    EXPECT_NE(forwarded.deviceObject, nullptr);
    EXPECT_NE(forwarded.fileObject, nullptr);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
}

}  // namespace

namespace {

// The port hands a new format to an open pin outside RUN: the stream takes it with a new buffer,
// and the ramp that follows reaches the device at the new rate, sample-exact. In RUN, or outside
// the pin's ranges, the format is refused and the old one stays.
TEST_F(WaveFront, OpenPinTakesANewFormatOutsideRun) {
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    OpenFilter(KSCATEGORY_RENDER);
    ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
    EXPECT_EQ(m_Pin->SetDataFormat(sim::hosts::WaveFormat(96000, 16, 2)), STATUS_NO_MATCH);
    ASSERT_EQ(m_Pin->SetDataFormat(sim::hosts::WaveFormat(44100, 16, 2)), STATUS_SUCCESS);
    EXPECT_EQ(m_Pin->BufferSize(), 8820u);
    RampSource source{.limit = 44100 / 4};
    ASSERT_EQ(Play(source, 400 * kMs), STATUS_SUCCESS);
    EXPECT_EQ(m_Pin->SetDataFormat(sim::hosts::WaveFormat(48000, 16, 2)), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Stop(), STATUS_SUCCESS);
    const sim::usb::RenderSink& sink = *Audio().Render(kRenderInterface);
    EXPECT_EQ(sink.Format().rateHz, 44100u);
    const sim::usb::RampReport report = sim::usb::CheckRamp(sink, sim::usb::RampSpec{});
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_EQ(report.rampFrames, source.limit);
}

}  // namespace
