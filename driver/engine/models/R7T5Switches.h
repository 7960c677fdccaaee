// The registry switches of the R7T5 model: which terminals, units and playback alternate settings
// the driver leaves out of the device's configuration, and which output types terminal 3 offers.
// Each is one byte, 0 or not 0.
#pragma once

#include <win/kernel.h>

struct R7T5Switches {
    UCHAR DisableMicInTerminal;
    UCHAR DisableLineInTerminal;
    UCHAR DisableSpdifInTerminal;
    UCHAR DisableMicInAAUnit;
    UCHAR DisableLineInAAUnit;
    UCHAR DisableMicInRecUnit;
    UCHAR DisableLineInRecUnit;
    UCHAR DisableStereoMixRecUnit;
    UCHAR SupportHPOut;
    UCHAR SupportSpdifOut;
    UCHAR Disable2ChOutSupported;
    UCHAR Disable4ChOutSupported;
    UCHAR Disable6ChOutSupported;
    UCHAR Disable8ChOutSupported;
};
static_assert(sizeof(R7T5Switches) == 14);

// The switches before the registry and the quirks change them.
constexpr R7T5Switches R7T5DefaultSwitches = {
    .DisableMicInTerminal = 0,
    .DisableLineInTerminal = 0,
    .DisableSpdifInTerminal = 0,
    .DisableMicInAAUnit = 0,
    .DisableLineInAAUnit = 0,
    .DisableMicInRecUnit = 0,
    .DisableLineInRecUnit = 0,
    .DisableStereoMixRecUnit = 1,
    .SupportHPOut = 1,
    .SupportSpdifOut = 1,
    .Disable2ChOutSupported = 0,
    .Disable4ChOutSupported = 0,
    .Disable6ChOutSupported = 0,
    .Disable8ChOutSupported = 0,
};
