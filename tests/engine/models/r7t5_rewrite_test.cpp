// The R7T5 configuration rewrite over the device's own 509-byte audio function: the bytes that
// remain for the default switches and for a table of switch sets, the rebuilt mixer, selector and
// capture source, and configurations that are not the device's layout.
#include "driver/engine/models/R7T5ConfigRewrite.h"

#include <gtest/gtest.h>
#include <sim/pool.h>
#include <sim/usb_models.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;

Bytes DeviceConfiguration() { return sim::usb::r7t5::ConfigurationBytes(); }

USHORT Le16(const Bytes& b, size_t at) { return USHORT(b[at] | b[at + 1] << 8); }

// The descriptors of a configuration in order: "IT1" for a class-specific input terminal 1, "1.2"
// for alternate setting 2 of interface 1; other descriptors are left out.
std::string Outline(const Bytes& b) {
    static const char* const kinds[] = {"?", "H", "IT", "OT", "MU", "SU", "FU"};
    std::string out;
    bool inControl = false;
    for (size_t at = 0; at + 2 <= b.size() && b[at] >= 3 && at + b[at] <= b.size(); at += b[at]) {
        const UCHAR type = b[at + 1];
        if (type == 4) {
            inControl = b[at + 6] == 1;
            out += std::to_string(b[at + 2]) + "." + std::to_string(b[at + 3]) + " ";
        } else if (type == 0x24 && inControl && b[at + 2] >= 2 && b[at + 2] <= 6) {
            out += std::string(kinds[b[at + 2]]) + std::to_string(b[at + 3]) + " ";
        }
    }
    return out;
}

// Runs the rewrite on the device's configuration with Switches; answers the status and the bytes
// up to the new wTotalLength (all of them when it failed).
NTSTATUS Rewrite(R7T5Switches Switches, Bytes* Out, R7T5Switches* After = nullptr) {
    Bytes b = DeviceConfiguration();
    const NTSTATUS status = RebuildConfigDescriptor(&Switches, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data()));
    if (NT_SUCCESS(status)) b.resize(Le16(b, 2));
    *Out = b;
    if (After != nullptr) *After = Switches;
    return status;
}

TEST(R7T5Rewrite, DefaultSwitchesKeepAllButTheStereoMix) {
    Bytes b;
    ASSERT_EQ(Rewrite(R7T5DefaultSwitches, &b), STATUS_SUCCESS);
    ASSERT_EQ(b.size(), 485u);
    EXPECT_EQ(Le16(b, 2), 485);
    EXPECT_EQ(Le16(b, R7T5HeaderTotalOffset), 176);
    EXPECT_EQ(Outline(b), "0.0 IT1 IT5 FU8 FU9 MU12 FU13 OT3 OT7 SU10 IT6 FU15 FU11 IT4 FU16 "
                          "1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 ");

    const Bytes device = DeviceConfiguration();
    // The rebuilt mixer (offset 72): inputs 1, 9, 11; 8 channels of 0x063F; 12 zero control bytes.
    const Bytes mixer = {25, 0x24, 4, 12, 3, 1, 9, 11, 8, 0x3F, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(b.begin() + 72, b.begin() + 97), mixer);
    // Output terminal 7 as the device has it, then the selector over 8, 15, 16.
    EXPECT_EQ(Bytes(b.begin() + 122, b.begin() + 131), Bytes(device.begin() + 135, device.begin() + 144));
    EXPECT_EQ(Bytes(b.begin() + 131, b.begin() + 140), (Bytes{9, 0x24, 5, 10, 3, 8, 15, 16, 0}));
    // Every other kept piece byte for byte, but the further setting's rate (96 kHz).
    EXPECT_EQ(Bytes(b.begin() + 97, b.begin() + 122), Bytes(device.begin() + 97, device.begin() + 122));
    EXPECT_EQ(Bytes(b.begin() + 140, b.begin() + 184), Bytes(device.begin() + 154, device.begin() + 198));
    EXPECT_EQ(Bytes(b.begin() + 184, b.begin() + 194), Bytes(device.begin() + 208, device.begin() + 218));
    Bytes further(device.begin() + 411, device.begin() + 454);
    further[24] = 0x00, further[25] = 0x77, further[26] = 0x01;
    EXPECT_EQ(Bytes(b.begin() + 194, b.begin() + 387), Bytes(device.begin() + 218, device.begin() + 411));
    EXPECT_EQ(Bytes(b.begin() + 387, b.begin() + 430), further);
    EXPECT_EQ(Bytes(b.begin() + 430, b.end()), Bytes(device.begin() + 454, device.begin() + 509));
}

struct SwitchCase {
    const char* name;
    R7T5Switches switches;
    size_t total;
    USHORT classSpecific;
    std::string outline;
};

R7T5Switches With(void (*Change)(R7T5Switches&)) {
    R7T5Switches s = R7T5DefaultSwitches;
    Change(s);
    return s;
}

TEST(R7T5Rewrite, SwitchTable) {
    const SwitchCase cases[] = {
        {"8 channels off", With([](R7T5Switches& s) { s.Disable8ChOutSupported = 1; }), 433, 170,
         "0.0 IT1 IT5 FU8 FU9 MU12 FU13 OT3 OT7 SU10 IT6 FU15 FU11 IT4 FU16 1.0 1.2 1.3 1.4 1.5 2.0 2.1 "},
        {"no monitors", With([](R7T5Switches& s) { s.DisableMicInAAUnit = s.DisableLineInAAUnit = 1; }), 440, 131,
         "0.0 IT1 IT5 FU8 FU13 OT3 OT7 SU10 IT6 FU15 IT4 FU16 1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 "},
        {"mic record the only source",
         With([](R7T5Switches& s) { s.DisableLineInTerminal = s.DisableSpdifInTerminal = 1; }), 419, 110,
         "0.0 IT1 IT5 FU8 FU9 MU12 FU13 OT3 OT7 1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 "},
        {"stereo mix on", With([](R7T5Switches& s) { s.DisableStereoMixRecUnit = 0; }), 509, 200,
         "0.0 IT1 IT5 FU8 FU9 MU12 FU13 OT3 MU14 OT7 SU10 IT6 FU15 FU11 IT4 FU2 FU16 1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 "},
        {"no inputs at all",
         With([](R7T5Switches& s) { s.DisableMicInTerminal = s.DisableLineInTerminal = s.DisableSpdifInTerminal = 1; }),
         301, 47, "0.0 IT1 FU13 OT3 1.0 1.1 1.2 1.3 1.4 1.5 "},
        {"2 and 4 channels off", With([](R7T5Switches& s) { s.Disable2ChOutSupported = s.Disable4ChOutSupported = 1; }),
         393, 176, "0.0 IT1 IT5 FU8 FU9 MU12 FU13 OT3 OT7 SU10 IT6 FU15 FU11 IT4 FU16 1.0 1.1 1.4 1.5 2.0 2.1 "},
    };
    for (const SwitchCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b;
        ASSERT_EQ(Rewrite(c.switches, &b), STATUS_SUCCESS);
        EXPECT_EQ(b.size(), c.total);
        EXPECT_EQ(Le16(b, R7T5HeaderTotalOffset), c.classSpecific);
        EXPECT_EQ(Outline(b), c.outline);
    }
}

TEST(R7T5Rewrite, NarrowPlaybackAndMissingMonitorsReshapeThePath) {
    Bytes b;
    ASSERT_EQ(Rewrite(With([](R7T5Switches& s) { s.Disable8ChOutSupported = 1; }), &b), STATUS_SUCCESS);
    // Input terminal 1 over 6 channels; mixer of 6 outputs and 10 inputs; feature unit 14 bytes.
    EXPECT_EQ(b[28 + 7], 6);
    EXPECT_EQ(Le16(b, 28 + 8), 0x003F);
    const size_t mixer = 28 + 12 + 12 + 10 + 10;
    EXPECT_EQ(b[mixer], 21);
    EXPECT_EQ(b[mixer + 8], 6);
    EXPECT_EQ(Le16(b, mixer + 9), 0x003F);
    EXPECT_EQ(b[mixer + 21], 14);
    EXPECT_EQ(b[mixer + 21 + 13], 0);

    R7T5Switches after{};
    ASSERT_EQ(Rewrite(With([](R7T5Switches& s) { s.DisableMicInAAUnit = s.DisableLineInAAUnit = 1; }), &b, &after),
              STATUS_SUCCESS);
    // No mixer: the playback feature unit takes the stream directly.
    const size_t feature = 28 + 12 + 12 + 10;
    EXPECT_EQ(b[feature + 3], 13);
    EXPECT_EQ(b[feature + 4], 1);
    EXPECT_EQ(after.DisableStereoMixRecUnit, 1);

    // A terminal switch implies its units, and the switches stay changed.
    ASSERT_EQ(Rewrite(With([](R7T5Switches& s) { s.DisableMicInTerminal = 1; }), &b, &after), STATUS_SUCCESS);
    EXPECT_EQ(after.DisableMicInAAUnit, 1);
    EXPECT_EQ(after.DisableMicInRecUnit, 1);
    // Line and S/PDIF remain, so the selector takes 15 and 16.
    const size_t selector = Le16(b, 2) - 55 - 43 - 4 * 46 - 9 - 10 - 12 - 10 - 10 - 12 - 8;
    EXPECT_EQ(Bytes(b.begin() + selector, b.begin() + selector + 8), (Bytes{8, 0x24, 5, 10, 2, 15, 16, 0}));
}

TEST(R7T5Rewrite, RefusedConfigurationsStayUntouched) {
    const Bytes device = DeviceConfiguration();
    struct Broken {
        const char* name;
        void (*Break)(Bytes&);
    };
    const Broken cases[] = {
        {"6 and 8 channels off", [](Bytes&) {}},
        {"wTotalLength 508", [](Bytes& b) { b[2] = 0xFC, b[3] = 0x01; }},
        {"shorter configuration", [](Bytes& b) { b.resize(200), b[2] = 200, b[3] = 0; }},
        {"mixer of another length", [](Bytes& b) { b[72] = 24; }},
        {"selector as a feature unit", [](Bytes& b) { b[144 + 2] = 6; }},
        {"header not class-specific", [](Bytes& b) { b[18 + 1] = 0x25; }},
        {"setting that does not fill its piece", [](Bytes& b) { b[273 + 9] = 8; }},
        {"further setting with two rates", [](Bytes& b) { b[411 + 16] = 14; }},
    };
    for (const Broken& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = device;
        c.Break(b);
        const Bytes before = b;
        R7T5Switches s = R7T5DefaultSwitches;
        if (std::string(c.name) == "6 and 8 channels off") s.Disable6ChOutSupported = s.Disable8ChOutSupported = 1;
        EXPECT_EQ(RebuildConfigDescriptor(&s, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data())),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(b, before);
    }
}

TEST(R7T5Rewrite, WithoutItsWorkBufferNothingChanges) {
    Bytes b = DeviceConfiguration();
    const Bytes before = b;
    R7T5Switches s = R7T5DefaultSwitches;
    sim::pool::FailAllocationsWithTag(R7T5RewriteTag);
    const NTSTATUS status = RebuildConfigDescriptor(&s, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data()));
    sim::pool::DisarmFaults();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b, before);
}

}  // namespace
