// The UAC 1.0 AudioStreaming walk: a golden parse of the catalog device (unit ids and kinds,
// control ids, kinds and sources, each engine's path and formats; control ids name persisted
// values, so they must not move), and AudioStreaming descriptors that are short, empty or offer
// rates outside their range.
#include "engine/adapter_machine.h"

#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/engine/uac1/Uac1AudioHal.h"

#include <sim/usb_device.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;

constexpr ULONG kTag = 'tS1U';

// The driver's own walkers; the test only reaches the unit list.
class InspectedHal : public Uac1AudioHal {
public:
    using Uac1AudioHal::Uac1AudioHal;
    PointerList* Units() { return m_pUnitList; }
};
InspectedHal*& g_Hal = adapter_test::CapturedHal<InspectedHal>();
constexpr const AudioHalCreatorTable& kInspectedCreators = adapter_test::CapturingCreators<InspectedHal, kTag>;

std::string Sources(AudioNode* node) {
    ULONG ids[32];
    ULONG count = 32;
    std::string text;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSources(&count, ids))) return text;
    for (ULONG i = 0; i < count; ++i) text += (i == 0 ? "<" : ",") + std::to_string(ids[i]);
    return text;
}

// Units in list order with their controls, then every engine with its path and formats.
std::string Dump(InspectedHal* hal) {
    std::ostringstream out;
    PointerListNode* position = hal->Units()->GetHeadPosition();
    PVOID data = nullptr;
    while (hal->Units()->GetNext(&position, &data)) {
        auto* unit = static_cast<UnitNode*>(data);
        out << "unit " << unit->GetId() << " kind " << unit->GetNodeKind() << ":";
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = 0; i < controls; ++i) {
            AudioNode* control = nullptr;
            unit->GetControl(i, &control);
            out << " " << control->GetId() << "/" << control->GetNodeKind() << Sources(control);
        }
        out << "\n";
    }
    for (ULONG i = 0; i < hal->GetNodeCount(); ++i) {
        AudioNode* node = nullptr;
        hal->GetNode(i, &node);
        if (node->GetId() >= 11) out << "added " << node->GetId() << "/" << node->GetNodeKind() << Sources(node) << "\n";
    }
    for (ULONG e = 0; e < hal->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        hal->GetStreamEngine(e, &engine);
        out << "engine " << e << " direction " << engine->GetDirection() << " type " << engine->GetEndpointType()
            << " path";
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            engine->GetNode(i, &node);
            out << " " << node->GetId();
        }
        out << "\n";
        UsbAudioStream* stream = nullptr;
        engine->QueryInterface(IID_StreamClients, reinterpret_cast<PVOID*>(&stream));
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            engine->GetFormat(f, &format);
            UCHAR alt = 0xFF;
            static_cast<UsbAudioStream*>(reinterpret_cast<StreamClients*>(stream))->FindAltSetting(&format.Format, &alt);
            out << "  " << format.Format.nSamplesPerSec << " Hz " << format.Format.nChannels << "x"
                << format.Samples.wValidBitsPerSample << "/" << format.Format.wBitsPerSample << " mask 0x" << std::hex
                << format.dwChannelMask << std::dec << " alt " << int(alt) << "\n";
        }
        if (stream != nullptr) reinterpret_cast<StreamClients*>(stream)->Release();
    }
    return out.str();
}

class Uac1StreamParseTest : public AdapterMachine {
protected:
    // The catalog's UAC 1.0 configuration after Patch, identified as a plain UAC 1.0 device.
    void PlugPatched(const std::function<void(std::vector<uint8_t>&)>& Patch) {
        auto base = sim::usb::CreateCatalogDevice("uac1-nochip");
        sim::usb::DeviceSetup setup;
        setup.name = "uac1-patched";
        setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
        std::vector<uint8_t> configuration(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
        Patch(configuration);
        configuration[2] = static_cast<uint8_t>(configuration.size());
        configuration[3] = static_cast<uint8_t>(configuration.size() >> 8);
        setup.configurations.push_back(std::move(configuration));
        setup.strings = {{.index = 0x50, .text = u"R7U2"}};
        PlugDevice(std::make_unique<sim::usb::Device>(std::move(setup)));
    }
};

// Offsets of the class-specific AudioStreaming descriptors of one subtype, in order.
std::vector<size_t> Find(const std::vector<uint8_t>& bytes, uint8_t subtype) {
    std::vector<size_t> found;
    bool streaming = false;
    for (size_t p = 0; p + 2 < bytes.size() && bytes[p] >= 2; p += bytes[p]) {
        if (bytes[p + 1] == 4) streaming = bytes[p + 6] == 2;
        if (streaming && bytes[p + 1] == 0x24 && bytes[p + 2] == subtype) found.push_back(p);
    }
    return found;
}

TEST_F(Uac1StreamParseTest, CatalogDeviceParsesToItsGoldenModel) {
    ScopedCreators creators(&kInspectedCreators);
    Plug("uac1");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_NE(g_Hal, nullptr);
    // Units keep their descriptor ids; a control's id is its place in the node list. Render plays
    // through the speaker's connector, mute and volume (type 1, speaker); capture records from two
    // typed inputs through the selector (type 18, "Rec"), narrow capture formats twice.
    EXPECT_EQ(Dump(g_Hal),
              "unit 6 kind 3: 9/1<7\n"
              "unit 5 kind 6: 8/3<6 7/2<8\n"
              "unit 8 kind 5: 6/4<4,5\n"
              "unit 7 kind 2: 5/0\n"
              "unit 4 kind 2: 4/0\n"
              "unit 3 kind 3: 3/1<1\n"
              "unit 2 kind 6: 2/3<0 1/2<2\n"
              "unit 1 kind 2: 0/0\n"
              "engine 0 direction 0 type 1 path 3 1 2 0\n"
              "  44100 Hz 2x16/16 mask 0x3 alt 1\n"
              "  48000 Hz 2x16/16 mask 0x3 alt 1\n"
              "  44100 Hz 2x24/24 mask 0x3 alt 2\n"
              "  48000 Hz 2x24/24 mask 0x3 alt 2\n"
              "engine 1 direction 1 type 18 path 9 7 8 6 4 5\n"
              "  44100 Hz 2x16/16 mask 0x3 alt 1\n"
              "  48000 Hz 2x16/16 mask 0x3 alt 1\n"
              "  44100 Hz 2x16/16 mask 0x0 alt 1\n"
              "  48000 Hz 2x16/16 mask 0x0 alt 1\n"
              "  44100 Hz 2x24/24 mask 0x3 alt 2\n"
              "  48000 Hz 2x24/24 mask 0x3 alt 2\n"
              "  44100 Hz 2x24/24 mask 0x0 alt 2\n"
              "  48000 Hz 2x24/24 mask 0x0 alt 2\n");
}

struct StreamingCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> patch;
    NTSTATUS expected;
};
void PrintTo(const StreamingCase& c, std::ostream* os) { *os << c.name; }

class StreamingDescriptors : public Uac1StreamParseTest, public testing::WithParamInterface<StreamingCase> {};

TEST_P(StreamingDescriptors, AreCheckedBeforeTheyAreRead) {
    ScopedCreators creators(&kInspectedCreators);
    PlugPatched(GetParam().patch);
    EXPECT_EQ(Start(), GetParam().expected);
}

// Cuts the last byte of the descriptor at Offset and says so in its bLength.
void CutOne(std::vector<uint8_t>& bytes, size_t offset) {
    const size_t length = bytes[offset];
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(offset + length - 1));
    bytes[offset] = static_cast<uint8_t>(length - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StreamingDescriptors,
    testing::Values(
        StreamingCase{"Intact", [](std::vector<uint8_t>&) {}, STATUS_SUCCESS},
        StreamingCase{"AsGeneralOneByteShort", [](std::vector<uint8_t>& b) { CutOne(b, Find(b, 1)[0]); },
                      STATUS_INVALID_PARAMETER},
        StreamingCase{"FormatTypeOneByteShort", [](std::vector<uint8_t>& b) { CutOne(b, Find(b, 2)[0]); },
                      STATUS_INVALID_PARAMETER},
        StreamingCase{"FormatTypeClaimsAThirdRate", [](std::vector<uint8_t>& b) { b[Find(b, 2)[0] + 7] = 3; },
                      STATUS_INVALID_PARAMETER},
        StreamingCase{"NoChannels", [](std::vector<uint8_t>& b) { b[Find(b, 2)[1] + 4] = 0; }, STATUS_INVALID_PARAMETER},
        StreamingCase{"NoSampleBytes", [](std::vector<uint8_t>& b) { b[Find(b, 2)[2] + 5] = 0; },
                      STATUS_INVALID_PARAMETER},
        // A range from 50 to 60 kHz holds no standard rate.
        StreamingCase{"RangeWithoutAStandardRate",
                      [](std::vector<uint8_t>& b) {
                          const size_t p = Find(b, 2)[0];
                          b[p + 7] = 0;
                          const uint8_t range[] = {0x50, 0xC3, 0x00, 0x60, 0xEA, 0x00};  // 50000, 60000
                          std::copy(std::begin(range), std::end(range), b.begin() + static_cast<std::ptrdiff_t>(p + 8));
                      },
                      STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Uac1StreamParseTest, ARangeOffersOnlyTheStandardRatesInsideIt) {
    ScopedCreators creators(&kInspectedCreators);
    // The first render setting: 44100 to 47000 Hz. 48000 lies above the range and is not offered.
    PlugPatched([](std::vector<uint8_t>& b) {
        const size_t p = Find(b, 2)[0];
        b[p + 7] = 0;
        const uint8_t range[] = {0x44, 0xAC, 0x00, 0x98, 0xB7, 0x00};  // 44100, 47000
        std::copy(std::begin(range), std::end(range), b.begin() + static_cast<std::ptrdiff_t>(p + 8));
    });
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(g_Hal->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    std::vector<ULONG> sixteenBit;
    for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
        WAVEFORMATEXTENSIBLE format{};
        engine->GetFormat(f, &format);
        if (format.Format.wBitsPerSample == 16) sixteenBit.push_back(format.Format.nSamplesPerSec);
    }
    EXPECT_EQ(sixteenBit, std::vector<ULONG>{44100});
}

}  // namespace

namespace {

TEST_F(Uac1StreamParseTest, APathOfTwoConnectorsGetsASoftwareMuteBetweenThem) {
    ScopedCreators creators(&kInspectedCreators);
    // The speaker terminal (id 3) fed straight from the streaming input terminal (id 1).
    PlugPatched([](std::vector<uint8_t>& b) {
        for (size_t p = 0; p + 8 < b.size() && b[p] >= 2; p += b[p]) {
            if (b[p + 1] == 0x24 && b[p + 2] == 3 && b[p + 3] == 3) b[p + 7] = 1;
        }
    });
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const ULONG muteId = 10;  // the node count when the render stream was walked
    AudioNode* mute = nullptr;
    ASSERT_EQ(g_Hal->FindNode(muteId, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute->GetNodeKind(), NodeKindCode(NodeKind::Mute));
    EXPECT_EQ(Sources(mute), "<0");
    AudioNode* connector = nullptr;
    ASSERT_EQ(g_Hal->FindNode(3, &connector), STATUS_SUCCESS);
    EXPECT_EQ(Sources(connector), "<10");
    StreamEngine* engine = nullptr;
    ASSERT_EQ(g_Hal->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetNodeCount(), 3u);
    AudioNode* last = nullptr;
    engine->GetNode(2, &last);
    EXPECT_EQ(last->GetId(), muteId);
}

}  // namespace
