#include "model_report.h"

#include "text.h"

#include "driver/engine/adapter/AudioHalCreators.h"
#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/interfaces/Selector.h"
#include "driver/engine/controls/SampleRateControl.h"
#include "driver/engine/controls/VendorControl.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/stream/UsbAudioStream.h"
#include "driver/engine/uac1/Uac1AudioHal.h"

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/usb_bus.h>
#include <win/portcls.h>

#include <cstdio>
#include <string>

namespace kvsim {
namespace {

const char* const kKindNames[] = {"input connector", "output connector", "mute", "volume", "selector", "mixer",
                                  "AGC", "loudness", "device level", "bass", "mid", "treble", "sample rate",
                                  "terminal type"};
const char* const kEndpointNames[] = {"Stream", "SPK", "HP", "SPDIF", "HDMI", "DP", "Line", "Mic", "Aux", "CD",
                                      "Video", "FMic", "Tel", "HandSet", "HeadSet", "SpkPhone", "StereoMix", "FHP",
                                      "Rec"};

const char* const kUnitKindNames[] = {"?", "?", "input terminal", "output terminal", "mixer unit", "selector unit",
                                      "feature unit", "?", "?", "extension unit", "clock source"};

// " (feature unit)", or nothing for a kind without a name.
std::string UnitKindName(ULONG kind) {
    if (kind < sizeof(kUnitKindNames) / sizeof(kUnitKindNames[0]) && kUnitKindNames[kind][0] != '?') {
        return std::string(" (") + kUnitKindNames[kind] + ")";
    }
    return "";
}

std::string KindName(ULONG kind) {
    if (kind < sizeof(kKindNames) / sizeof(kKindNames[0])) return kKindNames[kind];
    if (kind == NodeKindCode(NodeKind::Vendor)) return "vendor";
    return "kind " + std::to_string(kind);
}

std::string EndpointName(ULONG type) {
    if (type < sizeof(kEndpointNames) / sizeof(kEndpointNames[0])) return kEndpointNames[type];
    return std::to_string(type);
}

std::string Sources(AudioNode* node) {
    ULONG ids[32];
    ULONG count = 32;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSources(&count, ids))) return "";
    std::string text = " <- ";
    for (ULONG i = 0; i < count; ++i) {
        if (i != 0) text += ',';
        text += std::to_string(ids[i]);
    }
    return text;
}

// The control's current values: switches 0/1, levels in dB, a selector's input.
std::string Values(AudioNode* node) {
    std::string text;
    OnOffControl* onOff = nullptr;
    if (NT_SUCCESS(node->QueryInterface(IID_OnOffControl, reinterpret_cast<PVOID*>(&onOff))) && onOff != nullptr) {
        ULONG channels = 0;
        onOff->GetChannelCount(&channels);
        for (ULONG c = 0; c < channels && c < 16; ++c) {
            UCHAR value = 0;
            if (NT_SUCCESS(onOff->GetValue(c, &value))) text += (c == 0 ? " = " : " ") + std::to_string(value);
        }
        onOff->Release();
    }
    LevelControl* level = nullptr;
    if (NT_SUCCESS(node->QueryInterface(IID_LevelControl, reinterpret_cast<PVOID*>(&level))) && level != nullptr) {
        ULONG channels = 0;
        level->GetChannelCount(&channels);
        for (ULONG c = 0; c < channels && c < 16; ++c) {
            LONG value = 0;
            if (!NT_SUCCESS(level->GetValue(c, &value))) continue;
            char db[32];
            if (value == LevelSilence) {
                std::snprintf(db, sizeof(db), "-inf");
            } else {
                std::snprintf(db, sizeof(db), "%.2f dB", value / 65536.0);
            }
            text += (c == 0 ? " = " : ", ") + std::string(db);
        }
        level->Release();
    }
    Selector* selector = nullptr;
    if (NT_SUCCESS(node->QueryInterface(IID_Selector, reinterpret_cast<PVOID*>(&selector))) && selector != nullptr) {
        ULONG selected = 0;
        if (NT_SUCCESS(selector->GetSelected(&selected))) text += " = input " + std::to_string(selected);
        selector->Release();
    }
    return text;
}

// A stage that is a path control by its id and kind; an effect (vendor) control also by its name
// and switch; any other stage is the model's own.
std::string StageText(ProcessingStage* stage) {
    AudioNode* node = nullptr;
    if (!NT_SUCCESS(stage->QueryInterface(IID_AudioNode, reinterpret_cast<PVOID*>(&node))) || node == nullptr) {
        return "model stage";
    }
    std::string text = "control " + std::to_string(node->GetId()) + ' ' + KindName(node->GetNodeKind());
    VendorControl* vendor = nullptr;
    if (NT_SUCCESS(node->QueryInterface(IID_VendorControl, reinterpret_cast<PVOID*>(&vendor))) && vendor != nullptr) {
        GUID name{};
        UCHAR enable = 0;
        vendor->GetNameGuid(&name);
        vendor->GetEnable(&enable);
        text += ' ' + GuidText(name) + (enable != 0 ? " on" : " off");
        vendor->Release();
    }
    node->Release();
    return text;
}

void Line(std::ostream& out, const std::string& label, const std::string& text) {
    std::string padded = "  " + label;
    if (padded.size() < 26) padded.resize(26, ' ');
    out << padded << ' ' << text << '\n';
}

NTSTATUS StartNothing(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
NTSTATUS AddModelDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) { return PcAddAdapterDevice(Driver, Pdo, StartNothing, 1, 0); }
NTSTATUS ModelDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    return PcInitializeAdapterDriver(Driver, RegistryPath, AddModelDevice);
}

void ReportEngines(std::ostream& out, AdapterCommon* common) {
    for (ULONG e = 0; e < common->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(common->GetStreamEngine(e, &engine)) || engine == nullptr) continue;
        Line(out, "engine " + std::to_string(e),
             std::string(engine->GetDirection() == StreamDirectionRender ? "render" : "capture") + ", endpoint type " +
                 EndpointName(engine->GetEndpointType()) + ", isochronous");
        std::string path;
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            if (NT_SUCCESS(engine->GetNode(i, &node))) {
                if (i != 0) path += ", ";
                path += std::to_string(node->GetId());
                path += ' ';
                path += KindName(node->GetNodeKind());
            }
        }
        Line(out, "  path", path);
        for (ULONG i = 0; i < engine->GetStageCount(); ++i) {
            ProcessingStage* stage = nullptr;
            if (NT_SUCCESS(engine->GetStage(i, &stage))) Line(out, "  stage", StageText(stage));
        }
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            if (!NT_SUCCESS(engine->GetFormat(f, &format))) continue;
            UCHAR alt = 0;
            static_cast<UsbAudioStream*>(engine)->FindAltSetting(&format.Format, &alt);
            char text[128];
            std::snprintf(text, sizeof(text), "%u Hz, %u ch, %u/%u bits, mask 0x%X, alt %u, align %u, sub-format 0x%04X",
                          unsigned(format.Format.nSamplesPerSec), unsigned(format.Format.nChannels),
                          unsigned(format.Samples.wValidBitsPerSample), unsigned(format.Format.wBitsPerSample),
                          unsigned(format.dwChannelMask), unsigned(alt), unsigned(format.Format.nBlockAlign),
                          unsigned(format.SubFormat.Data1));
            Line(out, "  format", text);
        }
    }
}

// A clock source's rates (the device's RANGE), current rate (CUR) and validity.
void ReportClock(std::ostream& out, UnitNode* unit) {
    SampleRateControl* clock = nullptr;
    if (!NT_SUCCESS(unit->QueryInterface(IID_SampleRateControl, reinterpret_cast<PVOID*>(&clock))) || clock == nullptr) {
        return;
    }
    ULONG rates[SampleRateMaxRates] = {};
    ULONG count = SampleRateMaxRates;
    const NTSTATUS listed = clock->GetRates(&count, rates);
    std::string text;
    for (ULONG i = 0; i < count; ++i) text += (i == 0 ? "" : ", ") + (rates[i] != 0 ? std::to_string(rates[i]) : "range");
    if (!NT_SUCCESS(listed)) text += " (" + StatusText(listed) + ")";
    Line(out, "  rates", text.empty() ? "none" : text);
    ULONG rate = 0;
    const NTSTATUS current = clock->GetRate(&rate);
    Line(out, "  current", NT_SUCCESS(current) ? std::to_string(rate) + " Hz" : StatusText(current));
    UCHAR valid = 0;
    const NTSTATUS validity = clock->IsClockValid(&valid);
    Line(out, "  valid", NT_SUCCESS(validity) ? (valid != 0 ? "yes" : "no") : StatusText(validity));
    clock->Release();
}

// A terminal's endpoint types (the current one marked) and the jacks of each.
void ReportTerminal(std::ostream& out, UnitNode* unit) {
    TerminalInfo* info = nullptr;
    if (!NT_SUCCESS(unit->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info))) || info == nullptr) return;
    ULONG current = 0;
    ULONG count = 0;
    ULONG types[TerminalMaxTypes] = {};
    info->GetTerminalType(&current);
    if (NT_SUCCESS(info->GetTypeCount(&count)) && count <= TerminalMaxTypes && NT_SUCCESS(info->GetTypeList(types))) {
        std::string text;
        for (ULONG i = 0; i < count; ++i) {
            text += (i == 0 ? "" : ", ") + EndpointName(types[i]) + (types[i] == current ? " (current)" : "");
        }
        Line(out, "  types", text);
    }
    for (ULONG i = 0; i < count && i < TerminalMaxTypes; ++i) {
        ULONG jacks = 0;
        if (!NT_SUCCESS(info->GetJackCount(&jacks, i)) || jacks == 0 || jacks > 64) continue;
        JackRecord records[64] = {};
        const NTSTATUS described = info->GetJackDescriptions(jacks * sizeof(JackRecord), records, i);
        for (ULONG j = 0; j < jacks; ++j) {
            char text[128];
            std::snprintf(text, sizeof(text), "%s: channels 0x%X, colour 0x%06X, connection %u, location %u/%u, %s",
                          EndpointName(types[i]).c_str(), unsigned(records[j].ChannelMapping),
                          unsigned(records[j].Color), unsigned(records[j].ConnectionType),
                          unsigned(records[j].GeoLocation), unsigned(records[j].GenLocation),
                          !NT_SUCCESS(described)      ? "presence unknown"
                          : records[j].IsConnected != 0 ? "connected"
                                                        : "not connected");
            Line(out, "  jack " + std::to_string(j), text);
        }
    }
    info->Release();
}

void ReportUnits(std::ostream& out, AdapterCommon* common) {
    // The UAC 1.0 HAL and the HALs derived from it keep the units; every HAL the adapter makes is
    // one of them, also the models that hand out no DeviceModel.
    AdapterCommon* halCommon = static_cast<UsbAudioAdapter*>(common)->HalAdapterCommon();
    if (halCommon == nullptr) return;
    auto* hal = static_cast<Uac1AudioHal*>(halCommon);
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit)) || unit == nullptr) continue;
        Line(out, "unit " + std::to_string(id),
             "descriptor subtype " + std::to_string(unit->GetNodeKind()) + UnitKindName(unit->GetNodeKind()) +
                 Sources(unit));
        ReportClock(out, unit);
        ReportTerminal(out, unit);
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = 0; i < controls; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
            Line(out, "  control " + std::to_string(control->GetId()),
                 KindName(control->GetNodeKind()) + Sources(control) + Values(control));
        }
    }
}

}  // namespace

bool ReportModel(std::ostream& out, std::unique_ptr<sim::usb::Device> device) {
    out << "model    the driver's engine linked into kvsim, without the port-class front\n";
    const sim::pool::Snapshot pool = sim::pool::TakeSnapshot();
    sim::pnp::Driver* driver = nullptr;
    if (!NT_SUCCESS(sim::pnp::LoadLinkedDriver(ModelDriverEntry, u"KvsimModel", &driver))) return false;
    sim::usb::Port* port = sim::usb::PlugDevice(std::move(device));
    sim::pnp::DeviceNode* node = sim::usb::NodeOf(port);
    PDEVICE_OBJECT pdo = sim::usb::PhysicalDeviceObject(port);
    NTSTATUS status = sim::pnp::AddDevice(driver, node);
    if (NT_SUCCESS(status)) {
        PADAPTERCOMMON common = nullptr;
        status = CreateAdapter(&common);
        if (NT_SUCCESS(status)) {
            status = common->Init(nullptr, IoGetAttachedDevice(pdo), pdo, pdo);
            Line(out, "adapter Init", StatusText(status));
            if (NT_SUCCESS(status)) {
                ReportEngines(out, common);
                ReportUnits(out, common);
            }
            common->Release();
        }
        sim::pnp::RemoveDevice(node);
    }
    sim::usb::RemovePort(port);
    sim::pnp::UnloadDriver(driver);
    return sim::pool::LeaksSince(pool).Empty();
}

}  // namespace kvsim
