// Simulated USB devices: a descriptor set plus behaviour, driven by the host controller one control
// transfer or one packet at a time. Create one from the catalog by name, from descriptor bytes, or
// from a Linux sysfs `descriptors` file.
//
// Control transfers go through fault knobs, then the handler tables from the most recently pushed
// down (vendor behaviour of a device model sits above the audio function), then the standard
// requests; what nobody answers is STALLed. Every control transfer is logged decoded.
#pragma once

#include <sim/usb_audio.h>
#include <win/usb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

enum class Speed : uint8_t { Full, High };

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool IsIn() const { return (bmRequestType & 0x80) != 0; }
    uint8_t Type() const { return (bmRequestType >> 5) & 3; }  // BMREQUEST_STANDARD, _CLASS, _VENDOR
    uint8_t Recipient() const { return bmRequestType & 0x1F; }  // BMREQUEST_TO_DEVICE ... _OTHER
};
SetupPacket MakeSetup(bool in, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value, uint16_t index,
                      uint16_t length);

enum class ControlStatus : uint8_t { Ok, Stall, Pending, NoDevice };

struct ControlResult {
    ControlStatus status = ControlStatus::Stall;
    uint32_t length = 0;     // bytes answered (IN) or taken (OUT)
    uint64_t pendingId = 0;  // Pending: the id to cancel it by
    // The device answers this long after the request (FaultAction::AnswerLate). Ok or Stall: the
    // request took effect at once and only the answer is late (a step of a longer bus request).
    // Pending: the request is deferred; it takes effect when the bus asks for the answer
    // (AnswerDeferred) after the delay, or never when it is cancelled first.
    uint32_t delayMs = 0;
    static ControlResult Ok(uint32_t length) { return {ControlStatus::Ok, length, 0}; }
    static ControlResult Stall() { return {ControlStatus::Stall, 0, 0}; }
};

struct PacketResult {
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint32_t length = 0;  // bytes produced (IN) or taken (OUT)
    bool nak = false;     // interrupt IN with nothing to send
};

// One packet on a data endpoint: `in` for IN endpoints (to fill), `out` for OUT endpoints.
// microframe is the bus time in 125 us units (frame x 8 + microframe; full speed uses frame x 8).
struct DataPacket {
    uint8_t endpoint = 0;
    uint8_t transferType = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    uint64_t microframe = 0;
    std::span<uint8_t> in{};
    std::span<const uint8_t> out{};
};

class Device;

// Behaviour layered on a device. A control or data handler answers nullopt for what is not its own.
struct HandlerTable {
    std::string name{};
    std::function<void(Device&)> reset{};  // bus reset, replug, configuration change
    std::function<std::optional<ControlResult>(Device&, const SetupPacket&, std::span<uint8_t>)> control{};
    std::function<std::optional<PacketResult>(Device&, const DataPacket&)> data{};
    std::function<void(Device&, uint8_t interfaceNumber, uint8_t alternateSetting)> interfaceChanged{};
    // Decoded text of a request this layer owns, for the log ("GET_CUR FU 10 ch 1 VOLUME").
    std::function<std::optional<std::string>(const SetupPacket&)> describe{};
};

// Unset fields match anything.
struct RequestMatch {
    std::optional<uint8_t> bmRequestType{};
    std::optional<uint8_t> bRequest{};
    std::optional<uint16_t> wValue{};
    std::optional<uint16_t> wIndex{};
    bool Matches(const SetupPacket& setup) const;
};

// The UAC 1.0 endpoint request SET_CUR SAMPLING_FREQ_CONTROL to a data endpoint (class, to the
// endpoint, wValue 0x0100, wIndex the endpoint address): the rate request a stream start sends.
RequestMatch Uac1SamplingFrequencyRequest(uint8_t endpoint);

inline constexpr uint32_t kForever = UINT32_MAX;

enum class FaultAction : uint8_t {
    Stall,        // STALL the request
    ShortAnswer,  // answer at most shortLength bytes of an IN request
    NeverAnswer,  // leave the request pending until the host cancels it
    AnswerLate,   // answer as usual, but only delayMs after the request
};

struct ControlFault {
    RequestMatch match{};
    FaultAction action = FaultAction::Stall;
    uint32_t shortLength = 0;
    uint32_t times = kForever;  // matches left before the fault disarms itself
    uint32_t delayMs = 0;       // AnswerLate
};

// Packet errors on a data endpoint: every Nth packet, the packets of chosen bus frames, or each
// packet with a probability drawn from a seeded generator (the seed is logged so a failure
// reproduces). A failed OUT packet does not reach the device (its sink misses those samples); a
// failed IN packet carries no data.
struct PacketFault {
    uint8_t endpoint = 0;
    USBD_STATUS status = USBD_STATUS_XACT_ERROR;
    uint32_t everyNth = 0;
    uint32_t perMillion = 0;
    uint64_t seed = 1;
    uint32_t times = kForever;
    std::vector<uint64_t> frames{};  // bus frames (1 ms) whose packets fail
};

struct LogEntry {
    uint64_t sequence = 0;
    bool isRequest = true;  // false: a note (fault armed, unplug, ...)
    SetupPacket setup{};
    ControlStatus status = ControlStatus::Ok;
    uint32_t length = 0;
    std::vector<uint8_t> data{};  // the bytes answered or taken (at most 64)
    std::string text{};           // the decoded line
};

struct PendingRequest {
    uint64_t id = 0;
    SetupPacket setup{};
};

struct StringEntry {
    uint8_t index = 0;
    uint16_t languageId = 0x0409;
    std::u16string text{};  // may hold any UTF-16 units; at most 126
    // A faulty device: the bLength it claims instead of the bytes it sends (2 + 2 x units), larger
    // than what arrives or odd.
    std::optional<uint8_t> claimedLength{};
};

struct DeviceSetup {
    std::string name{};
    Speed speed = Speed::Full;
    std::vector<uint8_t> deviceDescriptor{};
    std::vector<std::vector<uint8_t>> configurations{};
    std::vector<uint16_t> languages = {0x0409};
    std::vector<StringEntry> strings{};
    AudioOptions audio{};
};

class Device {
public:
    explicit Device(DeviceSetup setup);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& Name() const;
    Speed GetSpeed() const;
    std::span<const uint8_t> DeviceDescriptorBytes() const;
    size_t ConfigurationCount() const;
    std::span<const uint8_t> ConfigurationBytes(size_t index = 0) const;
    USB_DEVICE_DESCRIPTOR Descriptor() const;

    void SetString(uint8_t index, std::u16string_view text, uint16_t languageId = 0x0409);
    void RemoveString(uint8_t index, uint16_t languageId = 0x0409);

    // ---- Host controller side ----
    // data holds wLength bytes: what the host sends (OUT) or room for the answer (IN).
    // mayDefer: a late answer (FaultAction::AnswerLate) defers the request instead of applying it.
    ControlResult Control(const SetupPacket& setup, std::span<uint8_t> data, bool mayDefer = false);
    // Serves a deferred request now; NoDevice when it is no longer deferred (cancelled, unplugged).
    ControlResult AnswerDeferred(uint64_t id, std::span<uint8_t> data);
    std::vector<PendingRequest> PendingRequests() const;
    // Withdraws a pending or deferred request.
    bool CancelPending(uint64_t id);
    PacketResult IsoOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> packet);
    PacketResult IsoIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer);
    PacketResult InterruptIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer);
    PacketResult BulkIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer);
    // Called with the new state whenever the device is unplugged or plugged in again.
    void SetAttachObserver(std::function<void(bool attached)> observer);

    // ---- State ----
    uint8_t Address() const;
    uint8_t ConfigurationValue() const;  // 0: not configured
    uint8_t AlternateSetting(uint8_t interfaceNumber) const;
    bool IsEndpointHalted(uint8_t endpoint) const;
    bool IsAttached() const;

    // ---- Behaviour ----
    void PushHandlers(HandlerTable table);
    AudioFunction* Audio();  // null when the configuration has no audio function

    // ---- Fault knobs ----
    int AddControlFault(const ControlFault& fault);  // answers an id for RemoveControlFault
    void RemoveControlFault(int id);
    void AddPacketFault(const PacketFault& fault);
    void ClearFaults();
    // Unplugged while streaming at a chosen moment: sim::usb::ScheduleUnplug (the bus's frame clock).
    void Unplug();  // pending requests are dropped; everything answers NoDevice / DEVICE_GONE
    void Replug();  // attached again in the default state, as after power-on
    void BusReset();

    // ---- Request log ----
    std::vector<LogEntry> Log() const;
    std::vector<std::string> LogLines() const;
    void ClearLog();
    void Note(std::string text);  // a line of the device's own (vendor layers, tests)
    void SetLogLimit(size_t entries);

    struct Impl;

private:
    std::unique_ptr<Impl> m{};
};

// Catalog of model devices by name ("uac1", "uac2", ...); null for an unknown name.
std::unique_ptr<Device> CreateCatalogDevice(std::string_view name);
std::vector<std::string> CatalogNames();
std::string CatalogDescription(std::string_view name);

struct LoadOptions {
    std::optional<Speed> speed{};          // default: high speed for a UAC 2.0 function, else full
    std::vector<StringEntry> strings{};    // strings to serve (the file holds none)
    bool readSiblingStrings = true;      // also the sysfs files manufacturer, product, serial
    bool allowMalformedDescriptors = false;  // keep a configuration whose inner walk breaks
};
struct LoadResult {
    std::unique_ptr<Device> device{};
    std::string error{};  // why the file was refused
};
// Linux sysfs `descriptors` layout: the 18-byte device descriptor, then each configuration
// descriptor with its wTotalLength bytes. Bounded and validated before anything is kept.
LoadResult LoadSysfsDescriptors(const std::string& path, const LoadOptions& options = {});
LoadResult LoadDescriptorBytes(std::span<const uint8_t> bytes, std::string name, const LoadOptions& options = {});

}  // namespace sim::usb
