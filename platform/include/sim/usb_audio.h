// The USB Audio Class function of a simulated device, as tests and the host controller see it:
// entity state (controls, selectors, clocks), the render sinks and capture sources behind the
// isochronous endpoints, explicit feedback and the status interrupt queue.
#pragma once

#include <win/usb.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim::usb {

enum class AudioVersion : uint8_t { Uac1 = 1, Uac2 = 2 };

// One sub-range of a UAC 2.0 RANGE answer (MIN, MAX, RES) in the control's own units. A discrete
// value is a sub-range whose MIN equals its MAX with RES 0.
struct SubRange {
    int64_t minimum = 0;
    int64_t maximum = 0;
    int64_t resolution = 0;
};

// Initial value and range of one control, addressed as a class request addresses it: entity id,
// control selector (wValue high byte) and channel (wValue low byte). For a UAC 1.0 mixer unit the
// selector is the input channel and the channel the output channel.
struct ControlPreset {
    uint8_t entity = 0;
    uint8_t selector = 0;
    uint8_t channel = 0;
    int32_t current = 0;
    std::optional<int32_t> minimum{};
    std::optional<int32_t> maximum{};
    std::optional<int32_t> resolution{};
    // Several sub-ranges (UAC 2.0 RANGE answers them all; a value is taken inside any of them).
    std::vector<SubRange> ranges{};
};

// A jack of a vendor-extended terminal: the channels it carries (bmChannelConfig bits) and its
// configuration word; the word's connected field is filled from the connected channels when the
// device answers (layout: vendor_extensions.cpp of the simulated devices).
struct VendorJack {
    uint32_t channelMapping = 0;
    uint32_t configuration = 0;
};
struct VendorTerminalType {
    uint16_t terminalType = 0;  // wTerminalType the terminal switches to
    std::vector<VendorJack> jacks{};
};
// A terminal with the vendor extensions: it answers its jack list (GET CUR, connector selector,
// channel 0xFF) and, for an output terminal, the terminal-type selector (control selector 8: CUR and
// RANGE of 2-byte sub-ranges, one per type; SET CUR switches the type and with it the jacks). Its
// connector control's value is the mask of connected channels (bmChannelConfig bits).
struct VendorTerminal {
    std::vector<VendorTerminalType> types{};  // the first is the initial type
    uint32_t connectedChannels = 0;
};

// What the descriptors do not say about a device.
struct AudioOptions {
    // UAC 2.0 clock source id -> the rates it can run at, in Hz; the first is the initial rate.
    // Clock sources not listed run at the standard rates 44.1 to 192 kHz. A clock whose frequency
    // control the host cannot set runs at one rate: the first listed, or 48 kHz.
    std::map<uint8_t, std::vector<uint32_t>> clockRates{};
    // UAC 2.0 clock source id -> the sub-ranges its sampling frequency RANGE answers, in Hz
    // (continuous ranges, several sub-ranges); any rate inside one is taken. The first sub-range's
    // minimum is the initial rate. Replaces clockRates for that clock.
    std::map<uint8_t, std::vector<SubRange>> clockRanges{};
    // (interface << 8 | alternate setting) -> rates in Hz at which that setting is valid (UAC 2.0
    // valid-alternate-settings control). Settings not listed are valid at every rate.
    std::map<uint16_t, std::vector<uint32_t>> altSettingRates{};
    std::vector<ControlPreset> controls{};
    // Vendor extensions (UAC 2.0): terminal id -> its jacks and types; feature unit id -> its
    // extended control block, read with MEM requests (extended controls 0x82 and 0x90 follow
    // from its entries).
    std::map<uint8_t, VendorTerminal> vendorTerminals{};
    std::map<uint8_t, std::vector<uint8_t>> extendedControlBlocks{};
};

struct StreamFormat {
    uint8_t channels = 0;
    uint8_t subslotBytes = 0;   // bytes per sample container
    uint8_t bitResolution = 0;  // valid bits, most significant in the container
    uint32_t rateHz = 0;
    uint32_t FrameBytes() const { return uint32_t(channels) * subslotBytes; }
};

// The device's render FIFO: frames wait in it from their packet until the device clock plays them.
// Playback starts once startFrames are waiting; from then on the device takes rateHz frames a second
// (with its clock offset on asynchronous endpoints), one (micro)frame's share at a time. A share
// that finds too few frames is an underrun (silence is played, the clock runs on); frames that find
// the FIFO full are an overrun (they are dropped from the FIFO, not from what the sink stores).
struct FifoConfig {
    uint32_t depthFrames = 0;  // 0: no FIFO is modelled
    uint32_t startFrames = 0;
};
struct FifoStatistics {
    bool running = false;
    uint64_t underruns = 0;  // (micro)frames that found too few frames
    uint64_t overruns = 0;   // packets that found the FIFO full
    int64_t level = 0;       // frames waiting after the latest packet
    int64_t minLevel = 0;    // lowest level a (micro)frame's share left, while running
    int64_t maxLevel = 0;    // highest level after a packet, while running
};

// What arrived at a render endpoint: samples as the containers hold them, sign-extended, every one
// kept (up to the capacity) with the bus time of the packet that brought it.
//
// The device plays what it received at its own clock: from the first packet with data of a stream
// (an alternate setting selected anew starts a stream), it consumes rateHz frames a second, scaled by
// the device's clock offset when the endpoint is asynchronous. The backlog is what was received and
// not yet played, measured before each packet: a host that follows the device's clock keeps it
// within a packet; a host that ignores it drifts, and a negative backlog means the device ran dry.
class RenderSink {
public:
    StreamFormat Format() const;
    uint64_t Frames() const;  // frames received, stored or not
    uint64_t StoredFrames() const;
    int32_t Sample(uint64_t frame, unsigned channel) const;  // 0 outside what is stored
    std::vector<int32_t> Channel(unsigned channel) const;
    std::vector<int32_t> Interleaved() const;  // every stored sample, frame by frame
    // Every stored sample, frame by frame, taken out of the store in one step under the device's
    // lock: a packet that arrives meanwhile stays stored for the next take. Frames() and the
    // packet counters go on; bus times of the taken frames are forgotten.
    std::vector<int32_t> TakeInterleaved();
    // The bus time (125 us units: frame x 8 + microframe) of the packet that carried a stored frame.
    std::optional<uint64_t> MicroframeOf(uint64_t frame) const;
    uint64_t Packets() const;
    uint64_t EmptyPackets() const;
    uint64_t PartialFramePackets() const;  // length not a whole number of frames
    uint64_t OversizePackets() const;      // longer than wMaxPacketSize
    // Backlog in frames (see above) before the latest packet, and its extremes over the stream.
    int64_t Backlog() const;
    int64_t MinBacklog() const;
    int64_t MaxBacklog() const;
    void Clear();
    void SetCapacityFrames(uint64_t frames);
    // The FIFO model (off until configured); configuring it empties the FIFO and its counters.
    void SetFifo(const FifoConfig& config);
    FifoStatistics Fifo() const;
    FifoConfig FifoSetting() const;
    // PCM WAV file of the stored frames in the container size; false when it cannot be written.
    bool WriteWav(const std::string& path) const;

    // Host controller side (through the device): one packet of the current format, moved in bus
    // time `microframe`, played at the nominal rate scaled by clockPpm.
    void Accept(std::span<const uint8_t> packet, uint32_t maxPacketBytes, uint64_t microframe = 0,
                int32_t clockPpm = 0);
    void SetFormat(const StreamFormat& format);
    void RestartStream();  // the device's playback starts over with the next packet with data
    void SetLock(std::recursive_mutex* lock) { m_Lock = lock; }

    // The loopback tap: while on, every received frame is also kept at the device sample period the
    // device plays it in (the stream's start on the device clock plus the frames before it), for a
    // capture source in loopback. Turning it off or on empties it.
    void SetTap(bool on);
    // Sample of a channel played at device sample period n, as the container holds it; 0 when
    // nothing was played then.
    int32_t TapSample(uint64_t n, unsigned channel) const;
    // Frames played before device sample period n are no longer needed.
    void TrimTap(uint64_t n);

private:
    void DrainFifo(uint64_t microframe, int32_t clockPpm);
    void FillFifo(uint64_t frames, uint64_t microframe);
    void Tap(const uint8_t* data, size_t frames);

    struct PacketMark {
        uint64_t firstFrame;  // stored frame index of the packet's first frame
        uint64_t microframe;
    };
    std::recursive_mutex* m_Lock = nullptr;  // the device's; readers and the bus may race
    StreamFormat m_Format{};
    std::vector<int32_t> m_Samples{};  // interleaved
    std::vector<PacketMark> m_Marks{};  // packets with stored frames, in order
    uint64_t m_Frames = 0;
    uint64_t m_CapacityFrames = 4'000'000;
    uint64_t m_Packets = 0;
    uint64_t m_EmptyPackets = 0;
    uint64_t m_PartialFramePackets = 0;
    uint64_t m_OversizePackets = 0;
    // Device playback of the current stream.
    bool m_Playing = false;
    uint64_t m_PlayStart = 0;       // microframe of the stream's first packet with data
    uint64_t m_StreamFrames = 0;    // frames received in the stream
    int64_t m_Backlog = 0;
    int64_t m_MinBacklog = 0;
    int64_t m_MaxBacklog = 0;
    // FIFO model.
    FifoConfig m_FifoConfig{};
    FifoStatistics m_Fifo{};
    uint64_t m_FifoStart = 0;    // microframe playback started
    uint64_t m_FifoLast = 0;     // microframe drained up to
    uint64_t m_FifoDrained = 0;  // frames the device clock has taken since then
    // Loopback tap: interleaved frames from device sample period m_TapStart on.
    bool m_TapOn = false;
    std::deque<int32_t> m_Tap{};
    uint64_t m_TapStart = 0;
    uint64_t m_TapNext = 0;  // device sample period of the current stream's next frame
};

enum class SourceKind : uint8_t { Silence, Ramp, Sine, Wav, Loopback };

// Ramp (the default): sample n of channel c is (start + n x step + c x channelOffset), wrapped to the
// valid bits, so every channel carries its own ramp. Sine: amplitude in full scale (0..1). Wav: the
// file loaded with LoadWav, channel c from the file's channel c (silence past its channels), scaled
// from the file's sample size to the valid bits, looped or silent after its end; its rate is not
// converted. n counts device sample periods at the device's clock (with its offset on asynchronous
// endpoints), so frames the host never collected leave a gap. Loopback: sample n of channel c is
// what the device played on channel c of its render endpoint at sample period n - loopbackDelay,
// scaled from the render container to the valid bits (silence before, past its channels and with
// no render endpoint); set it through AudioFunction::SetLoopback.
struct CaptureSourceConfig {
    SourceKind kind = SourceKind::Ramp;
    int32_t start = 0;
    int32_t step = 1;
    int32_t channelOffset = 0x100;
    double sineHz = 1000.0;
    double amplitude = 0.5;
    bool loop = true;  // Wav
    uint32_t loopbackDelay = 0;  // Loopback, in sample periods
};

class CaptureSource {
public:
    void Configure(const CaptureSourceConfig& config);  // kind Wav keeps the file loaded before
    // Loads a PCM WAV file (8, 16, 24 or 32-bit integer) and switches the source to it; false with the
    // reason in *error when the file is unreadable or not such a file (the source is unchanged).
    bool LoadWav(const std::string& path, std::string* error = nullptr);
    CaptureSourceConfig Config() const;
    StreamFormat Format() const;
    uint64_t FramesProduced() const;
    // Value of sample n of a channel in the valid bits of the current format (not shifted).
    int32_t Value(uint64_t n, unsigned channel) const;

    // Host controller side: frames n0 .. n0 + count - 1 into the packet; answers the bytes written.
    uint32_t Produce(uint64_t n0, uint32_t count, std::span<uint8_t> packet);
    void SetFormat(const StreamFormat& format);
    void SetLock(std::recursive_mutex* lock) { m_Lock = lock; }
    // The render sink a Loopback source reads (the device's first render endpoint, or null).
    void SetLoopbackSink(RenderSink* sink) { m_LoopbackSink = sink; }

private:
    std::recursive_mutex* m_Lock = nullptr;
    RenderSink* m_LoopbackSink = nullptr;
    CaptureSourceConfig m_Config{};
    StreamFormat m_Format{};
    uint64_t m_FramesProduced = 0;
    // The loaded WAV file: interleaved samples of m_WavBits bits.
    std::vector<int32_t> m_Wav{};
    unsigned m_WavChannels = 0;
    unsigned m_WavBits = 0;
};

class AudioFunction {
public:
    virtual ~AudioFunction() = default;

    virtual AudioVersion Version() const = 0;
    virtual uint8_t ControlInterface() const = 0;

    // Control state; nullopt when the device has no such control.
    virtual std::optional<int32_t> ControlValue(uint8_t entity, uint8_t selector, uint8_t channel) const = 0;
    // Sets a value as the device itself would (front panel); no status interrupt.
    virtual bool SetControlValue(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) = 0;
    // Sets a value and queues the status interrupt that announces it.
    virtual bool ChangeFromDevice(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) = 0;

    // Sampling rate of an AudioStreaming interface's current alternate setting, in Hz.
    virtual std::optional<uint32_t> StreamRate(uint8_t interfaceNumber) const = 0;
    virtual RenderSink* Render(uint8_t interfaceNumber) = 0;
    virtual CaptureSource* Capture(uint8_t interfaceNumber) = 0;

    // Device clock against the bus clock, in parts per million (asynchronous endpoints).
    virtual void SetClockOffsetPpm(int32_t ppm) = 0;
    // Loopback: every capture source returns what the first render endpoint played, delayFrames
    // sample periods later (the render sink keeps a tap for it); nullopt turns it off and the
    // sources go back to their ramps.
    virtual void SetLoopback(std::optional<uint32_t> delayFrames) = 0;
    // Raw feedback value to send instead of the one computed from the device clock.
    virtual void SetFeedbackOverride(std::optional<uint32_t> raw) = 0;
    // The feedback value is the device clock counted against the bus, pulled towards the render
    // FIFO's start level while a FIFO is modelled (on by default); off: the count alone, as
    // devices without a servo send it.
    virtual void SetFeedbackServo(bool on) = 0;

    // Status interrupt queue of the AudioControl interrupt endpoint (2-byte UAC 1.0 status words,
    // 6-byte UAC 2.0 messages).
    virtual void PostInterrupt(std::span<const uint8_t> message) = 0;
    virtual size_t QueuedInterrupts() const = 0;
    // Data queued for the bulk IN endpoint of the AudioControl interface, when the device has one:
    // each block is sent as packets of at most wMaxPacketSize; an empty queue answers NAK.
    virtual void PostBulkIn(std::span<const uint8_t> data) = 0;
    virtual size_t QueuedBulkIn() const = 0;
};

}  // namespace sim::usb
