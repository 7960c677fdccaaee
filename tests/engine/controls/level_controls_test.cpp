// Level controls through a fake feature unit and the machine's registry: clamping and
// quantisation, silence per class, refused requests, all-channel device levels, values kept per
// terminal type, and the gain stage.
#include "driver/engine/controls/FastPow.h"
#include "driver/engine/controls/LevelControls.h"

#include "engine/control_fixture.h"
#include "support/pool_faults.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace control_test;

constexpr ULONG kVolumeSelector = 2;
constexpr ULONG kControlId = 3;

std::string Set(ULONG channel, LONG value) {
    return "set 2/" + std::to_string(channel) + "=" + std::to_string(value);
}

class LevelControls : public ControlTest {
protected:
    // A level on kVolumeSelector over [minimum, maximum] with the device's current values.
    template <class Control, class... Extra>
    KernelHolder<Control> MakeLevel(std::vector<LONG> current, LONG minimum = Db(-60), LONG maximum = 0,
                                    LONG resolution = Db(1), Extra... extra) {
        Unit().Selector(kVolumeSelector) = {.channels = static_cast<ULONG>(current.size()),
                                            .maximum = maximum,
                                            .minimum = minimum,
                                            .resolution = resolution,
                                            .current = current};
        auto control = MakeKernelObject<Control>(kControlId, extra...);
        if constexpr (std::is_same_v<Control, GainVolumeControl>) {
            EXPECT_EQ(control->InitGainVolume(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(control->InitFeatureLevel(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_SUCCESS);
        }
        Log().clear();
        return control;
    }
    static std::vector<LONG> Values(LevelControl* control, ULONG count) {
        return ChannelValues<LONG>(control, count, 0x7EEEEEEE);
    }
};

TEST_F(LevelControls, SetValueClampsQuantisesAndTreatsSilenceByClass) {
    struct Case {
        const char* what;
        std::function<KernelHolder<LevelControlBase>()> make;
        LONG value;
        LONG sent;
        LONG cached;
    };
    // Range [-60 dB, 0 dB], resolution 1 dB unless the case says otherwise.
    auto volume = [this](LONG resolution) {
        return [this, resolution]() -> KernelHolder<LevelControlBase> {
            return MakeLevel<VolumeControl>({0}, Db(-60), 0, resolution);
        };
    };
    auto tone = [this]() -> KernelHolder<LevelControlBase> {
        return MakeLevel<ToneControl>({0}, Db(-12), Db(12), Db(1), ToneBand::Bass);
    };
    auto level = [this]() -> KernelHolder<LevelControlBase> { return MakeLevel<DeviceLevelControl>({0}); };
    auto gain = [this]() -> KernelHolder<LevelControlBase> { return MakeLevel<GainVolumeControl>({0}); };
    const Case cases[] = {
        {"volume -10.5 dB: quantised toward zero", volume(Db(1)), Db(-10.5), Db(-10), Db(-10.5)},
        {"volume +0.4 dB above the maximum", volume(Db(1)), Db(0.4), 0, 0},
        {"volume below the minimum", volume(Db(1)), Db(-90), Db(-60), Db(-60)},
        {"volume silence passes unchanged", volume(Db(1)), LevelSilence, LevelSilence, LevelSilence},
        {"volume without resolution", volume(0), Db(-10.5), Db(-10.5), Db(-10.5)},
        {"volume with a negative resolution", volume(-Db(1)), Db(-10.5), Db(-10.5), Db(-10.5)},
        {"bass silence sends the minimum", tone, LevelSilence, Db(-12), LevelSilence},
        {"bass -3.7 dB", tone, Db(-3.7), Db(-3), Db(-3.7)},
        {"device level silence becomes the minimum", level, LevelSilence, Db(-60), Db(-60)},
        {"device level -0.5 dB", level, Db(-0.5), 0, Db(-0.5)},
        {"gain volume as volume", gain, Db(-10.5), Db(-10), Db(-10.5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        auto control = c.make();
        EXPECT_EQ(control->SetValue(0, c.value), STATUS_SUCCESS);
        EXPECT_EQ(Take("set"), std::vector<std::string>{Set(0, c.sent)});
        EXPECT_EQ(Values(control.get(), 1), std::vector<LONG>{c.cached});
        EXPECT_EQ(StoredLevel(u"Unit03_ 0_0"), c.cached);
        EXPECT_EQ(control->SetValue(1, 0), STATUS_INVALID_PARAMETER);
    }
}

TEST_F(LevelControls, RefusedValuesLeaveCacheAndSettingsAsTheyWere) {
    auto control = MakeLevel<VolumeControl>({Db(-20), Db(-20)});
    Unit().Selector(kVolumeSelector).setStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(control->SetValue(1, Db(-5)), STATUS_SUCCESS);  // the property request still succeeds
    EXPECT_EQ(Values(control.get(), 2), (std::vector<LONG>{Db(-20), Db(-20)}));
    EXPECT_EQ(StoredLevel(u"Unit03_ 0_1"), std::nullopt);
}

TEST_F(LevelControls, InitTakesDeviceValuesUnlessAFittingValueIsStored) {
    StoreLevel(u"Unit03_ 0_1", Db(-33));
    Store(u"Unit03_ 0_2", REG_BINARY, std::vector<uint8_t>(8, 0x01));  // 8 bytes: not a level
    Unit().Selector(kVolumeSelector) = {.channels = 3, .maximum = 0, .minimum = Db(-60), .resolution = Db(1),
                                        .current = {Db(-1), Db(-2), Db(-3)}};
    auto control = MakeKernelObject<VolumeControl>(kControlId);
    ASSERT_EQ(control->InitFeatureLevel(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_SUCCESS);
    EXPECT_EQ(Values(control.get(), 3), (std::vector<LONG>{Db(-1), Db(-33), Db(-3)}));
    EXPECT_EQ(Take("set"), std::vector<std::string>{});
    LONG maximum = 1, minimum = 1, resolution = 1;
    EXPECT_EQ(control->GetRange(&maximum, &minimum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<LONG>({maximum, minimum, resolution}), (std::vector<LONG>{0, Db(-60), Db(1)}));
    EXPECT_EQ(control->GetRange(&maximum, nullptr, &resolution), STATUS_INVALID_PARAMETER);

    // A device that does not answer its current values starts at 0 dB.
    Unit().Selector(kVolumeSelector).getStatus = STATUS_UNSUCCESSFUL;
    ClearSettings();
    auto unread = MakeKernelObject<VolumeControl>(kControlId);
    ASSERT_EQ(unread->InitFeatureLevel(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_SUCCESS);
    EXPECT_EQ(Values(unread.get(), 3), (std::vector<LONG>{0, 0, 0}));
}

TEST_F(LevelControls, InitFailsWhenTheUnitOrThePoolRefuses) {
    for (const bool rangeFails : {false, true}) {
        Unit().Selector(kVolumeSelector) = {.channels = 2, .current = {0, 0}};
        (rangeFails ? Unit().Selector(kVolumeSelector).rangeStatus : Unit().Selector(kVolumeSelector).countStatus) =
            STATUS_DEVICE_NOT_CONNECTED;
        auto control = MakeKernelObject<VolumeControl>(kControlId);
        EXPECT_EQ(control->InitFeatureLevel(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_DEVICE_NOT_CONNECTED);
    }
    Unit().Selector(kVolumeSelector) = {.channels = 2, .current = {0, 0}};
    FakeFeatureUnit* unit = &Unit();
    PDEVICE_OBJECT device = m_fdo;
    kvtest::ExpectCleanAllocationFailures(
        [unit, device] {
            auto control = MakeKernelObject<GainVolumeControl>(kControlId);
            return control != nullptr &&
                   NT_SUCCESS(control->InitGainVolume(unit->AsUnit(), kVolumeSelector, device));
        },
        LevelValuesTag);
}

TEST_F(LevelControls, DeviceLevelSetsEveryChannelUntilTheFirstRefusal) {
    struct Case {
        const char* what;
        ULONG refuseFrom;
        std::vector<std::string> sent;
        std::vector<LONG> cached;
    };
    const Case cases[] = {
        {"all accepted", MAXULONG, {Set(0, Db(-6)), Set(1, Db(-6)), Set(2, Db(-6))}, {Db(-6), Db(-6), Db(-6)}},
        {"refused from channel 1", 1, {Set(0, Db(-6)), Set(1, Db(-6))}, {Db(-6), Db(-1), Db(-1)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        auto control = MakeLevel<DeviceLevelControl>({Db(-1), Db(-1), Db(-1)});
        Unit().Selector(kVolumeSelector).refuseSetFrom = c.refuseFrom;
        EXPECT_EQ(control->SetValue(LevelAllChannels, Db(-6)), STATUS_SUCCESS);
        EXPECT_EQ(Take("set"), c.sent);
        EXPECT_EQ(Values(control.get(), 3), c.cached);
        LONG all = 0;
        EXPECT_EQ(control->GetValue(LevelAllChannels, &all), STATUS_SUCCESS);
        EXPECT_EQ(all, c.cached[0]);
        EXPECT_EQ(control->SetValue(3, 0), STATUS_INVALID_PARAMETER);
    }
    Unit().Selector(kVolumeSelector) = {.channels = 0, .current = {}};
    auto empty = MakeKernelObject<DeviceLevelControl>(kControlId);
    ASSERT_EQ(empty->InitFeatureLevel(Unit().AsUnit(), kVolumeSelector, m_fdo), STATUS_SUCCESS);
    EXPECT_EQ(empty->SetValue(LevelAllChannels, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(empty->ApplyValues(), STATUS_INVALID_PARAMETER);
}

TEST_F(LevelControls, TerminalTypesKeepTheirOwnValues) {
    auto control = MakeLevel<VolumeControl>({Db(-10), Db(-10), Db(-10), Db(-10), Db(-10), Db(-10)});
    ASSERT_EQ(control->OnTerminalTypeChanged(2, Changes().Object()), STATUS_SUCCESS);
    // Nothing stored for headphones: the two channels the host sees get the cached values again.
    EXPECT_EQ(Take("set"), (std::vector<std::string>{Set(0, Db(-10)), Set(1, Db(-10))}));
    ASSERT_EQ(control->SetValue(0, Db(-20)), STATUS_SUCCESS);
    ASSERT_EQ(control->OnTerminalTypeChanged(1, Changes().Object()), STATUS_SUCCESS);
    ASSERT_EQ(control->SetValue(0, Db(-3)), STATUS_SUCCESS);
    ASSERT_EQ(control->SetValue(5, Db(-4)), STATUS_SUCCESS);
    ASSERT_EQ(control->OnTerminalTypeChanged(2, Changes().Object()), STATUS_SUCCESS);
    EXPECT_EQ(Values(control.get(), 2), (std::vector<LONG>{Db(-20), Db(-10)}));
    Log().clear();
    ASSERT_EQ(control->OnTerminalTypeChanged(1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Take("set").size(), 6u);
    EXPECT_EQ(Values(control.get(), 6), (std::vector<LONG>{Db(-3), Db(-10), Db(-10), Db(-10), Db(-10), Db(-4)}));
    EXPECT_EQ(StoredLevel(u"Unit03_ 2_0"), Db(-20));
    EXPECT_EQ(StoredLevel(u"Unit03_ 1_5"), Db(-4));
    EXPECT_EQ(Changes().ControlIds(), (std::vector<ULONG>{kControlId, kControlId, kControlId}));
}

TEST_F(LevelControls, RefreshReadsTheDeviceAndTheGainVolumeSendsItBack) {
    auto volume = MakeLevel<VolumeControl>({Db(-10), Db(-10)});
    Unit().Selector(kVolumeSelector).current = {Db(-15), Db(-16)};
    EXPECT_EQ(volume->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(Values(volume.get(), 2), (std::vector<LONG>{Db(-15), Db(-16)}));
    EXPECT_EQ(StoredLevel(u"Unit03_ 0_1"), Db(-16));
    EXPECT_EQ(Take("set"), std::vector<std::string>{});
    Unit().Selector(kVolumeSelector).getStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(volume->RefreshValues(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Values(volume.get(), 2), (std::vector<LONG>{Db(-15), Db(-16)}));

    auto gain = MakeLevel<GainVolumeControl>({Db(-10), Db(-10)});
    Unit().Selector(kVolumeSelector).current = {Db(-15), Db(-16)};
    EXPECT_EQ(gain->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (std::vector<std::string>{"get 2/0", Set(0, Db(-15)), "get 2/1", Set(1, Db(-16))}));
}

// --- Gain stage ------------------------------------------------------------------------------

WAVEFORMATEXTENSIBLE PcmFormat(USHORT channels, USHORT tag = WAVE_FORMAT_PCM) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = tag;
    format.Format.nChannels = channels;
    format.Format.wBitsPerSample = 16;
    format.Format.nBlockAlign = static_cast<USHORT>(channels * 2);
    return format;
}

// Eight planes of ones; Run passes them through the stage and answers each plane's first sample.
struct Planes {
    std::array<std::vector<float>, ProcessingStageMaxPlanes> data;
    float* pointers[ProcessingStageMaxPlanes];
    Planes() {
        for (ULONG p = 0; p < ProcessingStageMaxPlanes; ++p) {
            data[p].assign(ProcessingStageMaxFrames, 1.0f);
            pointers[p] = data[p].data();
        }
    }
    std::vector<float> Run(ProcessingStage* stage, const WAVEFORMATEXTENSIBLE& format, ULONG frames = 64) {
        EXPECT_EQ(stage->Process(&format, pointers, frames), STATUS_SUCCESS);
        std::vector<float> first;
        for (ULONG p = 0; p < format.Format.nChannels && p < ProcessingStageMaxPlanes; ++p) {
            EXPECT_EQ(data[p][frames - 1], data[p][0]) << p;
            EXPECT_EQ(data[p][frames], 1.0f) << p;  // nothing past the block
            first.push_back(data[p][0]);
        }
        return first;
    }
};

TEST_F(LevelControls, GainStageScalesEachPlaneByItsChannelsGain) {
    auto control = MakeLevel<GainVolumeControl>({Db(-20), 0});
    ProcessingStage* stage = control.get();
    const float tenth = FastPow(10.0f, -1.0f);
    EXPECT_EQ(Planes().Run(stage, PcmFormat(2)), (std::vector<float>{tenth, 1.0f}));

    // The gain follows the host's value even when the device refuses it; silence is 0.
    Unit().Selector(kVolumeSelector).setStatus = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(control->SetValue(1, LevelSilence), STATUS_SUCCESS);
    ASSERT_EQ(control->SetValue(0, Db(+6)), STATUS_SUCCESS);  // clamped to 0 dB
    EXPECT_EQ(Planes().Run(stage, PcmFormat(2)), (std::vector<float>{1.0f, 0.0f}));

    // Only PCM is scaled; float streams reach the stage as raw bytes and stay as they are.
    std::vector<float> raw(8, 1.0f);
    const WAVEFORMATEXTENSIBLE floats = PcmFormat(2, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(stage->Process(&floats, raw.data(), 4), STATUS_SUCCESS);
    EXPECT_EQ(raw, std::vector<float>(8, 1.0f));
    EXPECT_EQ(stage->Process(&floats, nullptr, 4), STATUS_SUCCESS);
}

TEST_F(LevelControls, GainStageOfAMasterVolumeScalesEveryPlaneOfAWiderStream) {
    auto control = MakeLevel<GainVolumeControl>({Db(-20)});
    const float tenth = FastPow(10.0f, -1.0f);
    EXPECT_EQ(Planes().Run(control.get(), PcmFormat(6)), std::vector<float>(6, tenth));
    // A 10-channel format reaches only the eight planes there are.
    EXPECT_EQ(Planes().Run(control.get(), PcmFormat(10)), std::vector<float>(8, tenth));
}

TEST_F(LevelControls, GainStageWorksOnlyWhileItsSelectorInputIsSelected) {
    auto control = MakeLevel<GainVolumeControl>({Db(-20), Db(-20)});
    SelectorListener* listener = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_SelectorListener, reinterpret_cast<PVOID*>(&listener)), STATUS_SUCCESS);
    const float tenth = FastPow(10.0f, -1.0f);
    struct Step {
        ULONG input;      // 0: unchanged
        ULONG selection;  // 0: unchanged
        float expected;
    };
    for (const Step s : {Step{0, 0, tenth}, Step{2, 1, 1.0f}, Step{0, 2, tenth}, Step{0, 3, 1.0f}}) {
        if (s.input != 0) listener->SetSelectorInput(s.input);
        if (s.selection != 0) {
            EXPECT_EQ(listener->OnSelectionChanging(s.selection, 0), STATUS_SUCCESS);
            listener->OnSelectionChanged(s.selection);
        }
        EXPECT_EQ(Planes().Run(control.get(), PcmFormat(2)), (std::vector<float>{s.expected, s.expected}));
    }
    listener->Release();
}

TEST_F(LevelControls, GainVolumeReloadsEveryChannelAndNotifiesTwice) {
    StoreLevel(u"Unit03_ 2_5", Db(-20));  // beyond the two channels the host sees
    auto control = MakeLevel<GainVolumeControl>({0, 0, 0, 0, 0, 0});
    ASSERT_EQ(control->OnTerminalTypeChanged(2, Changes().Object()), STATUS_SUCCESS);
    EXPECT_EQ(Take("set").size(), 2u + 6u);
    EXPECT_EQ(Changes().ControlIds(), (std::vector<ULONG>{kControlId, kControlId}));
    const float tenth = FastPow(10.0f, -1.0f);
    EXPECT_EQ(Planes().Run(control.get(), PcmFormat(6)), (std::vector<float>{1, 1, 1, 1, 1, tenth}));
}

TEST_F(LevelControls, EachClassAnswersItsKindAndInterfaces) {
    struct Case {
        const char* what;
        KernelHolder<LevelControlBase> control;
        ULONG kind;
        bool gain;
    };
    Case cases[] = {
        {"volume", MakeKernelObject<VolumeControl>(1u), 3, false},
        {"bass", MakeKernelObject<ToneControl>(1u, ToneBand::Bass), 9, false},
        {"mid", MakeKernelObject<ToneControl>(1u, ToneBand::Mid), 10, false},
        {"treble", MakeKernelObject<ToneControl>(1u, ToneBand::Treble), 11, false},
        {"device level", MakeKernelObject<DeviceLevelControl>(1u), 8, false},
        {"gain volume", MakeKernelObject<GainVolumeControl>(1u), 3, true},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.control->GetNodeKind(), c.kind);
        struct Answer {
            const GUID* id;
            bool expected;
        };
        for (const Answer a : {Answer{&IID_AudioNode, true}, Answer{&IID_LevelControl, true},
                               Answer{&IID_TerminalTypeListener, true}, Answer{&IID_ProcessingStage, c.gain},
                               Answer{&IID_SelectorListener, c.gain}, Answer{&IID_OnOffControl, false}}) {
            PVOID answer = nullptr;
            EXPECT_EQ(NT_SUCCESS(c.control->QueryInterface(*a.id, &answer)), a.expected);
            if (answer != nullptr) static_cast<IUnknown*>(answer)->Release();
        }
    }
}

}  // namespace
