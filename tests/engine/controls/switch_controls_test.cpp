// On/off controls through a fake feature unit and the machine's registry: what each class sends,
// caches and stores, values kept per terminal type, the software mute stage, and initialisation
// that starts from defined values.
#include "driver/engine/controls/SwitchControls.h"

#include "engine/control_fixture.h"
#include "support/pool_faults.h"

#include <gtest/gtest.h>
#include <sim/pool.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace control_test;

constexpr ULONG kMuteSelector = 1;
constexpr ULONG kControlId = 4;

class SwitchControls : public ControlTest {
protected:
    // A feature switch on kMuteSelector with the device's current values.
    template <class Control>
    KernelHolder<Control> MakeFeatureSwitch(std::vector<LONG> current) {
        Unit().Selector(kMuteSelector) = {.channels = static_cast<ULONG>(current.size()), .current = current};
        auto control = MakeKernelObject<Control>(kControlId);
        EXPECT_EQ(control->InitFeatureSwitch(Unit().AsUnit(), kMuteSelector, m_fdo), STATUS_SUCCESS);
        Log().clear();
        return control;
    }
    static std::vector<UCHAR> Values(OnOffControl* control, ULONG count) {
        return ChannelValues<UCHAR>(control, count, 0xEE);
    }
};

TEST_F(SwitchControls, InitTakesTheDeviceValueUnlessOneIsStoredAndSendsNothing) {
    struct Case {
        const char* what;
        std::vector<LONG> device;
        NTSTATUS getStatus;
        std::optional<UCHAR> stored1;  // "Unit04_ 0_1"
        std::vector<UCHAR> cached;
    };
    const Case cases[] = {
        {"device values", {1, 0}, STATUS_SUCCESS, std::nullopt, {1, 0}},
        {"stored value wins", {1, 0}, STATUS_SUCCESS, 1, {1, 1}},
        {"unreadable device starts off", {1, 1}, STATUS_UNSUCCESSFUL, std::nullopt, {0, 0}},
        {"unreadable device, stored value", {1, 1}, STATUS_UNSUCCESSFUL, 1, {0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        if (c.stored1) StoreSwitch(u"Unit04_ 0_1", *c.stored1);
        Unit().Selector(kMuteSelector) = {.channels = 2, .current = c.device, .getStatus = c.getStatus};
        auto control = MakeKernelObject<MuteControl>(kControlId);
        ASSERT_EQ(control->InitFeatureSwitch(Unit().AsUnit(), kMuteSelector, m_fdo), STATUS_SUCCESS);
        EXPECT_EQ(Values(control.get(), 2), c.cached);
        EXPECT_EQ(Take("set"), std::vector<std::string>{});
        ULONG sources[2] = {};
        ULONG count = 2;
        ASSERT_EQ(control->GetSources(&count, sources), STATUS_SUCCESS);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(sources[0], 0u);
    }
}

TEST_F(SwitchControls, InitFailsCleanlyWhenTheUnitOrThePoolRefuses) {
    Unit().Selector(kMuteSelector) = {.channels = 2, .current = {0, 0}, .countStatus = STATUS_UNSUCCESSFUL};
    auto control = MakeKernelObject<MuteControl>(kControlId);
    EXPECT_EQ(control->InitFeatureSwitch(Unit().AsUnit(), kMuteSelector, m_fdo), STATUS_UNSUCCESSFUL);
    // A unit that is no feature unit.
    auto plain = MakeKernelObject<AudioNode>(1u, 0u);
    EXPECT_EQ(control->InitFeatureSwitch(static_cast<AudioNode*>(plain.get()), kMuteSelector, m_fdo),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control->InitFeatureSwitch(nullptr, kMuteSelector, m_fdo), STATUS_INVALID_PARAMETER);

    Unit().Selector(kMuteSelector).countStatus = STATUS_SUCCESS;
    FakeFeatureUnit* unit = &Unit();
    PDEVICE_OBJECT device = m_fdo;
    kvtest::ExpectCleanAllocationFailures(
        [unit, device] {
            auto mute = MakeKernelObject<MuteControl>(kControlId);
            return mute != nullptr && NT_SUCCESS(mute->InitFeatureSwitch(unit->AsUnit(), kMuteSelector, device));
        },
        SwitchValuesTag);
}

TEST_F(SwitchControls, SetValueSendsCachesAndStoresAsEachClassDoes) {
    struct Case {
        const char* what;
        std::function<KernelHolder<SwitchControlBase>()> make;
        NTSTATUS deviceAnswer;
        std::vector<std::string> sent;
        UCHAR cached;
        std::optional<UCHAR> stored;
    };
    auto feature = [this](auto tag) {
        using Control = typename decltype(tag)::type;
        return [this]() -> KernelHolder<SwitchControlBase> { return MakeFeatureSwitch<Control>({0, 0}); };
    };
    auto stored = [this]() -> KernelHolder<SwitchControlBase> {
        auto control = MakeKernelObject<StoredSwitchControl>(kControlId);
        EXPECT_EQ(control->InitSwitchFromSettings(Unit().AsUnit(), m_fdo), STATUS_SUCCESS);
        return control;
    };
    auto software = []() -> KernelHolder<SwitchControlBase> {
        auto control = MakeKernelObject<SoftwareMuteControl>(kControlId);
        EXPECT_EQ(control->Init(3, 1), STATUS_SUCCESS);
        return control;
    };
    const auto mute = feature(std::type_identity<MuteControl>{});
    const auto device = feature(std::type_identity<DeviceSwitchControl>{});
    const Case cases[] = {
        {"mute", mute, STATUS_SUCCESS, {"set 1/0=1"}, 1, 1},
        {"mute refused by the device", mute, STATUS_UNSUCCESSFUL, {"set 1/0=1"}, 1, 1},
        {"agc", feature(std::type_identity<AgcControl>{}), STATUS_SUCCESS, {"set 1/0=1"}, 1, 1},
        {"loudness", feature(std::type_identity<LoudnessControl>{}), STATUS_SUCCESS, {"set 1/0=1"}, 1, 1},
        {"selector mute", feature(std::type_identity<SelectorMuteControl>{}), STATUS_SUCCESS, {"set 1/0=1"}, 1, 1},
        {"device switch", device, STATUS_SUCCESS, {"set 1/0=1"}, 1, 1},
        {"device switch refused", device, STATUS_UNSUCCESSFUL, {"set 1/0=1"}, 0, std::nullopt},
        {"stored switch", stored, STATUS_UNSUCCESSFUL, {}, 1, 1},
        {"software mute", software, STATUS_SUCCESS, {}, 1, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearSettings();
        auto control = c.make();
        Unit().Selector(kMuteSelector).setStatus = c.deviceAnswer;
        Log().clear();
        EXPECT_EQ(control->SetValue(0, 1), STATUS_SUCCESS);
        EXPECT_EQ(Take("set"), c.sent);
        UCHAR value = 0xEE;
        EXPECT_EQ(control->GetValue(0, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.cached);
        EXPECT_EQ(StoredSwitch(u"Unit04_ 0_0"), c.stored);

        ULONG count = 0;
        ASSERT_EQ(control->GetChannelCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(control->SetValue(count + 1, 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(control->GetValue(count + 1, &value), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(control->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Take("set"), std::vector<std::string>{});
    }
}

TEST_F(SwitchControls, HostSeesAllChannelsOnlyBehindSpeakerLikeTerminalTypes) {
    auto control = MakeFeatureSwitch<MuteControl>({0, 0, 0, 0, 0, 0});
    struct Case {
        ULONG type;
        ULONG count;
    };
    for (const Case c : {Case{0, 6}, Case{1, 6}, Case{2, 2}, Case{3, 2}, Case{4, 6}, Case{6, 6}, Case{17, 2}}) {
        SCOPED_TRACE(c.type);
        ASSERT_EQ(control->OnTerminalTypeChanged(c.type, nullptr), STATUS_SUCCESS);
        ULONG count = 0;
        EXPECT_EQ(control->GetChannelCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, c.count);
        // Every cached channel stays reachable whatever the host sees.
        UCHAR value = 0;
        EXPECT_EQ(control->GetValue(5, &value), STATUS_SUCCESS);
    }
    EXPECT_EQ(control->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
    auto mono = MakeFeatureSwitch<MuteControl>({1});
    ASSERT_EQ(mono->OnTerminalTypeChanged(2, nullptr), STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(mono->GetChannelCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
}

TEST_F(SwitchControls, TerminalTypeChangeReloadsTheValuesOfTheNewTypeAndNotifiesOnce) {
    auto control = MakeFeatureSwitch<MuteControl>({0, 0, 0, 0});
    ASSERT_EQ(control->OnTerminalTypeChanged(2, Changes().Object()), STATUS_SUCCESS);
    // Nothing stored for type 2: the cached values are sent again, for the two channels the
    // host sees behind headphones.
    EXPECT_EQ(Take("set"), (std::vector<std::string>{"set 1/0=0", "set 1/1=0"}));
    ASSERT_EQ(control->SetValue(0, 1), STATUS_SUCCESS);  // headphones muted on the left
    ASSERT_EQ(control->OnTerminalTypeChanged(1, Changes().Object()), STATUS_SUCCESS);
    ASSERT_EQ(control->SetValue(1, 1), STATUS_SUCCESS);  // speakers muted on the right
    ASSERT_EQ(control->SetValue(0, 0), STATUS_SUCCESS);
    Log().clear();

    ASSERT_EQ(control->OnTerminalTypeChanged(2, Changes().Object()), STATUS_SUCCESS);
    EXPECT_EQ(Take("set"), (std::vector<std::string>{"set 1/0=1", "set 1/1=0"}));
    EXPECT_EQ(Values(control.get(), 2), (std::vector<UCHAR>{1, 0}));
    ASSERT_EQ(control->OnTerminalTypeChanged(1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Values(control.get(), 2), (std::vector<UCHAR>{0, 1}));

    EXPECT_EQ(StoredSwitch(u"Unit04_ 2_0"), UCHAR(1));
    EXPECT_EQ(StoredSwitch(u"Unit04_ 1_1"), UCHAR(1));
    EXPECT_EQ(Changes().ControlIds(), (std::vector<ULONG>{kControlId, kControlId, kControlId}));
    EXPECT_TRUE(Changes().AllWellFormed());
}

TEST_F(SwitchControls, ApplyValuesSendsEveryCachedChannelInOrder) {
    StoreSwitch(u"Unit04_ 0_2", 1);
    auto control = MakeFeatureSwitch<DeviceSwitchControl>({1, 0, 0});
    EXPECT_EQ(control->ApplyValues(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (std::vector<std::string>{"set 1/0=1", "set 1/1=0", "set 1/2=1"}));

    // A control without channels has nothing to apply.
    Unit().Selector(kMuteSelector) = {.channels = 0, .current = {}};
    auto empty = MakeKernelObject<MuteControl>(kControlId);
    ASSERT_EQ(empty->InitFeatureSwitch(Unit().AsUnit(), kMuteSelector, m_fdo), STATUS_SUCCESS);
    EXPECT_EQ(empty->ApplyValues(), STATUS_INVALID_PARAMETER);
}

TEST_F(SwitchControls, RefreshReadsTheDeviceAndStopsAtAFailedRead) {
    auto control = MakeFeatureSwitch<SelectorMuteControl>({0, 0});
    Unit().Selector(kMuteSelector).current = {1, 1};
    EXPECT_EQ(control->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(Values(control.get(), 2), (std::vector<UCHAR>{1, 1}));
    EXPECT_EQ(StoredSwitch(u"Unit04_ 0_1"), UCHAR(1));
    EXPECT_EQ(Take("set"), std::vector<std::string>{});

    Unit().Selector(kMuteSelector).getStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(control->RefreshValues(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Values(control.get(), 2), (std::vector<UCHAR>{1, 1}));

    auto stored = MakeKernelObject<StoredSwitchControl>(kControlId);
    ASSERT_EQ(stored->InitSwitchFromSettings(Unit().AsUnit(), m_fdo), STATUS_SUCCESS);
    Log().clear();
    EXPECT_EQ(stored->RefreshValues(), STATUS_SUCCESS);
    EXPECT_EQ(stored->ApplyValues(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), std::vector<std::string>{});
}

TEST_F(SwitchControls, StoredSwitchStartsFromItsStoredValue) {
    for (const std::optional<UCHAR> stored : {std::optional<UCHAR>{}, std::optional<UCHAR>{1}}) {
        ClearSettings();
        if (stored) StoreSwitch(u"Unit04_ 0_0", *stored);
        auto control = MakeKernelObject<StoredSwitchControl>(kControlId);
        ASSERT_EQ(control->InitSwitchFromSettings(Unit().AsUnit(), m_fdo), STATUS_SUCCESS);
        EXPECT_EQ(Values(control.get(), 1), std::vector<UCHAR>{stored.value_or(0)});
        EXPECT_EQ(control->GetNodeKind(), NodeKindCode(NodeKind::StoredSwitch));
    }
    EXPECT_EQ(Take(), std::vector<std::string>{});
}

TEST_F(SwitchControls, EachClassAnswersItsKindAndInterfaces) {
    struct Case {
        const char* what;
        KernelHolder<SwitchControlBase> control;
        ULONG kind;
        bool stage;
        bool listener;
    };
    Case cases[] = {
        {"mute", MakeKernelObject<MuteControl>(1u), 2, false, false},
        {"agc", MakeKernelObject<AgcControl>(1u), 6, false, false},
        {"loudness", MakeKernelObject<LoudnessControl>(1u), 7, false, false},
        {"selector mute", MakeKernelObject<SelectorMuteControl>(1u), 2, false, true},
        {"device switch", MakeKernelObject<DeviceSwitchControl>(1u), 18, false, false},
        {"stored switch", MakeKernelObject<StoredSwitchControl>(1u), 22, false, false},
        {"software mute", MakeKernelObject<SoftwareMuteControl>(1u), 2, true, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.control->GetNodeKind(), c.kind);
        struct Answer {
            const GUID* id;
            bool expected;
        };
        for (const Answer a : {Answer{&IID_AudioNode, true}, Answer{&IID_OnOffControl, true},
                               Answer{&IID_TerminalTypeListener, true}, Answer{&IID_ProcessingStage, c.stage},
                               Answer{&IID_SelectorListener, c.listener}, Answer{&IID_LevelControl, false}}) {
            PVOID answer = nullptr;
            const NTSTATUS status = c.control->QueryInterface(*a.id, &answer);
            EXPECT_EQ(NT_SUCCESS(status), a.expected);
            if (answer != nullptr) static_cast<IUnknown*>(answer)->Release();
        }
    }
}

TEST_F(SwitchControls, SelectorMuteKeepsItsInputAndTheSelection) {
    auto control = MakeKernelObject<SelectorMuteControl>(1u);
    SelectorListener* listener = nullptr;
    ASSERT_EQ(control->QueryInterface(IID_SelectorListener, reinterpret_cast<PVOID*>(&listener)), STATUS_SUCCESS);
    EXPECT_EQ(listener->SetSelectorInput(2), STATUS_SUCCESS);
    EXPECT_EQ(listener->OnSelectionChanging(3, 1), STATUS_SUCCESS);
    EXPECT_EQ(listener->OnSelectionChanged(3), STATUS_SUCCESS);
    EXPECT_EQ(control->GetSelectorInput(), 2u);
    EXPECT_EQ(control->GetSelection(), 3u);
    listener->Release();
}

// --- Software mute ---------------------------------------------------------------------------

WAVEFORMATEXTENSIBLE Format(USHORT tag, USHORT channels, USHORT bits, USHORT subTag = 0) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = tag;
    format.Format.nChannels = channels;
    format.Format.wBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    format.SubFormat.Data1 = subTag;
    return format;
}

TEST(SoftwareMute, AcceptsOnlyOneChannelAndIsNeverStored) {
    auto control = MakeKernelObject<SoftwareMuteControl>(1u);
    EXPECT_EQ(control->Init(0, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(control->Init(0, 0), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(control->Init(7, 1), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::TagUsage(SoftwareMuteValuesTag).bytes, 2u);
    EXPECT_EQ(control->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(control->ApplyValues(), STATUS_SUCCESS);
    EXPECT_EQ(control->OnTerminalTypeChanged(2, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(control->GetTerminalType(), 2u);
    UCHAR value = 0;
    EXPECT_EQ(control->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
}

TEST(SoftwareMute, SilencesPcmPlanesAndRawBlocksOnlyWhileOn) {
    auto control = MakeKernelObject<SoftwareMuteControl>(1u);
    ASSERT_EQ(control->Init(0, 1), STATUS_SUCCESS);
    ProcessingStage* stage = control.get();

    struct Case {
        const char* what;
        WAVEFORMATEXTENSIBLE format;
    };
    const Case cases[] = {
        {"pcm stereo", Format(WAVE_FORMAT_PCM, 2, 16)},
        {"extensible pcm, 6 channels", Format(WAVE_FORMAT_EXTENSIBLE, 6, 24, WAVE_FORMAT_PCM)},
        {"pcm of 10 channels: 8 planes", Format(WAVE_FORMAT_PCM, 10, 16)},
        {"float", Format(WAVE_FORMAT_IEEE_FLOAT, 2, 32)},
        {"extensible float", Format(WAVE_FORMAT_EXTENSIBLE, 2, 32, WAVE_FORMAT_IEEE_FLOAT)},
    };
    constexpr ULONG kFrames = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool pcm = ProcessingStageFormatTag(c.format) == WAVE_FORMAT_PCM;
        for (UCHAR on : {0, 1}) {
            ASSERT_EQ(control->SetValue(0, on), STATUS_SUCCESS);
            std::array<std::vector<float>, ProcessingStageMaxPlanes> planes;
            float* pointers[ProcessingStageMaxPlanes];
            for (ULONG p = 0; p < ProcessingStageMaxPlanes; ++p) {
                planes[p].assign(ProcessingStageMaxFrames, 0.5f);
                pointers[p] = planes[p].data();
            }
            std::vector<UCHAR> raw(kFrames * c.format.Format.nBlockAlign + 4, 0x5A);
            EXPECT_EQ(stage->Process(&c.format, pcm ? static_cast<PVOID>(pointers) : raw.data(), kFrames),
                      STATUS_SUCCESS);
            if (pcm) {
                const ULONG channels = std::min<ULONG>(c.format.Format.nChannels, ProcessingStageMaxPlanes);
                for (ULONG p = 0; p < ProcessingStageMaxPlanes; ++p) {
                    const bool silenced = on && p < channels;
                    EXPECT_EQ(planes[p][0], silenced ? 0.0f : 0.5f) << p;
                    EXPECT_EQ(planes[p][kFrames - 1], silenced ? 0.0f : 0.5f) << p;
                    EXPECT_EQ(planes[p][kFrames], 0.5f) << p;
                }
            } else {
                const size_t bytes = kFrames * c.format.Format.nBlockAlign;
                EXPECT_EQ(raw[0], on ? 0 : 0x5A);
                EXPECT_EQ(raw[bytes - 1], on ? 0 : 0x5A);
                EXPECT_EQ(raw[bytes], 0x5A);
            }
        }
    }
    // No data, no format: nothing to do.
    WAVEFORMATEXTENSIBLE pcm = Format(WAVE_FORMAT_PCM, 2, 16);
    EXPECT_EQ(stage->Process(&pcm, nullptr, kFrames), STATUS_SUCCESS);
    EXPECT_EQ(stage->Process(nullptr, &pcm, kFrames), STATUS_SUCCESS);
    EXPECT_EQ(stage->SetFormat(&pcm), STATUS_SUCCESS);
    EXPECT_EQ(stage->Reset(&pcm, nullptr, 0), STATUS_SUCCESS);
}

}  // namespace
