// The UAC 1.0 AudioControl walk: the catalog device's units, controls and chains, the descriptor
// rule table, and hand-built AudioControl interfaces with short, lying or cyclic descriptors.
#include "engine/adapter_machine.h"

#include "driver/engine/hal/ClassDescriptors.h"
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac1/Uac1Terminals.h"

#include <sim/pool.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace {

using adapter_test::AdapterMachine;
using adapter_test::ScopedCreators;
using Bytes = std::vector<UCHAR>;

constexpr ULONG kTag = 'tP1U';

// The real walker over the AudioControl interface, or none (the test runs it on its own bytes).
bool g_WalkDevice = true;
NTSTATUS g_DeviceWalk = STATUS_PENDING;

// The HAL with the AudioControl walk of the device optional and the streams walk answering
// success, so the adapter starts and the units can be inspected.
class ParseHal : public Uac1AudioHal {
public:
    using Uac1AudioHal::Uac1AudioHal;
    NTSTATUS BuildTopology(PUSB_INTERFACE_DESCRIPTOR Interface, ULONG Length) override {
        if (!g_WalkDevice) return STATUS_SUCCESS;
        g_DeviceWalk = Uac1AudioHal::BuildTopology(Interface, Length);
        return g_DeviceWalk;
    }
    NTSTATUS BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS Walk(Bytes& Interface) {
        return Uac1AudioHal::BuildTopology(reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(Interface.data()),
                                           static_cast<ULONG>(Interface.size()));
    }
    PointerList* Units() { return m_pUnitList; }
};
ParseHal*& g_Hal = adapter_test::CapturedHal<ParseHal>();
constexpr const AudioHalCreatorTable& kParseCreators = adapter_test::CapturingCreators<ParseHal, kTag>;

// ---- Descriptor bytes ----

Bytes InputTerminalBytes(UCHAR id, USHORT type = 0x0201) {
    return {12, 0x24, 2, id, UCHAR(type), UCHAR(type >> 8), 0, 2, 3, 0, 0, 0};
}
Bytes OutputTerminalBytes(UCHAR id, UCHAR source, USHORT type = 0x0301) {
    return {9, 0x24, 3, id, UCHAR(type), UCHAR(type >> 8), 0, source, 0};
}
Bytes FeatureBytes(UCHAR id, UCHAR source) { return {8, 0x24, 6, id, source, 1, 0x03, 0}; }  // mute, volume
Bytes SelectorBytes(UCHAR id, const Bytes& sources) {
    Bytes d = {UCHAR(6 + sources.size()), 0x24, 5, id, UCHAR(sources.size())};
    d.insert(d.end(), sources.begin(), sources.end());
    d.push_back(0);
    return d;
}
// An AudioControl interface descriptor followed by Descriptors, as one run of bytes.
Bytes ControlInterface(const std::vector<Bytes>& descriptors, UCHAR interfaceClass = 1, UCHAR subclass = 1,
                       UCHAR protocol = 0) {
    Bytes run = {9, 4, 0, 0, 0, interfaceClass, subclass, protocol, 0};
    for (const Bytes& d : descriptors) run.insert(run.end(), d.begin(), d.end());
    return run;
}

// ---- What the HAL holds ----

struct ControlView {
    ULONG id, kind;
    std::vector<ULONG> sources;
    bool operator==(const ControlView&) const = default;
};
struct UnitView {
    ULONG id, kind;
    std::vector<ControlView> controls;  // list order: input control first
    bool operator==(const UnitView&) const = default;
};

std::vector<ULONG> SourcesOf(AudioNode* node) {
    std::vector<ULONG> ids(node->GetSourceCount());
    ULONG count = static_cast<ULONG>(ids.size());
    if (!ids.empty()) {
        EXPECT_EQ(node->GetSources(&count, ids.data()), STATUS_SUCCESS);
    }
    ids.resize(count);
    return ids;
}

// The units in descriptor order (the list keeps the newest first).
std::vector<UnitView> UnitsOf(ParseHal* hal) {
    std::vector<UnitView> units;
    PointerListNode* position = hal->Units()->GetHeadPosition();
    PVOID data = nullptr;
    while (hal->Units()->GetNext(&position, &data)) {
        auto* unit = static_cast<UnitNode*>(data);
        UnitView view{unit->GetId(), unit->GetNodeKind(), {}};
        ULONG count = 0;
        unit->GetControlCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            AudioNode* control = nullptr;
            EXPECT_EQ(unit->GetControl(i, &control), STATUS_SUCCESS);
            view.controls.push_back({control->GetId(), control->GetNodeKind(), SourcesOf(control)});
        }
        units.insert(units.begin(), view);
    }
    return units;
}

std::string Describe(const std::vector<UnitView>& units) {
    std::string text;
    for (const UnitView& u : units) {
        text += "unit " + std::to_string(u.id) + " kind " + std::to_string(u.kind) + ":";
        for (const ControlView& c : u.controls) {
            text += " [" + std::to_string(c.id) + " k" + std::to_string(c.kind) + " <-";
            for (ULONG s : c.sources) {
                text += ' ';
                text += std::to_string(s);
            }
            text += "]";
        }
        text += "\n";
    }
    return text;
}

// TRUE when following first sources from every control of single-source nodes ends within the
// node count: no chain of single sources closes a cycle.
bool SingleSourceWalksEnd(ParseHal* hal) {
    const ULONG nodes = hal->GetNodeCount();
    for (ULONG start = 0; start < nodes; ++start) {
        AudioNode* node = nullptr;
        if (!NT_SUCCESS(hal->GetNode(start, &node))) return false;
        ULONG steps = 0;
        while (node != nullptr && node->GetSourceCount() == 1) {
            if (++steps > nodes) return false;
            ULONG count = 1, next = 0;
            node->GetSources(&count, &next);
            AudioNode* upstream = nullptr;
            node = NT_SUCCESS(hal->FindNode(next, &upstream)) ? upstream : nullptr;
        }
    }
    return true;
}

class Uac1Parse : public AdapterMachine {
protected:
    void SetUp() override {
        AdapterMachine::SetUp();
        g_Hal = nullptr;
        g_WalkDevice = true;
        g_DeviceWalk = STATUS_PENDING;
    }
    void TearDown() override {
        AdapterMachine::TearDown();
        g_Hal = nullptr;
    }
    // Starts the adapter on Device with the device's own walk done or left out.
    void StartOn(std::unique_ptr<sim::usb::Device> device, bool walkDevice) {
        g_WalkDevice = walkDevice;
        PlugDevice(std::move(device));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_NE(g_Hal, nullptr);
    }

    ScopedCreators m_creators{&kParseCreators};
};

// Control ids are positions in the node list in descriptor order; each feature unit chains its
// volume into its mute, and every unit's input control is fed by its upstream unit's output
// control. The ids name the stored values, so they are pinned here.
TEST_F(Uac1Parse, CatalogDeviceBuildsItsUnitsControlsAndChains) {
    StartOn(sim::usb::CreateCatalogDevice("uac1"), true);
    ASSERT_EQ(g_DeviceWalk, STATUS_SUCCESS);
    constexpr ULONG In = 0, Out = 1, Mute = 2, Volume = 3, Sel = 4;
    const std::vector<UnitView> expected = {
        {1, 2, {{0, In, {}}}},                              // USB streaming input terminal
        {2, 6, {{2, Volume, {0}}, {1, Mute, {2}}}},         // playback feature unit
        {3, 3, {{3, Out, {1}}}},                            // speaker
        {4, 2, {{4, In, {}}}},                              // microphone
        {7, 2, {{5, In, {}}}},                              // line input
        {8, 5, {{6, Sel, {4, 5}}}},                         // capture selector
        {5, 6, {{8, Volume, {6}}, {7, Mute, {8}}}},         // capture feature unit
        {6, 3, {{9, Out, {7}}}},                            // USB streaming output terminal
    };
    EXPECT_EQ(UnitsOf(g_Hal), expected) << Describe(UnitsOf(g_Hal));
    ASSERT_EQ(g_Hal->GetNodeCount(), 10u);
    for (ULONG i = 0; i < 10; ++i) {
        AudioNode* node = nullptr;
        ASSERT_EQ(g_Hal->GetNode(i, &node), STATUS_SUCCESS);
        EXPECT_EQ(node->GetId(), i);
    }
    EXPECT_EQ(g_Hal->UnitCount(), 8u);

    // Values are stored under the control ids: the start stores the volumes, selector and capture
    // mute; the playback mute (control 1) and the capture volume (control 8) are set here.
    AudioNode* node = nullptr;
    ASSERT_EQ(g_Hal->GetNode(1, &node), STATUS_SUCCESS);
    OnOffControl* mute = nullptr;
    ASSERT_EQ(node->QueryInterface(IID_OnOffControl, reinterpret_cast<PVOID*>(&mute)), STATUS_SUCCESS);
    EXPECT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    mute->Release();
    ASSERT_EQ(g_Hal->GetNode(8, &node), STATUS_SUCCESS);
    LevelControl* volume = nullptr;
    ASSERT_EQ(node->QueryInterface(IID_LevelControl, reinterpret_cast<PVOID*>(&volume)), STATUS_SUCCESS);
    EXPECT_EQ(volume->SetValue(0, -6 * 65536), STATUS_SUCCESS);
    volume->Release();
    std::vector<std::u16string> names = sim::registry::ValueNames(SettingsKey());
    std::vector<std::string> narrow;
    for (const std::u16string& n : names) narrow.emplace_back(n.begin(), n.end());
    std::sort(narrow.begin(), narrow.end());
    EXPECT_EQ(narrow, (std::vector<std::string>{"Unit01_ 0_0", "Unit02_ 0_0", "Unit02_ 0_1", "Unit06_",
                                                "Unit07_ 0_0", "Unit08_ 0_0"}));
    const auto stored = sim::registry::GetValue(SettingsKey(), u"Unit01_ 0_0");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{1}));
}

// Every subtype the walker takes has a row, and every row refuses its smallest descriptor cut by
// one byte, including the counts that grow the needed length.
TEST(ClassDescriptorRules, EveryRowRejectsADescriptorOneByteShort) {
    struct Sample {
        UCHAR release;
        UCHAR subclass;
        const char* name;
        Bytes bytes;  // the smallest descriptor its counts allow
    };
    const Sample samples[] = {
        {2, 1, "UAC2 HEADER", {9, 0x24, 1, 0x00, 0x02, 8, 9, 0, 0}},
        {2, 1, "UAC2 INPUT_TERMINAL", {17, 0x24, 2, 1, 0x01, 0x01, 0, 40, 2, 3, 0, 0, 0, 0, 0, 0, 0}},
        {2, 1, "UAC2 OUTPUT_TERMINAL", {12, 0x24, 3, 3, 0x01, 0x03, 0, 2, 40, 0, 0, 0}},
        {2, 1, "UAC2 MIXER_UNIT, two inputs, no mixer control bytes", {15, 0x24, 4, 9, 2, 1, 2, 2, 3, 0, 0, 0, 0, 0, 0}},
        {2, 1, "UAC2 SELECTOR_UNIT, three inputs", {10, 0x24, 5, 8, 3, 1, 2, 3, 0, 0}},
        {2, 1, "UAC2 FEATURE_UNIT, master only", {10, 0x24, 6, 2, 1, 0x0F, 0, 0, 0, 0}},
        {2, 1, "UAC2 EXTENSION_UNIT, one input", {16, 0x24, 9, 7, 0x34, 0x12, 1, 2, 2, 3, 0, 0, 0, 0, 0, 0}},
        {2, 1, "UAC2 CLOCK_SOURCE", {8, 0x24, 10, 40, 0x03, 0x07, 0, 0}},
        {2, 2, "UAC2 AS_GENERAL", {15, 0x24, 1, 1, 0, 1, 1, 0, 0, 0, 2, 3, 0, 0, 0}},
        {2, 2, "UAC2 FORMAT_TYPE I", {6, 0x24, 2, 1, 4, 24}},
        {1, 1, "HEADER, two interfaces", {10, 0x24, 1, 0x00, 0x01, 10, 0, 2, 1, 2}},
        {1, 1, "INPUT_TERMINAL", InputTerminalBytes(1)},
        {1, 1, "OUTPUT_TERMINAL", OutputTerminalBytes(3, 1)},
        {1, 1, "MIXER_UNIT, two inputs, no control bytes", {12, 0x24, 4, 9, 2, 1, 2, 2, 3, 0, 0, 0}},
        {1, 1, "SELECTOR_UNIT, three inputs", SelectorBytes(8, {1, 2, 3})},
        {1, 1, "FEATURE_UNIT, two-byte controls, master only", {9, 0x24, 6, 2, 1, 2, 0x03, 0x00, 0}},
        {1, 2, "AS_GENERAL", {7, 0x24, 1, 1, 1, 0x01, 0x00}},
        {1, 2, "FORMAT_TYPE I, two rates", {14, 0x24, 2, 1, 2, 2, 16, 2, 0x44, 0xAC, 0, 0x80, 0xBB, 0}},
        {1, 2, "FORMAT_TYPE I, range", {14, 0x24, 2, 1, 2, 2, 16, 0, 0x40, 0x1F, 0, 0x80, 0xBB, 0}},
        {1, 2, "FORMAT_TYPE II, one rate", {12, 0x24, 2, 2, 0x80, 0x01, 0x00, 0x06, 1, 0x80, 0xBB, 0}},
    };
    std::map<std::tuple<UCHAR, UCHAR, UCHAR>, int> covered;
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(s.bytes[0], s.bytes.size());
        const ClassDescriptorRule* rule = FindClassDescriptorRule(s.release, s.subclass, s.bytes[2]);
        ASSERT_NE(rule, nullptr);
        ++covered[{s.release, s.subclass, s.bytes[2]}];
        EXPECT_TRUE(ClassDescriptorFits(*rule, s.bytes.data()));
        Bytes shorter(s.bytes.begin(), s.bytes.end() - 1);
        shorter[0] = UCHAR(shorter.size());
        EXPECT_FALSE(ClassDescriptorFits(*rule, shorter.data()));
    }
    for (const ClassDescriptorRule& rule : ClassDescriptorRules()) {
        EXPECT_TRUE(covered.count({rule.Release, rule.Subclass, rule.Subtype}))
            << "no sample for release " << int(rule.Release) << " subclass " << int(rule.Subclass) << " subtype "
            << int(rule.Subtype);
    }
    // Processing and extension units, and unknown subtypes, have no row: they are refused. So are
    // the release-2 effect and processing units, clock selectors and clock multipliers.
    for (UCHAR subtype : {0, 7, 8, 9}) EXPECT_EQ(FindClassDescriptorRule(1, 1, subtype), nullptr) << int(subtype);
    for (UCHAR subtype : {0, 7, 8, 11, 12, 13}) EXPECT_EQ(FindClassDescriptorRule(2, 1, subtype), nullptr) << int(subtype);
}

TEST(DescriptorIterator, StopsOnShortAndOverlongDescriptors) {
    struct Case {
        const char* name;
        Bytes run;
        int whole;  // descriptors handed out
        bool malformed;
    };
    const Case cases[] = {
        {"two descriptors", {3, 5, 0, 2, 7}, 2, false},
        {"bLength 0", {3, 5, 0, 0, 7}, 1, true},
        {"bLength 1", {3, 5, 0, 1, 7}, 1, true},
        {"past the end", {3, 5, 0, 4, 7, 0}, 1, true},
        {"one byte left", {3, 5, 0, 2}, 1, true},
        {"empty", {}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes run = c.run;
        DescriptorIterator walk(run.data(), ULONG(run.size()));
        int whole = 0;
        while (walk.Next() != nullptr) ++whole;
        EXPECT_EQ(whole, c.whole);
        EXPECT_EQ(walk.Malformed(), c.malformed);
        EXPECT_EQ(walk.Next(), nullptr);  // stays stopped
    }
}

// Hand-built AudioControl interfaces on the catalog device (whose vendor requests the units'
// Init may send): how each ends and which units it leaves.
TEST_F(Uac1Parse, WalkEndsOnBadInterfacesAndDescriptors) {
    struct Case {
        const char* name;
        Bytes run;
        NTSTATUS status;
        std::vector<ULONG> unitIds;  // descriptor order
    };
    const Bytes endpoint = {9, 5, 0x83, 3, 2, 0, 16, 0, 0};
    auto run = [](std::vector<Bytes> descriptors) { return ControlInterface(descriptors); };
    auto withTail = [](std::vector<Bytes> descriptors, Bytes tail) {
        Bytes bytes = ControlInterface(descriptors);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };
    const Case cases[] = {
        {"endpoint right after the interface", run({endpoint}), STATUS_SUCCESS, {}},
        {"units then an endpoint", run({InputTerminalBytes(1), FeatureBytes(2, 1), endpoint, FeatureBytes(5, 2)}),
         STATUS_SUCCESS, {1, 2}},
        {"not audio", ControlInterface({}, 0xFF), STATUS_INVALID_PARAMETER, {}},
        {"AudioStreaming", ControlInterface({}, 1, 2), STATUS_INVALID_PARAMETER, {}},
        {"protocol 0x20", ControlInterface({}, 1, 1, 0x20), STATUS_INVALID_PARAMETER, {}},
        {"interface cut short", {9, 4, 0, 0, 0, 1, 1, 0}, STATUS_INVALID_PARAMETER, {}},
        {"feature unit past the end", withTail({InputTerminalBytes(1)}, {0x20, 0x24, 6, 2, 1, 1, 3, 0}),
         STATUS_UNSUCCESSFUL, {1}},
        {"bLength 0", withTail({InputTerminalBytes(1)}, {0, 0x24, 6}), STATUS_UNSUCCESSFUL, {1}},
        {"bLength 1", withTail({InputTerminalBytes(1)}, {1, 0x24}), STATUS_UNSUCCESSFUL, {1}},
        {"processing unit", run({InputTerminalBytes(1), {13, 0x24, 7, 9, 0, 1, 1, 1, 2, 3, 0, 0, 0}}),
         STATUS_UNSUCCESSFUL, {1}},
        {"extension unit", run({{13, 0x24, 8, 9, 0, 1, 1, 1, 2, 3, 0, 0, 0}}), STATUS_UNSUCCESSFUL, {}},
        {"subtype 0", run({{3, 0x24, 0}}), STATUS_UNSUCCESSFUL, {}},
        // Counts that claim more than bLength holds are refused before a field is read.
        {"feature unit with bControlSize beyond bLength", run({{8, 0x24, 6, 2, 1, 2, 0x03, 0}}),
         STATUS_INVALID_PARAMETER, {}},
        {"selector with more inputs than bLength", run({{7, 0x24, 5, 8, 3, 1, 2}}), STATUS_INVALID_PARAMETER, {}},
        {"output terminal one byte short", run({{8, 0x24, 3, 3, 1, 3, 0, 2}}), STATUS_INVALID_PARAMETER, {}},
        {"header whose interface list runs past bLength", run({{9, 0x24, 1, 0, 1, 9, 0, 2, 1}}),
         STATUS_INVALID_PARAMETER, {}},
    };
    StartOn(sim::usb::CreateCatalogDevice("uac1"), false);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseAdapter();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Bytes bytes = c.run;
        const size_t requests = Device().Log().size();
        EXPECT_EQ(g_Hal->Walk(bytes), c.status);
        std::vector<ULONG> ids;
        for (const UnitView& u : UnitsOf(g_Hal)) ids.push_back(u.id);
        EXPECT_EQ(ids, c.unitIds);
        if (c.unitIds.empty()) {
            EXPECT_EQ(Device().Log().size(), requests);  // nothing asked the device
        }
    }
}

// Units are connected through their upstream units' output controls, up to 9 of them; graphs in
// which a unit feeds itself are refused and the walk ends. (Feature units use the ids the device
// models, 2 and 5, so their ranges can be read.)
TEST_F(Uac1Parse, UnitsConnectThroughOutputControlsAndCyclesAreRefused) {
    StartOn(sim::usb::CreateCatalogDevice("uac1"), false);
    auto selectorOf = [](UCHAR count) {
        std::vector<Bytes> d;
        Bytes ids;
        for (UCHAR id = 1; id <= count; ++id) {
            d.push_back(InputTerminalBytes(id, 0x0101));
            ids.push_back(id);
        }
        d.push_back(SelectorBytes(40, ids));
        return ControlInterface(d);
    };
    // Input terminal 1, then selectors 2 to Last, each fed by the one before.
    auto chainTo = [](UCHAR last) {
        std::vector<Bytes> d = {InputTerminalBytes(1, 0x0101)};
        for (UCHAR id = 2; id <= last; ++id) d.push_back(SelectorBytes(id, {UCHAR(id - 1)}));
        return ControlInterface(d);
    };
    struct Case {
        const char* name;
        Bytes run;
        NTSTATUS status;
        ULONG unit;                  // whose input control is looked at
        std::vector<ULONG> sources;  // that control's sources
    };
    const Case cases[] = {
        // Input terminal n's connector is control n - 1.
        {"nine inputs", selectorOf(9), STATUS_SUCCESS, 40, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"ten inputs stay unconnected", selectorOf(10), STATUS_SUCCESS, 40, std::vector<ULONG>(10, 0)},
        // Connector 0; feature 2: volume 2 <- mute 1; feature 5: volume 4 <- mute 3; selector 5.
        {"diamond",
         ControlInterface({InputTerminalBytes(1), FeatureBytes(2, 1), FeatureBytes(5, 1), SelectorBytes(8, {2, 5}),
                           OutputTerminalBytes(3, 8)}),
         STATUS_SUCCESS, 8, {1, 3}},
        // A unit id is no control id: read as one, unit 1 would name this unit's own volume.
        {"source that names no unit has none", ControlInterface({FeatureBytes(2, 1)}), STATUS_SUCCESS, 2,
         {AudioNodeNoSource}},
        {"selector input without a unit has none", ControlInterface({InputTerminalBytes(1), SelectorBytes(8, {77, 1})}),
         STATUS_SUCCESS, 8, {AudioNodeNoSource, 0}},
        // A refused graph is left unconnected: input controls keep the source 0 their unit gave
        // them (connected, they would name control 64, control 1 and control 3).
        {"64 levels deep", chainTo(65), STATUS_SUCCESS, 65, {63}},
        {"65 levels deep", chainTo(66), STATUS_INVALID_PARAMETER, 66, {0}},
        {"feeds itself", ControlInterface({InputTerminalBytes(1), FeatureBytes(5, 5)}), STATUS_INVALID_PARAMETER, 5,
         {0}},
        {"two-unit cycle", ControlInterface({InputTerminalBytes(1), FeatureBytes(2, 5), FeatureBytes(5, 2)}),
         STATUS_INVALID_PARAMETER, 2, {0}},
        {"cycle behind a terminal",
         ControlInterface({InputTerminalBytes(1), SelectorBytes(8, {1, 5}), FeatureBytes(2, 8), FeatureBytes(5, 2),
                           OutputTerminalBytes(3, 5)}),
         STATUS_INVALID_PARAMETER, 8, {0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseAdapter();
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Bytes bytes = c.run;
        EXPECT_EQ(g_Hal->Walk(bytes), c.status);
        const std::vector<UnitView> units = UnitsOf(g_Hal);
        auto unit = std::find_if(units.begin(), units.end(), [&](const UnitView& u) { return u.id == c.unit; });
        ASSERT_NE(unit, units.end()) << Describe(units);
        ASSERT_FALSE(unit->controls.empty());
        EXPECT_EQ(unit->controls.front().sources, c.sources) << Describe(units);
        EXPECT_TRUE(SingleSourceWalksEnd(g_Hal)) << Describe(units);
    }
}

// 8,465 one-input selectors in chains 63 units deep fill a 64 KB configuration. With one lookup per
// id the graph check, the connection pass and the selector binding stay linear in the units; a list
// scan per lookup took their square (seconds to minutes of CPU at start).
TEST_F(Uac1Parse, CraftedSelectorFloodTakesLinearWork) {
    StartOn(sim::usb::CreateCatalogDevice("uac1"), false);
    constexpr ULONG kSelectors = 8465;
    constexpr ULONG kChain = 63;
    std::vector<Bytes> d = {InputTerminalBytes(1, 0x0101)};
    for (ULONG i = 0; i < kSelectors; ++i) {
        const UCHAR id = UCHAR(2 + i % kChain);
        d.push_back(SelectorBytes(id, {UCHAR(id - 1)}));
    }
    Bytes run = ControlInterface(d);
    ASSERT_LE(run.size(), 0xFFFFu);
    EXPECT_EQ(g_Hal->Walk(run), STATUS_SUCCESS);
    const ULONG units = g_Hal->UnitCount();
    ASSERT_EQ(units, kSelectors + 1);
    // Each unit's upstream search meets each of at most kChain ids once; the connection pass looks
    // up one source per selector.
    EXPECT_LE(g_Hal->UnitLookups(), ULONG64(units) * (kChain + 1));
    EXPECT_GT(g_Hal->UnitLookups(), ULONG64(units));

    // Binding the selectors walks each one's chain of single-source controls, one lookup a step.
    // (Writing the values then fails: the device has none of these units.)
    const ULONG controls = g_Hal->GetNodeCount();
    g_Hal->BindStreams();
    EXPECT_LE(g_Hal->BindingLookups(), ULONG64(controls) * (kChain + 1));
    EXPECT_GT(g_Hal->BindingLookups(), ULONG64(kSelectors));
}

// Two device rules of one vendor: its output terminal 16 declared a speaker drives headphones, and
// one product must have output terminals 16 and 64.
TEST_F(Uac1Parse, VendorRulesRewriteTerminal16AndRequireTerminals) {
    struct Case {
        const char* name;
        USHORT productId;
        std::vector<Bytes> descriptors;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"both terminals", 0x0A04, {InputTerminalBytes(1, 0x0101), OutputTerminalBytes(16, 1), OutputTerminalBytes(64, 1)},
         STATUS_SUCCESS},
        {"terminal 64 missing", 0x0A04, {InputTerminalBytes(1, 0x0101), OutputTerminalBytes(16, 1)}, STATUS_UNSUCCESSFUL},
        {"unit 64 an input terminal", 0x0A04, {InputTerminalBytes(64, 0x0101), OutputTerminalBytes(16, 64)},
         STATUS_UNSUCCESSFUL},
        {"another product needs no terminal 64", 0x0A05, {InputTerminalBytes(1, 0x0101), OutputTerminalBytes(16, 1)},
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_WalkDevice = false;
        PlugDevice(adapter_test::Uac1WithIdentity(0x1B1C, c.productId, 0, 0, {{0x50, 0x0409, u"R7U2"}}));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        Bytes run = ControlInterface(c.descriptors);
        EXPECT_EQ(g_Hal->Walk(run), c.status);
        UnitNode* unit = nullptr;
        ASSERT_EQ(g_Hal->FindUnit(16, &unit), STATUS_SUCCESS);
        EXPECT_EQ(static_cast<OutputTerminal*>(unit)->GetUsbTerminalType(), 0x0302);
        EXPECT_EQ(run[9 + 12 + 4], 0x02);  // the descriptor itself says headphones now
        ReleaseAdapter();
        Unplug();
    }
}

// Every allocation of the start failing in turn: the start fails cleanly and leaves nothing.
TEST_F(Uac1Parse, AllocationFailuresLeaveNothingBehind) {
    Plug("uac1");
    int failures = 0;
    for (uint64_t n = 1;; ++n) {
        const sim::pool::Snapshot before = sim::pool::TakeSnapshot();
        sim::pool::FailNthAllocation(n);
        const NTSTATUS status = Start();
        const bool fired = !sim::pool::FaultArmed();
        sim::pool::DisarmFaults();
        ReleaseAdapter();
        const sim::pool::LeakReport leaks = sim::pool::LeaksSince(before);
        ASSERT_TRUE(leaks.Empty()) << "allocation " << n << ": " << leaks.ToString();
        if (!fired) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        if (!NT_SUCCESS(status)) ++failures;
        ASSERT_LT(n, 5000u);
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(g_DeviceWalk, STATUS_SUCCESS);
}

}  // namespace
