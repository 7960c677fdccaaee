// The hand-written UAC 2.0 descriptor sets: the topologies the class specification draws as its
// examples (a headphone, a microphone, a headset, an IEC 61937 output, a mixer with an extension
// unit) and the entities it defines that the driver refuses (clock selector, clock multiplier, effect
// unit, processing unit, a feature unit without mute). Every byte is written out; only the lengths
// that depend on what follows (the configuration's and the AudioControl header's wTotalLength) are
// counted by Configuration().
#include "uac2_descriptor_sets.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace testdata {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kInterface = 0x04, kEndpoint = 0x05, kCsInterface = 0x24, kCsEndpoint = 0x25;
constexpr uint8_t kHeader = 0x01, kAcInterfaceHeaderTotalAt = 6;

// The descriptors one after the other, with wTotalLength of the configuration and of the
// AudioControl header (the header and the class-specific descriptors right after it) filled in.
Bytes Configuration(const std::vector<Bytes>& descriptors) {
    Bytes out;
    size_t header = 0;
    bool inHeader = false;
    for (const Bytes& d : descriptors) {
        if (d.size() < 3 || d[0] != d.size()) {
            std::fprintf(stderr, "uac2_descriptor_sets: descriptor at %zu: bLength %u, %zu bytes\n", out.size(),
                         d.empty() ? 0u : d[0], d.size());
            std::abort();
        }
        if (d[1] != kCsInterface) inHeader = false;
        if (d[1] == kCsInterface && d[2] == kHeader && d.size() == 9) {
            header = out.size();
            inHeader = true;
        }
        out.insert(out.end(), d.begin(), d.end());
        if (inHeader) {
            const size_t total = out.size() - header;
            out[header + kAcInterfaceHeaderTotalAt] = uint8_t(total);
            out[header + kAcInterfaceHeaderTotalAt + 1] = uint8_t(total >> 8);
        }
    }
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    return out;
}

// High-speed USB 2.0 device whose class is given by an interface association; manufacturer
// string 1, product string 2.
Bytes Device(uint16_t product) {
    return {18, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0xE7, 0xA5, uint8_t(product), uint8_t(product >> 8),
            0x00, 0x01, 1, 2, 0, 1};
}

Bytes Join(const Bytes& device, const Bytes& configuration) {
    // One allocation and two copies (growing a copy of the device descriptor trips a false
    // -Warray-bounds at -O3).
    Bytes out(device.size() + configuration.size());
    std::copy(device.begin(), device.end(), out.begin());
    std::copy(configuration.begin(), configuration.end(), out.begin() + static_cast<std::ptrdiff_t>(device.size()));
    return out;
}

// Common pieces, each a handful of literal descriptors.
Bytes ConfigurationHeader(uint8_t interfaces) { return {9, 0x02, 0, 0, interfaces, 1, 0, 0x80, 50}; }
Bytes Association(uint8_t count) { return {8, 0x0B, 0, count, 0x01, 0x00, 0x20, 0}; }
Bytes AudioControl(uint8_t endpoints) { return {9, kInterface, 0, 0, endpoints, 0x01, 0x01, 0x20, 0}; }
Bytes AcHeader(uint8_t category) { return {9, kCsInterface, kHeader, 0x00, 0x02, category, 0, 0, 0x00}; }
// Interrupt IN endpoint 0x83 of the AudioControl interface: 6-byte messages every 8 ms.
Bytes StatusEndpoint() { return {7, kEndpoint, 0x83, 0x03, 6, 0, 7}; }
// Clock source: attributes (0 external, 1 internal fixed, 3 internal programmable), controls.
Bytes ClockSource(uint8_t id, uint8_t attributes, uint8_t controls) {
    return {8, kCsInterface, 0x0A, id, attributes, controls, 0, 0};
}
Bytes InputTerminal(uint8_t id, uint16_t type, uint8_t clock, uint8_t channels, uint8_t config) {
    return {17, kCsInterface, 0x02, id, uint8_t(type), uint8_t(type >> 8), 0, clock, channels, config, 0, 0, 0,
            0, 0x00, 0x00, 0};
}
Bytes OutputTerminal(uint8_t id, uint16_t type, uint8_t source, uint8_t clock) {
    return {12, kCsInterface, 0x03, id, uint8_t(type), uint8_t(type >> 8), 0, source, clock, 0x00, 0x00, 0};
}
// Stereo feature unit: master entry, then channels 1 and 2 (bmaControls as 4 little-endian bytes).
Bytes StereoFeatureUnit(uint8_t id, uint8_t source, uint8_t master, uint8_t channel) {
    return {18, kCsInterface, 0x06, id, source, master, 0, 0, 0, channel, 0, 0, 0, channel, 0, 0, 0, 0};
}
constexpr uint8_t kMuteAndVolume = 0x0F;  // mute and volume host-programmable
constexpr uint8_t kVolume = 0x0C;
constexpr uint8_t kMute = 0x03;

// One AudioStreaming interface: zero-bandwidth alternate setting 0, then the settings given.
struct AltSetting {
    uint8_t formatType;  // 1 or 3
    uint32_t formats;    // bmFormats
    uint8_t subslot, bits;
};
Bytes StreamingInterface(uint8_t number, uint8_t terminal, uint8_t channels, uint8_t config, uint8_t endpoint,
                         uint8_t sync, std::initializer_list<AltSetting> settings) {
    Bytes out = {9, kInterface, number, 0, 0, 0x01, 0x02, 0x20, 0};
    uint8_t alternate = 1;
    for (const AltSetting& s : settings) {
        // Packets for 48 kHz at one packet per millisecond (bInterval 4), one frame more.
        const uint16_t packet = uint16_t(49 * channels * s.subslot);
        const Bytes piece[] = {
            {9, kInterface, number, alternate, 1, 0x01, 0x02, 0x20, 0},
            {16, kCsInterface, 0x01, terminal, 0x00, s.formatType, uint8_t(s.formats), uint8_t(s.formats >> 8),
             uint8_t(s.formats >> 16), uint8_t(s.formats >> 24), channels, config, 0, 0, 0, 0},
            {6, kCsInterface, 0x02, s.formatType, s.subslot, s.bits},
            {7, kEndpoint, endpoint, uint8_t(0x01 | sync), uint8_t(packet), uint8_t(packet >> 8), 4},
            {8, kCsEndpoint, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
        };
        for (const Bytes& b : piece) out.insert(out.end(), b.begin(), b.end());
        ++alternate;
    }
    return out;
}
constexpr uint8_t kAdaptive = 0x08, kAsynchronous = 0x04;
constexpr AltSetting kPcm16 = {0x01, 0x00000001, 2, 16};
constexpr AltSetting kPcm24 = {0x01, 0x00000001, 4, 24};

// An interface's descriptors as one piece for Configuration(): split back into descriptors.
std::vector<Bytes> Split(const Bytes& bytes) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < bytes.size() && bytes[at] >= 2 && at + bytes[at] <= bytes.size(); at += bytes[at]) {
        out.emplace_back(bytes.begin() + at, bytes.begin() + at + bytes[at]);
    }
    return out;
}

}  // namespace

const std::vector<DescriptorSet>& Uac2DescriptorSets() {
    static const std::vector<DescriptorSet> sets = [] {
        std::vector<DescriptorSet> out;
        // control: configuration, association, AudioControl interface and its descriptors;
        // streaming: whole AudioStreaming interfaces.
        auto add = [&](const char* name, const char* description, const char* refusal, uint16_t product,
                       std::initializer_list<Bytes> control, std::initializer_list<Bytes> streaming) {
            std::vector<Bytes> all(control);
            for (const Bytes& s : streaming) {
                for (Bytes& d : Split(s)) all.push_back(std::move(d));
            }
            out.push_back({name, description, refusal, Join(Device(product), Configuration(all))});
        };
        constexpr uint16_t kUsbStreaming = 0x0101, kMicrophone = 0x0201, kSpeaker = 0x0301, kHeadphones = 0x0302;
        constexpr uint16_t kHeadset = 0x0402, kLineConnector = 0x0603, kSpdif = 0x0605;
        constexpr uint8_t kStereo = 0x03;

        add("uac2-headphones", "Headphones: a fixed 48 kHz clock, USB streaming in, mute and volume, stereo 16-bit "
            "adaptive playback", "", 0x0201,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0xFF),
             ClockSource(0x10, 0x01, 0x01),  // internal fixed, frequency read-only
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo), StereoFeatureUnit(2, 1, kMuteAndVolume, kVolume),
             OutputTerminal(3, kHeadphones, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-microphone", "Microphone: one mono microphone straight to a USB streaming output, 16-bit "
            "asynchronous capture, a status endpoint", "", 0x0202,
            {ConfigurationHeader(2), Association(2), AudioControl(1), AcHeader(0x03), ClockSource(0x10, 0x01, 0x05),
             InputTerminal(1, kMicrophone, 0x10, 1, 0x00), OutputTerminal(2, kUsbStreaming, 1, 0x10), StatusEndpoint()},
            {StreamingInterface(1, 2, 1, 0x00, 0x81, kAsynchronous, {kPcm16})});

        add("uac2-headset", "Headset: stereo playback and mono capture on one programmable clock, mute and volume "
            "on each side, 16 and 24-bit settings", "", 0x0203,
            {ConfigurationHeader(3), Association(3), AudioControl(1), AcHeader(0x04), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo), StereoFeatureUnit(2, 1, kMuteAndVolume, kVolume),
             OutputTerminal(3, kHeadset, 2, 0x10), InputTerminal(4, kHeadset, 0x10, 1, 0x00),
             {14, kCsInterface, 0x06, 5, 4, kMuteAndVolume, 0, 0, 0, 0, 0, 0, 0, 0},  // mono feature unit
             OutputTerminal(6, kUsbStreaming, 5, 0x10), StatusEndpoint()},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16, kPcm24}),
             StreamingInterface(2, 6, 1, 0x00, 0x82, kAsynchronous, {kPcm16})});

        add("uac2-iec61937", "S/PDIF output: PCM and an IEC 61937 (Type III: AC-3 and WMA) setting", "", 0x0204,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0x06), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo), StereoFeatureUnit(2, 1, kMute, 0),
             OutputTerminal(3, kSpdif, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16, {0x03, 0x00001001, 2, 16}})});

        add("uac2-mixer-extension", "Speaker fed by a mixer of the USB stream and a line input, then an extension "
            "unit, mute and volume", "", 0x0205,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0x01), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo), InputTerminal(4, kLineConnector, 0x10, 2, kStereo),
             // mixer 7: inputs 1 and 4, 2 output channels, every crossing programmable (one byte)
             {16, kCsInterface, 0x04, 7, 2, 1, 4, 2, kStereo, 0, 0, 0, 0, 0xFF, 0x00, 0},
             // extension unit 8: code 0x1234, one input, 2 channels, enable control read-only
             {16, kCsInterface, 0x09, 8, 0x34, 0x12, 1, 7, 2, kStereo, 0, 0, 0, 0, 0x01, 0},
             StereoFeatureUnit(2, 8, kMuteAndVolume, kVolume), OutputTerminal(3, kSpeaker, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-clock-selector", "Headphones on a clock selector between an internal clock and an external "
            "S/PDIF clock", "clock selector", 0x0206,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0xFF), ClockSource(0x10, 0x03, 0x07),
             ClockSource(0x11, 0x00, 0x05),  // external, validity read-only
             {9, kCsInterface, 0x0B, 0x12, 2, 0x10, 0x11, 0x03, 0},  // selector programmable
             InputTerminal(1, kUsbStreaming, 0x12, 2, kStereo), StereoFeatureUnit(2, 1, kMuteAndVolume, kVolume),
             OutputTerminal(3, kHeadphones, 2, 0x12)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-clock-multiplier", "Headphones on a clock multiplier of the internal clock", "clock multiplier",
            0x0207,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0xFF), ClockSource(0x10, 0x03, 0x07),
             {7, kCsInterface, 0x0C, 0x13, 0x10, 0x05, 0},  // numerator and denominator read-only
             InputTerminal(1, kUsbStreaming, 0x13, 2, kStereo), StereoFeatureUnit(2, 1, kMuteAndVolume, kVolume),
             OutputTerminal(3, kHeadphones, 2, 0x13)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-effect-unit", "Speaker behind a parametric equalizer effect unit", "effect unit", 0x0208,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0x01), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo),
             // effect unit 9: parametric equalizer section (type 1), enable on the master
             {20, kCsInterface, 0x07, 9, 0x01, 0x00, 1, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
             StereoFeatureUnit(2, 9, kMuteAndVolume, kVolume), OutputTerminal(3, kSpeaker, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-processing-unit", "Speaker behind an up/down-mix processing unit with one mode", "processing unit",
            0x0209,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0x01), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo),
             // processing unit 10: up/down-mix (type 1), one input, 2 channels, enable read-only; one mode (L, R)
             {22, kCsInterface, 0x08, 10, 0x01, 0x00, 1, 1, 2, kStereo, 0, 0, 0, 0, 0x01, 0x00, 0, 1, kStereo, 0, 0, 0},
             StereoFeatureUnit(2, 10, kMuteAndVolume, kVolume), OutputTerminal(3, kSpeaker, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-volume-without-mute", "Headphones whose feature unit has volume but no mute",
            "feature unit without mute", 0x020A,
            {ConfigurationHeader(2), Association(2), AudioControl(0), AcHeader(0xFF), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, kStereo), StereoFeatureUnit(2, 1, kVolume, kVolume),
             OutputTerminal(3, kHeadphones, 2, 0x10)},
            {StreamingInterface(1, 1, 2, kStereo, 0x01, kAdaptive, {kPcm16})});

        add("uac2-mask0", "Speaker and microphone whose clusters name no channel positions (bmChannelConfig 0)", "",
            0x020B,
            {ConfigurationHeader(3), Association(3), AudioControl(0), AcHeader(0x04), ClockSource(0x10, 0x03, 0x07),
             InputTerminal(1, kUsbStreaming, 0x10, 2, 0x00), StereoFeatureUnit(2, 1, kMuteAndVolume, kVolume),
             OutputTerminal(3, kSpeaker, 2, 0x10), InputTerminal(4, kMicrophone, 0x10, 2, 0x00),
             OutputTerminal(5, kUsbStreaming, 4, 0x10)},
            {StreamingInterface(1, 1, 2, 0x00, 0x01, kAdaptive, {kPcm16}),
             StreamingInterface(2, 5, 2, 0x00, 0x82, kAsynchronous, {kPcm16})});
        return out;
    }();
    return sets;
}

}  // namespace testdata
