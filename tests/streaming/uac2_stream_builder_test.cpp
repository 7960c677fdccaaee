// The walk of the UAC 2.0 AudioStreaming interfaces: the catalog device's golden engines (formats
// per setting and rate, paths, clock), and descriptor sets changed from it that the walk must
// refuse or read differently.
#include "streaming/uac2_stream_machine.h"

#include <functional>

namespace {

using stream_test::g_Uac2BuildStatus;
using stream_test::Uac2StreamMachine;

constexpr UCHAR kCsInterface = 0x24;

// The "uac2" descriptors with the configuration changed by Change (wTotalLength follows), and
// audio options of the test's own.
std::unique_ptr<sim::usb::Device> Uac2Changed(const std::function<void(std::vector<uint8_t>&)>& Change,
                                              sim::usb::AudioOptions options = {}) {
    auto base = sim::usb::CreateCatalogDevice("uac2");
    std::vector<uint8_t> config(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    Change(config);
    config[2] = uint8_t(config.size());
    config[3] = uint8_t(config.size() >> 8);
    sim::usb::DeviceSetup setup;
    setup.name = "uac2-changed";
    setup.speed = sim::usb::Speed::High;
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    setup.configurations.push_back(std::move(config));
    setup.audio = std::move(options);
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

// Offset of the first class-specific AudioStreaming descriptor of Subtype after interface
// Interface's setting Alternate.
size_t FindAs(const std::vector<uint8_t>& c, uint8_t Interface, uint8_t Alternate, uint8_t Subtype) {
    bool inside = false;
    for (size_t p = 0; p + 2 < c.size() && c[p] != 0; p += c[p]) {
        if (c[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) inside = c[p + 2] == Interface && c[p + 3] == Alternate;
        if (inside && c[p + 1] == kCsInterface && c[p + 2] == Subtype) return p;
    }
    ADD_FAILURE() << "no subtype " << int(Subtype) << " in interface " << int(Interface) << " setting " << int(Alternate);
    return 0;
}

// Every setting's AS_GENERAL of interface 1 changed by Change.
void EachRenderGeneral(std::vector<uint8_t>& c, const std::function<void(uint8_t*)>& Change) {
    for (uint8_t alt : {1, 2}) Change(&c[FindAs(c, 1, alt, 1)]);
}

std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>> Formats(UsbAudioStream* Stream) {
    std::vector<std::pair<UCHAR, WAVEFORMATEXTENSIBLE>> out;
    for (ULONG i = 0; i < Stream->GetFormatCount(); ++i) {
        WAVEFORMATEXTENSIBLE f{};
        EXPECT_EQ(Stream->GetFormat(i, &f), STATUS_SUCCESS);
        UCHAR alt = 0;
        EXPECT_EQ(Stream->FindAltSetting(&f.Format, &alt), STATUS_SUCCESS);
        out.emplace_back(alt, f);
    }
    return out;
}

std::vector<ULONG> PathIds(UsbAudioStream* Stream) {
    std::vector<ULONG> ids;
    for (ULONG i = 0; i < Stream->GetNodeCount(); ++i) {
        AudioNode* node = nullptr;
        if (NT_SUCCESS(Stream->GetNode(i, &node))) ids.push_back(node->GetId());
    }
    return ids;
}

class Uac2StreamBuilderTest : public Uac2StreamMachine {};

TEST_F(Uac2StreamBuilderTest, CatalogDeviceGivesTwoEnginesWithEveryRateOfEachSetting) {
    ASSERT_EQ(StartDevice("uac2"), STATUS_SUCCESS);
    ASSERT_EQ(m_common->GetStreamEngineCount(), 2u);
    struct Expected {
        UCHAR alt;
        ULONG rate;
        WORD bits, valid, align;
    };
    std::vector<Expected> expected;
    for (UCHAR alt : {1, 2}) {
        for (ULONG rate : {44100u, 48000u, 96000u}) {
            expected.push_back(alt == 1 ? Expected{1, rate, 32, 24, 8} : Expected{2, rate, 16, 16, 4});
        }
    }
    const GUID pcm{0x0001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    for (ULONG index : {0u, 1u}) {
        SCOPED_TRACE(index);
        UsbAudioStream* stream = Stream(index);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->GetDirection(), index == 0 ? StreamDirectionRender : StreamDirectionCapture);
        const auto formats = Formats(stream);
        ASSERT_EQ(formats.size(), expected.size());
        for (size_t i = 0; i < formats.size(); ++i) {
            const WAVEFORMATEXTENSIBLE& f = formats[i].second;
            EXPECT_EQ(formats[i].first, expected[i].alt) << i;
            EXPECT_EQ(f.Format.nSamplesPerSec, expected[i].rate) << i;
            EXPECT_EQ(f.Format.wBitsPerSample, expected[i].bits) << i;
            EXPECT_EQ(f.Samples.wValidBitsPerSample, expected[i].valid) << i;
            EXPECT_EQ(f.Format.nBlockAlign, expected[i].align) << i;
            EXPECT_EQ(f.Format.nAvgBytesPerSec, expected[i].rate * expected[i].align) << i;
            EXPECT_EQ(f.dwChannelMask, 3u) << i;
            EXPECT_EQ(f.SubFormat, pcm) << i;
        }
    }
    EXPECT_EQ(PathIds(Stream(0)), (std::vector<ULONG>{3, 1}));
    EXPECT_EQ(PathIds(Stream(1)), (std::vector<ULONG>{6, 4}));
    // The device's valid-alternate-settings answer: settings 1 and 2 exist, 3 and 9 do not (9 lies
    // past the one byte of bits the device sends).
    for (const auto& [alt, valid] : {std::pair{1, true}, {2, true}, {3, false}, {9, false}}) {
        EXPECT_EQ(Playback()->IsAltSettingValid(UCHAR(alt)) != 0, valid) << alt;
        EXPECT_EQ(Recording()->IsAltSettingValid(UCHAR(alt)) != 0, valid) << alt;
    }
    EXPECT_EQ(Playback()->ClockControlId(), stream_test::kClockControlId);
    EXPECT_EQ(Recording()->ClockControlId(), stream_test::kClockControlId);
}

struct RefusalCase {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> change;
    NTSTATUS status;
};

// Descriptors shorter than the fields the walk reads, out of order or of the wrong kind refuse the
// device. (Lengths that break the chain are refused by the adapter before any walk; the walk's own
// refusal of them is tested on raw bytes.)
TEST_F(Uac2StreamBuilderTest, MalformedStreamingDescriptorsAreRefused) {
    const RefusalCase cases[] = {
        {"AS_GENERAL one byte short of bmChannelConfig",
         [](std::vector<uint8_t>& c) {
             const size_t at = FindAs(c, 1, 1, 1);
             c.erase(c.begin() + std::ptrdiff_t(at + 14), c.begin() + std::ptrdiff_t(at + c[at]));
             c[at] = 14;
         },
         STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE without bBitResolution",
         [](std::vector<uint8_t>& c) {
             const size_t at = FindAs(c, 1, 1, 2);
             c.erase(c.begin() + std::ptrdiff_t(at + 5));
             c[at] = 5;
         },
         STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE before the first AS_GENERAL",
         [](std::vector<uint8_t>& c) {
             const size_t general = FindAs(c, 1, 1, 1);
             const size_t format = FindAs(c, 1, 1, 2);
             std::vector<uint8_t> moved(c.begin() + std::ptrdiff_t(format), c.begin() + std::ptrdiff_t(format + c[format]));
             c.erase(c.begin() + std::ptrdiff_t(format), c.begin() + std::ptrdiff_t(format + moved.size()));
             c.insert(c.begin() + std::ptrdiff_t(general), moved.begin(), moved.end());
         },
         STATUS_INVALID_PARAMETER},
        {"format type II", [](std::vector<uint8_t>& c) { EachRenderGeneral(c, [](uint8_t* d) { d[5] = 2; }); },
         STATUS_INVALID_PARAMETER},
        {"terminal link to the feature unit", [](std::vector<uint8_t>& c) { c[FindAs(c, 1, 1, 1) + 3] = 2; },
         STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE of no bytes per sample", [](std::vector<uint8_t>& c) { c[FindAs(c, 1, 1, 2) + 4] = 0; },
         STATUS_INVALID_PARAMETER},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        g_Uac2BuildStatus = STATUS_SUCCESS;
        PlugDevice(Uac2Changed(c.change));
        EXPECT_FALSE(NT_SUCCESS(Start()));
        EXPECT_EQ(g_Uac2BuildStatus, c.status);
        ReleaseStreams();
        ReleaseAdapter();
        Unplug();
    }
}

// A foreign descriptor inside interface 1 ends its walk; the search for the next interface meets
// interface 1 again (setting 2), which must not become a second stream.
TEST_F(Uac2StreamBuilderTest, AnInterfaceMetAgainAfterAForeignDescriptorIsOneStream) {
    PlugDevice(Uac2Changed([](std::vector<uint8_t>& c) {
        const size_t at = FindAs(c, 1, 1, 2);
        const uint8_t foreign[] = {4, 0x42, 0, 0};
        c.insert(c.begin() + std::ptrdiff_t(at), std::begin(foreign), std::end(foreign));
    }));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(m_common->GetStreamEngineCount(), 2u);
    EXPECT_EQ(Stream(0)->GetDirection(), StreamDirectionRender);
    EXPECT_EQ(Stream(1)->GetDirection(), StreamDirectionCapture);
}

// Type III: AC-3 and WMA records at every rate. Raw data (type I without PCM): DSD records only at
// the rates where the device reports the setting valid.
TEST_F(Uac2StreamBuilderTest, TypeThreeAndRawDataSettingsGiveTheirSubFormats) {
    PlugDevice(Uac2Changed(
        [](std::vector<uint8_t>& c) {
            uint8_t* typeIII = &c[FindAs(c, 1, 1, 1)];
            typeIII[5] = 3;
            typeIII[6] = 0x01;
            typeIII[7] = 0x10;  // bits 0 and 12
            uint8_t* raw = &c[FindAs(c, 1, 2, 1)];
            raw[6] = raw[7] = raw[8] = 0;
            raw[9] = 0x80;  // bit 31
        },
        {.altSettingRates = {{uint16_t(1 << 8 | 2), {48000}}}}));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    const auto formats = Formats(Stream(0));
    std::vector<std::tuple<UCHAR, ULONG, USHORT>> got;
    for (const auto& [alt, f] : formats) got.emplace_back(alt, f.Format.nSamplesPerSec, USHORT(f.SubFormat.Data1));
    const std::vector<std::tuple<UCHAR, ULONG, USHORT>> expected = {
        {1, 44100, 0x92}, {1, 44100, 0x164}, {1, 48000, 0x92}, {1, 48000, 0x164},
        {1, 96000, 0x92}, {1, 96000, 0x164}, {2, 48000, 0xA5E7},
    };
    EXPECT_EQ(got, expected);
}

}  // namespace
