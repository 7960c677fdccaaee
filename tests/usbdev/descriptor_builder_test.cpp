// Descriptor builders: lengths, the fields computed at Build(), and the length rules every reader
// of class-specific descriptors asks first.
#include "descriptor_walk.h"

#include <gtest/gtest.h>
#include <sim/usb_descriptor_builder.h>

#include <functional>
#include <map>

namespace {

using namespace sim::usb;
using sim::usb::detail::AudioArea;
using sim::usb::detail::ByteSpan;
using sim::usb::detail::DescriptorCursor;

// The descriptors of a built configuration, after the configuration descriptor.
std::vector<std::vector<uint8_t>> Descriptors(const Bytes& configuration) {
    std::vector<std::vector<uint8_t>> out;
    DescriptorCursor cursor(configuration);
    cursor.Next();
    while (auto d = cursor.Next()) out.emplace_back(d->begin(), d->end());
    EXPECT_FALSE(cursor.Malformed());
    return out;
}

// One valid descriptor per class-specific rule, made by the typed builders. The rules test below
// fails when a rule has no sample here, so a new rule comes with one.
struct Sample {
    AudioVersion version;
    AudioArea area;
    uint8_t subtype;
    std::function<void(ConfigurationBuilder&)> add;
};

const std::vector<Sample>& Samples() {
    using V = AudioVersion;
    using A = AudioArea;
    static const std::vector<Sample> samples = {
        {V::Uac1, A::Control, USB_AUDIO_AC_HEADER, [](auto& b) { b.Add(Uac1Header{}); }},
        {V::Uac1, A::Control, USB_AUDIO_AC_INPUT_TERMINAL, [](auto& b) { b.Add(Uac1InputTerminal{.terminalId = 1}); }},
        {V::Uac1, A::Control, USB_AUDIO_AC_OUTPUT_TERMINAL, [](auto& b) { b.Add(Uac1OutputTerminal{.terminalId = 2}); }},
        {V::Uac1, A::Control, USB_AUDIO_AC_MIXER_UNIT,
         [](auto& b) { b.Add(Uac1MixerUnit{.unitId = 3, .sources = {1, 2}, .controls = {0xFF}}); }},
        {V::Uac1, A::Control, USB_AUDIO_AC_SELECTOR_UNIT, [](auto& b) { b.Add(Uac1SelectorUnit{.unitId = 4, .sources = {1, 2, 3}}); }},
        {V::Uac1, A::Control, USB_AUDIO_AC_FEATURE_UNIT,
         [](auto& b) { b.Add(Uac1FeatureUnit{.unitId = 5, .sourceId = 1, .controlSize = 2, .controls = {3, 2, 2}}); }},
        {V::Uac1, A::Control, USB_AUDIO1_AC_PROCESSING_UNIT,  // up/down-mix unit: 1 pin, 2 control bytes
         [](auto& b) { b.AddRaw(std::vector<uint8_t>{16, 0x24, 7, 6, 1, 0, 1, 1, 2, 3, 0, 0, 2, 1, 0, 0}); }},
        {V::Uac1, A::Control, USB_AUDIO1_AC_EXTENSION_UNIT,
         [](auto& b) { b.AddRaw(std::vector<uint8_t>{15, 0x24, 8, 7, 0x34, 0x12, 1, 1, 2, 3, 0, 0, 1, 1, 0}); }},
        {V::Uac1, A::Streaming, USB_AUDIO_AS_GENERAL, [](auto& b) { b.Add(Uac1AsGeneral{.terminalLink = 1}); }},
        {V::Uac1, A::Streaming, USB_AUDIO_AS_FORMAT_TYPE,
         [](auto& b) { b.Add(Uac1FormatType{.rates = {44100, 48000, 96000}}); }},
        {V::Uac1, A::Endpoint, USB_AUDIO_EP_GENERAL, [](auto& b) { b.Add(Uac1CsEndpoint{}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_HEADER, [](auto& b) { b.Add(Uac2Header{}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_INPUT_TERMINAL, [](auto& b) { b.Add(Uac2InputTerminal{.terminalId = 1}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_OUTPUT_TERMINAL, [](auto& b) { b.Add(Uac2OutputTerminal{.terminalId = 2}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_MIXER_UNIT,
         [](auto& b) { b.Add(Uac2MixerUnit{.unitId = 3, .sources = {1, 2}, .mixerControls = {0xFF}}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_SELECTOR_UNIT, [](auto& b) { b.Add(Uac2SelectorUnit{.unitId = 4, .sources = {1, 2}}); }},
        {V::Uac2, A::Control, USB_AUDIO_AC_FEATURE_UNIT,
         [](auto& b) { b.Add(Uac2FeatureUnit{.unitId = 5, .sourceId = 1, .controls = {0xF, 0xC}}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_EFFECT_UNIT,
         [](auto& b) { b.Add(Uac2EffectUnit{.unitId = 6, .effectType = 1, .sourceId = 1, .controls = {0x3, 0, 0}}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_PROCESSING_UNIT,
         [](auto& b) { b.Add(Uac2ProcessingUnit{.unitId = 7, .processType = 1, .sources = {1, 2}}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_EXTENSION_UNIT,
         [](auto& b) { b.Add(Uac2ExtensionUnit{.unitId = 7, .extensionCode = 0x1234, .sources = {1, 2}}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_CLOCK_SOURCE, [](auto& b) { b.Add(Uac2ClockSource{.clockId = 8}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_CLOCK_SELECTOR, [](auto& b) { b.Add(Uac2ClockSelector{.clockId = 9, .sources = {8, 10}}); }},
        {V::Uac2, A::Control, USB_AUDIO2_AC_CLOCK_MULTIPLIER,
         [](auto& b) { b.Add(Uac2ClockMultiplier{.clockId = 11, .sourceId = 8}); }},
        {V::Uac2, A::Streaming, USB_AUDIO_AS_GENERAL, [](auto& b) { b.Add(Uac2AsGeneral{.terminalLink = 1}); }},
        {V::Uac2, A::Streaming, USB_AUDIO_AS_FORMAT_TYPE, [](auto& b) { b.Add(Uac2FormatTypeI{}); }},
        {V::Uac2, A::Streaming, USB_AUDIO_AS_FORMAT_TYPE, [](auto& b) { b.Add(Uac2FormatTypeIII{}); }},
        {V::Uac2, A::Endpoint, USB_AUDIO_EP_GENERAL, [](auto& b) { b.Add(Uac2CsEndpoint{}); }},
    };
    return samples;
}

std::vector<uint8_t> SampleBytes(const Sample& s) {
    ConfigurationBuilder b;
    s.add(b);
    auto all = Descriptors(b.Build());
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? std::vector<uint8_t>{} : all.front();
}

TEST(ClassDescriptorRules, EveryRuleAcceptsItsSampleAndRejectsOneByteShort) {
    for (const auto& rule : detail::ClassDescriptorRules()) {
        const Sample* sample = nullptr;
        for (const Sample& s : Samples()) {
            if (s.version == rule.version && s.area == rule.area && s.subtype == rule.subtype) sample = &s;
        }
        ASSERT_NE(sample, nullptr) << "no sample for " << rule.name;
        std::vector<uint8_t> d = SampleBytes(*sample);
        EXPECT_TRUE(detail::ClassDescriptorReadable(rule.version, rule.area, d)) << rule.name;
        d.pop_back();
        d[0] = uint8_t(d.size());
        EXPECT_FALSE(detail::ClassDescriptorReadable(rule.version, rule.area, d)) << rule.name << " one byte short";
    }
}

TEST(ClassDescriptorRules, FailClosed) {
    // Subtypes without a row, and a bLength that disagrees with the bytes, are never readable.
    const std::vector<uint8_t> sampleRateConverter = {8, 0x24, USB_AUDIO2_AC_SAMPLE_RATE_CONVERTER, 1, 1, 2, 3, 0};
    EXPECT_FALSE(detail::ClassDescriptorReadable(AudioVersion::Uac2, AudioArea::Control, sampleRateConverter));
    const std::vector<uint8_t> lying = {12, 0x24, USB_AUDIO_AC_INPUT_TERMINAL, 1, 1, 1, 0, 2, 3, 0, 0};
    EXPECT_FALSE(detail::ClassDescriptorReadable(AudioVersion::Uac1, AudioArea::Control, lying));
    // A UAC 1.0 feature unit whose bControlSize is 0 has no readable entry.
    const std::vector<uint8_t> noEntries = {8, 0x24, USB_AUDIO_AC_FEATURE_UNIT, 2, 1, 0, 0, 0};
    EXPECT_FALSE(detail::ClassDescriptorReadable(AudioVersion::Uac1, AudioArea::Control, noEntries));
}

TEST(DescriptorCursor, StopsOnShortOrOverlongDescriptors) {
    struct Case {
        std::vector<uint8_t> bytes;
        size_t whole;
        bool malformed;
    } cases[] = {
        {{2, 1, 3, 5, 1, 2, 3}, 3, false},
        {{2, 1, 0, 5}, 1, true},
        {{2, 1, 1}, 1, true},
        {{2, 1, 4, 5, 1}, 1, true},
        {{}, 0, false},
    };
    for (const Case& k : cases) {
        DescriptorCursor cursor(k.bytes);
        size_t whole = 0;
        while (cursor.Next()) ++whole;
        EXPECT_EQ(whole, k.whole);
        EXPECT_EQ(cursor.Malformed(), k.malformed);
    }
}

TEST(ConfigurationBuilder, ComputesTotalsCountsAndCollections) {
    ConfigurationBuilder b(ConfigurationFields{.configurationValue = 2});
    b.Add(InterfaceFields{.number = 0})
        .Add(Uac1Header{})
        .Add(Uac1InputTerminal{.terminalId = 1})
        .Add(Uac1OutputTerminal{.terminalId = 2, .sourceId = 1})
        .Add(EndpointFields{.address = 0x81, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 2, .audio1Form = true})
        .Add(InterfaceFields{.number = 3, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(InterfaceFields{.number = 3, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac1AsGeneral{.terminalLink = 1})
        .Add(EndpointFields{.address = 0x01, .maxPacketSize = 196, .audio1Form = true})
        .Add(EndpointFields{.address = 0x82, .maxPacketSize = 3, .audio1Form = true})
        .Add(InterfaceFields{.number = 5, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING});
    const Bytes c = b.Build();
    EXPECT_EQ(c[0], 9);
    EXPECT_EQ(c[2] | c[3] << 8, int(c.size()));
    EXPECT_EQ(c[4], 3) << "bNumInterfaces counts interface numbers, not alternate settings";
    EXPECT_EQ(c[5], 2);
    const auto d = Descriptors(c);
    ASSERT_EQ(d.size(), 11u);
    const std::vector<uint8_t>& header = d[1];
    ASSERT_EQ(header.size(), 10u);
    EXPECT_EQ(header[7], 2) << "bInCollection";
    EXPECT_EQ(header[8], 3);
    EXPECT_EQ(header[9], 5);
    EXPECT_EQ(header[5] | header[6] << 8, 10 + 12 + 9) << "AC header wTotalLength: header and units";
    EXPECT_EQ(d[0][4], 1) << "interface 0 bNumEndpoints";
    EXPECT_EQ(d[5][4], 0);
    EXPECT_EQ(d[6][4], 2);
    EXPECT_EQ(d[10][4], 0);
}

TEST(ConfigurationBuilder, Uac2HeaderCoversTheClockAndUnits) {
    ConfigurationBuilder b;
    b.Add(InterfaceFields{.number = 0, .interfaceProtocol = 0x20})
        .Add(Uac2Header{})
        .Add(Uac2ClockSource{.clockId = 9})
        .Add(Uac2FeatureUnit{.unitId = 2, .sourceId = 1, .controls = {0xF, 0xC, 0xC}})
        .Add(EndpointFields{.address = 0x83, .attributes = USB_ENDPOINT_TYPE_INTERRUPT, .maxPacketSize = 6});
    const auto d = Descriptors(b.Build());
    EXPECT_EQ(d[1][6] | d[1][7] << 8, 9 + 8 + 18);
    EXPECT_EQ(d[3].size(), 18u) << "6 + 4 x (2 channels + master)";
}

TEST(ConfigurationBuilder, Uac2UnitPiecesPlaceTheirFields) {
    ConfigurationBuilder b;
    b.Add(InterfaceFields{.number = 0, .interfaceProtocol = 0x20})
        .Add(Uac2Header{})
        .Add(Uac2ClockMultiplier{.clockId = 11, .sourceId = 8, .controls = 0x05, .iClockMultiplier = 4})
        .Add(Uac2EffectUnit{.unitId = 6, .effectType = 0x0102, .sourceId = 1, .controls = {0x3, 0xC00}, .iEffects = 5})
        .Add(Uac2ProcessingUnit{.unitId = 7, .processType = 2, .sources = {6, 3}, .nrChannels = 1, .channelConfig = 4,
                                .controls = 0x0301, .iProcessing = 9, .processSpecific = {1, 2}})
        .Add(Uac2ExtensionUnit{.unitId = 8, .extensionCode = 0xBEEF, .sources = {7}, .controls = 0x03, .iExtension = 2})
        .Add(InterfaceFields{.number = 1, .alternateSetting = 1, .interfaceSubClass = USB_AUDIO_SUBCLASS_AUDIOSTREAMING})
        .Add(Uac2FormatTypeIII{});
    const auto d = Descriptors(b.Build());
    EXPECT_EQ(d[2], (Bytes{7, 0x24, 0x0C, 11, 8, 0x05, 4}));
    EXPECT_EQ(d[3], (Bytes{16, 0x24, 0x07, 6, 0x02, 0x01, 1, 3, 0, 0, 0, 0, 0x0C, 0, 0, 5}));
    EXPECT_EQ(d[4], (Bytes{20, 0x24, 0x08, 7, 2, 0, 2, 6, 3, 1, 4, 0, 0, 0, 0, 0x01, 0x03, 9, 1, 2}));
    EXPECT_EQ(d[5], (Bytes{16, 0x24, 0x09, 8, 0xEF, 0xBE, 1, 7, 2, 3, 0, 0, 0, 0, 0x03, 2}));
    EXPECT_EQ(d[7], (Bytes{6, 0x24, 0x02, 0x03, 2, 16}));
    EXPECT_EQ(d[1][6] | d[1][7] << 8, 9 + 7 + 16 + 20 + 16) << "the header covers every unit";
}

TEST(StringDescriptors, LengthsAndLanguageList) {
    EXPECT_EQ(BuildStringDescriptor(u"R7U7"), (Bytes{10, 3, 'R', 0, '7', 0, 'U', 0, '7', 0}));
    EXPECT_EQ(BuildStringDescriptor(u""), (Bytes{2, 3}));
    const uint16_t languages[] = {0x0409, 0x0407};
    EXPECT_EQ(BuildLanguageDescriptor(languages), (Bytes{6, 3, 0x09, 0x04, 0x07, 0x04}));
    EXPECT_EQ(BuildStringDescriptor(std::u16string(126, u'x')).size(), 254u);
}

TEST(BuilderDeathTest, RefusesWhatBLengthCannotSay) {
    EXPECT_DEATH(BuildStringDescriptor(std::u16string(127, u'x')), "DESCRIPTOR_BUILDER");
    ConfigurationBuilder b;
    EXPECT_DEATH(b.Add(Uac1FeatureUnit{.unitId = 1, .controlSize = 3, .controls = {1}}), "DESCRIPTOR_BUILDER");
    EXPECT_DEATH(b.Add(Uac2SelectorUnit{.unitId = 1, .sources = std::vector<uint8_t>(249, 1)}), "DESCRIPTOR_BUILDER");
}

}  // namespace
