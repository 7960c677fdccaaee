// Isochronous and interrupt transfers on the frame clock: start frames in the future and inside the
// schedule window, packets moved frame by frame, completion at the last frame and in order per pipe,
// the bus's gap, late and oversize counts, interrupt IN waiting for the device, aborts.
#include "bus_test_support.h"

#include <sim/usb_ramp_check.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <string>

namespace {

using namespace bustest;

// Full-speed uac1: alternate setting 1 of interface 1 plays 16-bit stereo (4-byte frames).
constexpr UCHAR kPlayback = 0x01;
constexpr UCHAR kCapture = 0x82;
constexpr ULONG kFrameBytes = 4;
constexpr ULONG kPacketBytes = 48 * kFrameBytes;  // 48 kHz, 1 ms

// An isochronous transfer of equal packets and the buffer it carries.
struct IsoTransfer {
    UrbBlock block;
    std::vector<uint8_t> data;

    IsoTransfer(USBD_PIPE_HANDLE pipe, bool in, ULONG packets, ULONG packetBytes, ULONG startFrame, bool asap = false)
        : block(GET_ISO_URB_SIZE(packets)), data(packets * packetBytes) {
        auto& t = block.Get()->UrbIsochronousTransfer;
        t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        t.PipeHandle = pipe;
        t.TransferFlags = (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT) |
                          (asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
        t.TransferBufferLength = ULONG(data.size());
        t.TransferBuffer = data.data();
        t.StartFrame = startFrame;
        t.NumberOfPackets = packets;
        for (ULONG k = 0; k < packets; ++k) {
            t.IsoPacket[k].Offset = k * packetBytes;
            t.IsoPacket[k].Length = in ? 0 : packetBytes;
        }
    }
    _URB_ISOCH_TRANSFER& Urb() { return block.Get()->UrbIsochronousTransfer; }
};

// Render data whose samples count up from `first`, so what arrives shows order and completeness.
void FillRamp(IsoTransfer& t, int16_t first) {
    for (size_t i = 0; i + 1 < t.data.size(); i += 2) {
        const auto v = int16_t(first + int16_t(i / 2));
        t.data[i] = uint8_t(v);
        t.data[i + 1] = uint8_t(v >> 8);
    }
}

class BusIso : public BusFixture {
protected:
    void SetUp() override {
        Plug("uac1");
        m_Out = OpenPipe(1, 1, kPlayback);
    }
    USBD_PIPE_HANDLE m_Out = nullptr;
};

TEST_F(BusIso, TransfersRunFrameByFrameAndCompleteInOrderAtTheirLastFrame) {
    constexpr ULONG kPackets = 4;
    const ULONG start = sim::usb::CurrentFrame() + 2;
    std::vector<std::unique_ptr<IsoTransfer>> transfers;
    std::vector<std::unique_ptr<InFlight>> requests;
    for (ULONG i = 0; i < 3; ++i) {
        transfers.push_back(std::make_unique<IsoTransfer>(m_Out, false, kPackets, kPacketBytes, start + i * kPackets));
        FillRamp(*transfers.back(), int16_t(i * kPackets * kPacketBytes / 2));
        requests.push_back(Start(transfers.back()->block.Get()));
        EXPECT_EQ(requests.back()->returned, STATUS_PENDING);
    }
    for (ULONG i = 0; i < 3; ++i) {
        ASSERT_EQ(requests[i]->Wait(), STATUS_SUCCESS);
        // The last packet moves during frame start + 4i + 3; the transfer completes as that frame ends.
        EXPECT_EQ(requests[i]->completedAt, sim::machine::Time(start + (i + 1) * kPackets) * kMillisecond);
        EXPECT_EQ(requests[i]->irql, DISPATCH_LEVEL);
        if (i > 0) {
            EXPECT_GT(requests[i]->order, requests[i - 1]->order);
        }
        auto& t = transfers[i]->Urb();
        EXPECT_EQ(t.Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(t.ErrorCount, 0u);
        EXPECT_EQ(t.TransferBufferLength, kPackets * kPacketBytes);
        for (ULONG k = 0; k < kPackets; ++k) EXPECT_EQ(t.IsoPacket[k].Status, USBD_STATUS_SUCCESS);
    }
    sim::usb::RenderSink* sink = Device().Audio()->Render(1);
    ASSERT_EQ(sink->Frames(), 3 * kPackets * 48);
    for (uint64_t f = 0; f < sink->Frames(); ++f) {
        ASSERT_EQ(sink->Sample(f, 0), int16_t(2 * f)) << "frame " << f;
        ASSERT_EQ(sink->Sample(f, 1), int16_t(2 * f + 1)) << "frame " << f;
    }
    const sim::usb::IsoStatistics s = sim::usb::EndpointStatistics(m_Port, kPlayback);
    EXPECT_EQ(s.transfers, 3u);
    EXPECT_EQ(s.packets, 3 * kPackets);
    EXPECT_EQ(s.gaps, 0u);
    EXPECT_EQ(s.lateTransfers + s.refusedTransfers + s.oversizePackets + s.packetErrors, 0u);
}

// Runs the clock to `micro` microframes into the next frame; answers that frame's number.
ULONG RunToMicroframe(unsigned micro) {
    const sim::machine::Time inFrame = sim::machine::Now() % kMillisecond;
    sim::machine::RunFor(kMillisecond - inFrame + micro * kMillisecond / 8);
    return sim::usb::CurrentFrame();
}

// A start frame in the past or just ahead: the packets whose (micro)frames the scheduling threshold
// has passed are late and never sent, the rest move; only a start outside the schedule window, or
// one overlapping the queue, fails the whole transfer.
TEST_F(BusIso, LatePacketsAreNotSentAndTheRestMove) {
    struct Case {
        const char* name;
        int startAhead;   // frames from the current one
        unsigned micro;   // microframes into the current frame when submitted
        ULONG late;       // of 4 packets
        NTSTATUS status;
    } cases[] = {
        {"NextFrameEarlyInTheFrame", 1, 1, 0, STATUS_SUCCESS},
        {"NextFrameLateInTheFrame", 1, 6, 1, STATUS_SUCCESS},
        {"CurrentFrame", 0, 1, 1, STATUS_SUCCESS},
        {"TwoFramesAgo", -2, 1, 3, STATUS_SUCCESS},
        {"AllPast", -5, 0, 4, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::usb::ClearStatistics(m_Port);
        Device().Audio()->Render(1)->Clear();
        const ULONG now = RunToMicroframe(c.micro);
        IsoTransfer t(m_Out, false, 4, kPacketBytes, ULONG(int(now) + c.startAhead));
        EXPECT_EQ(Submit(t.block.Get()), c.status);
        EXPECT_EQ(t.Urb().ErrorCount, c.late);
        for (ULONG k = 0; k < 4; ++k) {
            EXPECT_EQ(t.Urb().IsoPacket[k].Status, k < c.late ? USBD_STATUS_ISO_NA_LATE_USBPORT : USBD_STATUS_SUCCESS) << k;
        }
        const sim::usb::IsoStatistics s = sim::usb::EndpointStatistics(m_Port, kPlayback);
        EXPECT_EQ(s.lateTransfers, c.late != 0 ? 1u : 0u);
        EXPECT_EQ(s.latePackets, c.late);
        EXPECT_EQ(Device().Audio()->Render(1)->Packets(), 4 - c.late);
    }

    // The window and the queue.
    const ULONG now = sim::usb::CurrentFrame();
    IsoTransfer queued(m_Out, false, 4, kPacketBytes, now + 10);
    auto held = Start(queued.block.Get());
    for (ULONG startFrame : {now + USBD_ISO_START_FRAME_RANGE, now - USBD_ISO_START_FRAME_RANGE, now + 12}) {
        SCOPED_TRACE(startFrame - now);
        IsoTransfer t(m_Out, false, 4, kPacketBytes, startFrame);
        EXPECT_EQ(Submit(t.block.Get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(t.Urb().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    }
    EXPECT_EQ(held->Wait(), STATUS_SUCCESS);
}

// The frame counter may start anywhere and wraps at 2^32: explicit start frames across the wrap
// keep their packets back to back.
TEST_F(BusIso, StartFramesAcrossTheCounterWrap) {
    sim::usb::SetFrameCounterOffset(0xFFFFFFFFu - 3 - sim::usb::CurrentFrame());
    const ULONG start = sim::usb::CurrentFrame() + 2;  // 0xFFFFFFFE
    std::vector<std::unique_ptr<IsoTransfer>> transfers;
    std::vector<std::unique_ptr<InFlight>> requests;
    for (ULONG i = 0; i < 3; ++i) {
        transfers.push_back(std::make_unique<IsoTransfer>(m_Out, false, 2, kPacketBytes, start + 2 * i));
        requests.push_back(Start(transfers.back()->block.Get()));
    }
    for (auto& r : requests) EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
    sim::usb::SetFrameCounterOffset(0);
    const sim::usb::IsoStatistics s = sim::usb::EndpointStatistics(m_Port, kPlayback);
    EXPECT_EQ(s.packets, 6u);
    EXPECT_EQ(s.gaps + s.lateTransfers + s.refusedTransfers, 0u);
    EXPECT_EQ(transfers[1]->Urb().StartFrame, 0u);
}

// OUT packet sizes come from the offsets and the buffer length: IsoPacket[].Length is not read.
// At full speed a transfer holds at most 255 packets.
TEST_F(BusIso, OutPacketSizesComeFromTheOffsetsAndFullSpeedTakes255Packets) {
    IsoTransfer t(m_Out, false, 3, kPacketBytes, sim::usb::CurrentFrame() + 2);
    for (ULONG k = 0; k < 3; ++k) t.Urb().IsoPacket[k].Length = 7;
    t.Urb().TransferBufferLength = 3 * kPacketBytes - 4;  // the last packet is one frame short
    EXPECT_EQ(Submit(t.block.Get()), STATUS_SUCCESS);
    sim::usb::RenderSink* sink = Device().Audio()->Render(1);
    EXPECT_EQ(sink->Packets(), 3u);
    EXPECT_EQ(sink->Frames(), 3 * 48 - 1);
    for (ULONG packets : {256u, 255u}) {
        SCOPED_TRACE(packets);
        IsoTransfer many(m_Out, false, packets, kPacketBytes / 4, sim::usb::CurrentFrame() + 2);
        EXPECT_EQ(Submit(many.block.Get()), packets == 255 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    }
}

TEST_F(BusIso, GapsAreCountedAndRecordedWithTheirFrames) {
    const ULONG now = sim::usb::CurrentFrame();
    IsoTransfer first(m_Out, false, 2, kPacketBytes, now + 2);   // frames +2, +3
    IsoTransfer second(m_Out, false, 2, kPacketBytes, now + 7);  // frames +7, +8: 3 frames missing
    auto a = Start(first.block.Get());
    auto b = Start(second.block.Get());
    EXPECT_EQ(a->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(b->Wait(), STATUS_SUCCESS);
    const sim::usb::IsoStatistics s = sim::usb::Statistics(m_Port);
    EXPECT_EQ(s.gaps, 1u);
    EXPECT_EQ(s.gapFrames, 3u);
    const std::vector<sim::usb::IsoEvent> events = sim::usb::EndpointEvents(m_Port, kPlayback);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, sim::usb::IsoEventKind::Gap);
    EXPECT_EQ(events[0].frame, now + 4);
    EXPECT_EQ(events[0].count, 3u);
    EXPECT_TRUE(sim::usb::EndpointEvents(m_Port, kCapture).empty());
}

TEST_F(BusIso, OutPacketOverTheMaximumPacketSizeRefusesTheTransfer) {
    IsoTransfer t(m_Out, false, 2, kPacketBytes, sim::usb::CurrentFrame() + 2);
    t.Urb().IsoPacket[0].Length = kPacketBytes + 12;  // 51 frames: more than wMaxPacketSize (49)
    t.Urb().IsoPacket[1].Offset = kPacketBytes + 12;
    t.Urb().IsoPacket[1].Length = kPacketBytes - 12;
    EXPECT_EQ(Submit(t.block.Get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(t.Urb().Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
    const sim::usb::IsoStatistics s = sim::usb::EndpointStatistics(m_Port, kPlayback);
    EXPECT_EQ(s.oversizePackets, 1u);
    EXPECT_EQ(s.refusedTransfers, 1u);
    EXPECT_EQ(s.packets, 0u);
    EXPECT_EQ(Device().Audio()->Render(1)->Packets(), 0u) << "nothing reached the device";
    const std::vector<sim::usb::IsoEvent> events = sim::usb::EndpointEvents(m_Port, kPlayback);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].kind, sim::usb::IsoEventKind::OversizePacket);
    EXPECT_EQ(events[0].count, kPacketBytes + 12);
}

// Packet errors on chosen frames: each packet reports its own status, the transfer fails only when
// every packet failed, and a failed OUT packet never reaches the device.
TEST_F(BusIso, PacketErrorsOnChosenFramesAreReportedPerPacket) {
    struct Case {
        const char* name;
        std::vector<ULONG> failing;  // packet indices whose frames fail
        NTSTATUS status;
        USBD_STATUS usbd;
    } cases[] = {
        {"OnePacket", {1}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"TwoPackets", {0, 3}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"EveryPacket", {0, 1, 2, 3}, STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::usb::ClearStatistics(m_Port);
        Device().Audio()->Render(1)->Clear();
        const ULONG start = sim::usb::CurrentFrame() + 2;
        sim::usb::PacketFault fault{.endpoint = kPlayback};
        for (ULONG k : c.failing) fault.frames.push_back(start + k);
        Device().AddPacketFault(fault);
        IsoTransfer t(m_Out, false, 4, kPacketBytes, start);
        EXPECT_EQ(Submit(t.block.Get()), c.status);
        Device().ClearFaults();
        EXPECT_EQ(t.Urb().Hdr.Status, c.usbd);
        EXPECT_EQ(t.Urb().ErrorCount, c.failing.size());
        const ULONG good = 4 - ULONG(c.failing.size());
        EXPECT_EQ(t.Urb().TransferBufferLength, good * kPacketBytes);
        for (ULONG k = 0; k < 4; ++k) {
            const bool failed = std::find(c.failing.begin(), c.failing.end(), k) != c.failing.end();
            EXPECT_EQ(t.Urb().IsoPacket[k].Status, failed ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS) << k;
        }
        EXPECT_EQ(Device().Audio()->Render(1)->Frames(), good * 48u);
        std::vector<sim::usb::IsoEvent> events = sim::usb::EndpointEvents(m_Port, kPlayback);
        std::erase_if(events, [](const auto& e) { return e.kind == sim::usb::IsoEventKind::Gap; });  // between cases
        ASSERT_EQ(events.size(), c.failing.size());
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].kind, sim::usb::IsoEventKind::PacketError);
            EXPECT_EQ(events[i].frame, start + c.failing[i]);
            EXPECT_EQ(events[i].count, c.failing[i]);
            EXPECT_EQ(events[i].status, USBD_STATUS_XACT_ERROR);
        }
    }
}

TEST_F(BusIso, ScheduledUnplugEndsStreamingOnItsFrame) {
    const ULONG start = sim::usb::CurrentFrame() + 2;
    IsoTransfer a(m_Out, false, 4, kPacketBytes, start);
    IsoTransfer b(m_Out, false, 4, kPacketBytes, start + 4);
    auto ra = Start(a.block.Get());
    auto rb = Start(b.block.Get());
    sim::usb::ScheduleUnplug(m_Port, start + 6);
    EXPECT_EQ(ra->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(rb->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.Urb().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_GE(rb->completedAt, sim::machine::Time(start + 6) * kMillisecond);
    EXPECT_LT(rb->completedAt, sim::machine::Time(start + 7) * kMillisecond);
    EXPECT_EQ(Device().Audio()->Render(1)->Frames(), 6 * 48u) << "packets of frames +4 and +5 arrived";
    EXPECT_EQ(sim::usb::HeldRequests(m_Port), 0u);
    IsoTransfer c(m_Out, false, 1, kPacketBytes, sim::usb::CurrentFrame() + 2);
    EXPECT_EQ(Submit(c.block.Get()), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusIso, ResetPipeCancelsTransfersWithoutClearingAnIsochronousEndpoint) {
    IsoTransfer a(m_Out, false, 8, kPacketBytes, sim::usb::CurrentFrame() + 2);
    auto ra = Start(a.block.Get());
    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_Out);
    auto rreset = Start(&reset);
    ASSERT_EQ(rreset->Wait(), STATUS_SUCCESS);
    ASSERT_EQ(ra->Wait(), STATUS_CANCELLED);
    EXPECT_LT(ra->order, rreset->order);
    EXPECT_EQ(a.Urb().Hdr.Status, USBD_STATUS_CANCELED);
    for (const std::string& line : Device().LogLines()) EXPECT_EQ(line.find("CLEAR_FEATURE"), std::string::npos) << line;
    IsoTransfer b(m_Out, false, 2, kPacketBytes, 0, /*asap=*/true);
    EXPECT_EQ(Submit(b.block.Get()), STATUS_SUCCESS);
}

// An abort completes before the transfers it cancels: a caller must wait for them itself.
TEST_F(BusIso, AbortCompletesBeforeTheTransfersItCancels) {
    const ULONG now = sim::usb::CurrentFrame();
    IsoTransfer a(m_Out, false, 8, kPacketBytes, now + 2);
    IsoTransfer b(m_Out, false, 8, kPacketBytes, now + 10);
    auto ra = Start(a.block.Get());
    auto rb = Start(b.block.Get());
    sim::machine::RunFor(4 * kMillisecond);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, m_Out);
    auto rabort = Start(&abort);
    ASSERT_EQ(rabort->Wait(), STATUS_SUCCESS);
    ASSERT_EQ(ra->Wait(), STATUS_CANCELLED);
    ASSERT_EQ(rb->Wait(), STATUS_CANCELLED);
    EXPECT_LT(rabort->order, ra->order);
    EXPECT_LT(ra->order, rb->order);
    EXPECT_EQ(a.Urb().Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(sim::usb::HeldRequests(m_Port), 0u);

    // The pipe takes new transfers right away; the stream resumed after a gap.
    IsoTransfer c(m_Out, false, 2, kPacketBytes, sim::usb::CurrentFrame() + 2);
    EXPECT_EQ(Submit(c.block.Get()), STATUS_SUCCESS);
    EXPECT_EQ(sim::usb::Statistics(m_Port).gaps, 1u);
}

// A client streaming a ramp at 44.1 kHz (nine 44-frame packets, then one of 45) with two transfers
// in flight: the sink receives it without loss, gap or drift, as the ramp checker confirms.
TEST_F(BusIso, StreamedRampArrivesWhole) {
    UCHAR rate[3] = {0x44, 0xAC, 0x00};  // 44100 Hz
    URB setRate = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, USB_AUDIO1_SET_CUR, 0x0100,
                                 kPlayback, rate, sizeof rate);
    ASSERT_EQ(Submit(&setRate), STATUS_SUCCESS);
    constexpr ULONG kPackets = 10;
    constexpr int kTransfers = 1000;  // 10 s
    uint64_t frame = 0;            // ramp frames sent so far
    ULONG start = sim::usb::CurrentFrame() + 2;
    auto make = [&] {
        auto t = std::make_unique<IsoTransfer>(m_Out, false, kPackets, 45 * kFrameBytes, start);
        ULONG offset = 0;
        for (ULONG k = 0; k < kPackets; ++k) {
            const ULONG frames = k == kPackets - 1 ? 45 : 44;
            t->Urb().IsoPacket[k].Offset = offset;
            t->Urb().IsoPacket[k].Length = frames * kFrameBytes;
            for (ULONG f = 0; f < frames; ++f, ++frame) {
                for (ULONG c = 0; c < 2; ++c) {
                    const auto v = int16_t(frame + 0x100 * c);
                    t->data[offset + f * kFrameBytes + 2 * c] = uint8_t(v);
                    t->data[offset + f * kFrameBytes + 2 * c + 1] = uint8_t(v >> 8);
                }
            }
            offset += frames * kFrameBytes;
        }
        t->Urb().TransferBufferLength = offset;
        start += kPackets;
        return t;
    };
    std::deque<std::pair<std::unique_ptr<IsoTransfer>, std::unique_ptr<InFlight>>> inFlight;
    for (int i = 0; i < kTransfers; ++i) {
        auto t = make();
        auto r = Start(t->block.Get());
        inFlight.emplace_back(std::move(t), std::move(r));
        if (inFlight.size() == 2) {
            ASSERT_EQ(inFlight.front().second->Wait(), STATUS_SUCCESS);
            inFlight.pop_front();
        }
    }
    ASSERT_EQ(inFlight.front().second->Wait(), STATUS_SUCCESS);
    sim::usb::RenderSink* sink = Device().Audio()->Render(1);
    const sim::usb::RampReport report = sim::usb::CheckRamp(*sink, sim::usb::RampSpec{});
    EXPECT_TRUE(report.Ok()) << report.text;
    EXPECT_EQ(report.rampFrames, 441000u);
    EXPECT_GE(sink->MinBacklog(), -1);
    EXPECT_LE(sink->MaxBacklog(), 1);
    const sim::usb::IsoStatistics s = sim::usb::EndpointStatistics(m_Port, kPlayback);
    EXPECT_EQ(s.gaps + s.lateTransfers + s.refusedTransfers + s.packetErrors, 0u);
}

TEST_F(BusIso, CaptureFillsPacketsAndAsapFollowsTheQueue) {
    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectInterface(m_ConfigurationHandle, 2, 1, 2, &pipes), STATUS_SUCCESS);
    USBD_PIPE_HANDLE in = pipes.at(0).PipeHandle;
    UCHAR rate[3] = {0x80, 0xBB, 0x00};  // 48000 Hz
    URB setRate = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0100, kCapture, rate,
                                 sizeof rate);
    ASSERT_EQ(Submit(&setRate), STATUS_SUCCESS);
    const ULONG stride = kPacketBytes + kFrameBytes;
    IsoTransfer first(in, true, 4, stride, 0, /*asap=*/true);
    IsoTransfer second(in, true, 4, stride, 0, /*asap=*/true);
    auto r1 = Start(first.block.Get());
    auto r2 = Start(second.block.Get());
    EXPECT_EQ(second.Urb().StartFrame, first.Urb().StartFrame + 4);
    ASSERT_EQ(r1->Wait(), STATUS_SUCCESS);
    ASSERT_EQ(r2->Wait(), STATUS_SUCCESS);
    ULONG total = 0;
    for (ULONG k = 0; k < 4; ++k) {
        EXPECT_EQ(first.Urb().IsoPacket[k].Length, kPacketBytes) << "48 kHz gives 48 frames a millisecond";
        total += first.Urb().IsoPacket[k].Length;
    }
    EXPECT_EQ(first.Urb().TransferBufferLength, total);
    // The ramp continues from one packet into the next: 48 frames later, 48 steps further.
    auto sample = [&](ULONG k, ULONG frame) {
        const uint8_t* p = first.data.data() + first.Urb().IsoPacket[k].Offset + frame * kFrameBytes;
        return int16_t(p[0] | p[1] << 8);
    };
    EXPECT_EQ(int16_t(sample(1, 0) - sample(0, 0)), 48);
    EXPECT_EQ(sim::usb::EndpointStatistics(m_Port, kCapture).gaps, 0u);
}

// An ASAP transfer on an idle pipe continues where the pipe's last transfer ended while the bus
// remembers it (1,024 frames), so one that comes late has late packets; after that it starts at the
// scheduling threshold.
TEST_F(BusIso, AsapContinuesFromThePipesLastTransfer) {
    RunToMicroframe(0);
    IsoTransfer first(m_Out, false, 4, kPacketBytes, 0, /*asap=*/true);
    ASSERT_EQ(Submit(first.block.Get()), STATUS_SUCCESS);  // returns as its last frame ends
    sim::machine::RunFor(2 * kMillisecond);
    IsoTransfer second(m_Out, false, 4, kPacketBytes, 0, /*asap=*/true);
    EXPECT_EQ(Submit(second.block.Get()), STATUS_SUCCESS);
    EXPECT_EQ(second.Urb().StartFrame, first.Urb().StartFrame + 4);
    EXPECT_EQ(second.Urb().ErrorCount, 3u) << "two frames gone and the current one";
    EXPECT_EQ(second.Urb().IsoPacket[2].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
    EXPECT_EQ(second.Urb().IsoPacket[3].Status, USBD_STATUS_SUCCESS);

    sim::machine::RunFor(1100 * kMillisecond);
    const ULONG submitted = RunToMicroframe(0);
    IsoTransfer third(m_Out, false, 4, kPacketBytes, 0, /*asap=*/true);
    EXPECT_EQ(Submit(third.block.Get()), STATUS_SUCCESS);
    EXPECT_EQ(third.Urb().ErrorCount, 0u);
    EXPECT_EQ(third.Urb().StartFrame, submitted + 1);
}

// An IN packet whose data runs past its room is babble: the room is filled and the packet fails,
// the others move as usual.
TEST_F(BusIso, InPacketLongerThanItsRoomIsBabble) {
    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(SelectInterface(m_ConfigurationHandle, 2, 1, 2, &pipes), STATUS_SUCCESS);
    UCHAR rate[3] = {0x80, 0xBB, 0x00};  // 48000 Hz
    URB setRate = VendorClassUrb(URB_FUNCTION_CLASS_ENDPOINT, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0100, kCapture, rate,
                                 sizeof rate);
    ASSERT_EQ(Submit(&setRate), STATUS_SUCCESS);
    const ULONG stride = kPacketBytes + kFrameBytes;
    IsoTransfer t(pipes.at(0).PipeHandle, true, 3, stride, sim::usb::CurrentFrame() + 2);
    t.Urb().IsoPacket[2].Offset = t.Urb().IsoPacket[1].Offset + 25 * kFrameBytes;  // packet 1: room for 25 frames
    EXPECT_EQ(Submit(t.block.Get()), STATUS_SUCCESS);
    EXPECT_EQ(t.Urb().IsoPacket[0].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(t.Urb().IsoPacket[1].Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(t.Urb().IsoPacket[1].Length, 25 * kFrameBytes);
    EXPECT_EQ(t.Urb().IsoPacket[2].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(t.Urb().ErrorCount, 1u);
}

// A full-speed isochronous endpoint is served every frame whatever its bInterval says.
TEST_F(BusFixture, FullSpeedIsochronousEndpointsIgnoreTheirInterval) {
    auto base = sim::usb::CreateCatalogDevice("uac1-nochip");
    sim::usb::DeviceSetup setup;
    setup.name = "uac1-interval-4";
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    std::vector<uint8_t> configuration(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    for (size_t p = 0; p + 7 <= configuration.size() && configuration[p] >= 2; p += configuration[p]) {
        if (configuration[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[p + 2] == kPlayback) {
            configuration[p + 6] = 4;
        }
    }
    setup.configurations.push_back(std::move(configuration));
    m_Port = sim::usb::PlugDevice(std::make_unique<sim::usb::Device>(std::move(setup)));
    m_Ports.push_back(m_Port);
    m_Pdo = sim::usb::PhysicalDeviceObject(m_Port);
    const ULONG start = sim::usb::CurrentFrame() + 2;
    IsoTransfer t(OpenPipe(1, 1, kPlayback), false, 4, kPacketBytes, start);
    auto r = Start(t.block.Get());
    ASSERT_EQ(r->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(r->completedAt, sim::machine::Time(start + 4) * kMillisecond);
    EXPECT_EQ(Device().Audio()->Render(1)->Frames(), 4u * 48);
}

class BusIsoHighSpeed : public BusFixture {};

TEST_F(BusIsoHighSpeed, EightPacketsMakeOneFrame) {
    Plug("uac2");
    USBD_PIPE_HANDLE out = OpenPipe(1, 2, 0x01);  // 16-bit stereo at 48 kHz: 6 frames per microframe
    constexpr ULONG kMicroBytes = 6 * kFrameBytes;

    IsoTransfer partial(out, false, 12, kMicroBytes, sim::usb::CurrentFrame() + 2);
    EXPECT_EQ(Submit(partial.block.Get()), STATUS_INVALID_PARAMETER) << "12 packets are a frame and a half";

    const ULONG start = sim::usb::CurrentFrame() + 2;
    IsoTransfer two(out, false, 16, kMicroBytes, start);
    auto r = Start(two.block.Get());
    ASSERT_EQ(r->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(r->completedAt, sim::machine::Time(start + 2) * kMillisecond);
    EXPECT_EQ(Device().Audio()->Render(1)->Packets(), 16u);
    EXPECT_EQ(sim::usb::Statistics(m_Port).gaps, 0u);
}

class BusInterrupt : public BusFixture {
protected:
    void SetUp() override {
        Plug("uac1");
        m_Status = OpenPipe(0, 0, 0x83);
        UsbBuildInterruptOrBulkTransferRequest(&m_Urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), m_Status, m_Message,
                                               nullptr, sizeof m_Message,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    }
    USBD_PIPE_HANDLE m_Status = nullptr;
    UCHAR m_Message[2] = {};
    URB m_Urb{};
};

TEST_F(BusInterrupt, ReadCompletesWhenTheDevicePostsWithinOneInterval) {
    auto read = Start(&m_Urb);
    sim::machine::RunFor(100 * kMillisecond);
    ASSERT_FALSE(read->Completed()) << "nothing posted: the device answers NAK";
    const sim::machine::Time posted = sim::machine::Now();
    ASSERT_TRUE(Device().Audio()->ChangeFromDevice(2, USB_AUDIO_FU_MUTE_CONTROL, 0, 1));
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_LE(read->completedAt - posted, 17 * kMillisecond) << "bInterval 16 at full speed";
    EXPECT_EQ(m_Urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(m_Message[0], USB_AUDIO1_STATUS_INTERRUPT_PENDING | USB_AUDIO1_STATUS_ORIGINATOR_AC_INTERFACE);
    EXPECT_EQ(m_Message[1], 2);
    EXPECT_EQ(Device().Audio()->QueuedInterrupts(), 0u);
}

TEST_F(BusInterrupt, PendingReadIsCancellable) {
    auto read = Start(&m_Urb);
    sim::machine::RunFor(40 * kMillisecond);
    EXPECT_TRUE(IoCancelIrp(read->irp));
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(m_Urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    // A message posted afterwards waits for the next read.
    ASSERT_TRUE(Device().Audio()->ChangeFromDevice(2, USB_AUDIO_FU_MUTE_CONTROL, 0, 1));
    sim::machine::RunFor(40 * kMillisecond);
    EXPECT_EQ(Device().Audio()->QueuedInterrupts(), 1u);
    EXPECT_EQ(Submit(&m_Urb), STATUS_SUCCESS);
}

TEST_F(BusInterrupt, StallHaltsThePipeUntilItIsReset) {
    URB halt{};
    UsbBuildFeatureRequest(&halt, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, 0x83, nullptr);
    ASSERT_EQ(Submit(&halt), STATUS_SUCCESS);
    ASSERT_TRUE(Device().IsEndpointHalted(0x83));

    EXPECT_EQ(Submit(&m_Urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Submit(&m_Urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED) << "refused without asking the device";

    URB reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, m_Status);
    ASSERT_EQ(Submit(&reset), STATUS_SUCCESS);
    EXPECT_FALSE(Device().IsEndpointHalted(0x83));
    EXPECT_EQ(Device().LogLines().back(), "CLEAR_FEATURE ENDPOINT 0x83 feature 0 -> ok");
    ASSERT_TRUE(Device().Audio()->ChangeFromDevice(2, USB_AUDIO_FU_MUTE_CONTROL, 0, 0));
    EXPECT_EQ(Submit(&m_Urb), STATUS_SUCCESS);
}

}  // namespace
