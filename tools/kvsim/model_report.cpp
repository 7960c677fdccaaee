#include "model_report.h"

#include "text.h"

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/interfaces/Selector.h"
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

std::string KindName(ULONG kind) {
    if (kind < sizeof(kKindNames) / sizeof(kKindNames[0])) return kKindNames[kind];
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
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            if (!NT_SUCCESS(engine->GetFormat(f, &format))) continue;
            char text[96];
            std::snprintf(text, sizeof(text), "%u Hz, %u ch, %u/%u bits, mask 0x%X", unsigned(format.Format.nSamplesPerSec),
                          unsigned(format.Format.nChannels), unsigned(format.Samples.wValidBitsPerSample),
                          unsigned(format.Format.wBitsPerSample), unsigned(format.dwChannelMask));
            Line(out, "  format", text);
        }
    }
}

void ReportUnits(std::ostream& out, AdapterCommon* common) {
    DeviceModel* model = nullptr;
    if (!NT_SUCCESS(common->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model))) || model == nullptr) return;
    // The UAC 1.0 HAL and the model HALs derived from it keep the units.
    auto* hal = static_cast<Uac1AudioHal*>(model);
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit)) || unit == nullptr) continue;
        Line(out, "unit " + std::to_string(id), "descriptor subtype " + std::to_string(unit->GetNodeKind()));
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = 0; i < controls; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
            Line(out, "  control " + std::to_string(control->GetId()),
                 KindName(control->GetNodeKind()) + Sources(control) + Values(control));
        }
    }
    model->Release();
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
