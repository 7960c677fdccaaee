// Reading explicit feedback values: the 16.16 to milli-hertz conversion (64-bit, so large values
// and fractions are not lost), the entry widths of each bus speed, and the averaging with its
// window. Steady clock offsets and values near the 44.1 kHz family are read as what they are.
#include "driver/engine/uac2/Uac2Streams.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct EntryCase {
    const char* what;
    ULONG value;
    ULONG length;
    BOOLEAN highSpeed;
    ULONG nominal;
    ULONG64 milliHz;
};

TEST(Uac2FeedbackEntryRate, ReadsEachWidthExactly) {
    const EntryCase cases[] = {
        {"48 kHz per microframe", 0x60000, 4, TRUE, 48000, 48000000},
        {"0x58380 per microframe is 44,109.375 Hz, not 44.1 kHz", 0x58380, 4, TRUE, 44100, 44109375},
        {"0xB0640 per microframe is 88,195.3 Hz", 0xB0640, 4, TRUE, 88200, 88195312},
        {"44.1 kHz per frame in 10.14", 0x0B0666, 3, FALSE, 44100, 44099975},
        {"0x0B0640 per frame in 10.14 is 44,097.7 Hz", 0x0B0640, 3, FALSE, 44100, 44097656},
        {"four bytes at full speed: 16.16", 44 << 16 | 0x199A, 4, FALSE, 44100, 44100006},
        {"four bytes at full speed holding 10.14", 0x0B0666, 4, FALSE, 44100, 44099975},
        {"96 kHz per frame, 16.16 in four bytes", 96 << 16, 4, FALSE, 96000, 96000000},
        {"largest value stays in range", 0xFFFFFFFF, 4, TRUE, 48000, 524287999877},
        {"high speed needs four bytes", 0x60000, 3, TRUE, 48000, 0},
        {"full speed takes three or four", 0x30, 2, FALSE, 48000, 0},
    };
    for (const EntryCase& c : cases) {
        const UCHAR bytes[4] = {UCHAR(c.value), UCHAR(c.value >> 8), UCHAR(c.value >> 16), UCHAR(c.value >> 24)};
        EXPECT_EQ(Uac2FeedbackEntryRate(bytes, c.length, c.highSpeed, c.nominal), c.milliHz) << c.what;
    }
    // The fraction is kept: 48,004.8 Hz (a clock 100 ppm fast) comes within a tenth of a hertz.
    EXPECT_EQ(Uac2FeedbackRate(393255, 8000), 48004760u);
}

struct MeanCase {
    const char* what;
    std::vector<ULONG64> rates;  // milli-hertz
    ULONG nominal;
    ULONG current;
    ULONG measured;
};

TEST(Uac2MeasuredRate, AveragesBelievableEntries) {
    std::vector<ULONG64> oneStep(10, 44100000);
    oneStep[3] = 44600000;
    const MeanCase cases[] = {
        {"all at the nominal rate", std::vector<ULONG64>(10, 44100000), 44100, 44100000, 44100000},
        {"one entry of ten at +500 Hz: the mean", oneStep, 44100, 44100000, 44150000},
        // Steady offsets whose whole hertz are 500 / entries: read as the offset, not twice it.
        {"96 kHz + 68 ppm in 80 entries", std::vector<ULONG64>(80, 96006528), 96000, 96000000, 96006528},
        {"48 kHz - 130 ppm in 80 entries", std::vector<ULONG64>(80, 47993760), 48000, 48000000, 47993760},
        {"192 kHz + 262 ppm in 10 entries", std::vector<ULONG64>(10, 192050304), 192000, 192000000, 192050304},
        {"entries beyond 1,000 Hz are not believed", {46000000, 42000000, 48001000}, 44100, 44123000, 44123000},
        {"believed and unbelieved mixed", {48004000, 48006000, 60000000}, 48000, 48000000, 48005000},
        {"no entries keep the current rate", {}, 48000, 47990000, 47990000},
        {"exactly 1,000 Hz off is believed", {49000000}, 48000, 48000000, 49000000},
        {"fractions survive the mean", {48004760, 48004761, 49000999}, 48000, 0, 48336840},
    };
    for (const MeanCase& c : cases) {
        EXPECT_EQ(Uac2MeasuredRate(c.rates.data(), ULONG(c.rates.size()), c.nominal, c.current), c.measured) << c.what;
    }
}

}  // namespace
