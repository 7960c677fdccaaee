// The engine's data path: chunk order through the processing and attached lists, bit-exact round
// trips of 16- and 24-bit PCM, saturation and rounding on the way back, the floating-point control
// word on every path, refused formats and failing stages leaving data as it was, and raw data for
// formats other than PCM.
#include "engine/stream_engine_fakes.h"

#include "driver/signal/SignalFpu.h"

#include <gtest/gtest.h>
#include <sim/debug_log.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace engine_test;

namespace {

// A stage (or attached object) created, handed to the engine and dropped by the test.
enum class Where { Processing, First, Second };

// Hands a new stage to the engine's processing list or to an attached list.
void Add(EngineRef& Engine, Where Place, const std::string& Name, Log* Events, StageWork Work = nullptr) {
    FakeStage* stage = NewNode<FakeStage>(Name, Events, std::move(Work));
    switch (Place) {
        case Where::Processing: EXPECT_EQ(Engine->AddProcessingStage(stage), STATUS_SUCCESS); break;
        case Where::First: EXPECT_EQ(Engine->AttachStage(AttachedList::First, stage), STATUS_SUCCESS); break;
        case Where::Second: EXPECT_EQ(Engine->AttachStage(AttachedList::Second, stage), STATUS_SUCCESS); break;
    }
    stage->Release();
}

constexpr ULONG kDefaultMxcsr = 0x1F80;

class DataPathTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_Engine->AllocateWorkBuffers(), STATUS_SUCCESS); }
    void TearDown() override { WriteMxcsr(kDefaultMxcsr); }
    void Add(Where Place, const std::string& Name, StageWork Work = nullptr) {
        ::Add(m_Engine, Place, Name, &m_Events, std::move(Work));
    }

    Log m_Events;
    EngineRef m_Engine{StreamDirectionRender};
};

std::vector<SHORT> Ramp16(ULONG Frames) {
    std::vector<SHORT> samples;
    for (ULONG f = 0; f < Frames; ++f) {
        samples.push_back(static_cast<SHORT>(f));
        samples.push_back(static_cast<SHORT>(-static_cast<LONG>(f)));
    }
    return samples;
}

TEST_F(DataPathTest, ChunksPassEveryListInOrderAndComeBackUnchanged) {
    m_Engine->SetCurrentFormat(MakeFormat(2, 48000, 16));
    std::vector<float> chunkStarts;
    ULONG mismatches = 0;
    Add(Where::Processing, "stage", [&](const WAVEFORMATEXTENSIBLE*, PVOID Data, ULONG Frames) {
        float* const* planes = Planes(Data);
        const float start = planes[0][0] * 32768.0f;
        chunkStarts.push_back(start);
        for (ULONG f = 0; f < Frames; ++f) {
            if (planes[0][f] * 32768.0f != start + f || planes[1][f] * 32768.0f != -(start + f)) ++mismatches;
        }
        return STATUS_SUCCESS;
    });
    Add(Where::First, "first");
    Add(Where::Second, "second");

    std::vector<SHORT> buffer = Ramp16(1025);  // 4100 bytes
    const std::vector<SHORT> original = buffer;
    ASSERT_EQ(m_Engine->ProcessBuffer(buffer.data(), 4100), STATUS_SUCCESS);

    EXPECT_EQ(m_Events, (Log{"stage 512", "first 512", "second reset 512", "stage 512", "first 512",
                             "second reset 512", "stage 1", "first 1", "second reset 1"}));
    EXPECT_EQ(chunkStarts, (std::vector<float>{0, 512, 1024}));
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(buffer, original);
}

TEST_F(DataPathTest, EachOperationRunsItsOwnLists) {
    Add(Where::Processing, "stage");
    Add(Where::First, "first");
    Add(Where::Second, "second");
    std::vector<SHORT> buffer = Ramp16(600);
    const ULONG bytes = 2400;
    struct Case {
        const char* name;
        NTSTATUS (StreamEngine::*run)(PVOID, ULONG);
        USHORT tag;
        Log expected;
    } cases[] = {
        {"ProcessStages", &StreamEngine::ProcessStages, WAVE_FORMAT_PCM, {"stage 512", "stage 88"}},
        // The attached lists take a PCM buffer whole, without chunks or conversion.
        {"ProcessFirstAttached", &StreamEngine::ProcessFirstAttached, WAVE_FORMAT_PCM, {"first 600"}},
        {"ProcessSecondAttached", &StreamEngine::ProcessSecondAttached, WAVE_FORMAT_PCM, {"second reset 600"}},
        {"ProcessFirstAttached float", &StreamEngine::ProcessFirstAttached, WAVE_FORMAT_IEEE_FLOAT, {}},
        // Other formats: raw chunks to the processing list only.
        {"ProcessBuffer float", &StreamEngine::ProcessBuffer, WAVE_FORMAT_IEEE_FLOAT, {"stage 300"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_Events.clear();
        m_Engine->SetCurrentFormat(MakeFormat(2, 48000, c.tag == WAVE_FORMAT_PCM ? 16 : 32, c.tag));
        EXPECT_EQ((m_Engine.Get()->*c.run)(buffer.data(), bytes), STATUS_SUCCESS);
        EXPECT_EQ(m_Events, c.expected);
    }
}

TEST_F(DataPathTest, FloatFormatsReachTheStagesAsTheirRawChunks) {
    m_Engine->SetCurrentFormat(MakeFormat(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT));
    std::vector<float> buffer(2 * 600, 0.25f);
    std::vector<PVOID> seen;
    Add(Where::Processing, "stage", [&](const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG) {
        EXPECT_EQ(ProcessingStageFormatTag(*Format), WAVE_FORMAT_IEEE_FLOAT);
        seen.push_back(Data);
        return STATUS_SUCCESS;
    });
    Add(Where::First, "first");
    ASSERT_EQ(m_Engine->ProcessBuffer(buffer.data(), 4800), STATUS_SUCCESS);
    EXPECT_EQ(m_Events, (Log{"stage 512", "stage 88"}));
    EXPECT_EQ(seen, (std::vector<PVOID>{buffer.data(), buffer.data() + 2 * 512}));
}

// Every sample value of the width survives the trip to float and back, and the stage sees each at
// full scale 1.0 in its own channel's plane.
TEST_F(DataPathTest, PcmRoundTripsBitExactly) {
    struct Case {
        USHORT bits;
        USHORT channels;
        std::vector<LONG> samples;
    };
    std::vector<LONG> all16;
    for (LONG v = SHRT_MIN; v <= SHRT_MAX; ++v) all16.push_back(v);
    std::vector<LONG> some24 = {0, 1, -1, 0x7FFFFF, -0x800000, 0x400000, -0x400000, 0x123456, -0x654321};
    uint32_t seed = 12345;
    while (some24.size() < 3 * 1500) {
        seed = seed * 1664525u + 1013904223u;
        some24.push_back(static_cast<LONG>(seed >> 8) - 0x800000);
    }
    const Case cases[] = {{16, 2, all16}, {24, 3, some24}};

    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        EngineRef engine(StreamDirectionRender);
        ASSERT_EQ(engine->AllocateWorkBuffers(), STATUS_SUCCESS);
        engine->SetCurrentFormat(MakeFormat(c.channels, 48000, c.bits));
        const ULONG bytesPerSample = c.bits / 8;
        std::vector<UCHAR> buffer(c.samples.size() * bytesPerSample);
        for (size_t i = 0; i < c.samples.size(); ++i) {
            std::memcpy(&buffer[i * bytesPerSample], &c.samples[i], bytesPerSample);  // little-endian
        }
        const std::vector<UCHAR> original = buffer;
        const double fullScale = std::ldexp(1.0, c.bits - 1);
        ULONG frame = 0;
        ULONG mismatches = 0;
        auto check = [&](const WAVEFORMATEXTENSIBLE*, PVOID Data, ULONG Frames) {
            for (ULONG f = 0; f < Frames; ++f, ++frame) {
                for (ULONG ch = 0; ch < c.channels; ++ch) {
                    if (Planes(Data)[ch][f] != c.samples[frame * c.channels + ch] / fullScale) ++mismatches;
                }
            }
            return STATUS_SUCCESS;
        };
        ::Add(engine, Where::Processing, "identity", nullptr, check);
        ASSERT_EQ(engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size())), STATUS_SUCCESS);
        EXPECT_EQ(frame, c.samples.size() / c.channels);
        EXPECT_EQ(mismatches, 0u);
        EXPECT_TRUE(buffer == original);
    }
}

// What a stage's float becomes in the buffer: saturated at the ends, toward zero for 16 and 32
// bits, to nearest even for 24 bits.
TEST_F(DataPathTest, FloatsSaturateAndRoundOnTheWayBack) {
    struct Row {
        USHORT bits;
        double value;
        LONG expected;
    };
    const Row rows[] = {
        {16, 1.0, SHRT_MAX},          {16, -1.0, SHRT_MIN},          {16, 2.0, SHRT_MAX},
        {16, -3.0, SHRT_MIN},         {16, 0.5, 0x4000},             {16, 100.7 / 32768, 100},
        {16, -100.7 / 32768, -100},   {24, 1.0, 0x7FFFFF},           {24, -1.0, -0x800000},
        {24, 2 * 0x7FFFFF / 8388608.0, 0x7FFFFF},                    {24, 0.5, 0x400000},
        {24, 100.5 / 8388608, 100},   {24, 101.5 / 8388608, 102},    {24, -100.5 / 8388608, -100},
        {32, 1.0, INT32_MAX},          {32, -1.0, INT32_MIN},          {32, 4.0, INT32_MAX},
        {32, 0.5, 0x40000000},        {32, -0.25, -0x20000000},
    };
    for (USHORT bits : {16, 24, 32}) {
        SCOPED_TRACE(bits);
        std::vector<const Row*> group;
        for (const Row& row : rows) {
            if (row.bits == bits) group.push_back(&row);
        }
        EngineRef engine(StreamDirectionRender);
        ASSERT_EQ(engine->AllocateWorkBuffers(), STATUS_SUCCESS);
        engine->SetCurrentFormat(MakeFormat(1, 48000, bits));
        const ULONG bytes = bits / 8;
        std::vector<UCHAR> buffer(group.size() * bytes);
        ::Add(engine, Where::Processing, "writer", nullptr, [&](const WAVEFORMATEXTENSIBLE*, PVOID Data, ULONG Frames) {
            for (ULONG f = 0; f < Frames; ++f) Planes(Data)[0][f] = static_cast<float>(group[f]->value);
            return STATUS_SUCCESS;
        });
        ASSERT_EQ(engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size())), STATUS_SUCCESS);
        for (size_t i = 0; i < group.size(); ++i) {
            LONG value = 0;
            std::memcpy(&value, &buffer[i * bytes], bytes);
            if (bits < 32) value = static_cast<LONG>(static_cast<ULONG>(value) << (32 - bits)) >> (32 - bits);
            EXPECT_EQ(value, group[i]->expected) << "value " << group[i]->value;
        }
    }
}

// The caller's control word (here round toward zero, no flush-to-zero) is back after every run;
// inside, the stages see flush-to-zero and round-to-nearest.
TEST_F(DataPathTest, TheControlWordIsRestoredOnEveryPath) {
    constexpr ULONG callerWord = 0x7F80;
    ULONG seenInside = 0;
    NTSTATUS stageStatus = STATUS_SUCCESS;
    m_Engine->SetCurrentFormat(MakeFormat(2, 48000, 16));
    Add(Where::First, "first", [&](const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) {
        seenInside = ReadMxcsr();
        return stageStatus;
    });
    struct Case {
        const char* name;
        NTSTATUS (StreamEngine::*run)(PVOID, ULONG);
        NTSTATUS stage;
        ULONG bytes;
        NTSTATUS expected;
    } cases[] = {
        {"success", &StreamEngine::ProcessBuffer, STATUS_SUCCESS, 4000, STATUS_SUCCESS},
        {"stage fails", &StreamEngine::ProcessBuffer, STATUS_DEVICE_BUSY, 4000, STATUS_DEVICE_BUSY},
        {"partial frame", &StreamEngine::ProcessBuffer, STATUS_SUCCESS, 4001, STATUS_UNSUCCESSFUL},
        {"whole buffer to the attached list", &StreamEngine::ProcessFirstAttached, STATUS_INVALID_DEVICE_REQUEST, 4000,
         STATUS_INVALID_DEVICE_REQUEST},
        {"nothing to run", &StreamEngine::ProcessStages, STATUS_SUCCESS, 4000, STATUS_SUCCESS},
    };
    std::vector<SHORT> buffer(2000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seenInside = 0;
        stageStatus = c.stage;
        WriteMxcsr(callerWord);
        const NTSTATUS status = (m_Engine.Get()->*c.run)(buffer.data(), c.bytes);
        const ULONG after = ReadMxcsr();
        WriteMxcsr(kDefaultMxcsr);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(after, callerWord);
        if (seenInside != 0) {
            EXPECT_EQ(seenInside & (MxcsrFlushToZero | MxcsrRoundingMask), MxcsrFlushToZero);
        }
    }
}

// A failing stage ends the run: earlier chunks stay processed, its own chunk is not converted
// back (the doubling it did is lost), later chunks are not touched.
TEST_F(DataPathTest, AFailingStageLeavesItsChunkAndTheRestAsTheyWere) {
    m_Engine->SetCurrentFormat(MakeFormat(1, 48000, 16));
    int calls = 0;
    Add(Where::Processing, "double", [&](const WAVEFORMATEXTENSIBLE*, PVOID Data, ULONG Frames) {
        for (ULONG f = 0; f < Frames; ++f) Planes(Data)[0][f] *= 2;
        return ++calls == 2 ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    });
    Add(Where::Processing, "after");
    std::vector<SHORT> buffer(1100, 100);
    EXPECT_EQ(m_Engine->ProcessBuffer(buffer.data(), 2200), STATUS_DEVICE_BUSY);
    EXPECT_EQ(m_Events, (Log{"double 512", "after 512", "double 512"}));
    for (size_t i = 0; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], i < 512 ? 200 : 100) << "sample " << i;
    }
}

// Formats the planes cannot serve are refused before anything is touched.
TEST_F(DataPathTest, RefusedFormatsLeaveTheDataUntouched) {
    Add(Where::Processing, "stage", [](const WAVEFORMATEXTENSIBLE*, PVOID Data, ULONG) {
        Planes(Data)[0][0] = 0.5f;
        return STATUS_SUCCESS;
    });
    WAVEFORMATEXTENSIBLE noFormat = MakeFormat(2, 48000, 16);
    noFormat.Format.nBlockAlign = 0;
    WAVEFORMATEXTENSIBLE shortFrame = MakeFormat(2, 48000, 16);
    shortFrame.Format.nBlockAlign = 2;  // the conversions would read twice the buffer
    struct Case {
        const char* name;
        WAVEFORMATEXTENSIBLE format;
        ULONG bytes;
        bool workBuffers;
        NTSTATUS expected;
    } cases[] = {
        {"no current format", noFormat, 4096, true, STATUS_INVALID_DEVICE_STATE},
        {"nine channels", MakeFormat(9, 48000, 16), 18 * 100, true, STATUS_NOT_SUPPORTED},
        {"frame shorter than its samples", shortFrame, 4096, true, STATUS_NOT_SUPPORTED},
        {"no work buffers", MakeFormat(2, 48000, 16), 4096, false, STATUS_INVALID_DEVICE_STATE},
        {"partial frame", MakeFormat(2, 48000, 16), 4099, true, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRef engine(StreamDirectionRender);
        if (c.workBuffers) {
            ASSERT_EQ(engine->AllocateWorkBuffers(), STATUS_SUCCESS);
        }
        ::Add(engine, Where::Processing, "stage", &m_Events);
        engine->SetCurrentFormat(c.format);
        m_Events.clear();
        sim::debuglog::Clear();
        std::vector<UCHAR> buffer(4100, 0x5A);
        EXPECT_EQ(engine->ProcessBuffer(buffer.data(), c.bytes), c.expected);
        EXPECT_EQ(m_Events, Log{});
        EXPECT_EQ(std::vector<UCHAR>(4100, 0x5A), buffer);
    }
    // The partial frame is reported with the length and the frame size.
    EXPECT_TRUE(sim::debuglog::Contains("0 != lBufSize(4099) Div m_CurrentWaveFormat.Format.nBlockAlign(4) "));
}

}  // namespace
