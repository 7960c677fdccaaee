// The R7T5's switchable output terminal 3, its LED switch and its S/PDIF record mute, on the
// simulated R7T5 device: the types the switches offer and the stored one, the device registers a
// type sets (through the register file the device keeps), the jack descriptions, a type change
// whose wave subdevice cannot come back, the LED register, and the software mute that follows the
// record selector's S/PDIF pin wherever the rewrite put it.
#include "engine/adapter_machine.h"

#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/ProcessingStage.h"
#include "driver/engine/interfaces/Selector.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/engine/models/R7T5AudioHal.h"

#include <sim/registry.h>
#include <sim/usb_models.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;
using Writes = std::vector<std::pair<uint8_t, uint16_t>>;
namespace r7t5 = sim::usb::r7t5;

R7T5AudioHal*& g_Hal = adapter_test::CapturedHal<R7T5AudioHal>();
constexpr const AudioHalCreatorTable& kCreators = adapter_test::CapturingCreators<R7T5AudioHal, R7T5Tag>;

// Not the poll device: its quirk row takes the headphone and S/PDIF types away.
constexpr r7t5::Options kPlainDevice{.variantB = 0x04};
constexpr ULONG kSpk = 1, kHp = 2, kSpdif = 3;

template <class Interface>
Interface* Query(IUnknown* object, REFIID iid) {
    Interface* answer = nullptr;
    if (!NT_SUCCESS(object->QueryInterface(iid, reinterpret_cast<PVOID*>(&answer)))) return nullptr;
    return answer;
}

class R7T5Terminal : public AdapterMachine {
protected:
    void TearDown() override {
        if (g_Hal != nullptr && m_common != nullptr) m_common->Stop();
        g_Hal = nullptr;
        AdapterMachine::TearDown();
    }
    // Settings are written before the start; nullopt deletes the value.
    NTSTATUS StartWith(const r7t5::Options& options, std::vector<std::pair<const char16_t*, std::optional<ULONG>>> settings = {}) {
        auto device = r7t5::Create(options);
        m_state = r7t5::StateOf(*device);
        PlugDevice(std::move(device));
        for (const auto& [name, value] : settings) {
            if (value) {
                sim::registry::SetDword(SettingsKey(), name, *value);
            } else {
                sim::registry::DeleteValue(SettingsKey(), name);
            }
        }
        return Start();
    }
    UnitNode* Unit(ULONG id) {
        UnitNode* unit = nullptr;
        return NT_SUCCESS(g_Hal->FindUnit(id, &unit)) ? unit : nullptr;
    }
    // The unit's first control of the kind, without a reference; null when none.
    AudioNode* ControlOf(ULONG unitId, NodeKind kind) {
        UnitNode* unit = Unit(unitId);
        ULONG count = 0;
        if (unit == nullptr || !NT_SUCCESS(unit->GetControlCount(&count))) return nullptr;
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* control = nullptr;
            if (NT_SUCCESS(unit->GetControl(i, &control)) && control->GetNodeKind() == NodeKindCode(kind)) return control;
        }
        return nullptr;
    }
    TerminalInfo* Terminal() { return Query<TerminalInfo>(Unit(r7t5::kPlaybackOutput), IID_TerminalInfo); }
    std::vector<ULONG> Types(TerminalInfo* terminal) {
        ULONG count = 0;
        EXPECT_EQ(terminal->GetTypeCount(&count), STATUS_SUCCESS);
        std::vector<ULONG> types(count);
        EXPECT_EQ(terminal->GetTypeList(types.data()), STATUS_SUCCESS);
        return types;
    }

    ScopedCreators m_creators{&kCreators};
    std::shared_ptr<r7t5::State> m_state;
};

// The switches choose the types; the stored type counts only when listed; the registers of the
// type in force are written once the terminal stands.
TEST_F(R7T5Terminal, TypesFollowTheSwitchesAndTheStoredTypeOnlyWhenListed) {
    struct Case {
        const char* name;
        std::optional<ULONG> hp, spdif, stored;
        std::vector<ULONG> types;
        ULONG current;
        uint16_t register2;
        bool spdifBit;  // register 0 bit 15
    };
    const Case cases[] = {
        {"defaults", {}, {}, {}, {kSpk, kHp, kSpdif}, kSpk, 0xE000, false},
        {"stored S/PDIF", 0, 1, kSpdif, {kSpk, kSpdif}, kSpdif, 0xE7F8, true},
        {"stored headphone, not offered", 0, 1, kHp, {kSpk, kSpdif}, kSpk, 0xE000, false},
        {"stored headphone", 1, 0, kHp, {kSpk, kHp}, kHp, 0xFFE0, false},
        {"stored value of no type", {}, {}, 9, {kSpk, kHp, kSpdif}, kSpk, 0xE000, false},
        {"speaker only", 0, 0, kSpdif, {kSpk}, kSpk, 0xE000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(StartWith(kPlainDevice, {{u"SupportHPOut", c.hp}, {u"SupportSpdifOut", c.spdif}, {u"UACUnit03", c.stored}}),
                  STATUS_SUCCESS);
        TerminalInfo* terminal = Terminal();
        ASSERT_NE(terminal, nullptr);
        EXPECT_EQ(Types(terminal), c.types);
        ULONG current = 0;
        EXPECT_EQ(terminal->GetTerminalType(&current), STATUS_SUCCESS);
        EXPECT_EQ(current, c.current);
        terminal->Release();
        EXPECT_EQ(ControlOf(r7t5::kPlaybackOutput, NodeKind::TerminalType) != nullptr, c.types.size() > 1);
        EXPECT_EQ(m_state->registers[2], c.register2);
        EXPECT_EQ((m_state->registers[0] & 0x8000) != 0, c.spdifBit);
        EXPECT_EQ((m_state->registers[1] & 0x0002) == 0, c.spdifBit);
        m_common->Stop();
        ReleaseAdapter();
        Unplug();
        g_Hal = nullptr;
    }
}

TEST_F(R7T5Terminal, SelectTypeWritesRegisters210AndStoresTheType) {
    ASSERT_EQ(StartWith(kPlainDevice, {{u"SupportHPOut", 0}}), STATUS_SUCCESS);
    TerminalInfo* terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    m_state->writes.clear();
    EXPECT_EQ(terminal->SelectType(kHp), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m_state->writes.empty());

    const uint16_t register1 = m_state->registers[1];
    const uint16_t register0 = m_state->registers[0];
    EXPECT_EQ(terminal->SelectType(kSpdif), STATUS_SUCCESS);
    EXPECT_EQ(m_state->writes, (Writes{{2, 0xE7F8},
                                       {1, static_cast<uint16_t>(register1 & ~0x0002)},
                                       {0, static_cast<uint16_t>(register0 | 0x8000)}}));
    EXPECT_EQ(Setting(u"UACUnit03"), kSpdif);
    ULONG current = 0;
    EXPECT_EQ(terminal->GetTerminalType(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, kSpdif);

    m_state->writes.clear();
    EXPECT_EQ(terminal->SelectType(kSpk), STATUS_SUCCESS);
    EXPECT_EQ(m_state->writes, (Writes{{2, 0xE000}, {1, register1}, {0, register0}}));
    EXPECT_EQ(Setting(u"UACUnit03"), kSpk);
    terminal->Release();
}

// Jack records per type index; a buffer that cannot take a type's records is refused, not left
// empty with success; an index past the list is refused.
TEST_F(R7T5Terminal, JackDescriptionsPerTypeIndex) {
    struct Case {
        const char* name;
        ULONG index;
        ULONG bytes;
        std::optional<ULONG> jackConnect;
        NTSTATUS status;
        std::vector<std::array<ULONG, 4>> records;  // channel mapping, color, connection, connected
    };
    const Case cases[] = {
        {"speaker, current",
         0,
         108,
         {},
         STATUS_SUCCESS,
         {{0x3, 0x00FF00, 1, 1}, {0xC, 0xFF8000, 1, 1}, {0x30, 0, 1, 1}}},
        {"speaker, 100 bytes", 0, 100, {}, STATUS_INVALID_PARAMETER, {}},
        {"headphone, not current", 1, 36, {}, STATUS_SUCCESS, {{0x3, 0x00FF00, 1, 0}}},
        {"S/PDIF, not current", 2, 36, {}, STATUS_SUCCESS, {{0x3, 0, 5, 0}}},
        {"S/PDIF with SetJackConnect", 2, 36, 1, STATUS_SUCCESS, {{0x3, 0, 5, 1}}},
        {"index past the list", 3, 108, {}, STATUS_INVALID_PARAMETER, {}},
        {"no bytes", 0, 0, {}, STATUS_INVALID_PARAMETER, {}},
    };
    ASSERT_EQ(StartWith(kPlainDevice), STATUS_SUCCESS);
    TerminalInfo* terminal = Terminal();
    ASSERT_NE(terminal, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.jackConnect) {
            sim::registry::SetDword(SettingsKey(), u"SetJackConnect", *c.jackConnect);
        } else {
            sim::registry::DeleteValue(SettingsKey(), u"SetJackConnect");
        }
        ULONG count = 0;
        EXPECT_EQ(terminal->GetJackCount(&count, c.index), c.index < 3 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        std::array<JackRecord, 3> buffer;
        std::memset(buffer.data(), 0xAB, sizeof(buffer));
        EXPECT_EQ(terminal->GetJackDescriptions(c.bytes, buffer.data(), c.index), c.status);
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(reinterpret_cast<const UCHAR*>(buffer.data())[0], 0xAB) << "nothing written";
            continue;
        }
        ASSERT_EQ(count, c.records.size());
        for (size_t i = 0; i < c.records.size(); ++i) {
            const JackRecord& r = buffer[i];
            EXPECT_EQ((std::array<ULONG, 4>{r.ChannelMapping, r.Color, r.ConnectionType, r.IsConnected}), c.records[i]);
            EXPECT_EQ(r.GeoLocation, 1u);
            EXPECT_EQ(r.PortConnection, 0u);
        }
    }
    terminal->Release();
}

// Without port-class miniports the renamed engine cannot be installed again: the change fails,
// the engine is installed again (as far as it goes) under its old name and the terminal goes back
// to its type, on the device and in the settings.
TEST_F(R7T5Terminal, TypeChangeWhoseEngineCannotComeBackIsUndone) {
    ASSERT_EQ(StartWith(kPlainDevice), STATUS_SUCCESS);
    AudioNode* node = ControlOf(r7t5::kPlaybackOutput, NodeKind::TerminalType);
    ASSERT_NE(node, nullptr);
    auto* control = Query<TerminalTypeControl>(node, IID_TerminalTypeControl);
    ASSERT_NE(control, nullptr);
    StreamEngine* render = nullptr;
    for (ULONG i = 0; i < g_Hal->GetStreamEngineCount() && render == nullptr; ++i) {
        StreamEngine* engine = nullptr;
        if (NT_SUCCESS(g_Hal->GetStreamEngine(i, &engine)) && engine->GetDirection() == 0) render = engine;
    }
    ASSERT_NE(render, nullptr);
    WCHAR before[StreamEngineNameChars] = {};
    ASSERT_EQ(render->GetName(before), STATUS_SUCCESS);
    const auto registers = m_state->registers;
    m_state->writes.clear();
    EXPECT_FALSE(NT_SUCCESS(control->SelectType(kSpdif)));
    WCHAR after[StreamEngineNameChars] = {};
    ASSERT_EQ(render->GetName(after), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(after)),
              std::u16string(reinterpret_cast<const char16_t*>(before)));
    EXPECT_EQ(m_state->writes, (Writes{{2, 0xE7F8},
                                       {1, static_cast<uint16_t>(registers[1] & ~0x0002)},
                                       {0, static_cast<uint16_t>(registers[0] | 0x8000)},
                                       {2, 0xE000},
                                       {1, registers[1]},
                                       {0, registers[0]}}));
    EXPECT_EQ(m_state->registers, registers);
    EXPECT_EQ(Setting(u"UACUnit03"), kSpk);
    ULONG type = 0;
    EXPECT_EQ(control->GetType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, kSpk);
    control->Release();
}

// The LED switch of the 0x28DA/0x268E variant sits among its record unit's chained controls and
// writes bits 4-5 of register 1; a refused write is the result and changes nothing.
TEST_F(R7T5Terminal, LedSwitchWritesRegister1) {
    ASSERT_EQ(StartWith({.vendorId = 0x28DA, .productId = 0x268E, .variantB = 0x04}), STATUS_SUCCESS);
    AudioNode* node = ControlOf(r7t5::kMicRecord, NodeKind::StoredSwitch);
    ASSERT_NE(node, nullptr);
    ULONG sources[2] = {};
    ULONG sourceCount = 2;
    ASSERT_EQ(node->GetSources(&sourceCount, sources), STATUS_SUCCESS);
    EXPECT_EQ(sourceCount, 1u);
    EXPECT_NE(sources[0], r7t5::kMicInput) << "chained after the unit's other controls";
    auto* led = Query<OnOffControl>(node, IID_OnOffControl);
    ASSERT_NE(led, nullptr);
    struct Step {
        ULONG channel;
        UCHAR value;
        bool refuse;
        NTSTATUS status;
        uint16_t bits;  // register 1 bits 4-5 after the step
        UCHAR cached;
    };
    const Step steps[] = {
        {0, 1, false, STATUS_SUCCESS, 0x10, 1},
        {0, 0, false, STATUS_SUCCESS, 0x30, 0},
        {1, 1, false, STATUS_INVALID_PARAMETER, 0x30, 0},
        {0, 1, true, STATUS_PENDING, 0x30, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "channel " << s.channel << " value " << int(s.value));
        if (s.refuse) Device().AddControlFault({.match = {.bmRequestType = 0x21, .bRequest = 0x09}, .times = 1});
        const NTSTATUS status = led->SetValue(s.channel, s.value);
        if (s.status == STATUS_PENDING) {
            EXPECT_FALSE(NT_SUCCESS(status));
        } else {
            EXPECT_EQ(status, s.status);
        }
        EXPECT_EQ(m_state->registers[1] & 0x30, s.bits);
        UCHAR cached = 0xFF;
        EXPECT_EQ(led->GetValue(0, &cached), STATUS_SUCCESS);
        EXPECT_EQ(cached, s.cached);
    }
    EXPECT_EQ(led->GetValue(1, nullptr), STATUS_INVALID_PARAMETER);
    led->Release();
}

// With the mic record unit left out the S/PDIF record unit feeds selector pin 2, not 3: its mute
// silences the capture data while pin 2 is selected, and only then.
TEST_F(R7T5Terminal, SpdifMuteFollowsTheSelectorPinOfItsUnit) {
    ASSERT_EQ(StartWith(kPlainDevice, {{u"DisableMicInRecUnit", 1}}), STATUS_SUCCESS);
    AudioNode* muteNode = ControlOf(r7t5::kSpdifRecord, NodeKind::Mute);
    AudioNode* selectorNode = ControlOf(r7t5::kRecordSelector, NodeKind::Selector);
    ASSERT_NE(muteNode, nullptr);
    ASSERT_NE(selectorNode, nullptr);
    auto* mute = Query<OnOffControl>(muteNode, IID_OnOffControl);
    auto* stage = Query<ProcessingStage>(muteNode, IID_ProcessingStage);
    auto* selector = Query<Selector>(selectorNode, IID_Selector);
    ASSERT_TRUE(mute != nullptr && stage != nullptr && selector != nullptr);

    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 2;
    format.Format.nBlockAlign = 4;
    struct Case {
        UCHAR muted;
        ULONG pin;  // 1 line record, 2 S/PDIF record
        bool silent;
    };
    for (const Case& c : {Case{1, 2, true}, Case{1, 1, false}, Case{0, 2, false}}) {
        SCOPED_TRACE(testing::Message() << "muted " << int(c.muted) << " pin " << c.pin);
        ASSERT_EQ(mute->SetValue(0, c.muted), STATUS_SUCCESS);
        ASSERT_EQ(selector->SetSelected(c.pin), STATUS_SUCCESS);
        std::array<float, 16> left, right;
        left.fill(0.5f);
        right.fill(-0.5f);
        float* planes[2] = {left.data(), right.data()};
        EXPECT_EQ(stage->Process(&format, planes, 16), STATUS_SUCCESS);
        EXPECT_EQ(left[15], c.silent ? 0.0f : 0.5f);
        EXPECT_EQ(right[0], c.silent ? 0.0f : -0.5f);
    }
    mute->Release();
    stage->Release();
    selector->Release();
}

// The master unit's mute lights the device's mute LED (register 1 bits 4-5: 0x30 lit, 0x10 dark)
// only when "NeedMuteLED" asks for it, reversed by "ReverseMuteLED".
TEST_F(R7T5Terminal, MasterMuteLedFollowsTheSettings) {
    struct Case {
        ULONG need, reverse;
        UCHAR mute;
        std::optional<uint16_t> bits;  // nullopt: register 1 not written
    };
    const Case cases[] = {
        {1, 0, 1, 0x30}, {1, 0, 0, 0x10}, {1, 1, 1, 0x10}, {1, 1, 0, 0x30}, {0, 0, 1, std::nullopt}, {0, 1, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "need " << c.need << " reverse " << c.reverse << " mute " << int(c.mute));
        ASSERT_EQ(StartWith(kPlainDevice, {{u"NeedMuteLED", c.need}, {u"ReverseMuteLED", c.reverse}}), STATUS_SUCCESS);
        AudioNode* node = ControlOf(r7t5::kMaster, NodeKind::Mute);
        ASSERT_NE(node, nullptr);
        auto* mute = Query<OnOffControl>(node, IID_OnOffControl);
        ASSERT_NE(mute, nullptr);
        m_state->writes.clear();
        EXPECT_EQ(mute->SetValue(0, c.mute), STATUS_SUCCESS);
        if (c.bits) {
            ASSERT_EQ(m_state->writes.size(), 1u);
            EXPECT_EQ(m_state->writes[0].first, 1);
            EXPECT_EQ(m_state->registers[1] & 0x30, *c.bits);
        } else {
            EXPECT_TRUE(m_state->writes.empty());
        }
        mute->Release();
        m_common->Stop();
        ReleaseAdapter();
        Unplug();
        g_Hal = nullptr;
    }
}

// The master mute and volume act on the render data only while the terminal type last given to
// them is S/PDIF; with the speaker type the device alone mutes and attenuates.
TEST_F(R7T5Terminal, MasterMuteAndVolumeActOnTheStreamOnlyForSpdif) {
    ASSERT_EQ(StartWith(kPlainDevice), STATUS_SUCCESS);
    AudioNode* muteNode = ControlOf(r7t5::kMaster, NodeKind::Mute);
    AudioNode* volumeNode = ControlOf(r7t5::kMaster, NodeKind::Volume);
    ASSERT_TRUE(muteNode != nullptr && volumeNode != nullptr);
    auto* mute = Query<OnOffControl>(muteNode, IID_OnOffControl);
    auto* volume = Query<LevelControl>(volumeNode, IID_LevelControl);
    auto* muteStage = Query<ProcessingStage>(muteNode, IID_ProcessingStage);
    auto* volumeStage = Query<ProcessingStage>(volumeNode, IID_ProcessingStage);
    auto* muteListener = Query<TerminalTypeListener>(muteNode, IID_TerminalTypeListener);
    auto* volumeListener = Query<TerminalTypeListener>(volumeNode, IID_TerminalTypeListener);
    ASSERT_TRUE(mute && volume && muteStage && volumeStage && muteListener && volumeListener);
    ULONG volumeChannels = 0;
    ASSERT_EQ(volume->GetChannelCount(&volumeChannels), STATUS_SUCCESS);

    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 2;
    format.Format.nBlockAlign = 4;
    constexpr LONG kMinus6dB = -6 * 65536;
    const float kGain = 0.501187f;  // 10^(-6/20)
    struct Case {
        ULONG type;
        UCHAR muted;
        LONG level;
        float left;  // what 1.0 becomes
    };
    const Case cases[] = {
        {kSpk, 1, 0, 1.0f}, {kSpdif, 1, 0, 0.0f}, {kSpdif, 0, kMinus6dB, kGain}, {kSpk, 0, kMinus6dB, 1.0f},
        {kSpdif, 0, LevelSilence, 0.0f}, {kSpdif, 0, 0, 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " muted " << int(c.muted) << " level " << c.level);
        EXPECT_EQ(muteListener->OnTerminalTypeChanged(c.type, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(volumeListener->OnTerminalTypeChanged(c.type, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(mute->SetValue(0, c.muted), STATUS_SUCCESS);
        for (ULONG channel = 0; channel < volumeChannels; ++channel) {
            ASSERT_EQ(volume->SetValue(channel, c.level), STATUS_SUCCESS);
        }
        std::array<float, 16> left, right;
        left.fill(1.0f);
        right.fill(-1.0f);
        float* planes[2] = {left.data(), right.data()};
        EXPECT_EQ(muteStage->Process(&format, planes, 16), STATUS_SUCCESS);
        EXPECT_EQ(volumeStage->Process(&format, planes, 16), STATUS_SUCCESS);
        EXPECT_NEAR(left[15], c.left, 1e-4);
        EXPECT_NEAR(right[0], -c.left, 1e-4);
    }
    for (IUnknown* object : std::initializer_list<IUnknown*>{mute, volume, muteStage, volumeStage, muteListener, volumeListener}) {
        object->Release();
    }
}

// The input terminals ask the device for no jack table: one input connector each, from the
// descriptor alone.
TEST_F(R7T5Terminal, InputTerminalsAskTheDeviceNothing) {
    ASSERT_EQ(StartWith(kPlainDevice), STATUS_SUCCESS);
    for (uint8_t id : {r7t5::kPlaybackInput, r7t5::kSpdifInput, r7t5::kMicInput, r7t5::kLineInput}) {
        SCOPED_TRACE(testing::Message() << "terminal " << int(id));
        ASSERT_NE(Unit(id), nullptr);
        EXPECT_NE(ControlOf(id, NodeKind::InputConnector), nullptr);
        for (const sim::usb::LogEntry& entry : Device().Log()) {
            const bool toInterface = (entry.setup.bmRequestType & 0x1F) == 1 && entry.setup.Type() != 0;
            EXPECT_FALSE(entry.isRequest && toInterface && (entry.setup.wIndex >> 8) == id) << entry.text;
        }
    }
}

// The record units' mute by device: the 0xA5E7/0x0053 variant (both ids) mutes in the driver only:
// nothing is sent or read back, the value is kept, and the capture data is silenced while it is on.
struct RecordMuteCase {
    const char* name;
    r7t5::Options options;
    bool soft;
};

class R7T5RecordMute : public R7T5Terminal, public testing::WithParamInterface<RecordMuteCase> {};

TEST_P(R7T5RecordMute, MutesInTheDriverOnlyOnItsVariant) {
    ASSERT_EQ(StartWith(GetParam().options), STATUS_SUCCESS);
    // The variant's quirk row takes the line input, and its record unit, away.
    size_t units = 0;
    for (uint8_t id : {r7t5::kMicRecord, r7t5::kLineRecord}) {
        if (Unit(id) == nullptr) continue;
        ++units;
        SCOPED_TRACE(testing::Message() << "unit " << int(id));
        AudioNode* node = ControlOf(id, NodeKind::Mute);
        ASSERT_NE(node, nullptr);
        EXPECT_NE(ControlOf(id, NodeKind::Volume), nullptr);
        auto* mute = Query<OnOffControl>(node, IID_OnOffControl);
        ASSERT_NE(mute, nullptr);
        auto* stage = Query<ProcessingStage>(node, IID_ProcessingStage);
        EXPECT_EQ(stage != nullptr, GetParam().soft);
        for (UCHAR value : {UCHAR{1}, UCHAR{0}}) {
            Device().ClearLog();
            ASSERT_EQ(mute->SetValue(0, value), STATUS_SUCCESS);
            size_t sent = 0;
            for (const sim::usb::LogEntry& entry : Device().Log()) {
                if (entry.isRequest && entry.setup.bmRequestType == 0x21 && entry.setup.bRequest == 0x01 &&
                    (entry.setup.wIndex >> 8) == id) {
                    ++sent;
                }
            }
            EXPECT_EQ(sent, GetParam().soft ? 0u : 1u);
            UCHAR cached = 0xFF;
            EXPECT_EQ(mute->GetValue(0, &cached), STATUS_SUCCESS);
            EXPECT_EQ(cached, value);
            if (stage == nullptr) continue;
            // A refresh (the unit's status interrupt) keeps the driver's value and asks nothing.
            Device().ClearLog();
            EXPECT_EQ(node->RefreshValues(), STATUS_SUCCESS);
            EXPECT_EQ(mute->GetValue(0, &cached), STATUS_SUCCESS);
            EXPECT_EQ(cached, value);
            EXPECT_TRUE(Device().Log().empty());
            WAVEFORMATEXTENSIBLE format{};
            format.Format.wFormatTag = WAVE_FORMAT_PCM;
            format.Format.nChannels = 2;
            format.Format.nBlockAlign = 4;
            std::array<float, 8> left, right;
            left.fill(0.5f);
            right.fill(-0.5f);
            float* planes[2] = {left.data(), right.data()};
            EXPECT_EQ(stage->Process(&format, planes, 8), STATUS_SUCCESS);
            EXPECT_EQ(left[7], value != 0 ? 0.0f : 0.5f);
            EXPECT_EQ(right[0], value != 0 ? 0.0f : -0.5f);
        }
        if (stage != nullptr) stage->Release();
        mute->Release();
    }
    EXPECT_GE(units, 1u);
}

INSTANTIATE_TEST_SUITE_P(Devices, R7T5RecordMute,
                         testing::Values(RecordMuteCase{"A5E7_0053", {.vendorId = 0xA5E7, .productId = 0x0053}, true},
                                         RecordMuteCase{"A5E7_0054", {.vendorId = 0xA5E7, .productId = 0x0054, .variantB = 0x04}, false},
                                         RecordMuteCase{"Other_0053", {.vendorId = 0x1111, .productId = 0x0053, .variantB = 0x04}, false}),
                         [](const testing::TestParamInfo<RecordMuteCase>& info) { return std::string(info.param.name); });

}  // namespace
