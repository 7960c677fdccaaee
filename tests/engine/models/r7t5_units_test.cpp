// The R7T5 feature units' scales: the master table both ways (with the values above 0 dB and below
// the table that the table itself does not cover) and the monitor and record scaling, including
// values whose 16-bit arithmetic would wrap.
#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/models/R7T5Units.h"

#include <gtest/gtest.h>

namespace {

constexpr LONG dB = 65536;

TEST(R7T5Scales, MasterTableBothWays) {
    struct Get {
        SHORT raw;
        LONG level;
    };
    for (const Get& g : {Get{0, 0}, Get{-256, -62 * 256}, Get{-9216, -8500 * 256}, Get{-9728, -9728 * 256},
                         Get{-32768, LevelSilence}}) {
        SCOPED_TRACE(g.raw);
        EXPECT_EQ(R7T5MasterLevelOfDevice(g.raw), g.level);
    }
    struct Set {
        LONG level;
        SHORT raw;
    };
    for (const Set& s : {Set{-62 * 256, -256}, Set{-100 * 256, -256}, Set{-9000 * 256, -9728}, Set{0, 0},
                         Set{LevelSilence, -32768},
                         // Above 0 dB: the top step, not a row before the table.
                         Set{6 * dB, 0}, Set{0x7FFFFFFF, 0},
                         // Below every row: the bottom step.
                         Set{-0x7FFFFFFF, -9728}}) {
        SCOPED_TRACE(s.level);
        EXPECT_EQ(R7T5MasterDeviceOfLevel(s.level), s.raw);
    }
}

TEST(R7T5Scales, MonitorAndRecordScalesWithoutWrapping) {
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Monitor, -2 * dB), -3 * dB);
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Record, -8 * dB), -3 * dB);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Monitor, -3 * dB), -2 * dB);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Record, -3 * dB), -8 * dB);
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Record, 4 * dB), 12 * dB);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Record, 12 * dB), 4 * dB);
    // Past +-42 dB a 16-bit product wraps; these stay on their side.
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Monitor, 50 * dB), 150 * dB);
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Monitor, -100 * dB), -150 * dB);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Record, -100 * dB), -17476266);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Record, -0x7FFFFFFF), -0x7FFFFFFF);
    EXPECT_EQ(R7T5ScaledLevelOfDevice(R7T5Scale::Monitor, LevelSilence), LevelSilence);
    EXPECT_EQ(R7T5ScaledDeviceOfLevel(R7T5Scale::Record, LevelSilence), LevelSilence);
}

}  // namespace
