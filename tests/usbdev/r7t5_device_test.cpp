// The simulated R7T5 device: its configuration descriptor piece by piece at the offsets the
// driver's rewrite takes them from, its HID register file and scripted status report, and the
// requests it refuses.
#include <gtest/gtest.h>
#include <sim/machine.h>
#include <sim/usb_models.h>

#include <vector>

namespace {

using namespace sim::usb;

struct Piece {
    size_t offset, length;
    uint8_t type, subtype, id;  // subtype and id of class-specific AudioControl pieces, else 0
};

TEST(R7T5Device, EveryPieceSitsAtItsOffset) {
    const std::vector<uint8_t> b = r7t5::ConfigurationBytes();
    // clang-format off
    const Piece pieces[] = {
        {0, 9, 2, 0, 0},        {9, 9, 4, 0, 0},        {18, 10, 0x24, 1, 0},
        {28, 12, 0x24, 2, 1},   {40, 12, 0x24, 2, 5},   {52, 10, 0x24, 6, 8},   {62, 10, 0x24, 6, 9},
        {72, 25, 0x24, 4, 12},  {97, 16, 0x24, 6, 13},  {113, 9, 0x24, 3, 3},   {122, 13, 0x24, 4, 14},
        {135, 9, 0x24, 3, 7},   {144, 10, 0x24, 5, 10}, {154, 12, 0x24, 2, 6},  {166, 10, 0x24, 6, 15},
        {176, 10, 0x24, 6, 11}, {186, 12, 0x24, 2, 4},  {198, 10, 0x24, 6, 2},  {208, 10, 0x24, 6, 16},
        {218, 9, 4, 0, 0},      {227, 46, 4, 0, 0},     {273, 46, 4, 0, 0},     {319, 46, 4, 0, 0},
        {365, 46, 4, 0, 0},     {411, 43, 4, 0, 0},     {454, 55, 4, 0, 0},
    };
    // clang-format on
    size_t end = 0;
    for (const Piece& p : pieces) {
        SCOPED_TRACE(p.offset);
        EXPECT_EQ(p.offset, end);
        EXPECT_EQ(b[p.offset + 1], p.type);
        if (p.type != 4 && p.offset != 0) {
            EXPECT_EQ(b[p.offset], p.length);
        }
        if (p.subtype != 0) {
            EXPECT_EQ(b[p.offset + 2], p.subtype);
        }
        if (p.id != 0) {
            EXPECT_EQ(b[p.offset + 3], p.id);
        }
        end = p.offset + p.length;
    }
    EXPECT_EQ(end, r7t5::kAudioFunctionBytes);
    // Alternate settings 1 = 8, 2 = 2, 3 = 4, 4 = 6 channels, 5 one rate; the capture interface.
    const uint8_t channels[] = {8, 2, 4, 6, 2};
    for (size_t i = 0; i < 5; ++i) {
        const size_t at = 227 + 46 * i;
        EXPECT_EQ(b[at + 3], i + 1);
        EXPECT_EQ(b[at + 16 + 4], channels[i]);
    }
    EXPECT_EQ(b[411 + 16], 11);  // the further setting's one sampling frequency
    EXPECT_EQ(b[454 + 2], 2);
    // The HID interface 3 follows the audio function.
    ASSERT_GT(b.size(), r7t5::kAudioFunctionBytes + 9);
    EXPECT_EQ(b[509 + 1], 4);
    EXPECT_EQ(b[509 + 2], 3);
    EXPECT_EQ(b[509 + 5], 3);
    EXPECT_EQ(size_t(b[2] | b[3] << 8), b.size());
    EXPECT_EQ(b[4], 4);  // four interfaces
}

TEST(R7T5Device, RegisterFileStatusReportAndRefusals) {
    auto device = r7t5::Create({.vendorId = 0x5131, .productId = 0x001C, .variantA = 0x9F, .variantB = 0x23});
    auto state = r7t5::StateOf(*device);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->registers[1], 0x3002);
    ASSERT_EQ(device->Control(MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION, 1,
                                        0, 0),
                              {})
                  .status,
              ControlStatus::Ok);

    uint8_t write[4] = {0x20, 0x12, 0x30, 0x01};
    EXPECT_EQ(device->Control(MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, 0x09, 0x0200, 3, 4), write).status,
              ControlStatus::Ok);
    EXPECT_EQ(state->registers[1], 0x3012);
    ASSERT_EQ(state->writes.size(), 1u);
    uint8_t badRegister[4] = {0x20, 0, 0, 6};
    EXPECT_EQ(device->Control(MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, 0x09, 0x0200, 3, 4), badRegister)
                  .status,
              ControlStatus::Stall);

    state->reportBit4 = {{0, true}, {sim::machine::Now() + 1, false}};
    uint8_t report[3] = {};
    const SetupPacket get = MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, 0x01, 0x0100, 3, 3);
    EXPECT_EQ(device->Control(get, report).length, 3u);
    EXPECT_EQ(report[0], 0x10);

    uint8_t variant[1] = {};
    EXPECT_EQ(device->Control(MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, 0x81, 0, 8, 1), variant).length, 1u);
    EXPECT_EQ(variant[0], 0x23);
    // GET_MEM of a feature unit: no memory to read.
    uint8_t mem[32] = {};
    EXPECT_EQ(device->Control(MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, 0x85, 0, 13 << 8, 32), mem).status,
              ControlStatus::Stall);
}

}  // namespace
