#include "controls_command.h"

#include "driver_session.h"
#include "text.h"

#include "driver/front/TopologyProperties.h"

#include <sim/audio_stack.h>
#include <sim/pnp.h>
#include <sim/usb_bus.h>
#include <win/ksmedia.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace kvsim {
namespace {

using sim::hosts::KsFilterClient;

constexpr sim::machine::Time kMs = sim::machine::kMillisecond;
// Time for the HAL's status thread to settle after a start, and for events to arrive.
constexpr sim::machine::Time kSettle = 200 * kMs;
constexpr double kLevelUnit = 65536.0;  // 1/65536 dB

// How a node's value is read and set.
enum class ValueKind { Level, Switch, Mux, DeviceSpecific, None };

struct NodeView {
    ULONG number = 0;
    std::string kind;
    ValueKind value = ValueKind::None;
    GUID set = KSPROPSETID_Audio;
    ULONG id = 0;
    std::vector<KSPROPERTY_STEPPING_LONG> ranges;  // levels and switches: one per channel
};

void Line(std::ostream& out, const std::string& label, const std::string& text) {
    std::string padded = label;
    if (padded.size() < 24) padded.resize(24, ' ');
    out << padded << ' ' << text << '\n';
}

std::string Db(LONG level) {
    if (level == static_cast<LONG>(0x80000000)) return "-inf dB";
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f dB", level / kLevelUnit);
    return text;
}

std::string ValueText(const NodeView& node, LONG value) {
    switch (node.value) {
    case ValueKind::Level: return Db(value);
    case ValueKind::Switch: return value != 0 ? "on" : "off";
    case ValueKind::Mux: return "input " + std::to_string(value);
    default: return std::to_string(value);
    }
}

// The node's kind from its type, and how its value is reached.
NodeView Describe(KsFilterClient& filter, ULONG number, const GUID& type) {
    NodeView node;
    node.number = number;
    struct Row {
        const GUID* type;
        const char* kind;
        ValueKind value;
        ULONG id;
    };
    const Row rows[] = {
        {&KSNODETYPE_VOLUME, "volume", ValueKind::Level, KSPROPERTY_AUDIO_VOLUMELEVEL},
        {&KSNODETYPE_MUTE, "mute", ValueKind::Switch, KSPROPERTY_AUDIO_MUTE},
        {&KSNODETYPE_AGC, "automatic gain", ValueKind::Switch, KSPROPERTY_AUDIO_AGC},
        {&KSNODETYPE_LOUDNESS, "loudness", ValueKind::Switch, KSPROPERTY_AUDIO_LOUDNESS},
        {&KSNODETYPE_MUX, "mux", ValueKind::Mux, KSPROPERTY_AUDIO_MUX_SOURCE},
        {&KSNODETYPE_SUM, "mixer", ValueKind::None, 0},
        {&KSNODETYPE_DEV_SPECIFIC, "device-specific", ValueKind::DeviceSpecific, KSPROPERTY_AUDIO_DEV_SPECIFIC},
    };
    node.kind = "unknown " + GuidText(type);
    for (const Row& row : rows) {
        if (!IsEqualGUID(type, *row.type)) continue;
        node.kind = row.kind;
        node.value = row.value;
        node.id = row.id;
    }
    if (IsEqualGUID(type, KSNODETYPE_TONE)) {
        // Which band the node carries: the one property of the three it describes.
        const std::pair<ULONG, const char*> bands[] = {
            {KSPROPERTY_AUDIO_BASS, "bass"}, {KSPROPERTY_AUDIO_MID, "mid"}, {KSPROPERTY_AUDIO_TREBLE, "treble"}};
        node.kind = "tone";
        for (const auto& [id, name] : bands) {
            KsFilterClient::NodePropertySupport support;
            if (!NT_SUCCESS(filter.NodeBasicSupport(KSPROPSETID_Audio, id, number, &support))) continue;
            node.kind = name;
            node.value = ValueKind::Level;
            node.id = id;
            break;
        }
    }
    if (node.value == ValueKind::DeviceSpecific) {
        GUID identity{};
        const struct {
            const GUID* guid;
            const char* kind;
            ValueKind value;
        } identities[] = {
            {&NodeIdentityDeviceLevel, "device level", ValueKind::Level},
            {&NodeIdentityTerminalType, "terminal type", ValueKind::DeviceSpecific},
            {&NodeIdentityDeviceSwitch, "device switch", ValueKind::Switch},
            {&NodeIdentityStoredSwitch, "stored switch", ValueKind::Switch},
            {&VendorParameterPropSet, "vendor", ValueKind::Switch},
        };
        if (NT_SUCCESS(filter.NodeProperty(NodeIdentityPropSet, 1, KSPROPERTY_TYPE_GET, number, &identity,
                                           sizeof(identity)))) {
            for (const auto& row : identities) {
                if (!IsEqualGUID(identity, *row.guid)) continue;
                node.kind = row.kind;
                node.value = row.value;
            }
        } else {
            node.kind = "selector (one input)";
            node.value = ValueKind::None;
        }
    }
    if (node.value == ValueKind::Level || node.value == ValueKind::Switch) {
        KsFilterClient::NodePropertySupport support;
        if (NT_SUCCESS(filter.NodeBasicSupport(node.set, node.id, number, &support))) node.ranges = support.ranges;
    }
    return node;
}

// The values of every channel the node shows (one for nodes without per-channel ranges).
std::vector<std::pair<NTSTATUS, LONG>> Values(KsFilterClient& filter, const NodeView& node) {
    std::vector<std::pair<NTSTATUS, LONG>> values;
    const size_t channels = node.ranges.empty() ? 1 : node.ranges.size();
    for (size_t channel = 0; channel < channels; ++channel) {
        LONG value = 0;
        NTSTATUS status;
        if (node.value == ValueKind::Mux) {
            status = filter.NodeProperty(node.set, node.id, KSPROPERTY_TYPE_GET, node.number, &value, sizeof(value));
        } else {
            status = filter.GetChannelValue(node.set, node.id, node.number, static_cast<LONG>(channel), &value);
        }
        values.emplace_back(status, value);
    }
    return values;
}

void List(KsFilterClient& filter, const std::vector<NodeView>& nodes, std::ostream& out) {
    out << "topology nodes (" << nodes.size() << ")\n";
    for (const NodeView& node : nodes) {
        std::string line = "  node " + std::to_string(node.number) + "  " + node.kind;
        if (line.size() < 30) line.resize(30, ' ');
        if (!node.ranges.empty()) {
            const KSPROPERTY_STEPPING_LONG& range = node.ranges.front();
            if (node.value == ValueKind::Level) {
                line += " " + Db(range.Bounds.SignedMinimum) + " .. " + Db(range.Bounds.SignedMaximum) + ", step " +
                        Db(static_cast<LONG>(range.SteppingDelta)) + ";";
            }
            line += " " + std::to_string(node.ranges.size()) + (node.ranges.size() == 1 ? " channel" : " channels");
        }
        if (node.value != ValueKind::None) {
            line += ":";
            const auto values = Values(filter, node);
            for (size_t channel = 0; channel < values.size(); ++channel) {
                line += values.size() > 1 ? " [" + std::to_string(channel) + "] " : " ";
                line += NT_SUCCESS(values[channel].first) ? ValueText(node, values[channel].second)
                                                          : StatusText(values[channel].first);
            }
        }
        out << line << '\n';
    }
}

NTSTATUS Apply(KsFilterClient& filter, const NodeView& node, const ControlSetting& setting) {
    LONG value = node.value == ValueKind::Level ? static_cast<LONG>(std::lround(setting.value * kLevelUnit))
                                                : static_cast<LONG>(std::lround(setting.value));
    if (node.value == ValueKind::Mux || node.value == ValueKind::DeviceSpecific) {
        if (setting.channel > 0) return STATUS_INVALID_PARAMETER;
        if (node.value == ValueKind::Mux) {
            return filter.NodeProperty(node.set, node.id, KSPROPERTY_TYPE_SET, node.number, &value, sizeof(value));
        }
        return filter.SetChannelValue(node.set, node.id, node.number, 0, value);
    }
    if (node.value == ValueKind::None) return STATUS_NOT_SUPPORTED;
    if (setting.channel >= 0) {
        return filter.SetChannelValue(node.set, node.id, node.number, setting.channel, value);
    }
    NTSTATUS result = STATUS_SUCCESS;
    const size_t channels = node.ranges.empty() ? 1 : node.ranges.size();
    for (size_t channel = 0; channel < channels && NT_SUCCESS(result); ++channel) {
        result = filter.SetChannelValue(node.set, node.id, node.number, static_cast<LONG>(channel), value);
    }
    return result;
}

class ControlsSession : public DriverSession {
public:
    ControlsSession(const Options& options, std::ostream& out) : DriverSession(options, out, Line) {}

    bool Start(const std::string& driverPath) { return LoadDriver(driverPath) && Plug(); }

    // Plugs, adds and starts the device and opens its topology filter.
    bool Plug() {
        std::string label;
        std::unique_ptr<sim::usb::Device> device = MakeDevice(&label);
        if (!device || !PlugAndStart(std::move(device), label, false)) return false;
        sim::machine::RunFor(kSettle);
        std::vector<sim::hosts::FilterInterface> filters = sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY);
        if (filters.empty()) {
            m_Out << "kvsim: the device has no topology filter\n";
            return false;
        }
        NTSTATUS status = KsFilterClient::Open(filters.front().symbolicLink, &m_Filter);
        if (NT_SUCCESS(status)) status = m_Filter->Nodes(&m_Types);
        if (!NT_SUCCESS(status)) Line(m_Out, "topology filter", StatusText(status));
        return NT_SUCCESS(status);
    }

    void Unplug() {
        Unsubscribe();
        m_Filter.reset();
        RemoveDevice();
    }

    std::vector<NodeView> Nodes() {
        std::vector<NodeView> nodes;
        for (ULONG number = 0; number < m_Types.size(); ++number) nodes.push_back(Describe(*m_Filter, number, m_Types[number]));
        return nodes;
    }

    // Every node that offers the control-change event, subscribed.
    void Subscribe() {
        m_Events = std::vector<KEVENT>(m_Types.size());
        m_Registrations.assign(m_Types.size(), nullptr);
        for (ULONG node = 0; node < m_Types.size(); ++node) {
            KeInitializeEvent(&m_Events[node], NotificationEvent, FALSE);
            m_Filter->SubscribeControlChange(node, &m_Events[node], &m_Registrations[node]);
        }
    }
    void ReportEvents() {
        m_Out << "events\n";
        bool any = false;
        for (ULONG node = 0; node < m_Registrations.size(); ++node) {
            const ULONG count = KsFilterClient::EventCount(m_Registrations[node]);
            if (count == 0) continue;
            any = true;
            m_Out << "  node " << node << "  control change x" << count << '\n';
        }
        if (!any) m_Out << "  none\n";
    }
    void Unsubscribe() {
        for (auto& registration : m_Registrations) {
            if (registration && m_Filter) m_Filter->DisableEvent(registration);
        }
        m_Registrations.clear();
    }

    KsFilterClient& Filter() { return *m_Filter; }

    int Finish(bool ok) {
        Unplug();
        return DriverSession::Finish(ok);
    }

private:
    std::unique_ptr<KsFilterClient> m_Filter;
    std::vector<GUID> m_Types;
    std::vector<KEVENT> m_Events;
    std::vector<std::shared_ptr<KSEVENTDATA>> m_Registrations;
};

bool Run(const Options& options, ControlsSession& session, std::ostream& out) {
    std::vector<NodeView> nodes = session.Nodes();
    List(session.Filter(), nodes, out);
    bool ok = true;
    if (!options.sets.empty()) {
        session.Subscribe();
        out << "sets\n";
        for (const ControlSetting& setting : options.sets) {
            NTSTATUS status = setting.node < nodes.size() ? Apply(session.Filter(), nodes[setting.node], setting)
                                                          : STATUS_INVALID_PARAMETER;
            out << "  " << setting.text << "  " << StatusText(status) << '\n';
            ok = ok && NT_SUCCESS(status);
        }
        sim::machine::RunFor(kSettle);
        session.ReportEvents();
        session.Unsubscribe();
        List(session.Filter(), nodes, out);
    }
    if (options.replug) {
        out << "replug\n";
        session.Unplug();
        if (!session.Plug()) return false;
        List(session.Filter(), session.Nodes(), out);
    }
    return ok;
}

}  // namespace

int RunControls(const Options& options, const std::string& driverPath, std::ostream& out) {
    ControlsSession session(options, out);
    bool ok = session.Start(driverPath);
    if (ok) ok = Run(options, session, out);
    return session.Finish(ok);
}

}  // namespace kvsim
