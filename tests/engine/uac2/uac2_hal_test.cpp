// The UAC 2.0 HAL on the simulated machine with the driver's own creators: the golden model of the
// catalog devices (units, controls and their persisted names, source edges, each engine's clock,
// formats and path), and the status thread's change handling.
#include "engine/adapter_machine.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/uac2/Uac2AudioHal.h"
#include "driver/engine/uac2/Uac2Streams.h"

#include <sim/machine.h>
#include <sim/pool.h>
#include <sim/usb_audio.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace uac2_hal_test {

using adapter_test::AdapterMachine;

// The adapter's HAL, without a reference.
inline Uac2AudioHal* HalOf(PADAPTERCOMMON Common) {
    DeviceModel* model = nullptr;
    if (!NT_SUCCESS(Common->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model))) || model == nullptr) {
        return nullptr;
    }
    model->Release();
    return static_cast<Uac2AudioHal*>(model);
}

inline std::string SourcesOf(AudioNode* node) {
    std::vector<ULONG> ids(node->GetSourceCount());
    ULONG count = static_cast<ULONG>(ids.size());
    if (!ids.empty() && !NT_SUCCESS(node->GetSources(&count, ids.data()))) count = 0;
    std::string text;
    for (ULONG i = 0; i < count; ++i) text += (i == 0 ? " <- " : ",") + std::to_string(ids[i]);
    return text;
}

// Units in descriptor order with their controls in list order (input control first).
inline std::string DescribeUnits(Uac2AudioHal* hal) {
    std::vector<std::string> lines;
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit))) continue;
        std::ostringstream line;
        line << "unit " << unit->GetId() << " kind " << unit->GetNodeKind() << SourcesOf(unit) << ":";
        ULONG count = 0;
        unit->GetControlCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
            line << " [" << control->GetId() << " kind " << control->GetNodeKind() << SourcesOf(control) << "]";
        }
        lines.push_back(line.str());
    }
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

inline std::string DescribeEngines(PADAPTERCOMMON common) {
    std::ostringstream out;
    for (ULONG e = 0; e < common->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(common->GetStreamEngine(e, &engine))) continue;
        auto* stream = static_cast<UsbAudioStream*>(engine);
        const bool render = engine->GetDirection() == StreamDirectionRender;
        const ULONG clock = render ? static_cast<Uac2PlaybackStream*>(stream)->ClockControlId()
                                   : static_cast<Uac2CaptureStream*>(stream)->ClockControlId();
        out << "engine " << e << (render ? " render" : " capture") << " type " << engine->GetEndpointType()
            << " clock " << clock << " path";
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            if (NT_SUCCESS(engine->GetNode(i, &node))) out << ' ' << node->GetId();
        }
        out << "\n";
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            UCHAR alt = 0;
            if (!NT_SUCCESS(engine->GetFormat(f, &format)) || !NT_SUCCESS(stream->FindAltSetting(&format.Format, &alt))) {
                continue;
            }
            out << "  alt " << int(alt) << " " << format.Format.nSamplesPerSec << " " << format.Format.wBitsPerSample
                << "/" << format.Samples.wValidBitsPerSample << " align " << format.Format.nBlockAlign << " mask 0x"
                << std::hex << format.dwChannelMask << " sub 0x" << format.SubFormat.Data1 << std::dec << "\n";
        }
    }
    return out.str();
}

}  // namespace uac2_hal_test

namespace {

using namespace uac2_hal_test;

class Uac2Hal : public AdapterMachine {
protected:
    std::vector<std::string> SettingNames() {
        std::vector<std::string> narrow;
        for (const std::u16string& n : sim::registry::ValueNames(SettingsKey())) narrow.emplace_back(n.begin(), n.end());
        std::sort(narrow.begin(), narrow.end());
        return narrow;
    }
};

TEST_F(Uac2Hal, CatalogDeviceGoldenModel) {
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    Uac2AudioHal* hal = HalOf(m_common);
    ASSERT_NE(hal, nullptr);
    // The clock source's sample-rate control is node 0; each feature unit's signal enters at the
    // volume and leaves at the mute; the terminals' connectors carry the edges between units.
    EXPECT_EQ(DescribeUnits(hal),
              "unit 1 kind 2: [1 kind 0]\n"
              "unit 2 kind 6 <- 1: [3 kind 3 <- 1] [2 kind 2 <- 3]\n"
              "unit 3 kind 3 <- 2: [4 kind 1 <- 2]\n"
              "unit 4 kind 2: [5 kind 0]\n"
              "unit 5 kind 6 <- 4: [7 kind 3 <- 5] [6 kind 2 <- 7]\n"
              "unit 6 kind 3 <- 5: [8 kind 1 <- 6]\n"
              "unit 40 kind 10: [0 kind 12]\n");
    // Both streams run on clock 40 (its control 0), one format per setting and clock rate.
    EXPECT_EQ(DescribeEngines(m_common),
              "engine 0 render type 1 clock 0 path 4 2 3 1\n"
              "  alt 1 48000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 44100 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 88200 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 96000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 176400 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 192000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 2 48000 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 44100 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 88200 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 96000 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 176400 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 192000 16/16 align 4 mask 0x3 sub 0x1\n"
              "engine 1 capture type 7 clock 0 path 8 6 7 5\n"
              "  alt 1 48000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 44100 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 88200 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 96000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 176400 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 1 192000 32/24 align 8 mask 0x3 sub 0x1\n"
              "  alt 2 48000 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 44100 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 88200 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 96000 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 176400 16/16 align 4 mask 0x3 sub 0x1\n"
              "  alt 2 192000 16/16 align 4 mask 0x3 sub 0x1\n");
    // Values the start stored, under the control ids: both mutes, the render volume's two
    // channels and the capture volume's master.
    EXPECT_EQ(SettingNames(),
              (std::vector<std::string>{"Unit02_ 0_0", "Unit03_ 0_0", "Unit03_ 0_1", "Unit06_ 0_0", "Unit07_ 0_0"}));
}

}  // namespace
