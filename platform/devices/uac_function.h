// The generic USB Audio Class function of a simulated device: entity state built from the
// descriptors and the answers to class requests, as UAC 1.0 and 2.0 define them.
#pragma once

#include "descriptor_walk.h"

#include <sim/usb_device.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace sim::usb::detail {

class UacFunction final : public AudioFunction {
public:
    // Null when the configuration holds no AudioControl interface.
    static std::unique_ptr<UacFunction> Create(const ConfigurationModel& config, const AudioOptions& options,
                                               Speed speed, std::recursive_mutex& lock);

    HandlerTable Handlers();
    void PowerOn();  // every value, alternate setting and queue back to its initial state

    AudioVersion Version() const override { return m_Version; }
    uint8_t ControlInterface() const override { return m_ControlInterface; }
    std::optional<int32_t> ControlValue(uint8_t entity, uint8_t selector, uint8_t channel) const override;
    bool SetControlValue(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) override;
    bool ChangeFromDevice(uint8_t entity, uint8_t selector, uint8_t channel, int32_t value) override;
    std::optional<uint32_t> StreamRate(uint8_t interfaceNumber) const override;
    RenderSink* Render(uint8_t interfaceNumber) override;
    CaptureSource* Capture(uint8_t interfaceNumber) override;
    void SetClockOffsetPpm(int32_t ppm) override;
    void SetLoopback(std::optional<uint32_t> delayFrames) override;
    void SetFeedbackOverride(std::optional<uint32_t> raw) override;
    void SetFeedbackServo(bool on) override;
    void PostInterrupt(std::span<const uint8_t> message) override;
    size_t QueuedInterrupts() const override;
    void PostBulkIn(std::span<const uint8_t> data) override;
    size_t QueuedBulkIn() const override;

    struct Control {
        const char* name = "";
        uint8_t size = 1;  // bytes of the parameter
        bool isSigned = false;
        bool writable = false;
        bool hasRange = false;       // MIN/MAX/RES (UAC 1.0) or RANGE (UAC 2.0) answered
        bool requestable = true;     // false: state the device keeps but does not expose
        bool strict = false;         // refuse a value out of range (else clamp or take the nearest)
        int64_t current = 0, initial = 0, minimum = 0, maximum = 0, resolution = 0;
        // When set: the RANGE answer, and the only values accepted (a value inside a sub-range, on
        // its resolution grid; MIN = MAX with RES 0 is one discrete value).
        std::vector<SubRange> ranges{};
    };

private:
    struct Entity {
        uint8_t id = 0;
        uint8_t subtype = 0;
        std::vector<uint8_t> descriptor{};
        std::vector<uint8_t> sources{};
        uint8_t clockSource = 0;  // UAC 2.0 terminals
    };
    struct Alt {
        uint8_t alternate = 0;
        bool hasFormat = false;
        uint8_t terminalLink = 0;
        uint8_t channels = 0, subslotBytes = 0, bitResolution = 0;
        std::vector<uint32_t> rates{};  // UAC 1.0 discrete rates, Hz
        uint32_t lowerRate = 0, upperRate = 0;  // UAC 1.0 continuous range, Hz
        uint8_t asControls = 0;  // UAC 2.0 AS_GENERAL bmControls
        const EndpointModel* data = nullptr;
        const EndpointModel* feedback = nullptr;
        bool frequencyControl = false;  // UAC 1.0 endpoint sampling frequency control
    };
    struct Stream {
        uint8_t number = 0;
        std::vector<Alt> alts{};
        uint8_t current = 0;
        bool render = false;
        std::unique_ptr<RenderSink> sink{};
        std::unique_ptr<CaptureSource> source{};
        const Alt* CurrentAlt() const;
    };

    UacFunction(const ConfigurationModel& config, const AudioOptions& options, Speed speed,
                std::recursive_mutex& lock);
    void BuildEntities(const AltSettingModel& control);
    void BuildControls();
    void BuildStreams();
    void AddFeatureControls(const Entity& unit);
    Control* Find(uint8_t entity, uint8_t selector, uint8_t channel);
    const Control* Find(uint8_t entity, uint8_t selector, uint8_t channel) const;
    bool Assign(Control& control, int64_t value) const;  // false: value refused
    std::optional<std::pair<uint8_t, uint32_t>> Cluster(uint8_t entity) const;  // channels, config
    uint32_t ClockRate(uint8_t entity) const;  // Hz at a clock entity's output, 0 if none resolves
    uint32_t RateOf(const Stream& stream) const;
    uint32_t FeedbackValue(const Stream& stream, uint64_t microframe, uint32_t width) const;
    StreamFormat FormatOf(const Stream& stream) const;
    Stream* StreamOfEndpoint(uint8_t endpoint, bool feedback);
    uint32_t ValidAltSettings(const Stream& stream) const;

    std::optional<ControlResult> OnControl(const SetupPacket& setup, std::span<uint8_t> data);
    std::optional<ControlResult> EntityRequest(const SetupPacket& setup, std::span<uint8_t> data);
    std::optional<ControlResult> StreamingRequest(Stream& stream, const SetupPacket& setup, std::span<uint8_t> data);
    std::optional<ControlResult> EndpointRequest(const SetupPacket& setup, std::span<uint8_t> data);
    ControlResult ScalarRequest(Control& control, const SetupPacket& setup, std::span<uint8_t> data);
    std::optional<ControlResult> VendorTerminalRequest(const Entity& terminal, const SetupPacket& setup,
                                                       std::span<uint8_t> data);
    ControlResult MemoryRequest(uint8_t entity, const SetupPacket& setup, std::span<uint8_t> data) const;
    const VendorTerminal* VendorTerminalOf(uint8_t entity) const;
    std::optional<PacketResult> OnData(const DataPacket& packet);
    void OnInterfaceChanged(uint8_t number, uint8_t alternate);
    std::optional<std::string> Describe(const SetupPacket& setup) const;
    std::string EntityName(uint8_t id) const;
    const char* ControlName(uint8_t entity, uint8_t selector) const;

    std::recursive_mutex& m_Lock;
    AudioVersion m_Version = AudioVersion::Uac1;
    Speed m_Speed;
    ConfigurationModel m_Config;
    AudioOptions m_Options{};
    uint8_t m_ControlInterface = 0;
    const EndpointModel* m_InterruptEndpoint = nullptr;
    const EndpointModel* m_BulkInEndpoint = nullptr;  // on the AudioControl interface, or null
    std::map<uint8_t, Entity> m_Entities{};
    std::map<uint32_t, Control> m_Controls{};           // entity << 16 | selector << 8 | channel
    std::map<uint16_t, Control> m_EndpointControls{};   // endpoint << 8 | selector (UAC 1.0)
    std::map<uint8_t, Stream> m_Streams{};
    std::deque<std::vector<uint8_t>> m_Interrupts{};
    std::deque<uint8_t> m_BulkIn{};  // bytes not yet sent
    int32_t m_ClockOffsetPpm = 0;
    std::optional<uint32_t> m_FeedbackOverride{};
    bool m_FeedbackServo = true;
};

}  // namespace sim::usb::detail
