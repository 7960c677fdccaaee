// The device core: standard requests, strings, the handler tables, the request log, fault knobs
// and unplugging.
#include "usb_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;

TEST(StandardRequests, DescriptorsStringsAndStates) {
    auto d = CreateCatalogDevice("uac1");
    struct Case {
        const char* what;
        Reply (*run)(Device&);
        ControlStatus status;
        Bytes answer;  // checked when not empty
    } cases[] = {
        {"device descriptor, first 8 bytes", [](Device& x) { return GetDescriptor(x, 1, 0, 0, 8); }, ControlStatus::Ok,
         {18, 1, 0x10, 0x01, 0, 0, 0, 64}},
        {"languages", [](Device& x) { return GetDescriptor(x, 3, 0, 0, 255); }, ControlStatus::Ok, {4, 3, 0x09, 0x04}},
        {"product string header only", [](Device& x) { return GetDescriptor(x, 3, 2, 0x0409, 2); }, ControlStatus::Ok, {34, 3}},
        {"string in a language the device lacks", [](Device& x) { return GetDescriptor(x, 3, 2, 0x0407, 255); },
         ControlStatus::Stall, {}},
        {"absent string index", [](Device& x) { return GetDescriptor(x, 3, 9, 0x0409, 255); }, ControlStatus::Stall, {}},
        {"no second configuration", [](Device& x) { return GetDescriptor(x, 2, 1, 0, 9); }, ControlStatus::Stall, {}},
        {"full-speed device has no qualifier", [](Device& x) { return GetDescriptor(x, 6, 0, 0, 10); }, ControlStatus::Stall, {}},
        {"not configured yet", [](Device& x) { return Standard(x, true, 0, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1); },
         ControlStatus::Ok, {0}},
        {"interface of an unconfigured device", [](Device& x) { return Standard(x, true, 1, USB_REQUEST_GET_INTERFACE, 0, 1, 1); },
         ControlStatus::Stall, {}},
        {"unknown configuration value", [](Device& x) { return Standard(x, false, 0, USB_REQUEST_SET_CONFIGURATION, 7, 0, 0); },
         ControlStatus::Stall, {}},
        {"configure", [](Device& x) { return Standard(x, false, 0, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0); }, ControlStatus::Ok, {}},
        {"alternate setting 3 does not exist", [](Device& x) { return Standard(x, false, 1, USB_REQUEST_SET_INTERFACE, 3, 1, 0); },
         ControlStatus::Stall, {}},
        {"select setting 2", [](Device& x) { return Standard(x, false, 1, USB_REQUEST_SET_INTERFACE, 2, 1, 0); }, ControlStatus::Ok, {}},
        {"reads setting 2", [](Device& x) { return Standard(x, true, 1, USB_REQUEST_GET_INTERFACE, 0, 1, 1); }, ControlStatus::Ok, {2}},
        {"halt the data endpoint", [](Device& x) { return Standard(x, false, 2, USB_REQUEST_SET_FEATURE, 0, 0x01, 0); },
         ControlStatus::Ok, {}},
        {"endpoint status shows the halt", [](Device& x) { return Standard(x, true, 2, USB_REQUEST_GET_STATUS, 0, 0x01, 2); },
         ControlStatus::Ok, {1, 0}},
        {"an endpoint of an inactive setting", [](Device& x) { return Standard(x, true, 2, USB_REQUEST_GET_STATUS, 0, 0x82, 2); },
         ControlStatus::Stall, {}},
        {"GET request sent host to device", [](Device& x) { return Standard(x, false, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 0); },
         ControlStatus::Stall, {}},
    };
    for (const Case& k : cases) {
        Reply r = k.run(*d);
        EXPECT_EQ(r.status, k.status) << k.what;
        if (!k.answer.empty()) {
            EXPECT_EQ(r.bytes, k.answer) << k.what;
        }
    }
    EXPECT_TRUE(d->IsEndpointHalted(0x01));
    EXPECT_EQ(d->IsoOut(0x01, 0, Bytes(4)).status, USBD_STATUS_STALL_PID);
    Standard(*d, false, 1, USB_REQUEST_SET_INTERFACE, 1, 1, 0);
    EXPECT_FALSE(d->IsEndpointHalted(0x01)) << "SET_INTERFACE clears the halt";

    auto hs = CreateCatalogDevice("uac2");
    Reply q = GetDescriptor(*hs, 6, 0, 0, 10);
    ASSERT_EQ(q.status, ControlStatus::Ok);
    EXPECT_EQ(q.bytes, (Bytes{10, 6, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 1, 0}));
}

TEST(RequestLog, DecodesEveryKindOfRequest) {
    auto d = Configured("uac1");
    d->ClearLog();
    GetDescriptor(*d, 3, 0x50, 0x0409, 104);
    Transfer(*d, MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO1_GET_CUR, 0x0201, 0x0200, 2));
    Transfer(*d, MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO1_SET_CUR, 0x0000, 0x0800, 1), {2});
    Transfer(*d, MakeSetup(false, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, USB_AUDIO1_SET_CUR, 0x0100, 0x01, 3), {0x80, 0xBB, 0});
    Transfer(*d, MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, 0x02, 0x0051, 0, 1));
    Transfer(*d, MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE, 0x86, 0x0800, 0x0300, 2));
    SelectAlternate(*d, 1, 1);
    const std::vector<std::string> expected = {
        "GET_DESCRIPTOR STRING 0x50 lang 0x0409 -> 10 bytes [0a 03 52 00 37 00 55 00 37 00]",
        "GET_CUR FU 2 ch 1 VOLUME -> 2 bytes [00 00]",
        "SET_CUR SU 8 SELECTOR <- 1 byte [02]",
        "SET_CUR EP 0x01 SAMPLING_FREQ <- 3 bytes [80 bb 00]",
        "VENDOR OTHER chip variant (bRequest 0x02 wValue 0x0051 wIndex 0x0000) -> 1 byte [1f]",
        "VENDOR INTERFACE IN bRequest 0x86 wValue 0x0800 wIndex 0x0300 wLength 2 -> STALL",
        "SET_INTERFACE 1 alt 1 -> ok",
    };
    EXPECT_EQ(d->LogLines(), expected);
    const std::vector<LogEntry> log = d->Log();
    ASSERT_EQ(log.size(), expected.size());
    EXPECT_EQ(log[1].setup.wValue, 0x0201);
    EXPECT_EQ(log[1].status, ControlStatus::Ok);
    EXPECT_EQ(log[1].length, 2u);
    EXPECT_EQ(log[2].data, Bytes{2});
    EXPECT_EQ(log[5].status, ControlStatus::Stall);
    EXPECT_LT(log[0].sequence, log[6].sequence);
}

TEST(RequestLog, DecodesTheUac2VendorExtensions) {
    auto d = Configured("uac2-vendor");
    d->ClearLog();
    auto get = [&](uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        Transfer(*d, MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, request, value, index, length));
    };
    get(USB_AUDIO2_MEM, 16, 0x0200, 2);
    get(USB_AUDIO2_CUR, 0x02FF, 0x0300, 1);
    get(USB_AUDIO2_RANGE, 0x0800, 0x0300, 2);
    get(USB_AUDIO2_CUR, 0x8201, 0x0200, 2);
    get(USB_AUDIO2_CUR, 0x9000, 0x0200, 1);
    const std::vector<std::string> expected = {
        "GET_MEM FU 2 offset 16 -> 2 bytes [1e 00]",
        "GET_CUR OT 3 JACK_LIST -> 1 byte [02]",
        "GET_RANGE OT 3 TERMINAL_TYPE -> 2 bytes [03 00]",
        "GET_CUR FU 2 ch 1 EXTENDED_VOLUME -> 2 bytes [00 00]",
        "GET_CUR FU 2 ch 0 EXTENDED_SWITCH -> 1 byte [00]",
    };
    EXPECT_EQ(d->LogLines(), expected);
}

TEST(HandlerTables, ALayerPushedLaterIsAskedFirst) {
    auto d = Configured("uac1");
    int resets = 0;
    std::vector<std::pair<uint8_t, uint8_t>> changes;
    d->PushHandlers(HandlerTable{
        .name = "test layer",
        .reset = [&](Device&) { ++resets; },
        .control = [](Device&, const SetupPacket& s, std::span<uint8_t> data) -> std::optional<ControlResult> {
            if (s.Type() != BMREQUEST_CLASS || s.wIndex != 0x0200) return std::nullopt;
            data[0] = 0x42;  // overrides the audio function's answer for FU 2
            return ControlResult::Ok(1);
        },
        .interfaceChanged = [&](Device&, uint8_t n, uint8_t a) { changes.emplace_back(n, a); },
        .describe = [](const SetupPacket& s) -> std::optional<std::string> {
            if (s.wIndex != 0x0200) return std::nullopt;
            return std::string("TEST FU 2");
        },
    });
    Reply r = Transfer(*d, MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO1_GET_CUR, 0x0201, 0x0200, 2));
    EXPECT_EQ(r.bytes, Bytes{0x42});
    EXPECT_EQ(d->LogLines().back(), "TEST FU 2 -> 1 byte [42]");
    SelectAlternate(*d, 2, 1);
    EXPECT_EQ(changes, (std::vector<std::pair<uint8_t, uint8_t>>{{2, 1}}));
    d->Unplug();
    d->Replug();
    EXPECT_EQ(resets, 1);
}

TEST(ControlFaults, StallShortAndNeverAnswer) {
    auto d = Configured("uac1");
    const SetupPacket product = MakeSetup(true, 0, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255);
    const SetupPacket device = MakeSetup(true, 0, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18);

    d->AddControlFault(ControlFault{.match = {.wValue = 0x0302}, .action = FaultAction::Stall, .times = 1});
    EXPECT_EQ(Transfer(*d, product).status, ControlStatus::Stall);
    EXPECT_EQ(Transfer(*d, product).status, ControlStatus::Ok) << "a fault with times = 1 disarms itself";
    EXPECT_EQ(Transfer(*d, device).status, ControlStatus::Ok) << "other requests do not match";

    const int shortId = d->AddControlFault(ControlFault{.match = {.bRequest = USB_REQUEST_GET_DESCRIPTOR},
                                                        .action = FaultAction::ShortAnswer, .shortLength = 4});
    EXPECT_EQ(Transfer(*d, device).bytes.size(), 4u);
    d->RemoveControlFault(shortId);
    EXPECT_EQ(Transfer(*d, device).bytes.size(), 18u);

    d->AddControlFault(ControlFault{.match = {.bmRequestType = 0xC3}, .action = FaultAction::NeverAnswer});
    Bytes buffer(1);
    const ControlResult pending = d->Control(MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, 2, 0x51, 0, 1), buffer);
    EXPECT_EQ(pending.status, ControlStatus::Pending);
    ASSERT_EQ(d->PendingRequests().size(), 1u);
    EXPECT_EQ(d->PendingRequests()[0].id, pending.pendingId);
    EXPECT_EQ(d->PendingRequests()[0].setup.bRequest, 2);
    EXPECT_TRUE(d->CancelPending(pending.pendingId));
    EXPECT_FALSE(d->CancelPending(pending.pendingId));
    EXPECT_TRUE(d->PendingRequests().empty());
    EXPECT_NE(d->LogLines().back().find("-> cancelled"), std::string::npos);
    d->ClearFaults();
    EXPECT_EQ(Transfer(*d, MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, 2, 0x51, 0, 1)).bytes, Bytes{0x1F});
}

TEST(PacketFaults, EveryNthAndSeededRates) {
    auto d = Configured("uac2");
    SelectAlternate(*d, 1, 1);
    d->AddPacketFault(PacketFault{.endpoint = 0x01, .status = USBD_STATUS_CRC, .everyNth = 3, .times = 2});
    std::vector<USBD_STATUS> statuses;
    for (int i = 0; i < 10; ++i) statuses.push_back(d->IsoOut(0x01, uint64_t(i), Bytes(48)).status);
    std::vector<USBD_STATUS> expected(10, USBD_STATUS_SUCCESS);
    expected[2] = expected[5] = USBD_STATUS_CRC;  // the 3rd and 6th packets; then the fault is spent
    EXPECT_EQ(statuses, expected);

    // The same seed gives the same errors.
    auto pattern = [](uint64_t seed) {
        auto x = Configured("uac2");
        SelectAlternate(*x, 2, 1);
        x->AddPacketFault(PacketFault{.endpoint = 0x82, .perMillion = 250'000, .seed = seed});
        std::string hits;
        Bytes buffer(200);
        for (int i = 0; i < 64; ++i) hits += x->IsoIn(0x82, uint64_t(i), buffer).status == USBD_STATUS_SUCCESS ? '.' : 'x';
        return hits;
    };
    EXPECT_EQ(pattern(7), pattern(7));
    EXPECT_NE(pattern(7), pattern(8));
    EXPECT_NE(pattern(7).find('x'), std::string::npos);
}

TEST(Attachment, UnplugAndReplug) {
    auto d = Configured("uac1");
    std::vector<bool> seen;
    d->SetAttachObserver([&](bool attached) { seen.push_back(attached); });
    SelectAlternate(*d, 1, 1);
    d->Audio()->SetControlValue(2, USB_AUDIO_FU_VOLUME_CONTROL, 1, -2560);
    d->AddControlFault(ControlFault{.match = {.bRequest = 0x7E}, .action = FaultAction::NeverAnswer});
    Bytes buffer(1);
    d->Control(MakeSetup(true, BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE, 0x7E, 0, 0, 1), buffer);
    ASSERT_EQ(d->PendingRequests().size(), 1u);

    d->Unplug();
    EXPECT_FALSE(d->IsAttached());
    EXPECT_TRUE(d->PendingRequests().empty());
    EXPECT_EQ(Transfer(*d, MakeSetup(true, 0, 0, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18)).status, ControlStatus::NoDevice);
    EXPECT_EQ(d->IsoOut(0x01, 0, Bytes(4)).status, USBD_STATUS_DEVICE_GONE);

    d->Replug();
    EXPECT_TRUE(d->IsAttached());
    EXPECT_EQ(d->ConfigurationValue(), 0) << "a replugged device starts unconfigured";
    EXPECT_EQ(d->AlternateSetting(1), 0);
    EXPECT_EQ(d->Audio()->ControlValue(2, USB_AUDIO_FU_VOLUME_CONTROL, 1), 0) << "and with its power-on values";
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

TEST(DataEndpoints, OnlyActiveEndpointsOfTheRightKind) {
    auto d = Configured("uac2");
    Bytes buffer(16);
    EXPECT_EQ(d->IsoOut(0x01, 0, Bytes(8)).status, USBD_STATUS_INVALID_PIPE_HANDLE) << "alternate setting 0 has no endpoint";
    SelectAlternate(*d, 1, 1);
    EXPECT_EQ(d->IsoOut(0x01, 0, Bytes(8)).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(d->InterruptIn(0x81, 0, buffer).status, USBD_STATUS_INVALID_PIPE_HANDLE) << "0x81 is isochronous";
    EXPECT_EQ(d->IsoOut(0x81, 0, Bytes(4)).status, USBD_STATUS_INVALID_PIPE_HANDLE) << "0x81 is an IN endpoint";
    EXPECT_TRUE(d->InterruptIn(0x83, 0, buffer).nak);
}

}  // namespace
