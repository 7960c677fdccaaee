// Control value persistence: the value names (a contract with every installation's stored
// settings), reads that keep the caller's default, change notices, and FastPow's gains.
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/FastPow.h"
#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/controls/SwitchControls.h"

#include "engine/control_fakes.h"
#include "engine/settings_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace {

using namespace control_test;
using settings_test::SettingsDevice;

std::u16string ChannelPrefix(ULONG id, ULONG type) {
    WCHAR buffer[ChannelValuePrefixChars];
    EXPECT_EQ(FormatChannelValuePrefix(id, type, buffer, ARRAYSIZE(buffer)), STATUS_SUCCESS);
    return buffer;
}

TEST(ControlValueNames, AreBuiltFromControlIdTerminalTypeAndChannel) {
    struct Case {
        ULONG id;
        ULONG type;
        std::u16string prefix;
    };
    for (const Case& c : {Case{9, 1, u"Unit09_ 1_"}, Case{9, 17, u"Unit09_17_"}, Case{3, 0, u"Unit03_ 0_"},
                          Case{0, 2, u"Unit00_ 2_"}, Case{100, 1, u"Unit100_ 1_"}}) {
        EXPECT_EQ(ChannelPrefix(c.id, c.type), c.prefix);
    }
    WCHAR name[ControlValueNameChars];
    ASSERT_EQ(FormatControlValueName(9, name, ARRAYSIZE(name)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Unit09_");
    ASSERT_EQ(FormatControlValueName(123, name, ARRAYSIZE(name)), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Unit123_");
}

class ControlValueStore : public SettingsDevice {};

TEST_F(ControlValueStore, ChannelAndControlValuesLandUnderTheirNames) {
    const LONG level = Db(-12.5);
    ASSERT_EQ(WriteChannelValue(m_fdo, 9, 17, 1, &level, sizeof(level)), STATUS_SUCCESS);
    const UCHAR on = 1;
    ASSERT_EQ(WriteChannelValue(m_fdo, 3, 0, 0, &on, sizeof(on)), STATUS_SUCCESS);
    const ULONG selection = 2;
    ASSERT_EQ(WriteControlValue(m_fdo, 9, &selection, sizeof(selection)), STATUS_SUCCESS);

    struct Case {
        std::u16string name;
        std::vector<uint8_t> bytes;
    };
    for (const Case& c : {Case{u"Unit09_17_1", {0x00, 0x80, 0xF3, 0xFF}}, Case{u"Unit03_ 0_0", {1}},
                          Case{u"Unit09_", {2, 0, 0, 0}}}) {
        auto stored = Stored(c.name);
        ASSERT_TRUE(stored.has_value()) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(stored->type, ULONG(REG_BINARY));
        EXPECT_EQ(stored->data, c.bytes);
    }
    LONG read = 0;
    EXPECT_EQ(ReadChannelValue(m_fdo, 9, 17, 1, &read, sizeof(read)), STATUS_SUCCESS);
    EXPECT_EQ(read, level);
    ULONG readSelection = 0;
    EXPECT_EQ(ReadControlValue(m_fdo, 9, &readSelection, sizeof(readSelection)), STATUS_SUCCESS);
    EXPECT_EQ(readSelection, 2u);
}

TEST_F(ControlValueStore, FailedReadsKeepTheDefaultAndOversizedNamesAreNeverCut) {
    Store(u"Unit04_ 0_0", REG_BINARY, std::vector<uint8_t>(8, 0x11));  // 8 bytes for a 4-byte level
    LONG value = 1234;
    EXPECT_FALSE(NT_SUCCESS(ReadChannelValue(m_fdo, 4, 0, 0, &value, sizeof(value))));
    EXPECT_FALSE(NT_SUCCESS(ReadChannelValue(m_fdo, 4, 0, 1, &value, sizeof(value))));  // absent
    EXPECT_EQ(value, 1234);

    // An id too long for the name buffer would otherwise address a cut name.
    EXPECT_EQ(WriteChannelValue(m_fdo, 4000000000u, 123, 0, &value, sizeof(value)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ReadChannelValue(m_fdo, 4000000000u, 123, 0, &value, sizeof(value)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(value, 1234);
    EXPECT_EQ(sim::registry::ValueNames(KeyPath()).size(), 1u);
}

TEST(ControlChange, SendsOneWellFormedRecordPerChange) {
    ChangeRecorder recorder;
    SendControlChange(recorder.Object(), 7);
    SendControlChange(recorder.Object(), 12);
    SendControlChange(nullptr, 13);
    EXPECT_EQ(recorder.ControlIds(), (std::vector<ULONG>{7, 12}));
    EXPECT_TRUE(recorder.AllWellFormed());
}

TEST(FastPowGain, TableHoldsTenthDecibelSteps) {
    EXPECT_EQ(FastPowTable[0], 1.0);
    EXPECT_DOUBLE_EQ(FastPowTable[100], 3.16227766016838);
    EXPECT_EQ(FastPowTable[200], 10.0);
    for (ULONG k = 0; k < FastPowTableEntries; ++k) {
        EXPECT_NEAR(FastPowTable[k], std::pow(10.0, k / 200.0), 1e-15 * FastPowTable[k]) << k;
    }
}

TEST(FastPowGain, AnswersPowersOfTenAtItsEdges) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float exponent;
        float expected;
    };
    for (const Case c : {Case{0.0f, 1.0f}, Case{1.0f, 10.0f}, Case{-1.0f, 0.1f}, Case{-0.5f, 0.316227766f},
                         Case{0.9999f, 10.0f}, Case{2.0f, 100.0f}, Case{-3.0f, 0.001f}, Case{-0.0001f, 1.0f},
                         Case{std::nanf(""), 0.0f}, Case{-1638.4f, 0.0f}, Case{-47.0f, 0.0f},
                         Case{38.0f, 1e38f}, Case{39.0f, inf}, Case{3e9f, inf}, Case{-3e9f, 0.0f}}) {
        SCOPED_TRACE(c.exponent);
        const float result = FastPow(10.0f, c.exponent);
        if (c.expected == 0.0f || std::isinf(c.expected)) {
            EXPECT_EQ(result, c.expected);
        } else {
            EXPECT_NEAR(result, c.expected, 1e-6 * c.expected);
        }
    }
    // Silence, as the gain stage computes it.
    EXPECT_EQ(FastPow(10.0f, static_cast<float>(static_cast<LONG>(0x80000000) / 65536.0 / 20.0)), 0.0f);
}

TEST(FastPowGain, StaysWithinHalfATableStepOfTheTruePower) {
    // Half of one 1/200 step of the exponent: 10^(1/400) - 1.
    const double bound = std::pow(10.0, 1.0 / 400.0) - 1.0 + 1e-6;
    for (double x = -6.0; x <= 6.0; x += 0.00731) {
        const double exact = std::pow(10.0, static_cast<double>(static_cast<float>(x)));
        ASSERT_LE(std::fabs(FastPow(10.0f, static_cast<float>(x)) / exact - 1.0), bound) << x;
    }
}

// --- The names of a reference device --------------------------------------------------------

// A HAL whose Identify builds two feature units the way the unit classes do: each control takes
// the HAL's node count as its id, joins the node list and its unit.
class ReferenceHal : public AudioHal {
public:
    explicit ReferenceHal(PUNKNOWN UnknownOuter) : AudioHal(UnknownOuter) {}
    ~ReferenceHal() override {
        for (auto& unit : m_Units) unit.reset();
    }

    STDMETHODIMP Identify() override {
        // Unit 10: stereo mute and volume. Unit 11: master mute, bass and automatic gain, and a
        // stored switch.
        FakeFeatureUnit* first = NewUnit(10);
        first->Selector(1) = {.channels = 2, .current = {0, 1}};
        first->Selector(2) = {.channels = 2, .maximum = 0, .minimum = Db(-60), .resolution = Db(1),
                              .current = {Db(-6), Db(-7)}};
        NTSTATUS status = AddFeature<MuteControl>(first, 1);
        if (NT_SUCCESS(status)) status = AddFeature<VolumeControl>(first, 2);
        FakeFeatureUnit* second = NewUnit(11);
        second->Selector(1) = {.channels = 1, .current = {1}};
        second->Selector(3) = {.channels = 1, .maximum = Db(12), .minimum = Db(-12), .resolution = Db(1),
                               .current = {Db(3)}};
        second->Selector(7) = {.channels = 1, .current = {0}};
        if (NT_SUCCESS(status)) status = AddFeature<MuteControl>(second, 1);
        if (NT_SUCCESS(status)) status = AddFeature<ToneControl>(second, 3, ToneBand::Bass);
        if (NT_SUCCESS(status)) status = AddFeature<AgcControl>(second, 7);
        if (NT_SUCCESS(status)) status = AddStored(second);
        return status;
    }

private:
    FakeFeatureUnit* NewUnit(ULONG id) {
        m_Units.push_back(MakeKernelObject<FakeFeatureUnit>(id));
        return m_Units.back().get();
    }
    template <class Control, class... Extra>
    NTSTATUS AddFeature(FakeFeatureUnit* unit, ULONG selector, Extra... extra) {
        auto control = MakeKernelObject<Control>(GetNodeCount(), extra...);
        NTSTATUS status;
        if constexpr (std::is_base_of_v<LevelControlBase, Control>) {
            status = control->InitFeatureLevel(unit->AsUnit(), selector, GetDeviceObject());
        } else {
            status = control->InitFeatureSwitch(unit->AsUnit(), selector, GetDeviceObject());
        }
        if (NT_SUCCESS(status)) status = AddNode(control.get());
        return status;
    }
    NTSTATUS AddStored(FakeFeatureUnit* unit) {
        auto control = MakeKernelObject<StoredSwitchControl>(GetNodeCount());
        NTSTATUS status = control->InitSwitchFromSettings(unit->AsUnit(), GetDeviceObject());
        if (NT_SUCCESS(status)) status = AddNode(control.get());
        return status;
    }

    std::vector<KernelHolder<FakeFeatureUnit>> m_Units;
};

TEST_F(ControlValueStore, ReferenceDeviceStoresItsValuesUnderPinnedNames) {
    auto hal = MakeKernelObject<ReferenceHal>();
    ASSERT_EQ(hal->Init(nullptr, m_fdo, nullptr, nullptr), STATUS_SUCCESS);  // applies every value

    // Control ids are creation positions in the node list; a change here loses users' settings.
    struct Case {
        std::u16string name;
        std::vector<uint8_t> bytes;
    };
    const Case expected[] = {
        {u"Unit00_ 0_0", {0}},                       // first mute, left
        {u"Unit00_ 0_1", {1}},                       // first mute, right
        {u"Unit01_ 0_0", {0x00, 0x00, 0xFA, 0xFF}},  // volume -6 dB
        {u"Unit01_ 0_1", {0x00, 0x00, 0xF9, 0xFF}},  // volume -7 dB
        {u"Unit02_ 0_0", {1}},                       // master mute
        {u"Unit03_ 0_0", {0x00, 0x00, 0x03, 0x00}},  // bass +3 dB
        {u"Unit04_ 0_0", {0}},                       // automatic gain
        {u"Unit05_ 0_0", {0}},                       // stored switch
    };
    EXPECT_EQ(sim::registry::ValueNames(KeyPath()).size(), std::size(expected));
    for (const Case& c : expected) {
        auto stored = Stored(c.name);
        ASSERT_TRUE(stored.has_value()) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(stored->data, c.bytes) << std::string(c.name.begin(), c.name.end());
    }
}

}  // namespace
