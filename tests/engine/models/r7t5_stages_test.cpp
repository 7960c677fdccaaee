// The R7T5 render stages on float planes: the playback guard's three modes (PCM only) and the
// exchange of the last two channel pairs of 8-channel PCM.
#include "driver/engine/interfaces/DeviceModel.h"
#include "driver/engine/models/R7T5Stages.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

WAVEFORMATEXTENSIBLE Format(USHORT Tag, WORD Channels) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = Channels;
    f.SubFormat.Data1 = Tag;
    return f;
}

struct Planes {
    explicit Planes(WORD Channels) : data(Channels, std::vector<float>(ProcessingStageMaxFrames, 1.0f)) {
        for (size_t c = 0; c < data.size(); ++c) pointers[c] = data[c].data();
    }
    std::vector<std::vector<float>> data;
    std::array<float*, ProcessingStageMaxPlanes> pointers{};
};

TEST(R7T5Stages, GuardModesOnPcmOnly) {
    struct Case {
        ULONG mode;
        USHORT tag;
        float expected;
    };
    const Case cases[] = {{0, 1, 1.0f}, {1, 1, 0.25f}, {2, 1, 0.0f}, {7, 1, 1.0f}, {1, 3, 1.0f}, {2, 3, 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " tag " << c.tag);
        auto* guard = new (NonPagedPoolNx, R7T5Tag) FormatPolicy(nullptr);
        ASSERT_NE(guard, nullptr);
        guard->NonDelegatingAddRef();
        guard->SetMode(c.mode);
        Planes planes(2);
        const WAVEFORMATEXTENSIBLE f = Format(c.tag, 2);
        EXPECT_EQ(guard->Process(&f, planes.pointers.data(), 480), STATUS_SUCCESS);
        EXPECT_EQ(planes.data[1][479], c.expected);
        EXPECT_EQ(planes.data[1][480], 1.0f);  // past the block: untouched
        // The engine's stop keeps the mode; only ResetMode returns to pass.
        EXPECT_EQ(guard->Reset(nullptr, nullptr, 0), STATUS_SUCCESS);
        EXPECT_EQ(guard->Mode(), c.mode);
        guard->ResetMode();
        EXPECT_EQ(guard->Mode(), 0u);
        EXPECT_EQ(guard->Process(&f, nullptr, 480), STATUS_SUCCESS);  // no planes: nothing
        guard->NonDelegatingRelease();
    }
}

TEST(R7T5Stages, ChannelSwapExchangesTheLastPairsOfEightChannelPcm) {
    auto* swap = new (NonPagedPoolNx, R7T5Tag) ChannelSwapPolicy(nullptr);
    ASSERT_NE(swap, nullptr);
    swap->NonDelegatingAddRef();
    Planes eight(8);
    const auto before = eight.pointers;
    const WAVEFORMATEXTENSIBLE pcm8 = Format(1, 8);
    swap->Process(&pcm8, eight.pointers.data(), 16);
    EXPECT_EQ(eight.pointers[4], before[6]);
    EXPECT_EQ(eight.pointers[6], before[4]);
    EXPECT_EQ(eight.pointers[5], before[7]);
    EXPECT_EQ(eight.pointers[7], before[5]);
    EXPECT_EQ(eight.pointers[0], before[0]);
    for (const WAVEFORMATEXTENSIBLE& other : {Format(1, 6), Format(3, 8)}) {
        Planes planes(8);
        const auto unchanged = planes.pointers;
        swap->Process(&other, planes.pointers.data(), 16);
        EXPECT_EQ(planes.pointers, unchanged);
    }
    PVOID stage = nullptr;
    EXPECT_EQ(swap->NonDelegatingQueryInterface(IID_ProcessingStage, &stage), STATUS_SUCCESS);
    static_cast<ProcessingStage*>(stage)->Release();
    stage = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(swap->NonDelegatingQueryInterface(IID_DeviceModel, &stage), STATUS_INVALID_PARAMETER);
    swap->NonDelegatingRelease();
}

}  // namespace
