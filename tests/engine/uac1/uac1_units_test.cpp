// The UAC 1.0 unit objects on the simulated bus: the catalog UAC 1.0 device for the class
// requests, vendor layers pushed onto it for the extension block and the terminals' protocol, and
// hand-built descriptors for the bounds.
#include "engine/uac1/uac1_unit_machine.h"

#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/uac1/Uac1FeatureUnit.h"
#include "driver/engine/uac1/Uac1MixerUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/engine/uac1/Uac1Terminals.h"

#include <map>

namespace {

using namespace adapter_test;

using namespace uac1_unit_test;

// ---- Feature unit ----

TEST_F(Uac1Units, FeatureUnitOfTheCatalogDeviceCreatesMuteAndVolumeAndAddressesChannels) {
    StartCatalog();
    auto d = DeviceDescriptor(6, 2);  // bmaControls {mute|volume, volume, volume}
    auto* unit = Make<FeatureUnit>();
    ASSERT_EQ(unit->Init(d.data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetId(), 2u);
    EXPECT_EQ(unit->GetNodeKind(), 6u);
    EXPECT_FALSE(unit->HasExtension());  // the device refuses GET_MEM
    EXPECT_EQ(g_UnitHal->GetNodeCount(), 2u);
    AudioNode* node = nullptr;
    ASSERT_EQ(g_UnitHal->GetNode(0, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->GetNodeKind(), NodeKindCode(NodeKind::Mute));
    ASSERT_EQ(g_UnitHal->GetNode(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->GetNodeKind(), NodeKindCode(NodeKind::Volume));
    EXPECT_EQ(node->GetSourceCount(), 1u);  // chained behind the mute

    ULONG count = 0;
    EXPECT_EQ(unit->GetChannelCount(1, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(unit->GetChannelCount(2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(unit->GetChannelCount(3, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0u);

    FeatureUnitChannels* channels = unit;
    FeatureUnitRanges* ranges = unit;
    EXPECT_EQ(channels->SetCur(1, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(2, 1, 0), 1);
    EXPECT_EQ(ranges->SetCur(2, 1, -65536), STATUS_SUCCESS);  // index 1 is channel 2; -1 dB is 0xFF00
    EXPECT_EQ(DeviceValue(2, 2, 2), -256);
    LONG value = 0;
    EXPECT_EQ(ranges->GetCur(2, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -65536);
    EXPECT_EQ(ranges->GetCur(2, 2, &value), STATUS_INVALID_PARAMETER);
    LONG maximum = 1, minimum = 1, resolution = 1;
    EXPECT_EQ(ranges->GetRange(2, &maximum, &minimum, &resolution), STATUS_SUCCESS);
    EXPECT_LT(minimum, maximum);
    EXPECT_GT(resolution, 0);
    // No volume on the master: a failed range request leaves the out values alone.
    EXPECT_EQ(ranges->GetRange(3, &maximum, &minimum, &resolution), STATUS_UNSUCCESSFUL);
    // The device refused: the value stays as it was.
    value = 77;
    EXPECT_NE(ranges->GetCur(5, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 77);
}

TEST_F(Uac1Units, FeatureUnitWithoutMuteFailsItsInit) {
    StartCatalog();
    auto d = FeatureDescriptor(1, {0x02, 0x00});
    EXPECT_EQ(Make<FeatureUnit>()->Init(d.data(), g_UnitHal, g_UnitHal), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_UnitHal->GetNodeCount(), 0u);
}

struct BadFeature {
    const char* name;
    std::vector<UCHAR> descriptor;
};
void PrintTo(const BadFeature& c, std::ostream* os) { *os << c.name; }

class Uac1BadFeature : public Uac1Units, public testing::WithParamInterface<BadFeature> {};

TEST_P(Uac1BadFeature, IsRefusedBeforeAnyRequest) {
    StartCatalog();
    Device().ClearLog();
    std::vector<UCHAR> d = GetParam().descriptor;
    d.resize(64, 0xFF);  // bytes beyond bLength that must not be read as entries
    EXPECT_EQ(Make<FeatureUnit>()->Init(d.data(), g_UnitHal, g_UnitHal), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SeenBy(9).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Uac1BadFeature,
    testing::Values(BadFeature{"ControlSizeZero", {7, 0x24, 6, 9, 1, 0, 0}},
                    BadFeature{"MasterEntryBeyondBLength", {7, 0x24, 6, 9, 1, 2, 3}},
                    BadFeature{"ShorterThanTheFixedFields", {5, 0x24, 6, 9, 1}},
                    BadFeature{"NotAFeatureUnit", {8, 0x24, 5, 9, 1, 1, 1, 0}},
                    BadFeature{"NotClassSpecific", {8, 0x04, 6, 9, 1, 1, 1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Channel counts and the channel number each index is sent to, on descriptors kept without
// controls. The requests reach the device (which does not know unit 9) and are read from its log.
struct AddressCase {
    const char* name;
    UCHAR controlSize;
    std::vector<UCHAR> controls;
    ULONG selector;
    ULONG count;                  // 0: GetChannelCount fails
    std::vector<UCHAR> channels;  // the channel each index 0..count-1 is sent to
};
void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.name; }

class Uac1FeatureAddressing : public Uac1Units, public testing::WithParamInterface<AddressCase> {};

TEST_P(Uac1FeatureAddressing, MapsIndexesToChannelNumbers) {
    const AddressCase& c = GetParam();
    StartCatalog();
    auto d = FeatureDescriptor(c.controlSize, c.controls);
    auto* unit = Make<FeatureUnit>();
    ASSERT_EQ(unit->KeepDescriptor(d.data(), g_UnitHal), STATUS_SUCCESS);
    ULONG count = 99;
    EXPECT_EQ(unit->GetChannelCount(c.selector, &count), c.count != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, c.count);
    Device().ClearLog();
    for (ULONG i = 0; i < c.count; ++i) static_cast<FeatureUnitChannels*>(unit)->SetCur(c.selector, i, 1);
    EXPECT_EQ(static_cast<FeatureUnitChannels*>(unit)->SetCur(c.selector, c.count, 1), c.count != 0 ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL);
    std::vector<Seen> expected;
    for (UCHAR ch : c.channels) expected.push_back({0x01, static_cast<USHORT>(c.selector << 8 | ch)});
    EXPECT_EQ(SeenBy(9), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Uac1FeatureAddressing,
    testing::Values(
        AddressCase{"MasterOnly", 1, {0x01, 0x02, 0x02}, 1, 1, {0}},
        AddressCase{"TwoChannels", 1, {0x01, 0x02, 0x02}, 2, 2, {1, 2}},
        AddressCase{"ChannelOneOnly", 1, {0x00, 0x02, 0x00}, 2, 1, {1}},
        AddressCase{"Absent", 1, {0x01, 0x00}, 2, 0, {}},
        AddressCase{"EightChannelSurroundSwapped", 1, {0, 2, 2, 2, 2, 2, 2, 2, 2}, 2, 8, {1, 2, 3, 4, 7, 8, 5, 6}},
        // Channels 7 and 8 do not exist: 5 and 6 stay where they are.
        AddressCase{"SixChannelsNotSwapped", 1, {0, 2, 2, 2, 2, 2, 2}, 2, 6, {1, 2, 3, 4, 5, 6}},
        AddressCase{"TwoByteEntryLoudness", 2, {0x00, 0x00, 0x00, 0x02}, 10, 1, {1}},
        // Loudness is bit 9: a one-byte entry cannot declare it.
        AddressCase{"OneByteEntryHasNoLoudness", 1, {0xFF, 0xFF}, 10, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Uac1Units, FeatureLevelsAreScaledAndSaturated) {
    StartCatalog();
    // Unit 9 has volume (two bytes) and bass (one byte) on the master.
    auto d = FeatureDescriptor(1, {0x06});
    auto* unit = Make<FeatureUnit>();
    ASSERT_EQ(unit->KeepDescriptor(d.data(), g_UnitHal), STATUS_SUCCESS);
    struct Row {
        ULONG selector;
        LONG value;
        std::vector<uint8_t> sent;
    };
    const Row rows[] = {
        {2, -65536, {0x00, 0xFF}},
        {2, LevelSilence, {0x00, 0x80}},
        {2, -200 * 65536, {0x00, 0x80}},  // below the field: the lowest code, not a wrapped boost
        {2, 200 * 65536, {0xFF, 0x7F}},
        {3, 786432, {0x30}},
        {3, 40 * 65536, {0x7F}},
        {3, -40 * 65536, {0x80}},
    };
    // The catalog device does not know unit 9: a layer takes its requests so the log keeps the bytes.
    Device().PushHandlers(sim::usb::HandlerTable{
        .name = "unit 9 takes everything",
        .control = [](sim::usb::Device&, const sim::usb::SetupPacket& s,
                      std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            if ((s.wIndex >> 8) != 9 || s.IsIn()) return std::nullopt;
            return sim::usb::ControlResult::Ok(uint32_t(data.size()));
        },
    });
    for (const Row& r : rows) {
        Device().ClearLog();
        static_cast<FeatureUnitRanges*>(unit)->SetCur(r.selector, 0, r.value);
        auto log = Device().Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().data, r.sent) << r.selector << " " << r.value;
    }
    Device().PushHandlers(sim::usb::HandlerTable{
        .name = "levels",
        .control = [](sim::usb::Device&, const sim::usb::SetupPacket& s,
                      std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            if ((s.wIndex >> 8) != 9 || !s.IsIn()) return std::nullopt;
            data[0] = (s.wValue >> 8) == 3 ? 0x30 : 0x00;  // bass +12 dB, volume 0xFF00 = -1 dB
            if (data.size() > 1) data[1] = 0xFF;
            return sim::usb::ControlResult::Ok(uint32_t(data.size()));
        },
    });
    LONG maximum = 0, minimum = 0, resolution = 0, value = 0;
    EXPECT_EQ(static_cast<FeatureUnitRanges*>(unit)->GetRange(3, &maximum, &minimum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 786432);
    EXPECT_EQ(static_cast<FeatureUnitRanges*>(unit)->GetCur(2, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -65536);
}

struct ExtensionCase {
    const char* name;
    std::vector<uint8_t> length;  // answer to GET_MEM at offset 16
    std::vector<uint8_t> block;   // answer to GET_MEM at offset 0
    bool hasBlock;
    ULONG vendorCount;            // channels of selector 0x8B; 0: none
};
void PrintTo(const ExtensionCase& c, std::ostream* os) { *os << c.name; }

class Uac1FeatureExtension : public Uac1Units, public testing::WithParamInterface<ExtensionCase> {};

TEST_P(Uac1FeatureExtension, VendorControlsComeOnlyFromWhatArrived) {
    const ExtensionCase& c = GetParam();
    StartCatalog();
    std::map<std::pair<UCHAR, USHORT>, std::vector<uint8_t>> answers;
    if (!c.length.empty()) answers[{0x85, 0x0010}] = c.length;
    if (!c.block.empty()) answers[{0x85, 0x0000}] = c.block;
    PushAnswers(2, answers);
    auto d = DeviceDescriptor(6, 2);
    auto* unit = Make<FeatureUnit>();
    ASSERT_EQ(unit->Init(d.data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    EXPECT_EQ(unit->HasExtension(), c.hasBlock);
    ULONG count = 0;
    const NTSTATUS status = unit->GetChannelCount(0x8B, &count);
    if (!c.hasBlock) {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    } else {
        EXPECT_EQ(count, c.vendorCount);
    }
    EXPECT_EQ(unit->HasControl(0x8B), c.vendorCount != 0);
    ULONG vendors = 0;
    for (ULONG i = 0; i < g_UnitHal->GetNodeCount(); ++i) {
        AudioNode* node = nullptr;
        g_UnitHal->GetNode(i, &node);
        if (node->GetNodeKind() == NodeKindCode(NodeKind::Vendor)) ++vendors;
    }
    EXPECT_EQ(vendors, c.vendorCount != 0 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Uac1FeatureExtension,
    testing::Values(
        ExtensionCase{"Refused", {}, {}, false, 0},
        ExtensionCase{"MasterVendor11", {23, 0}, Block(23, {0x0400, 0}), true, 1},
        ExtensionCase{"ChannelVendor11", {25, 0}, Block(25, {0, 0x0400, 0x0400}), true, 2},
        // The block says 25 bytes but only the master entry arrives: channel entries are not read.
        ExtensionCase{"ShortAnswer", {25, 0}, Block(25, {0x0400}), true, 1},
        ExtensionCase{"LengthBelowHeader", {10, 0}, Block(10, {}), false, 0},
        ExtensionCase{"EntrySizeNotTwo", {23, 0}, Block(23, {0x0400, 0}, 4), false, 0},
        ExtensionCase{"BlockRefused", {23, 0}, {}, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Terminals ----

std::vector<uint8_t> JackTable(std::vector<std::pair<uint32_t, uint32_t>> jacks) {
    std::vector<uint8_t> t = {uint8_t(jacks.size())};
    for (auto [m, c] : jacks) {
        for (int i = 0; i < 4; ++i) t.push_back(uint8_t(m >> (8 * i)));
        for (int i = 0; i < 4; ++i) t.push_back(uint8_t(c >> (8 * i)));
    }
    return t;
}

TEST_F(Uac1Units, InputTerminalReadsJacksAndPresence) {
    StartCatalog();
    // Microphone terminal 4: jack 1 detects presence (green, index 4), jack 2 never does.
    PushAnswers(4, {{{0x81, 0x02FF}, JackTable({{0x1, 0x01014000}, {0x2, 0x00000B00}})},
                    {{0x81, 0x0200}, {0, 0x0, 0, 0, 0, 0}}});
    auto* mic = Make<InputTerminal>();
    ASSERT_EQ(mic->Init(DeviceDescriptor(2, 4).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG type = 0, count = 0;
    EXPECT_EQ(mic->GetTerminalType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Mic));
    EXPECT_EQ(mic->SelectType(EndpointTypeCode(EndpointType::Line)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mic->GetJackCount(&count, 0), STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    JackRecord jacks[2] = {};
    EXPECT_EQ(mic->GetJackDescriptions(sizeof(JackRecord), jacks, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mic->GetJackDescriptions(sizeof(jacks), jacks, 0), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].Color, 0x00FF00u);
    EXPECT_EQ(jacks[0].ConnectionType, 1u);
    EXPECT_EQ(jacks[0].GeoLocation, 1u);
    EXPECT_EQ(jacks[0].IsConnected, 0u);
    EXPECT_EQ(jacks[1].IsConnected, 1u);
    EXPECT_EQ(jacks[0].JackFlags | jacks[1].JackFlags, 0u);

    // The connector took the terminal's type and jacks.
    AudioNode* node = nullptr;
    ASSERT_EQ(g_UnitHal->GetNode(0, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->GetNodeKind(), NodeKindCode(NodeKind::InputConnector));
    ULONG id = 99;
    EXPECT_EQ(mic->HandleStatusInterrupt(0, 0, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, node->GetId());

    // The streaming terminal asks for no jacks.
    Device().ClearLog();
    auto* stream = Make<InputTerminal>();
    ASSERT_EQ(stream->Init(DeviceDescriptor(2, 1).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    EXPECT_TRUE(SeenBy(1).empty());
    EXPECT_EQ(stream->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(Uac1Units, JackTableLongerThanItsAnswerKeepsOnlyWholeRecords) {
    StartCatalog();
    auto table = JackTable({{0x1, 0x100}, {0x2, 0x100}});
    table[0] = 200;  // claims 200 records, sends two and a half
    table.insert(table.end(), {1, 2, 3, 4});
    PushAnswers(4, {{{0x81, 0x02FF}, table}});
    auto* mic = Make<InputTerminal>();
    ASSERT_EQ(mic->Init(DeviceDescriptor(2, 4).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(mic->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
}

std::vector<uint8_t> TypeTable(std::vector<uint16_t> codes, uint16_t announced = 0) {
    const uint16_t n = announced != 0 ? announced : uint16_t(codes.size());
    std::vector<uint8_t> t = {uint8_t(n), uint8_t(n >> 8)};
    for (uint16_t c : codes) t.insert(t.end(), {uint8_t(c), uint8_t(c >> 8), 0, 0, 0, 0});
    return t;
}

TEST_F(Uac1Units, OutputTerminalWithTwoTypesStartsOnTheStoredOne) {
    StartCatalog();
    SetSetting(u"UACUnit03", EndpointTypeCode(EndpointType::Headphones));
    PushAnswers(3, {{{0x86, 0x0800}, TypeTable({0x0301, 0x0302})},
                    {{0x81, 0x0800}, {0x01, 0x03}},
                    {{0x81, 0x02FF}, JackTable({{0x3, 0x100}})}});
    Device().ClearLog();
    auto* speaker = Make<OutputTerminal>();
    ASSERT_EQ(speaker->Init(DeviceDescriptor(3, 3).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG types[TerminalMaxTypes] = {};
    ULONG count = 0, type = 0;
    EXPECT_EQ(speaker->GetTypeCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    speaker->GetTypeList(types);
    EXPECT_EQ(types[0], EndpointTypeCode(EndpointType::Speaker));
    EXPECT_EQ(types[1], EndpointTypeCode(EndpointType::Headphones));
    speaker->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Headphones));
    // The last type selected on the device is the current one.
    std::vector<Seen> selects;
    for (const sim::usb::LogEntry& e : Device().Log()) {
        if (e.isRequest && !e.setup.IsIn() && (e.setup.wIndex >> 8) == 3) selects.push_back({e.data[0], e.data[1]});
    }
    ASSERT_FALSE(selects.empty());
    EXPECT_EQ(selects.back(), (Seen{0x02, 0x03}));
    // Two output connectors and the terminal-type control.
    std::vector<ULONG> kinds;
    for (ULONG i = 0; i < g_UnitHal->GetNodeCount(); ++i) {
        AudioNode* node = nullptr;
        g_UnitHal->GetNode(i, &node);
        kinds.push_back(node->GetNodeKind());
    }
    EXPECT_EQ(kinds, (std::vector<ULONG>{1, 1, 13}));

    EXPECT_EQ(speaker->SelectType(EndpointTypeCode(EndpointType::Line)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(speaker->SelectType(EndpointTypeCode(EndpointType::Speaker)), STATUS_SUCCESS);
    EXPECT_EQ(Setting(u"UACUnit03"), EndpointTypeCode(EndpointType::Speaker));
    // The device still reports 0x0301: a status interrupt changes nothing.
    EXPECT_EQ(speaker->HandleStatusInterrupt(0, 0, nullptr), STATUS_SUCCESS);
    speaker->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Speaker));
}

TEST_F(Uac1Units, OutputTerminalBoundsTheDevicesTypeTable) {
    StartCatalog();
    // 300 types announced, five kept (what the controls can hold); the reported type is not listed.
    PushAnswers(3, {{{0x86, 0x0800}, TypeTable({0x0301, 0x0302, 0x0603, 0x0605, 0x0401, 0x0402}, 300)},
                    {{0x81, 0x0800}, {0x05, 0x07}}});
    SetSetting(u"INITOTTYPEBYSEL", 1);
    auto* speaker = Make<OutputTerminal>();
    ASSERT_EQ(speaker->Init(DeviceDescriptor(3, 3).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG count = 0, type = 99;
    speaker->GetTypeCount(&count);
    EXPECT_EQ(count, TerminalMaxTypes);
    speaker->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Speaker));
    EXPECT_EQ(speaker->GetJackCount(&count, TerminalMaxTypes), STATUS_INVALID_PARAMETER);
}

// The codes the device names (its type table and its current type) map 0x0101 to a speaker; only
// the terminal's own wTerminalType 0x0101 stands for the stream.
TEST_F(Uac1Units, OutputTerminalMapsTheDevicesCodesWithStreamingAsASpeaker) {
    StartCatalog();
    PushAnswers(3, {{{0x86, 0x0800}, TypeTable({0x0302, 0x0101})}, {{0x81, 0x0800}, {0x01, 0x01}}});
    SetSetting(u"INITOTTYPEBYSEL", 1);
    auto* terminal = Make<OutputTerminal>();
    ASSERT_EQ(terminal->Init(DeviceDescriptor(3, 3).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG types[TerminalMaxTypes] = {};
    ULONG type = 99;
    terminal->GetTypeList(types);
    EXPECT_EQ(types[0], EndpointTypeCode(EndpointType::Headphones));
    EXPECT_EQ(types[1], EndpointTypeCode(EndpointType::Speaker));
    terminal->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Speaker));

    // The streaming output terminal of the catalog device keeps the stream type.
    auto* stream = Make<OutputTerminal>();
    ASSERT_EQ(stream->Init(DeviceDescriptor(3, 6).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    stream->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Stream));
}

// A status interrupt whose device type is another listed type: the terminal switches to it, stores
// it and its terminal-type control follows (a pending change for the engines to re-install).
TEST_F(Uac1Units, OutputTerminalFollowsTheDevicesSwitchOnAStatusInterrupt) {
    StartCatalog();
    PushAnswers(3, {{{0x86, 0x0800}, TypeTable({0x0301, 0x0302})}, {{0x81, 0x0800}, {0x01, 0x03}}});
    auto* terminal = Make<OutputTerminal>();
    ASSERT_EQ(terminal->Init(DeviceDescriptor(3, 3).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    AudioNode* node = nullptr;
    ASSERT_EQ(g_UnitHal->GetNode(2, &node), STATUS_SUCCESS);
    ASSERT_EQ(node->GetNodeKind(), NodeKindCode(NodeKind::TerminalType));
    TerminalTypeControl* control = nullptr;
    ASSERT_EQ(node->QueryInterface(IID_TerminalTypeControl, reinterpret_cast<PVOID*>(&control)), STATUS_SUCCESS);
    control->Release();
    EXPECT_EQ(control->IsChangePending(), 0u);

    // Headphones plugged: the device now reports 0x0302.
    Device().PushHandlers(sim::usb::HandlerTable{
        .name = "headphones plugged",
        .control = [](sim::usb::Device&, const sim::usb::SetupPacket& s,
                      std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
            if ((s.wIndex >> 8) != 3 || s.Type() != BMREQUEST_VENDOR || !s.IsIn() || s.bRequest != 0x81 ||
                s.wValue != 0x0800 || data.size() < 2) {
                return std::nullopt;
            }
            data[0] = 0x02;
            data[1] = 0x03;
            return sim::usb::ControlResult::Ok(2);
        },
    });
    ULONG id = 99;
    EXPECT_EQ(terminal->HandleStatusInterrupt(0, 0, &id), STATUS_SUCCESS);
    ULONG type = 0;
    terminal->GetTerminalType(&type);
    EXPECT_EQ(type, EndpointTypeCode(EndpointType::Headphones));
    EXPECT_EQ(Setting(u"UACUnit03"), EndpointTypeCode(EndpointType::Headphones));
    EXPECT_EQ(control->IsChangePending(), 1u);
    EXPECT_EQ(Setting(u"Unit02_"), EndpointTypeCode(EndpointType::Headphones));
}

TEST_F(Uac1Units, OutputTerminalWithoutVendorAnswersHasOneType) {
    StartCatalog();
    auto* speaker = Make<OutputTerminal>();
    ASSERT_EQ(speaker->Init(DeviceDescriptor(3, 3).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    ULONG count = 0;
    speaker->GetTypeCount(&count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(g_UnitHal->GetNodeCount(), 1u);  // one connector, no terminal-type control
    EXPECT_EQ(speaker->GetSourceCount(), 1u);
    // No read of the type succeeds and the connector is refreshed.
    EXPECT_EQ(speaker->HandleStatusInterrupt(0, 0, nullptr), STATUS_SUCCESS);
}

TEST_F(Uac1Units, TerminalDescriptorsShorterThanTheirFieldsAreRefused) {
    StartCatalog();
    const UCHAR input[] = {5, 0x24, 2, 4, 0x01};
    const UCHAR output[] = {7, 0x24, 3, 3, 0x01, 0x03, 0};
    EXPECT_EQ(Make<InputTerminal>()->Init(input, g_UnitHal, g_UnitHal), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Make<OutputTerminal>()->Init(output, g_UnitHal, g_UnitHal), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_UnitHal->GetNodeCount(), 0u);
}

// ---- Selector and mixer ----

TEST_F(Uac1Units, SelectorUnitCarriesTheSelectionToTheDevice) {
    StartCatalog();
    auto* selector = Make<SelectorUnit>();
    ASSERT_EQ(selector->Init(DeviceDescriptor(5, 8).data(), g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    EXPECT_EQ(selector->GetSourceCount(), 2u);
    ULONG count = 0, selected = 0;
    EXPECT_EQ(static_cast<Selector*>(selector)->GetSourceCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(selector->SetSelected(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelected(3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelected(2), STATUS_SUCCESS);
    EXPECT_EQ(DeviceValue(8, 0, 0), 2);
    EXPECT_EQ(selector->GetSelected(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    AudioNode* node = nullptr;
    ASSERT_EQ(g_UnitHal->GetNode(0, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->GetNodeKind(), NodeKindCode(NodeKind::Selector));
}

TEST_F(Uac1Units, MixerAndSelectorRefuseSourceListsBeyondBLength) {
    StartCatalog();
    const UCHAR mixer[] = {7, 0x24, 4, 11, 3, 1, 2};     // three pins, two ids inside bLength
    const UCHAR selector[] = {6, 0x24, 5, 12, 2, 1};
    EXPECT_EQ(Make<MixerUnit>()->Init(mixer, g_UnitHal, g_UnitHal), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Make<SelectorUnit>()->Init(selector, g_UnitHal, g_UnitHal), STATUS_INVALID_PARAMETER);
    const UCHAR goodMixer[] = {13, 0x24, 4, 11, 2, 1, 4, 2, 3, 0, 0, 0, 0};
    auto* unit = Make<MixerUnit>();
    ASSERT_EQ(unit->Init(goodMixer, g_UnitHal, g_UnitHal), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetNodeKind(), 4u);
    ULONG ids[2] = {};
    ULONG count = 2;
    EXPECT_EQ(unit->GetSources(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(ids[1], 4u);
    EXPECT_EQ(g_UnitHal->GetNodeCount(), 1u);
}

}  // namespace
