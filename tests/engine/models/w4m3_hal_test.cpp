// The W4M3 HAL on the simulated W4M3 device with the driver's own creators: the golden model of
// its walks (units and controls, source edges, each engine's path, stages and formats, render
// formats offered as eight channels), the capability set of each variant, the interfaces the HAL
// hands out, the absence of the UAC 1.0 device rules, and failures at start.
#include "engine/adapter_machine.h"

#include "driver/engine/models/W4M3AudioHal.h"
#include "driver/engine/uac1/W4M3PlaybackStream.h"

#include <sim/pool.h>
#include <sim/usb_models.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using adapter_test::AdapterMachine;

std::string SourcesOf(AudioNode* node) {
    std::vector<ULONG> ids(node->GetSourceCount());
    ULONG count = static_cast<ULONG>(ids.size());
    if (!ids.empty() && !NT_SUCCESS(node->GetSources(&count, ids.data()))) count = 0;
    std::string text;
    for (ULONG i = 0; i < count; ++i) text += (i == 0 ? " <- " : ",") + std::to_string(ids[i]);
    return text;
}

class W4M3Hal : public AdapterMachine {
protected:
    void TearDown() override {
        if (m_common != nullptr) m_common->Stop();  // ends the status thread, which holds the adapter
        AdapterMachine::TearDown();
    }
    NTSTATUS StartModel(const sim::usb::w4m3::Options& options = {}) {
        PlugDevice(sim::usb::w4m3::Create(options));
        return Start();
    }
    W4M3AudioHal* Hal() const { return static_cast<W4M3AudioHal*>(m_adapter->HalAdapterCommon()); }

    // Units in id order with their controls in list order.
    std::string DescribeUnits() {
        std::ostringstream out;
        for (ULONG id = 0; id < 256; ++id) {
            UnitNode* unit = nullptr;
            if (!NT_SUCCESS(Hal()->FindUnit(id, &unit))) continue;
            out << "unit " << unit->GetId() << " kind " << unit->GetNodeKind() << SourcesOf(unit) << ":";
            ULONG count = 0;
            unit->GetControlCount(&count);
            for (ULONG i = 0; i < count; ++i) {
                AudioNode* control = nullptr;
                if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
                out << " [" << control->GetId() << " kind " << control->GetNodeKind() << SourcesOf(control) << "]";
            }
            out << "\n";
        }
        return out.str();
    }
    // Each engine's direction, path, the ids of its path controls that are stages, and formats.
    std::string DescribeEngines() {
        std::ostringstream out;
        for (ULONG e = 0; e < m_common->GetStreamEngineCount(); ++e) {
            StreamEngine* engine = nullptr;
            if (!NT_SUCCESS(m_common->GetStreamEngine(e, &engine))) continue;
            auto* stream = static_cast<UsbAudioStream*>(engine);
            out << "engine " << e << (engine->GetDirection() == StreamDirectionRender ? " render" : " capture")
                << " type " << engine->GetEndpointType() << " path";
            for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
                AudioNode* node = nullptr;
                if (NT_SUCCESS(engine->GetNode(i, &node))) out << ' ' << node->GetId();
            }
            out << " stages";
            for (ULONG i = 0; i < engine->GetStageCount(); ++i) {
                ProcessingStage* stage = nullptr;
                AudioNode* node = nullptr;
                if (!NT_SUCCESS(engine->GetStage(i, &stage))) continue;
                if (NT_SUCCESS(stage->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node))) && node != nullptr) {
                    out << ' ' << node->GetId();
                    node->Release();
                } else {
                    out << " ?";
                }
            }
            out << "\n";
            for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
                WAVEFORMATEXTENSIBLE format{};
                UCHAR alt = 0;
                if (!NT_SUCCESS(engine->GetFormat(f, &format)) || !NT_SUCCESS(stream->FindAltSetting(&format.Format, &alt))) {
                    continue;
                }
                out << "  alt " << int(alt) << " " << format.Format.nSamplesPerSec << " " << format.Format.nChannels
                    << " ch " << format.Format.wBitsPerSample << "/" << format.Samples.wValidBitsPerSample << " align "
                    << format.Format.nBlockAlign << " bytes/s " << format.Format.nAvgBytesPerSec << " mask 0x"
                    << std::hex << format.dwChannelMask << std::dec << "\n";
            }
        }
        return out.str();
    }
};

TEST_F(W4M3Hal, GoldenModel) {
    ASSERT_EQ(StartModel(), STATUS_SUCCESS);
    ASSERT_NE(Hal(), nullptr);
    // Feature units 2 and 9 alike are the model's; unit 2's extension block declares the two
    // effect switches (controls 3 and 4), which sit on the render path as its stages.
    EXPECT_EQ(DescribeUnits(),
              "unit 1 kind 2: [0 kind 0]\n"
              "unit 2 kind 6 <- 1: [4 kind 23 <- 0] [3 kind 23 <- 4] [2 kind 3 <- 3] [1 kind 2 <- 2]\n"
              "unit 3 kind 3 <- 2: [5 kind 1 <- 1]\n"
              "unit 4 kind 2: [6 kind 0]\n"
              "unit 6 kind 3 <- 9: [9 kind 1 <- 7]\n"
              "unit 9 kind 6 <- 4: [8 kind 3 <- 6] [7 kind 2 <- 8]\n");
    // Render: eight channels with the 7.1 mask whatever the device's two, the frame sizes and byte
    // rates of eight samples; capture as the device describes it.
    EXPECT_EQ(DescribeEngines(),
              "engine 0 render type 1 path 5 1 2 3 4 0 stages 3 4\n"
              "  alt 1 44100 8 ch 16/16 align 16 bytes/s 705600 mask 0x63f\n"
              "  alt 1 48000 8 ch 16/16 align 16 bytes/s 768000 mask 0x63f\n"
              "  alt 1 96000 8 ch 16/16 align 16 bytes/s 1536000 mask 0x63f\n"
              "  alt 2 48000 8 ch 24/24 align 24 bytes/s 1152000 mask 0x63f\n"
              "engine 1 capture type 7 path 9 7 8 6 stages\n"
              "  alt 1 44100 2 ch 16/16 align 4 bytes/s 176400 mask 0x3\n"
              "  alt 1 48000 2 ch 16/16 align 4 bytes/s 192000 mask 0x3\n"
              "  alt 1 44100 2 ch 16/16 align 4 bytes/s 176400 mask 0x0\n"
              "  alt 1 48000 2 ch 16/16 align 4 bytes/s 192000 mask 0x0\n");
    StreamEngine* render = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &render), STATUS_SUCCESS);
    EXPECT_TRUE(static_cast<UsbAudioStream*>(render)->HasLimiter());
}

}  // namespace

namespace {

TEST_F(W4M3Hal, CapabilitySetOfEachVariantAndTheInterfacesHandedOut) {
    struct Case {
        const char* name;
        sim::usb::w4m3::Options options;
        ULONG capabilities;
        ULONGLONG value;
        ULONG flags;
    };
    const Case cases[] = {
        {"full speed", {}, 0x3E1084, 0, 0x40},
        {"full speed, 0x17EF 0x6073", {.vendorId = 0x17EF, .productId = 0x6073}, 0x3E0084, 0, 0x41},
        {"high speed", {.highSpeed = true}, 0x20006, 8, 0},
        {"high speed, 0x17EF 0x6073", {.vendorId = 0x17EF, .productId = 0x6073, .highSpeed = true}, 0x20006, 8, 0},
        // The UAC 1.0 rule for this product needs output terminals 16 and 64; the model has none.
        {"0x1B1C 0x0A04: no UAC 1.0 device rules", {.vendorId = 0x1B1C, .productId = 0x0A04}, 0x3E1084, 0, 0x40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(StartModel(c.options), STATUS_SUCCESS);
        EndpointInfo info{};
        ASSERT_EQ(m_common->GetEndpointInfo(0, &info), STATUS_SUCCESS);
        EXPECT_EQ(info.Capabilities, c.capabilities);
        EXPECT_EQ(info.Value, c.value);
        EXPECT_EQ(info.Flags, c.flags);
        // AdapterCommon and power management only: the adapter holds no DeviceModel of it.
        PVOID answer = &info;
        EXPECT_EQ(Hal()->NonDelegatingQueryInterface(IID_DeviceModel, &answer), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(answer, nullptr);
        EXPECT_EQ(m_common->QueryInterface(IID_DeviceModel, &answer), STATUS_INVALID_PARAMETER);
        ASSERT_EQ(Hal()->NonDelegatingQueryInterface(IID_IAdapterPowerManagement, &answer), STATUS_SUCCESS);
        static_cast<IUnknown*>(answer)->Release();
        m_common->Stop();
        ReleaseAdapter();
        Unplug();
    }
}

// A headphone endpoint offers only two-channel records; the W4M3 render engine has none, and
// offers its eight-channel records rather than nothing.
TEST_F(W4M3Hal, HeadphoneEndpointStillOffersTheEightChannelFormats) {
    ASSERT_EQ(StartModel({.headphones = true}), STATUS_SUCCESS);
    StreamEngine* render = nullptr;
    ASSERT_EQ(m_common->GetStreamEngine(0, &render), STATUS_SUCCESS);
    EXPECT_EQ(render->GetEndpointType(), 2u);
    ASSERT_EQ(render->GetFormatCount(), 4u);
    WAVEFORMATEXTENSIBLE format{};
    ASSERT_EQ(render->GetFormat(3, &format), STATUS_SUCCESS);
    EXPECT_EQ(format.Format.nChannels, 8);
    EXPECT_EQ(render->GetFormat(4, &format), STATUS_INVALID_PARAMETER);
}

TEST_F(W4M3Hal, StartFailures) {
    struct Case {
        const char* name;
        ULONG tag;
        NTSTATUS expected;
    };
    for (const Case& c : {Case{"HAL memory", W4M3HalTag, STATUS_INSUFFICIENT_RESOURCES},
                          Case{"walk memory", Uac1AudioHalTag, STATUS_INSUFFICIENT_RESOURCES}}) {
        SCOPED_TRACE(c.name);
        PlugDevice(sim::usb::w4m3::Create());
        sim::pool::FailAllocationsWithTag(c.tag);
        const NTSTATUS status = Start();
        sim::pool::DisarmFaults();
        EXPECT_EQ(status, c.expected);
        ReleaseAdapter();
        Unplug();
    }
}

}  // namespace
