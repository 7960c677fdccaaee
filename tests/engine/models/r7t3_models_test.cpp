// The R7T3 and R7U5 models: their feature units' value rules, the topology each HAL builds on its
// simulated device (unit classes, controls and their persisted names, engines and formats), the
// requests the unit controls send, the R7U5 headphone rewrite by vendor, and failures at start.
#include "engine/adapter_machine.h"

#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/models/R7T3Models.h"
#include "driver/engine/stream/StreamEngine.h"

#include <sim/pool.h>
#include <sim/usb_models.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;

constexpr LONG dB = 65536;

// ---- The value rules, without a device ----

TEST(R7ModelRules, DeviceValuesReadAndSent) {
    struct Read {
        const char* name;
        const ModelLevelRule& rule;
        SHORT device;
        LONG level;
    };
    const Read reads[] = {
        {"T3 unit 9: a table row", R7T3Unit9Rule, -256, -192 * 256},
        {"T3 unit 9: top", R7T3Unit9Rule, 0, 0},
        {"T3 unit 9: below every row", R7T3Unit9Rule, -9472, -9472 * 256},
        {"T3 unit 10: bottom of the range", R7T3Unit10Rule, -23 * 256, -6 * dB},
        {"T3 unit 10: top of the range", R7T3Unit10Rule, 3 * 256, 33 * dB},
        {"T3 unit 13: +6 dB", R7T3Unit13Rule, 0, 6 * dB},
        {"T3 unit 13: -36 dB", R7T3Unit13Rule, static_cast<SHORT>(0xE400), -36 * dB},
        {"T3 unit 13: no 16-bit wrap", R7T3Unit13Rule, 100 * 256, 156 * dB},
        {"U5 unit 9: 0 dB", R7U5Unit9Rule, -16, 0},
        {"U5 unit 9: -10 dB", R7U5Unit9Rule, -1936, -10 * dB},
        {"U5 unit 10", R7U5Unit10Rule, 5760, 0x168000},
        {"U5 unit 13: 0 dB", R7U5Unit13Rule, 3456, 0},
        {"U5 unit 13: bottom", R7U5Unit13Rule, 0, -884736},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.rule.Read(r.device), r.level);
    }
    struct Sent {
        const char* name;
        const ModelLevelRule& rule;
        LONG level;
        SHORT device;
    };
    const Sent sent[] = {
        {"T3 unit 9: a row", R7T3Unit9Rule, -192 * 256, -256},
        {"T3 unit 9: between rows", R7T3Unit9Rule, -200 * 256, -512},
        {"T3 unit 9: above 0 dB", R7T3Unit9Rule, 6 * dB, 0},
        {"T3 unit 9: below every row", R7T3Unit9Rule, -0x7FFFFFFF, -9472},
        {"T3 unit 10: bottom", R7T3Unit10Rule, -6 * dB, -23 * 256},
        {"T3 unit 10: top", R7T3Unit10Rule, 33 * dB, 3 * 256},
        {"T3 unit 13: +22.5 dB", R7T3Unit13Rule, 0x168000, 0x0B00},
        {"T3 unit 13: saturated", R7T3Unit13Rule, 0x7FFFFFFF, 32767},
        {"U5 unit 9: -10 dB", R7U5Unit9Rule, -10 * dB, -1936},
        {"U5 unit 9: saturated", R7U5Unit9Rule, -0x7FFFFFFF, -32767},
        {"U5 unit 10: +22.5 dB", R7U5Unit10Rule, 0x168000, 5760},
        {"U5 unit 13: -13.5 dB", R7U5Unit13Rule, -884736, 0},
        {"U5 unit 13: 0 dB", R7U5Unit13Rule, 0, 3456},
        // Below the device's scale: its bottom, never a wrapped unsigned quotient.
        {"U5 unit 13: -14 dB", R7U5Unit13Rule, -14 * dB, 0},
        {"U5 unit 13: far below", R7U5Unit13Rule, -0x7FFFFFFF, 0},
    };
    for (const Sent& s : sent) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.rule.Write(s.level), s.device);
    }
}

// Units 10 to 12 read back every value of their reported grid as it was set.
TEST(R7ModelRules, T3Unit10ReadsBackItsGrid) {
    const ModelLevelRule& rule = R7T3Unit10Rule;
    for (LONG v = rule.Minimum; v <= rule.Maximum; v += rule.Resolution) {
        SCOPED_TRACE(v);
        EXPECT_EQ(rule.Read(rule.Write(v)), v);
    }
}

// ---- The models on their simulated devices ----

template <class Hal>
Hal*& Captured() {
    return adapter_test::CapturedHal<Hal>();
}

// Units (id, kind, sources; controls by id and kind; a feature unit's volume range; a terminal's
// types and jacks), then engines (direction, path, formats).
std::string Topology(Uac1AudioHal* hal) {
    std::string text;
    auto sources = [](AudioNode* node) {
        ULONG ids[16];
        ULONG count = 16;
        std::string s;
        if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSources(&count, ids))) return s;
        for (ULONG i = 0; i < count; ++i) s += (i == 0 ? " <- " : ",") + std::to_string(ids[i]);
        return s;
    };
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit))) continue;
        text += std::string("unit ") + std::to_string(id) + std::string(" kind ") + std::to_string(unit->GetNodeKind()) + sources(unit) + ":";
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = controls; i-- > 0;) {
            AudioNode* control = nullptr;
            if (NT_SUCCESS(unit->GetControl(i, &control))) {
                text += std::string(" ") + std::to_string(control->GetId()) + std::string("/") + std::to_string(control->GetNodeKind());
            }
        }
        FeatureUnitRanges* ranges = nullptr;
        if (NT_SUCCESS(unit->QueryInterface(IID_FeatureUnitRanges, reinterpret_cast<PVOID*>(&ranges)))) {
            LONG max = 0, min = 0, res = 0;
            if (NT_SUCCESS(ranges->GetRange(2, &max, &min, &res))) {
                text += std::string(" volume ") + std::to_string(min) + std::string("..") + std::to_string(max) + std::string("/") + std::to_string(res);
            }
            ranges->Release();
        }
        TerminalInfo* info = nullptr;
        if (NT_SUCCESS(unit->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info)))) {
            ULONG type = 0, types = 0, jacks = 0;
            info->GetTerminalType(&type);
            info->GetTypeCount(&types);
            info->GetJackCount(&jacks, 0);
            text += std::string(" type ") + std::to_string(type) + std::string(" of ") + std::to_string(types) + ", jacks " +
                    std::to_string(jacks);
            info->Release();
        }
        text += "\n";
    }
    for (ULONG e = 0; e < hal->GetStreamEngineCount(); ++e) {
        StreamEngine* engine = nullptr;
        if (!NT_SUCCESS(hal->GetStreamEngine(e, &engine))) continue;
        text += engine->GetDirection() == StreamDirectionRender ? "render" : "capture";
        for (ULONG i = 0; i < engine->GetNodeCount(); ++i) {
            AudioNode* node = nullptr;
            if (NT_SUCCESS(engine->GetNode(i, &node))) text += std::string(" ") + std::to_string(node->GetId());
        }
        text += ":";
        for (ULONG f = 0; f < engine->GetFormatCount(); ++f) {
            WAVEFORMATEXTENSIBLE format{};
            if (!NT_SUCCESS(engine->GetFormat(f, &format))) continue;
            text += std::string(" ") + std::to_string(format.Format.nSamplesPerSec) + std::string("/") + std::to_string(format.Format.nChannels) +
                    std::string("/") + std::to_string(format.Samples.wValidBitsPerSample);
        }
        text += "\n";
    }
    return text;
}

// Writes every level and switch control's current value back, so each persists under its name;
// answers the value names the settings then hold.
std::vector<std::u16string> PersistEveryControl(Uac1AudioHal* hal, const std::u16string& settings) {
    for (ULONG id = 0; id < 256; ++id) {
        UnitNode* unit = nullptr;
        if (!NT_SUCCESS(hal->FindUnit(id, &unit))) continue;
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = 0; i < controls; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control))) continue;
            LevelControl* level = nullptr;
            if (NT_SUCCESS(control->QueryInterface(IID_LevelControl, reinterpret_cast<PVOID*>(&level)))) {
                LONG value = 0;
                level->GetValue(0, &value);
                level->SetValue(0, value);
                level->Release();
            }
            OnOffControl* onOff = nullptr;
            if (NT_SUCCESS(control->QueryInterface(IID_OnOffControl, reinterpret_cast<PVOID*>(&onOff)))) {
                UCHAR value = 0;
                onOff->GetValue(0, &value);
                onOff->SetValue(0, value);
                onOff->Release();
            }
        }
    }
    std::vector<std::u16string> names = sim::registry::ValueNames(settings);
    std::erase_if(names, [](const std::u16string& n) { return n.rfind(u"Unit", 0) != 0; });
    std::sort(names.begin(), names.end());
    return names;
}

class R7Models : public AdapterMachine {
protected:
    void TearDown() override {
        Captured<R7T3AudioHal>() = nullptr;
        Captured<R7U5AudioHal>() = nullptr;
        AdapterMachine::TearDown();
    }
    // Class requests to AudioControl entities (wIndex high byte), in order.
    std::vector<sim::usb::LogEntry> UnitRequests() {
        std::vector<sim::usb::LogEntry> requests;
        for (const sim::usb::LogEntry& e : Device().Log()) {
            if (e.isRequest && (e.setup.bmRequestType & 0x7F) == 0x21 && (e.setup.wIndex & 0xFF) == 0) {
                requests.push_back(e);
            }
        }
        return requests;
    }
    size_t VendorRequests() {
        const std::vector<sim::usb::LogEntry> log = Device().Log();
        return std::count_if(log.begin(), log.end(), [](const sim::usb::LogEntry& e) {
            return e.isRequest && (e.setup.bmRequestType & 0x60) == 0x40;
        });
    }
    // The unit's control of NodeKind Kind, with a reference on the adapter.
    template <class Interface>
    Interface* ControlOf(Uac1AudioHal* hal, ULONG UnitId, ULONG Kind, REFIID Id) {
        UnitNode* unit = nullptr;
        EXPECT_EQ(hal->FindUnit(UnitId, &unit), STATUS_SUCCESS);
        if (unit == nullptr) return nullptr;
        ULONG controls = 0;
        unit->GetControlCount(&controls);
        for (ULONG i = 0; i < controls; ++i) {
            AudioNode* control = nullptr;
            if (!NT_SUCCESS(unit->GetControl(i, &control)) || control->GetNodeKind() != Kind) continue;
            Interface* answer = nullptr;
            if (NT_SUCCESS(control->QueryInterface(Id, reinterpret_cast<PVOID*>(&answer)))) return answer;
        }
        ADD_FAILURE() << "unit " << UnitId << " has no control of kind " << Kind;
        return nullptr;
    }
};

constexpr ULONG kMute = NodeKindCode(NodeKind::Mute);
constexpr ULONG kVolume = NodeKindCode(NodeKind::Volume);
constexpr ULONG kBass = NodeKindCode(NodeKind::Bass);

TEST_F(R7Models, R7T3GoldenTopology) {
    ScopedCreators creators(&adapter_test::CapturingCreators<R7T3AudioHal, R7T3Tag>);
    PlugDevice(sim::usb::r7t3::Create());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    R7T3AudioHal* hal = Captured<R7T3AudioHal>();
    ASSERT_NE(hal, nullptr);
    EndpointInfo info{};
    ASSERT_EQ(hal->GetEndpointInfo(0, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.Capabilities, R7T3Capabilities);
    EXPECT_EQ(info.Value, R7T3CapabilityValue);
    // No DeviceModel from this HAL.
    PVOID model = &info;
    EXPECT_EQ(hal->NonDelegatingQueryInterface(IID_DeviceModel, &model), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(model, nullptr);

    EXPECT_EQ(Topology(hal),
              "unit 1 kind 2: 0/0 type 0 of 1, jacks 0\n"
              "unit 2 kind 3 <- 13: 5/1 type 1 of 1, jacks 0\n"
              "unit 4 kind 2: 6/0 type 7 of 1, jacks 0\n"
              "unit 6 kind 2: 9/0 type 6 of 1, jacks 0\n"
              "unit 7 kind 2: 12/0 type 3 of 1, jacks 0\n"
              "unit 8 kind 3 <- 14: 21/1 type 0 of 1, jacks 0\n"
              // R7T3FeatureUnit9: -33 to 0 dB in 0.125 dB steps
              "unit 9 kind 6 <- 4: 7/2 8/3 volume -2162688..0/8192\n"
              // R7T3FeatureUnit10: -6 to +33 dB in 1.5 dB steps
              "unit 10 kind 6 <- 6: 10/2 11/3 volume -393216..2162688/98304\n"
              "unit 11 kind 6 <- 7: 13/2 14/3 volume -393216..2162688/98304\n"
              "unit 12 kind 6 <- 15: 16/2 17/3 volume -393216..2162688/98304\n"
              // R7T3FeatureUnit13: -36 to +22.5 dB in 1.5 dB steps; mute, volume, bass, treble
              "unit 13 kind 6 <- 1: 1/2 2/3 3/9 4/11 volume -2359296..1474560/98304\n"
              "unit 14 kind 6 <- 12: 18/2 19/3 20/6 volume -2359296..1474560/98304\n"
              "unit 15 kind 5 <- 9,10,11: 15/4\n"
              "render 5 1 2 3 4 0: 44100/2/16 48000/2/16\n"
              "capture 21 18 19 20 16 17 15 7 10 13 8 11 14 6 9 12: 44100/2/16 48000/2/16 44100/2/16 48000/2/16\n");
    // Control ids are node-list positions: the stored values' names follow them.
    const std::vector<std::u16string> persisted = {
        u"Unit01_ 0_0", u"Unit02_ 0_0", u"Unit02_ 0_1", u"Unit03_ 0_0", u"Unit04_ 0_0", u"Unit07_ 0_0",
        u"Unit08_ 0_0", u"Unit10_ 0_0", u"Unit11_ 0_0", u"Unit11_ 0_1", u"Unit13_ 0_0", u"Unit14_ 0_0",
        u"Unit15_",     u"Unit16_ 0_0", u"Unit17_ 0_0", u"Unit18_ 0_0", u"Unit19_ 0_0", u"Unit20_ 0_0"};
    EXPECT_EQ(PersistEveryControl(hal, SettingsKey()), persisted);
    // The model terminals ask the device nothing, not even after a status interrupt: no jack,
    // presence or output-type request, and the speaker stays a speaker.
    for (ULONG id : {1, 2, 4, 6, 7, 8}) {
        UnitNode* terminal = nullptr;
        ASSERT_EQ(hal->FindUnit(id, &terminal), STATUS_SUCCESS);
        ULONG control = 0;
        terminal->HandleStatusInterrupt(0, 0, &control);
    }
    EXPECT_EQ(VendorRequests(), 0u);
    UnitNode* speaker = nullptr;
    ASSERT_EQ(hal->FindUnit(sim::usb::r7t3::kSpeaker, &speaker), STATUS_SUCCESS);
    TerminalInfo* speakerInfo = nullptr;
    ASSERT_EQ(speaker->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&speakerInfo)), STATUS_SUCCESS);
    ULONG type = 0;
    EXPECT_EQ(speakerInfo->GetTerminalType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, static_cast<ULONG>(EndpointType::Speaker));
    speakerInfo->Release();
    // Every model control carries the model's control tag.
    EXPECT_EQ(sim::pool::TagUsage(R7T3ControlTag).blocks, 21u);
}

TEST_F(R7Models, R7U5GoldenTopologyAndTheHeadphoneRewrite) {
    struct Case {
        const char* name;
        uint16_t vendorId;
        uint16_t productId;
        ULONG capabilities;
        const char* topology;
    };
    const Case cases[] = {
        {"speaker", 0xA5E7, 0x0067, R7U5Capabilities,
         // Units 9, 10, 13: R7U5FeatureUnit9, R7U5FeatureUnit10, R7U5FeatureUnit13 by their ranges.
         "unit 1 kind 2: 0/0 type 0 of 1, jacks 0\n"
         "unit 4 kind 2: 4/0 type 7 of 1, jacks 0\n"
         "unit 6 kind 3 <- 13: 3/1 type 1 of 1, jacks 0\n"
         "unit 8 kind 3 <- 9: 9/1 type 0 of 1, jacks 0\n"
         "unit 9 kind 6 <- 10: 7/2 8/3 volume -2424832..0/65536\n"
         "unit 10 kind 6 <- 4: 5/2 6/3 volume 0..1474560/98304\n"
         "unit 13 kind 6 <- 1: 1/2 2/3 volume -884736..589825/98304\n"
         "render 3 1 2 0: 44100/2/16 48000/2/16\n"
         "capture 9 7 8 5 6 4: 44100/2/16 48000/2/16 44100/2/16 48000/2/16\n"},
        // Terminal 6 of the vendor's device is a headphone output (endpoint type 2).
        {"headphone vendor", sim::usb::r7u5::kHeadphoneVendor, 0x0A06, R7U5HeadsetCapabilities,
         "unit 1 kind 2: 0/0 type 0 of 1, jacks 0\n"
         "unit 4 kind 2: 4/0 type 7 of 1, jacks 0\n"
         "unit 6 kind 3 <- 13: 3/1 type 2 of 1, jacks 0\n"
         "unit 8 kind 3 <- 9: 9/1 type 0 of 1, jacks 0\n"
         "unit 9 kind 6 <- 10: 7/2 8/3 volume -2424832..0/65536\n"
         "unit 10 kind 6 <- 4: 5/2 6/3 volume 0..1474560/98304\n"
         "unit 13 kind 6 <- 1: 1/2 2/3 volume -884736..589825/98304\n"
         "render 3 1 2 0: 44100/2/16 48000/2/16\n"
         "capture 9 7 8 5 6 4: 44100/2/16 48000/2/16 44100/2/16 48000/2/16\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedCreators creators(&adapter_test::CapturingCreators<R7U5AudioHal, R7U5Tag>);
        PlugDevice(sim::usb::r7u5::Create({.vendorId = c.vendorId, .productId = c.productId}));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        R7U5AudioHal* hal = Captured<R7U5AudioHal>();
        ASSERT_NE(hal, nullptr);
        EndpointInfo info{};
        ASSERT_EQ(hal->GetEndpointInfo(0, &info), STATUS_SUCCESS);
        EXPECT_EQ(info.Capabilities, c.capabilities);
        EXPECT_EQ(Topology(hal), c.topology);
        EXPECT_EQ(VendorRequests(), 0u);
        ReleaseAdapter();
        Unplug();
    }
}

// The R7T3 walker rewrites nothing: its terminal 6 stays what the descriptor says, whatever the
// vendor (the R7U5 device is reused under the R7T3 HAL).
TEST_F(R7Models, R7T3KeepsTheSpeakerOfTheHeadphoneVendor) {
    ScopedCreators creators(&adapter_test::CapturingCreators<R7T3AudioHal, R7T3Tag>);
    PlugDevice(sim::usb::r7u5::Create({.vendorId = sim::usb::r7u5::kHeadphoneVendor, .productId = 0x0A06}));
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UnitNode* unit = nullptr;
    ASSERT_EQ(Captured<R7T3AudioHal>()->FindUnit(sim::usb::r7u5::kSpeaker, &unit), STATUS_SUCCESS);
    TerminalInfo* info = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_TerminalInfo, reinterpret_cast<PVOID*>(&info)), STATUS_SUCCESS);
    ULONG type = 0;
    EXPECT_EQ(info->GetTerminalType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, static_cast<ULONG>(EndpointType::Speaker));
    info->Release();
}

TEST_F(R7Models, UnitControlsSendTheDeviceValues) {
    ScopedCreators creators(&adapter_test::CapturingCreators<R7T3AudioHal, R7T3Tag>);
    PlugDevice(sim::usb::r7t3::Create());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    R7T3AudioHal* hal = Captured<R7T3AudioHal>();
    ASSERT_NE(hal, nullptr);
    Device().ClearLog();

    LevelControl* volume = ControlOf<LevelControl>(hal, sim::usb::r7t3::kPlaybackUnit, kVolume, IID_LevelControl);
    LevelControl* bass = ControlOf<LevelControl>(hal, sim::usb::r7t3::kPlaybackUnit, kBass, IID_LevelControl);
    OnOffControl* mute = ControlOf<OnOffControl>(hal, sim::usb::r7t3::kCaptureUnit, kMute, IID_OnOffControl);
    LevelControl* table = ControlOf<LevelControl>(hal, sim::usb::r7t3::kMicUnit, kVolume, IID_LevelControl);
    ASSERT_TRUE(volume && bass && mute && table);
    ULONG channels = 0;
    EXPECT_EQ(mute->GetChannelCount(&channels), STATUS_SUCCESS);
    EXPECT_EQ(channels, 1u);  // switches live on the master channel only
    EXPECT_EQ(volume->SetValue(1, 0x168000), STATUS_SUCCESS);
    EXPECT_EQ(bass->SetValue(0, 3 * dB), STATUS_SUCCESS);
    EXPECT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(table->SetValue(0, -192 * 256), STATUS_SUCCESS);
    struct Sent {
        uint8_t bRequest;
        uint16_t wValue;
        uint16_t wIndex;
        std::vector<uint8_t> data;
    };
    std::vector<Sent> sent;
    for (const sim::usb::LogEntry& e : UnitRequests()) sent.push_back({e.setup.bRequest, e.setup.wValue, e.setup.wIndex, e.data});
    const std::vector<Sent> expected = {
        {0x01, 0x0202, 0x0D00, {0x00, 0x0B}},  // +22.5 dB on channel 2 of unit 13: device 11 dB
        {0x01, 0x0300, 0x0D00, {0x0C}},        // bass: one byte in 1/4 dB
        {0x01, 0x0100, 0x0E00, {0x01}},        // mute on the master channel
        {0x01, 0x0200, 0x0900, {0x00, 0xFF}},  // the table row of -0.75 dB: device -1 dB
    };
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sent[i].bRequest, expected[i].bRequest);
        EXPECT_EQ(sent[i].wValue, expected[i].wValue);
        EXPECT_EQ(sent[i].wIndex, expected[i].wIndex);
        EXPECT_EQ(sent[i].data, expected[i].data);
    }
    for (IUnknown* u : std::initializer_list<IUnknown*>{volume, bass, mute, table}) u->Release();

    // A switch on another channel than the master, or a selector the unit lacks: refused, nothing sent.
    UnitNode* unit = nullptr;
    ASSERT_EQ(hal->FindUnit(sim::usb::r7t3::kCaptureUnit, &unit), STATUS_SUCCESS);
    FeatureUnitChannels* switches = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_FeatureUnitChannels, reinterpret_cast<PVOID*>(&switches)), STATUS_SUCCESS);
    FeatureUnitRanges* levels = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_FeatureUnitRanges, reinterpret_cast<PVOID*>(&levels)), STATUS_SUCCESS);
    Device().ClearLog();
    UCHAR on = 0;
    EXPECT_EQ(switches->SetCur(1, 1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(switches->GetCur(7, 1, &on), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(switches->SetCur(10, 0, 1), STATUS_INVALID_PARAMETER);  // no loudness
    EXPECT_EQ(levels->SetCur(2, 1, 0), STATUS_INVALID_PARAMETER);     // volume on the master only
    EXPECT_EQ(levels->SetCur(4, 0, 0), STATUS_INVALID_PARAMETER);     // no mid
    EXPECT_TRUE(UnitRequests().empty());
    switches->Release();
    levels->Release();
}

TEST_F(R7Models, R7U5Unit13BelowItsScaleSendsItsBottom) {
    ScopedCreators creators(&adapter_test::CapturingCreators<R7U5AudioHal, R7U5Tag>);
    PlugDevice(sim::usb::r7u5::Create());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    R7U5AudioHal* hal = Captured<R7U5AudioHal>();
    ASSERT_NE(hal, nullptr);
    UnitNode* unit = nullptr;
    ASSERT_EQ(hal->FindUnit(sim::usb::r7u5::kPlaybackUnit, &unit), STATUS_SUCCESS);
    FeatureUnitRanges* levels = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_FeatureUnitRanges, reinterpret_cast<PVOID*>(&levels)), STATUS_SUCCESS);
    Device().ClearLog();
    EXPECT_EQ(levels->SetCur(2, 0, -20 * dB), STATUS_SUCCESS);
    EXPECT_EQ(levels->SetCur(2, 1, 0), STATUS_SUCCESS);
    const std::vector<sim::usb::LogEntry> sent = UnitRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].setup.wValue, 0x0201);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(sent[1].setup.wValue, 0x0202);
    EXPECT_EQ(sent[1].data, (std::vector<uint8_t>{0x80, 0x0D}));  // 3456
    LONG value = 0;
    EXPECT_EQ(levels->GetCur(2, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    levels->Release();
}

// Every failed allocation of a model's tags fails the start with STATUS_INSUFFICIENT_RESOURCES and
// leaves nothing behind (the driver's unload checks the pool); GET_RES refused fails the start.
TEST_F(R7Models, StartFailures) {
    struct Model {
        const char* name;
        std::function<std::unique_ptr<sim::usb::Device>()> create;
        ULONG tag;
    };
    const Model models[] = {
        {"R7T3 HAL and units", [] { return sim::usb::r7t3::Create(); }, R7T3Tag},
        {"R7T3 controls", [] { return sim::usb::r7t3::Create(); }, R7T3ControlTag},
        {"R7U5", [] { return sim::usb::r7u5::Create(); }, R7U5Tag},
    };
    for (const Model& m : models) {
        SCOPED_TRACE(m.name);
        int failures = 0;
        for (uint64_t n = 1; n < 100; ++n) {
            SCOPED_TRACE(n);
            PlugDevice(m.create());
            const uint64_t injected = sim::pool::InjectedFailures();
            sim::pool::FailNthAllocation(n, m.tag);
            const NTSTATUS status = Start();
            const bool fired = sim::pool::InjectedFailures() != injected;
            sim::pool::DisarmFaults();
            ReleaseAdapter();
            Unplug();
            if (!fired) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            ++failures;
        }
        EXPECT_GT(failures, 3);
    }
    for (const Model& m : {models[0], models[2]}) {
        SCOPED_TRACE(std::string(m.name) + ": GET_RES stalled");
        PlugDevice(m.create());
        Device().AddControlFault({.match = {.bmRequestType = 0xA1, .bRequest = 0x84}});
        EXPECT_FALSE(NT_SUCCESS(Start()));
        ReleaseAdapter();
        Unplug();
    }
}

}  // namespace
