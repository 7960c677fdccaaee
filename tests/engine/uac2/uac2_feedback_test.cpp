// Reading explicit feedback values: the 16.16 to milli-hertz conversion (64-bit, so large values
// and fractions are not lost), the corrections of the truncated 44.1 kHz family, and the averaging
// with its window and +-500 Hz step rule.
#include "driver/engine/uac2/Uac2Streams.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct RateCase {
    const char* what;
    ULONG value;
    ULONG perSecond;
    BOOLEAN threeByte;
    ULONG hz;
};

TEST(Uac2FeedbackRate, ConvertsAndCorrectsValues) {
    const RateCase cases[] = {
        {"48 kHz per microframe", 0x60000, 8000, FALSE, 48000},
        {"44.1 kHz per microframe, truncated", 0x58380, 8000, FALSE, 44100},
        {"44.1 kHz per microframe, exact", 0x58334, 8000, FALSE, 44100},
        {"176.4 kHz + 500 per microframe", 0x161C60, 8000, FALSE, 176900},
        {"44.1 kHz per frame, 10.14 x 4", 0x0B0640 * 4, 1000, TRUE, 44100},
        {"88.2 kHz - 500 per frame", 0x57B300, 1000, TRUE, 87700},
        {"three-byte table is not used for four-byte values", 0x2C1900, 8000, FALSE, 352781},
        {"96 kHz per frame", 96 << 16, 1000, TRUE, 96000},
        {"largest value stays in range", 0xFFFFFFFF, 8000, FALSE, 524287999},
    };
    for (const RateCase& c : cases) {
        EXPECT_EQ(Uac2FeedbackRate(c.value, c.perSecond, c.threeByte) / Uac2MilliHz, c.hz) << c.what;
    }
    // The fraction is kept: 48,004.8 Hz (a clock 100 ppm fast) comes within a tenth of a hertz.
    EXPECT_EQ(Uac2FeedbackRate(393255, 8000, FALSE), 48004760u);
}

struct MeanCase {
    const char* what;
    std::vector<ULONG> rates;  // Hz
    ULONG nominal;
    ULONG current;
    ULONG measured;
};

TEST(Uac2MeasuredRate, AveragesBelievableEntries) {
    std::vector<ULONG> oneStep(10, 44100);
    oneStep[3] = 44600;
    std::vector<ULONG> oneStepDown(10, 44100);
    oneStepDown[0] = 43600;
    const MeanCase cases[] = {
        {"all at the nominal rate", std::vector<ULONG>(10, 44100), 44100, 44100, 44100},
        {"one entry of ten at +500: the step is taken whole", oneStep, 44100, 44100, 44200},
        {"one entry of ten at -500", oneStepDown, 44100, 44100, 44000},
        {"entries beyond 1,000 Hz are not believed", {46000, 42000, 48001}, 44100, 44123, 44123},
        {"believed and unbelieved mixed", {48004, 48006, 60000}, 48000, 48000, 48005},
        {"no entries keep the current rate", {}, 48000, 47990, 47990},
        {"exactly 1,000 Hz off is believed", {49000}, 48000, 48000, 49000},
    };
    for (const MeanCase& c : cases) {
        std::vector<ULONG64> milli;
        for (ULONG hz : c.rates) milli.push_back(ULONG64(hz) * Uac2MilliHz);
        EXPECT_EQ(Uac2MeasuredRate(milli.data(), ULONG(milli.size()), c.nominal, c.current * Uac2MilliHz),
                  c.measured * Uac2MilliHz)
            << c.what;
    }
    // Fractions survive the mean; the window looks at whole hertz.
    const ULONG64 fractions[] = {48004760, 48004761, 49000999};
    EXPECT_EQ(Uac2MeasuredRate(fractions, 3, 48000, 0), 48336840u);
}

}  // namespace
