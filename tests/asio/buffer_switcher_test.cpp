// Buffer switching on rings in plain memory: a stand-in for the driver fills capture rings and
// drains render rings by whole frames per wake-up, a stand-in host writes and checks per-channel
// ramps at every switch. Every row must arrive sample-exact in both directions.
#include <asio/BufferSwitcher.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kv380dasio {
namespace {

struct Ring {
    std::vector<ULONGLONG> storage;  // 8-byte aligned header + data
    SharedRingHeader* header = nullptr;

    Ring(ULONG isInput, ULONG channels, ULONG firstChannel, ULONG frames, ULONG bytesPerSample) {
        const ULONG dataSize = frames * channels * bytesPerSample;
        storage.assign((sizeof(SharedRingHeader) + dataSize + 7) / 8, 0);
        header = reinterpret_cast<SharedRingHeader*>(storage.data());
        header->active = 1;
        header->isInput = isInput;
        header->channels = channels;
        header->firstChannel = firstChannel;
        header->dataSize = dataSize;
    }
};

// What a unit of channel c carries at count v: the value's low bytes, little-endian.
void Encode(BYTE* unit, ULONG w, ULONGLONG v, ULONG c) {
    ULONGLONG value = v * 16 + c;
    for (ULONG b = 0; b < w; ++b) unit[b] = static_cast<BYTE>(value >> (8 * b));
}

// A DSD unit reaches the other side with each 32-bit word's bytes reversed.
void ReverseWords(BYTE* unit) {
    for (int word = 0; word < 2; ++word) {
        std::swap(unit[word * 4], unit[word * 4 + 3]);
        std::swap(unit[word * 4 + 1], unit[word * 4 + 2]);
    }
}

struct Host {
    std::vector<ChannelBuffer>* channels = nullptr;
    ULONG n = 0, w = 0;
    std::vector<ULONGLONG> written, read;  // per channel: units the host wrote, units it checked
    std::vector<LONG> indices;
    int mismatches = 0;
    bool primed = false;  // capture halves hold data only after the first switch that follows the start
};
Host* g_host = nullptr;

void OnSwitch(LONG index, ASIOBool) {
    Host& h = *g_host;
    h.indices.push_back(index);
    for (size_t c = 0; c < h.channels->size(); ++c) {
        ChannelBuffer& ch = (*h.channels)[c];
        BYTE* half = ch.host[index];
        for (ULONG u = 0; u < h.n; ++u) {
            BYTE expected[8] = {};
            if (ch.isInput != 0) {
                if (!h.primed) continue;
                Encode(expected, h.w, h.read[c]++, static_cast<ULONG>(c));
                if (std::memcmp(half + u * h.w, expected, h.w) != 0) ++h.mismatches;
            } else {
                Encode(half + u * h.w, h.w, h.written[c]++, static_cast<ULONG>(c));
            }
        }
    }
}

struct Row {
    const char* name;
    ULONG w;                  // bytes per unit (8: DSD)
    ULONG ringChannels;       // channels per frame in each ring
    std::vector<ULONG> used;  // channels the host asked for, as offsets within the rings
    ULONG n;                  // units per half
    ULONG ringFrames;
    ULONG framesPerWake;
    ULONG renderLead;         // frames the driver places the library ahead on the render ring (0: no render)
    int wakes;
};
// The render ramp stays exact while the driver never reads past what the library wrote
// (frames per wake <= lead) and the lead stays within one half (lead <= N); a later wake-up
// catching up several halves is checked on capture alone.

class BufferSwitcherRamp : public ::testing::TestWithParam<Row> {};

TEST_P(BufferSwitcherRamp, BothDirectionsArriveSampleExact) {
    const Row& row = GetParam();
    const bool dsd = row.w == 8;
    Ring capture(1, row.ringChannels, 0, row.ringFrames, row.w);
    Ring render(0, row.ringChannels, 0, row.ringFrames, row.w);
    capture.header->signal = 1;
    SharedRingHeader* table[2] = {capture.header, render.header};

    std::vector<ChannelBuffer> channels;
    std::vector<std::vector<BYTE>> memory;
    for (ULONG isInput : {1u, 0u}) {
        if (isInput == 0 && row.renderLead == 0) continue;
        for (ULONG offset : row.used) {
            memory.emplace_back(2 * row.n * row.w);
            BYTE* host = memory.back().data();
            memory.emplace_back(2 * row.n * row.w);
            channels.push_back(ChannelBuffer{.isInput = isInput, .ringIndex = isInput != 0 ? 0u : 1u,
                                             .channelOffset = offset, .position = 0, .unitsLeft = 0,
                                             .host = {host, host + row.n * row.w}, .staging = memory.back().data()});
        }
    }
    Host host;
    host.channels = &channels;
    host.n = row.n;
    host.w = row.w;
    host.written.assign(channels.size(), 0);
    host.read.assign(channels.size(), 0);
    g_host = &host;
    ASIOCallbacks callbacks{};
    callbacks.bufferSwitch = OnSwitch;

    BufferSwitcher switcher;
    switcher.SetRings(table, 2);
    switcher.SetChannels(channels.data(), static_cast<ULONG>(channels.size()), row.n, row.w, dsd);
    switcher.SetCallbacks(&callbacks, false);
    switcher.PrepareStart(row.ringFrames);
    host.primed = true;
    EXPECT_EQ(host.indices, (std::vector<LONG>{0, 1}));
    render.header->clientDataPosition = row.renderLead * row.ringChannels * row.w;
    switcher.AlignRenderPositions();

    const ULONG frameBytes = row.ringChannels * row.w;
    ULONGLONG captured = 0, played = 0;
    int renderMismatches = 0;
    for (int wake = 0; wake < row.wakes; ++wake) {
        for (ULONG f = 0; f < row.framesPerWake; ++f) {
            BYTE* in = RingData(capture.header) + capture.header->driverPosition;
            BYTE* out = RingData(render.header) + render.header->driverPosition;
            for (size_t i = 0; i < row.used.size(); ++i) {
                BYTE* unit = in + row.used[i] * row.w;
                Encode(unit, row.w, captured, static_cast<ULONG>(i));
                if (dsd) ReverseWords(unit);
                BYTE expected[8] = {};
                Encode(expected, row.w, played, static_cast<ULONG>(row.used.size() + i));
                if (dsd) ReverseWords(expected);
                if (row.renderLead != 0 && std::memcmp(out + row.used[i] * row.w, expected, row.w) != 0) {
                    ++renderMismatches;
                }
            }
            ++captured;
            ++played;
            capture.header->driverPosition = (capture.header->driverPosition + frameBytes) % capture.header->dataSize;
            render.header->driverPosition = (render.header->driverPosition + frameBytes) % render.header->dataSize;
        }
        switcher.Switch();
    }
    g_host = nullptr;
    const ULONGLONG frames = static_cast<ULONGLONG>(row.framesPerWake) * row.wakes;
    EXPECT_EQ(renderMismatches, 0);
    EXPECT_EQ(host.mismatches, 0);
    EXPECT_EQ(host.indices.size(), 2 + frames / row.n);
    for (size_t i = 1; i < host.indices.size(); ++i) EXPECT_NE(host.indices[i], host.indices[i - 1]) << i;
    EXPECT_EQ(switcher.SamplePosition(), (2 + frames / row.n) * row.n * (dsd ? 64 : 1));
    EXPECT_EQ(capture.header->clientDonePosition, capture.header->driverPosition);
    EXPECT_EQ(render.header->clientDonePosition, render.header->driverPosition);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BufferSwitcherRamp,
    ::testing::Values(Row{"Stereo16OneSwitchPerWake", 2, 2, {0, 1}, 48, 1920, 48, 48, 200},
                      Row{"SeveralSwitchesPerWakeCapture", 2, 2, {0, 1}, 16, 1920, 50, 0, 60},
                      Row{"WakeSmallerThanHalfWithWrap", 4, 2, {0, 1}, 64, 100, 7, 14, 500},
                      Row{"OddChannelOffset24Bit", 3, 5, {1, 3}, 32, 333, 19, 20, 300},
                      Row{"OneChannelOfEight", 4, 8, {7}, 128, 1764, 44, 88, 400},
                      Row{"Dsd", 8, 2, {0, 1}, 32, 441, 11, 22, 300}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// The published example: 48 frames available while the first entry has 16 units left.
TEST(BufferSwitcher, CrossesHalfBoundaryWithinOneWake) {
    Ring capture(1, 2, 0, 1920, 2);
    capture.header->signal = 1;
    SharedRingHeader* table[1] = {capture.header};
    std::vector<BYTE> host(2 * 256 * 2), staging(host.size());
    ChannelBuffer channel{.isInput = 1, .ringIndex = 0, .channelOffset = 0, .position = 240, .unitsLeft = 16,
                          .host = {host.data(), host.data() + 512}, .staging = staging.data()};
    static std::vector<std::pair<LONG, ULONG>> seen;  // index, ring bytes consumed at the switch
    static SharedRingHeader* watched;
    seen.clear();
    watched = capture.header;
    ASIOCallbacks callbacks{};
    callbacks.bufferSwitch = [](LONG index, ASIOBool) { seen.emplace_back(index, watched->clientDonePosition); };
    BufferSwitcher switcher;
    switcher.SetRings(table, 1);
    switcher.SetChannels(&channel, 1, 256, 2, false);
    switcher.SetCallbacks(&callbacks, false);
    capture.header->driverPosition = 48 * 4;
    switcher.Switch();
    // 16 units complete the half (the host is called before the ring positions move by 64 bytes),
    // then 32 more go into the next half.
    EXPECT_EQ(seen, (std::vector<std::pair<LONG, ULONG>>{{0, 0u}}));
    EXPECT_EQ(capture.header->clientDonePosition, 192u);
    EXPECT_EQ(capture.header->clientDataPosition, 192u);
    EXPECT_EQ(channel.position, 288u);
    EXPECT_EQ(channel.unitsLeft, 224u);
    EXPECT_EQ(switcher.SamplePosition(), 256u);
    EXPECT_EQ(switcher.HalfIndex(), 1u);
}

TEST(BufferSwitcher, DsdUnitsHaveTheirWordsReversed) {
    Ring capture(1, 1, 0, 4, 8);
    Ring render(0, 1, 0, 4, 8);
    capture.header->signal = 1;
    const BYTE ring[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(RingData(capture.header), ring, 8);
    SharedRingHeader* table[2] = {capture.header, render.header};
    std::vector<BYTE> inHost(16), inStaging(16), outHost(16), outStaging(16);
    ChannelBuffer channels[2] = {
        {.isInput = 1, .ringIndex = 0, .channelOffset = 0, .position = 0, .unitsLeft = 1,
         .host = {inHost.data(), inHost.data() + 8}, .staging = inStaging.data()},
        {.isInput = 0, .ringIndex = 1, .channelOffset = 0, .position = 0, .unitsLeft = 1,
         .host = {outHost.data(), outHost.data() + 8}, .staging = outStaging.data()},
    };
    std::memcpy(outStaging.data(), ring, 8);
    BufferSwitcher switcher;
    switcher.SetRings(table, 2);
    switcher.SetChannels(channels, 2, 1, 8, true);
    capture.header->driverPosition = 8;
    switcher.Switch();
    const BYTE reversed[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    EXPECT_EQ(std::memcmp(inHost.data(), reversed, 8), 0);
    EXPECT_EQ(std::memcmp(RingData(render.header), reversed, 8), 0);
    EXPECT_EQ(switcher.SamplePosition(), 64u);
}

TEST(BufferSwitcher, NoSignalRingMovesNothing) {
    Ring capture(1, 2, 0, 64, 2);
    SharedRingHeader* table[1] = {capture.header};
    std::vector<BYTE> host(64), staging(64);
    ChannelBuffer channel{.isInput = 1, .ringIndex = 0, .channelOffset = 0, .position = 0, .unitsLeft = 8,
                          .host = {host.data(), host.data() + 32}, .staging = staging.data()};
    BufferSwitcher switcher;
    switcher.SetRings(table, 1);
    switcher.SetChannels(&channel, 1, 8, 2, false);
    capture.header->driverPosition = 32;
    switcher.Switch();
    EXPECT_EQ(capture.header->clientDonePosition, 0u);
    EXPECT_EQ(switcher.SamplePosition(), 0u);
}

}  // namespace
}  // namespace kv380dasio
