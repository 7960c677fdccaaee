// The device core: standard requests, the setup-packet router over the handler tables, the request
// log, fault knobs, attachment and the data-endpoint entry points.
#include "uac_function.h"

#include <sim/usb_descriptor_builder.h>
#include <sim/usb_device.h>
#include <sim/verifier.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <set>

namespace sim::usb {

using detail::ConfigurationModel;
using detail::EndpointModel;

namespace {

constexpr size_t kLoggedDataBytes = 64;

const char* const kTypeNames[] = {"STANDARD", "CLASS", "VENDOR", "RESERVED"};
const char* const kRecipientNames[] = {"DEVICE", "INTERFACE", "ENDPOINT", "OTHER"};

std::string Hex(std::span<const uint8_t> bytes, size_t limit) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += b;
    }
    if (bytes.size() > limit) out += " ...";
    return out;
}

std::string GenericDescription(const SetupPacket& s) {
    char text[128];
    const uint8_t recipient = s.Recipient();
    std::snprintf(text, sizeof text, "%s %s %s bRequest 0x%02X wValue 0x%04X wIndex 0x%04X wLength %u",
                  kTypeNames[s.Type()], recipient < 4 ? kRecipientNames[recipient] : "RESERVED", s.IsIn() ? "IN" : "OUT",
                  s.bRequest, s.wValue, s.wIndex, s.wLength);
    return text;
}

std::optional<std::string> StandardDescription(const SetupPacket& s) {
    if (s.Type() != BMREQUEST_STANDARD) return std::nullopt;
    char text[128];
    const unsigned type = s.wValue >> 8, index = s.wValue & 0xFF;
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
        if (s.Recipient() != BMREQUEST_TO_DEVICE) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR %s %u type 0x%02X index %u",
                          kRecipientNames[s.Recipient() & 3], s.wIndex, type, index);
        } else if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR DEVICE");
        } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR CONFIGURATION %u", index);
        } else if (type == USB_STRING_DESCRIPTOR_TYPE && index == 0) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR STRING 0 (languages)");
        } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR STRING 0x%02X lang 0x%04X", index, s.wIndex);
        } else if (type == USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE) {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR DEVICE_QUALIFIER");
        } else {
            std::snprintf(text, sizeof text, "GET_DESCRIPTOR type 0x%02X index %u", type, index);
        }
        return text;
    case USB_REQUEST_SET_ADDRESS: std::snprintf(text, sizeof text, "SET_ADDRESS %u", s.wValue); return text;
    case USB_REQUEST_GET_CONFIGURATION: return "GET_CONFIGURATION";
    case USB_REQUEST_SET_CONFIGURATION: std::snprintf(text, sizeof text, "SET_CONFIGURATION %u", s.wValue); return text;
    case USB_REQUEST_GET_INTERFACE: std::snprintf(text, sizeof text, "GET_INTERFACE %u", s.wIndex); return text;
    case USB_REQUEST_SET_INTERFACE:
        std::snprintf(text, sizeof text, "SET_INTERFACE %u alt %u", s.wIndex, s.wValue);
        return text;
    case USB_REQUEST_GET_STATUS:
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
        const char* name = s.bRequest == USB_REQUEST_GET_STATUS      ? "GET_STATUS"
                           : s.bRequest == USB_REQUEST_CLEAR_FEATURE ? "CLEAR_FEATURE"
                                                                     : "SET_FEATURE";
        if (s.bRequest == USB_REQUEST_GET_STATUS) {
            std::snprintf(text, sizeof text, "%s %s 0x%02X", name, kRecipientNames[s.Recipient() & 3], s.wIndex);
        } else {
            std::snprintf(text, sizeof text, "%s %s 0x%02X feature %u", name, kRecipientNames[s.Recipient() & 3],
                          s.wIndex, s.wValue);
        }
        return text;
    }
    case USB_REQUEST_SYNC_FRAME: std::snprintf(text, sizeof text, "SYNCH_FRAME 0x%02X", s.wIndex); return text;
    default: return std::nullopt;
    }
}

ControlResult Answer(std::span<const uint8_t> bytes, std::span<uint8_t> data) {
    const size_t n = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    return ControlResult::Ok(uint32_t(n));
}

}  // namespace

SetupPacket MakeSetup(bool in, uint8_t type, uint8_t recipient, uint8_t request, uint16_t value, uint16_t index,
                      uint16_t length) {
    return SetupPacket{.bmRequestType = uint8_t((in ? 0x80 : 0) | (type & 3) << 5 | (recipient & 0x1F)),
                       .bRequest = request,
                       .wValue = value,
                       .wIndex = index,
                       .wLength = length};
}

RequestMatch Uac1SamplingFrequencyRequest(uint8_t endpoint) {
    const SetupPacket s = MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, USB_AUDIO1_SET_CUR,
                                    USB_AUDIO1_EP_SAMPLING_FREQ_CONTROL << 8, endpoint, 0);
    return RequestMatch{.bmRequestType = s.bmRequestType, .bRequest = s.bRequest, .wValue = s.wValue,
                        .wIndex = s.wIndex};
}

bool RequestMatch::Matches(const SetupPacket& s) const {
    return (!bmRequestType || *bmRequestType == s.bmRequestType) && (!bRequest || *bRequest == s.bRequest) &&
           (!wValue || *wValue == s.wValue) && (!wIndex || *wIndex == s.wIndex);
}

struct Device::Impl {
    struct ArmedFault {
        int id;
        ControlFault fault;
    };
    struct ArmedPacketFault {
        PacketFault fault;
        uint64_t packets = 0;
        std::mt19937_64 random;
    };

    Device& self;
    mutable std::recursive_mutex lock;
    DeviceSetup setup;
    std::vector<ConfigurationModel> models;
    std::map<std::pair<uint8_t, uint16_t>, StringEntry> strings;  // by (index, language)
    uint8_t address = 0;
    uint8_t configurationValue = 0;
    size_t functionConfiguration = 0;  // configuration the audio function was built from
    std::map<uint8_t, uint8_t> alternates;
    std::set<uint8_t> halted;
    bool remoteWakeup = false;
    bool attached = true;
    std::unique_ptr<detail::UacFunction> audio;
    std::optional<HandlerTable> audioHandlers;
    std::vector<HandlerTable> layers;  // pushed last is asked first
    std::vector<ArmedFault> faults;
    int nextFaultId = 1;
    std::vector<ArmedPacketFault> packetFaults;
    std::vector<PendingRequest> pending;
    std::vector<PendingRequest> deferred;  // late answers not yet given: not applied yet either
    uint64_t nextPendingId = 1;
    std::deque<LogEntry> log;
    uint64_t sequence = 0;
    size_t logLimit = 100'000;
    std::function<void(bool)> attachObserver;

    Impl(Device& device, DeviceSetup s) : self(device), setup(std::move(s)) {}

    const ConfigurationModel* Active() const {
        for (const ConfigurationModel& m : models) {
            if (configurationValue != 0 && m.value == configurationValue) return &m;
        }
        return nullptr;
    }

    const EndpointModel* ActiveEndpoint(uint8_t address) const {
        const ConfigurationModel* m = Active();
        if (m == nullptr) return nullptr;
        for (uint8_t number : m->InterfaceNumbers()) {
            auto it = alternates.find(number);
            const auto* s = m->Find(number, it == alternates.end() ? 0 : it->second);
            if (s == nullptr) continue;
            for (const EndpointModel& e : s->endpoints) {
                if (e.address == address) return &e;
            }
        }
        return nullptr;
    }

    void BuildFunction(size_t index) {
        audioHandlers.reset();
        audio = detail::UacFunction::Create(models[index], setup.audio, setup.speed, lock);
        functionConfiguration = index;
        if (audio) audioHandlers = audio->Handlers();
    }

    template <typename F>
    void ForEachTable(F&& f) {  // top layer first, the audio function last
        for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
            if (f(*it)) return;
        }
        if (audioHandlers) f(*audioHandlers);
    }

    void NotifyInterface(uint8_t number, uint8_t alternate) {
        ForEachTable([&](HandlerTable& t) {
            if (t.interfaceChanged) t.interfaceChanged(self, number, alternate);
            return false;
        });
    }

    void Deconfigure() {
        if (const ConfigurationModel* m = Active()) {
            for (uint8_t number : m->InterfaceNumbers()) NotifyInterface(number, 0);
        }
        configurationValue = 0;
        alternates.clear();
        halted.clear();
    }

    std::string Describe(const SetupPacket& s) {
        std::optional<std::string> text;
        ForEachTable([&](HandlerTable& t) {
            if (t.describe) text = t.describe(s);
            return text.has_value();
        });
        if (!text) text = StandardDescription(s);
        return text ? *text : GenericDescription(s);
    }

    void Append(LogEntry entry) {
        entry.sequence = ++sequence;
        log.push_back(std::move(entry));
        while (log.size() > logLimit) log.pop_front();
    }

    void LogRequest(const SetupPacket& s, const ControlResult& r, std::span<const uint8_t> data, const char* suffix) {
        LogEntry e{.setup = s, .status = r.status, .length = r.length};
        std::string text = Describe(s);
        switch (r.status) {
        case ControlStatus::Ok: {
            std::span<const uint8_t> bytes = data.first(std::min<size_t>(r.length, data.size()));
            e.data.assign(bytes.begin(), bytes.begin() + std::min(bytes.size(), kLoggedDataBytes));
            if (s.IsIn()) {
                text += " -> " + std::to_string(r.length) + (r.length == 1 ? " byte" : " bytes");
                if (r.length != 0) text += " [" + Hex(bytes, 16) + "]";
            } else if (r.length != 0) {
                text += " <- " + std::to_string(r.length) + (r.length == 1 ? " byte" : " bytes") + " [" + Hex(bytes, 16) + "]";
            } else {
                text += " -> ok";
            }
            break;
        }
        case ControlStatus::Stall: text += " -> STALL"; break;
        case ControlStatus::Pending: text += " -> pending"; break;
        case ControlStatus::NoDevice: text += " -> no device"; break;
        }
        e.text = text + suffix;
        Append(std::move(e));
    }

    ControlResult Standard(const SetupPacket& s, std::span<uint8_t> data) {
        const bool get = s.bRequest == USB_REQUEST_GET_DESCRIPTOR || s.bRequest == USB_REQUEST_GET_CONFIGURATION ||
                         s.bRequest == USB_REQUEST_GET_INTERFACE || s.bRequest == USB_REQUEST_GET_STATUS ||
                         s.bRequest == USB_REQUEST_SYNC_FRAME;
        if (get != s.IsIn()) return ControlResult::Stall();
        const uint8_t recipient = s.Recipient();
        const ConfigurationModel* active = Active();
        switch (s.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR:
            if (recipient != BMREQUEST_TO_DEVICE) return ControlResult::Stall();
            return GetDescriptor(s, data);
        case USB_REQUEST_SET_ADDRESS:
            if (recipient != BMREQUEST_TO_DEVICE || s.wValue > 127) return ControlResult::Stall();
            address = uint8_t(s.wValue);
            return ControlResult::Ok(0);
        case USB_REQUEST_GET_CONFIGURATION:
            if (recipient != BMREQUEST_TO_DEVICE) return ControlResult::Stall();
            return Answer(std::span(&configurationValue, 1), data);
        case USB_REQUEST_SET_CONFIGURATION: {
            if (recipient != BMREQUEST_TO_DEVICE || s.wValue > 0xFF) return ControlResult::Stall();
            if (s.wValue == 0) {
                Deconfigure();
                return ControlResult::Ok(0);
            }
            for (size_t i = 0; i < models.size(); ++i) {
                if (models[i].value != s.wValue) continue;
                Deconfigure();
                if (i != functionConfiguration) BuildFunction(i);
                configurationValue = uint8_t(s.wValue);
                for (uint8_t number : models[i].InterfaceNumbers()) NotifyInterface(number, 0);
                return ControlResult::Ok(0);
            }
            return ControlResult::Stall();
        }
        case USB_REQUEST_GET_INTERFACE: {
            if (recipient != BMREQUEST_TO_INTERFACE || active == nullptr || !active->HasInterface(uint8_t(s.wIndex)) ||
                s.wIndex > 0xFF) {
                return ControlResult::Stall();
            }
            const uint8_t alternate = alternates[uint8_t(s.wIndex)];
            return Answer(std::span(&alternate, 1), data);
        }
        case USB_REQUEST_SET_INTERFACE: {
            if (recipient != BMREQUEST_TO_INTERFACE || active == nullptr || s.wIndex > 0xFF || s.wValue > 0xFF) {
                return ControlResult::Stall();
            }
            const auto* setting = active->Find(uint8_t(s.wIndex), uint8_t(s.wValue));
            if (setting == nullptr) return ControlResult::Stall();
            for (const EndpointModel& e : setting->endpoints) halted.erase(e.address);
            alternates[uint8_t(s.wIndex)] = uint8_t(s.wValue);
            NotifyInterface(uint8_t(s.wIndex), uint8_t(s.wValue));
            return ControlResult::Ok(0);
        }
        case USB_REQUEST_GET_STATUS: {
            uint8_t status[2] = {};
            if (recipient == BMREQUEST_TO_DEVICE) {
                const bool selfPowered = !models.empty() && (models[0].attributes & USB_CONFIG_SELF_POWERED) != 0;
                status[0] = uint8_t(selfPowered | remoteWakeup << 1);
            } else if (recipient == BMREQUEST_TO_INTERFACE) {
                if (active == nullptr || s.wIndex > 0xFF || !active->HasInterface(uint8_t(s.wIndex))) {
                    return ControlResult::Stall();
                }
            } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                const uint8_t endpoint = uint8_t(s.wIndex);
                if ((endpoint & 0x0F) != 0 && ActiveEndpoint(endpoint) == nullptr) return ControlResult::Stall();
                status[0] = halted.count(endpoint) != 0;
            } else {
                return ControlResult::Stall();
            }
            return Answer(status, data);
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            const bool set = s.bRequest == USB_REQUEST_SET_FEATURE;
            if (recipient == BMREQUEST_TO_DEVICE && s.wValue == USB_FEATURE_REMOTE_WAKEUP) {
                remoteWakeup = set;
                return ControlResult::Ok(0);
            }
            if (recipient == BMREQUEST_TO_ENDPOINT && s.wValue == USB_FEATURE_ENDPOINT_STALL &&
                ActiveEndpoint(uint8_t(s.wIndex)) != nullptr) {
                if (set) {
                    halted.insert(uint8_t(s.wIndex));
                } else {
                    halted.erase(uint8_t(s.wIndex));
                }
                return ControlResult::Ok(0);
            }
            return ControlResult::Stall();
        }
        default:
            return ControlResult::Stall();
        }
    }

    ControlResult GetDescriptor(const SetupPacket& s, std::span<uint8_t> data) {
        const uint8_t type = s.wValue >> 8, index = s.wValue & 0xFF;
        switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return Answer(setup.deviceDescriptor, data);
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index >= setup.configurations.size()) return ControlResult::Stall();
            return Answer(setup.configurations[index], data);
        case USB_STRING_DESCRIPTOR_TYPE: {
            if (index == 0) return Answer(BuildLanguageDescriptor(setup.languages), data);
            auto it = strings.find({index, s.wIndex});
            if (it == strings.end()) return ControlResult::Stall();
            std::vector<uint8_t> bytes = BuildStringDescriptor(it->second.text);
            if (it->second.claimedLength) bytes[0] = *it->second.claimedLength;
            return Answer(bytes, data);
        }
        case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE: {
            if (setup.speed != Speed::High) return ControlResult::Stall();  // full-speed-only devices STALL it
            const auto& d = setup.deviceDescriptor;
            const uint8_t q[10] = {10, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, d[2], d[3], d[4], d[5], d[6], d[7], d[17], 0};
            return Answer(q, data);
        }
        default:
            return ControlResult::Stall();
        }
    }

    ControlResult Dispatch(const SetupPacket& s, std::span<uint8_t> data) {
        // Class requests to an interface or endpoint exist only in the configured state.
        const bool needsConfiguration =
            s.Type() == BMREQUEST_CLASS && (s.Recipient() == BMREQUEST_TO_INTERFACE || s.Recipient() == BMREQUEST_TO_ENDPOINT);
        if (needsConfiguration && configurationValue == 0) return ControlResult::Stall();
        std::optional<ControlResult> r;
        ForEachTable([&](HandlerTable& t) {
            if (t.control) r = t.control(self, s, data);
            return r.has_value();
        });
        if (r) return *r;
        if (s.Type() == BMREQUEST_STANDARD) return Standard(s, data);
        return ControlResult::Stall();
    }

    PacketResult Data(DataPacket packet, uint8_t transferType) {
        std::lock_guard guard(lock);
        if (!attached) return PacketResult{.status = USBD_STATUS_DEVICE_GONE};
        const EndpointModel* e = ActiveEndpoint(packet.endpoint);
        const bool in = (packet.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
        if (e == nullptr || e->TransferType() != transferType || (!in && !packet.in.empty())) {
            return PacketResult{.status = USBD_STATUS_INVALID_PIPE_HANDLE};
        }
        if (halted.count(packet.endpoint) != 0) return PacketResult{.status = USBD_STATUS_STALL_PID};
        for (ArmedPacketFault& f : packetFaults) {
            if (f.fault.endpoint != packet.endpoint || f.fault.times == 0) continue;
            ++f.packets;
            const uint64_t frame = packet.microframe / 8;
            const bool hit = (f.fault.everyNth != 0 && f.packets % f.fault.everyNth == 0) ||
                             std::find(f.fault.frames.begin(), f.fault.frames.end(), frame) != f.fault.frames.end() ||
                             (f.fault.perMillion != 0 && f.random() % 1'000'000 < f.fault.perMillion);
            if (hit) {
                if (f.fault.times != kForever) --f.fault.times;
                return PacketResult{.status = f.fault.status};
            }
        }
        packet.transferType = transferType;
        std::optional<PacketResult> r;
        ForEachTable([&](HandlerTable& t) {
            if (t.data) r = t.data(self, packet);
            return r.has_value();
        });
        if (r) return *r;
        if (transferType == USB_ENDPOINT_TYPE_INTERRUPT && in) return PacketResult{.nak = true};
        return PacketResult{.length = in ? 0 : uint32_t(packet.out.size())};  // an endpoint nobody models
    }
};

Device::Device(DeviceSetup setup) : m(std::make_unique<Impl>(*this, std::move(setup))) {
    const auto& d = m->setup.deviceDescriptor;
    if (d.size() != sizeof(USB_DEVICE_DESCRIPTOR) || d[0] != d.size() || d[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        sim::BugCheck("USB_DEVICE_MODEL", "device '%s' has no valid 18-byte device descriptor", m->setup.name.c_str());
    }
    if (m->setup.configurations.empty()) {
        sim::BugCheck("USB_DEVICE_MODEL", "device '%s' has no configuration", m->setup.name.c_str());
    }
    for (const auto& c : m->setup.configurations) m->models.push_back(detail::ParseConfiguration(c));
    for (const StringEntry& s : m->setup.strings) m->strings[{s.index, s.languageId}] = s;
    m->BuildFunction(0);
}

Device::~Device() = default;

const std::string& Device::Name() const { return m->setup.name; }
Speed Device::GetSpeed() const { return m->setup.speed; }
std::span<const uint8_t> Device::DeviceDescriptorBytes() const { return m->setup.deviceDescriptor; }
size_t Device::ConfigurationCount() const { return m->setup.configurations.size(); }

std::span<const uint8_t> Device::ConfigurationBytes(size_t index) const {
    if (index >= m->setup.configurations.size()) return {};
    return m->setup.configurations[index];
}

USB_DEVICE_DESCRIPTOR Device::Descriptor() const {
    USB_DEVICE_DESCRIPTOR d;
    std::copy_n(m->setup.deviceDescriptor.begin(), sizeof d, reinterpret_cast<uint8_t*>(&d));
    return d;
}

void Device::SetString(uint8_t index, std::u16string_view text, uint16_t languageId) {
    std::lock_guard guard(m->lock);
    if (index == 0 || text.size() > 126) {
        sim::BugCheck("USB_DEVICE_MODEL", "string %u of %zu units cannot be served", index, text.size());
    }
    m->strings[{index, languageId}] = StringEntry{.index = index, .languageId = languageId, .text = std::u16string(text)};
}

void Device::RemoveString(uint8_t index, uint16_t languageId) {
    std::lock_guard guard(m->lock);
    m->strings.erase({index, languageId});
}

ControlResult Device::Control(const SetupPacket& setup, std::span<uint8_t> data, bool mayDefer) {
    std::lock_guard guard(m->lock);
    data = data.first(std::min<size_t>(setup.wLength, data.size()));
    if (!m->attached) {
        const ControlResult r{.status = ControlStatus::NoDevice};
        m->LogRequest(setup, r, {}, "");
        return r;
    }
    std::optional<uint32_t> shortLength;
    uint32_t delayMs = 0;
    for (auto it = m->faults.begin(); it != m->faults.end(); ++it) {
        ControlFault& f = it->fault;
        if (!f.match.Matches(setup)) continue;
        if (f.times != kForever) --f.times;
        const FaultAction action = f.action;
        const uint32_t limit = f.shortLength;
        if (f.times == 0) m->faults.erase(it);
        if (action == FaultAction::Stall) {
            m->LogRequest(setup, ControlResult::Stall(), {}, " (fault)");
            return ControlResult::Stall();
        }
        if (action == FaultAction::NeverAnswer) {
            const ControlResult r{.status = ControlStatus::Pending, .pendingId = m->nextPendingId++};
            m->pending.push_back(PendingRequest{.id = r.pendingId, .setup = setup});
            m->LogRequest(setup, r, {}, " (fault)");
            return r;
        }
        if (action == FaultAction::AnswerLate) {
            delayMs = f.delayMs;
            if (mayDefer && delayMs != 0) {
                const ControlResult r{.status = ControlStatus::Pending, .pendingId = m->nextPendingId++, .delayMs = delayMs};
                m->deferred.push_back(PendingRequest{.id = r.pendingId, .setup = setup});
                m->LogRequest(setup, r, {}, (" (fault: answers after " + std::to_string(delayMs) + " ms)").c_str());
                return r;
            }
        } else {
            shortLength = limit;
        }
        break;
    }
    ControlResult r = m->Dispatch(setup, data);
    std::string suffix;
    if (shortLength && r.status == ControlStatus::Ok && setup.IsIn() && r.length > *shortLength) {
        r.length = *shortLength;
        suffix = " (fault: short)";
    }
    if (delayMs != 0 && r.status != ControlStatus::Pending) {
        r.delayMs = delayMs;
        suffix = " (fault: answered after " + std::to_string(delayMs) + " ms)";
    }
    m->LogRequest(setup, r, data, suffix.c_str());
    return r;
}

ControlResult Device::AnswerDeferred(uint64_t id, std::span<uint8_t> data) {
    std::lock_guard guard(m->lock);
    auto it = std::find_if(m->deferred.begin(), m->deferred.end(), [&](const PendingRequest& p) { return p.id == id; });
    if (it == m->deferred.end() || !m->attached) return ControlResult{.status = ControlStatus::NoDevice};
    const SetupPacket setup = it->setup;
    m->deferred.erase(it);
    data = data.first(std::min<size_t>(setup.wLength, data.size()));
    const ControlResult r = m->Dispatch(setup, data);
    m->LogRequest(setup, r, data, " (late answer)");
    return r;
}

std::vector<PendingRequest> Device::PendingRequests() const {
    std::lock_guard guard(m->lock);
    return m->pending;
}

bool Device::CancelPending(uint64_t id) {
    std::lock_guard guard(m->lock);
    auto deferred = std::find_if(m->deferred.begin(), m->deferred.end(), [&](const PendingRequest& p) { return p.id == id; });
    if (deferred != m->deferred.end()) {
        m->Append(LogEntry{.setup = deferred->setup, .status = ControlStatus::Stall,
                           .text = m->Describe(deferred->setup) + " -> cancelled before its late answer"});
        m->deferred.erase(deferred);
        return true;
    }
    auto it = std::find_if(m->pending.begin(), m->pending.end(), [&](const PendingRequest& p) { return p.id == id; });
    if (it == m->pending.end()) return false;
    m->Append(LogEntry{.setup = it->setup, .status = ControlStatus::Stall, .text = m->Describe(it->setup) + " -> cancelled"});
    m->pending.erase(it);
    return true;
}

PacketResult Device::IsoOut(uint8_t endpoint, uint64_t microframe, std::span<const uint8_t> packet) {
    if ((endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0) return PacketResult{.status = USBD_STATUS_INVALID_PIPE_HANDLE};
    return m->Data(DataPacket{.endpoint = endpoint, .microframe = microframe, .out = packet}, USB_ENDPOINT_TYPE_ISOCHRONOUS);
}

PacketResult Device::IsoIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer) {
    if ((endpoint & USB_ENDPOINT_DIRECTION_MASK) == 0) return PacketResult{.status = USBD_STATUS_INVALID_PIPE_HANDLE};
    return m->Data(DataPacket{.endpoint = endpoint, .microframe = microframe, .in = buffer}, USB_ENDPOINT_TYPE_ISOCHRONOUS);
}

PacketResult Device::InterruptIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer) {
    if ((endpoint & USB_ENDPOINT_DIRECTION_MASK) == 0) return PacketResult{.status = USBD_STATUS_INVALID_PIPE_HANDLE};
    return m->Data(DataPacket{.endpoint = endpoint, .microframe = microframe, .in = buffer}, USB_ENDPOINT_TYPE_INTERRUPT);
}

PacketResult Device::BulkIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> buffer) {
    if ((endpoint & USB_ENDPOINT_DIRECTION_MASK) == 0) return PacketResult{.status = USBD_STATUS_INVALID_PIPE_HANDLE};
    return m->Data(DataPacket{.endpoint = endpoint, .microframe = microframe, .in = buffer}, USB_ENDPOINT_TYPE_BULK);
}

void Device::SetAttachObserver(std::function<void(bool)> observer) {
    std::lock_guard guard(m->lock);
    m->attachObserver = std::move(observer);
}

uint8_t Device::Address() const {
    std::lock_guard guard(m->lock);
    return m->address;
}

uint8_t Device::ConfigurationValue() const {
    std::lock_guard guard(m->lock);
    return m->configurationValue;
}

uint8_t Device::AlternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard guard(m->lock);
    auto it = m->alternates.find(interfaceNumber);
    return it == m->alternates.end() ? 0 : it->second;
}

bool Device::IsEndpointHalted(uint8_t endpoint) const {
    std::lock_guard guard(m->lock);
    return m->halted.count(endpoint) != 0;
}

bool Device::IsAttached() const {
    std::lock_guard guard(m->lock);
    return m->attached;
}

void Device::PushHandlers(HandlerTable table) {
    std::lock_guard guard(m->lock);
    m->layers.push_back(std::move(table));
}

AudioFunction* Device::Audio() {
    std::lock_guard guard(m->lock);
    return m->audio.get();
}

int Device::AddControlFault(const ControlFault& fault) {
    std::lock_guard guard(m->lock);
    const int id = m->nextFaultId++;
    if (fault.times != 0) m->faults.push_back(Impl::ArmedFault{id, fault});
    return id;
}

void Device::RemoveControlFault(int id) {
    std::lock_guard guard(m->lock);
    std::erase_if(m->faults, [&](const Impl::ArmedFault& f) { return f.id == id; });
}

void Device::AddPacketFault(const PacketFault& fault) {
    std::lock_guard guard(m->lock);
    m->packetFaults.push_back(Impl::ArmedPacketFault{.fault = fault, .random = std::mt19937_64(fault.seed)});
    char text[128];
    std::snprintf(text, sizeof text,
                  "packet errors armed on endpoint 0x%02X: every %u, %zu chosen frames, %u per million, seed %llu",
                  fault.endpoint, fault.everyNth, fault.frames.size(), fault.perMillion,
                  static_cast<unsigned long long>(fault.seed));
    m->Append(LogEntry{.isRequest = false, .text = text});
}

void Device::ClearFaults() {
    std::lock_guard guard(m->lock);
    m->faults.clear();
    m->packetFaults.clear();
}

void Device::Unplug() {
    std::function<void(bool)> observer;
    {
        std::lock_guard guard(m->lock);
        if (!m->attached) return;
        m->attached = false;
        m->Append(LogEntry{.isRequest = false,
                           .text = "unplugged (" + std::to_string(m->pending.size()) + " pending requests dropped)"});
        m->pending.clear();
        m->deferred.clear();
        observer = m->attachObserver;
    }
    if (observer) observer(false);
}

void Device::Replug() {
    std::function<void(bool)> observer;
    {
        std::lock_guard guard(m->lock);
        if (m->attached) return;
        m->attached = true;
        m->address = 0;
        m->Deconfigure();
        m->remoteWakeup = false;
        m->ForEachTable([&](HandlerTable& t) {
            if (t.reset) t.reset(*this);
            return false;
        });
        m->Append(LogEntry{.isRequest = false, .text = "plugged in"});
        observer = m->attachObserver;
    }
    if (observer) observer(true);
}

void Device::BusReset() {
    std::lock_guard guard(m->lock);
    m->address = 0;
    m->Deconfigure();
    m->remoteWakeup = false;
    m->pending.clear();
    m->deferred.clear();
    m->Append(LogEntry{.isRequest = false, .text = "bus reset"});
}

std::vector<LogEntry> Device::Log() const {
    std::lock_guard guard(m->lock);
    return std::vector<LogEntry>(m->log.begin(), m->log.end());
}

std::vector<std::string> Device::LogLines() const {
    std::lock_guard guard(m->lock);
    std::vector<std::string> lines;
    for (const LogEntry& e : m->log) lines.push_back(e.text);
    return lines;
}

void Device::ClearLog() {
    std::lock_guard guard(m->lock);
    m->log.clear();
}

void Device::Note(std::string text) {
    std::lock_guard guard(m->lock);
    m->Append(LogEntry{.isRequest = false, .text = std::move(text)});
}

void Device::SetLogLimit(size_t entries) {
    std::lock_guard guard(m->lock);
    m->logLimit = std::max<size_t>(entries, 1);
    while (m->log.size() > m->logLimit) m->log.pop_front();
}

}  // namespace sim::usb
