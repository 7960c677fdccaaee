// The frame clock: isochronous transfers on explicit or next-free start frames, interrupt IN polled
// at its endpoint's interval and bulk IN every frame, all served at the end of each 1 ms frame on
// the DPC thread. A
// transfer completes at the end of its last frame; completions keep each pipe's order.
#include "bus_internal.h"

#include <algorithm>
#include <cstdio>
#include <span>

namespace sim::usb {

namespace {

constexpr uint32_t kMaxIsoPackets = 1024;
constexpr uint32_t kMaxFullSpeedIsoPackets = 255;
// An ASAP transfer continues from the pipe's last transfer for this many frames after it ended.
constexpr uint64_t kAsapMemoryFrames = 1024;

uint64_t EndMicroframe(const Request& r) {
    return r.firstMicroframe + uint64_t(r.packets) * r.pipe->intervalMicroframes;
}

uint64_t PollPeriodFrames(const Pipe& pipe) {
    return pipe.Type() == USB_ENDPOINT_TYPE_BULK ? 1 : std::max<uint64_t>(1, pipe.intervalMicroframes / 8);
}
// Bulk packets one frame carries to one pipe at most (the bus's spare bandwidth, simplified).
constexpr uint32_t kBulkPacketsPerFrame = 16;

USBD_STATUS Note(Port& port, PURB urb, USBD_STATUS status, const char* why) {
    char text[224];
    std::snprintf(text, sizeof text, "bus: %s on pipe refused: %s (%s)",
                  urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER ? "ISOCH_TRANSFER" : "BULK_OR_INTERRUPT_TRANSFER",
                  why, UsbdStatusName(status));
    port.device->Note(text);
    return status;
}

void Tick();

// The frame clock ticks at the end of `frame` (and of every frame after it while work is due).
void EnsureTickLocked(Bus& bus, uint64_t frame) {
    const sim::ke::Time due = sim::ke::Time(frame + 1) * sim::machine::kMillisecond;
    if (bus.tickDue != 0 && bus.tickDue <= due) return;
    // A tick already handed to the DPC thread cannot be withdrawn; it reschedules for this work.
    if (bus.tickDue != 0 && !sim::ke::CancelScheduledWork(bus.tickId)) return;
    bus.tickDue = due;
    bus.tickId = sim::ke::ScheduleDispatchWork(due, Tick);
}

void ServeIsoPacket(Port& port, Pipe& pipe, Request& r, uint32_t k, uint64_t microframe) {
    auto& t = r.urb->UrbIsochronousTransfer;
    USBD_ISO_PACKET_DESCRIPTOR& packet = t.IsoPacket[k];
    IsoStatistics& stats = StatisticsLocked(port, pipe.endpoint);
    if (pipe.served && microframe > pipe.nextServe) {
        const uint64_t frames = (microframe - pipe.nextServe + 7) / 8;
        ++stats.gaps;
        stats.gapFrames += frames;
        RecordEventLocked(port, pipe.endpoint,
                          {.kind = IsoEventKind::Gap, .frame = BusFrame(pipe.nextServe / 8), .count = uint32_t(frames)});
    }
    pipe.served = true;
    pipe.nextServe = microframe + pipe.intervalMicroframes;
    auto* buffer = static_cast<uint8_t*>(t.TransferBuffer);
    PacketResult result;
    // Packet k runs up to where packet k + 1 begins (the last one to the end of the buffer).
    const ULONG end = k + 1 < r.packets ? t.IsoPacket[k + 1].Offset : r.bufferLength;
    const std::span<uint8_t> room(buffer + packet.Offset, end - packet.Offset);
    if (pipe.IsIn()) {
        result = port.device->IsoIn(pipe.endpoint, microframe, room);
        packet.Length = std::min<ULONG>(result.length, ULONG(room.size()));
        if (USBD_SUCCESS(result.status) && result.length > room.size()) result.status = USBD_STATUS_BABBLE_DETECTED;
    } else {
        result = port.device->IsoOut(pipe.endpoint, microframe, room);
    }
    packet.Status = result.status;
    ++stats.packets;
    if (USBD_ERROR(result.status)) {
        ++r.errors;
        ++stats.packetErrors;
        RecordEventLocked(port, pipe.endpoint, {.kind = IsoEventKind::PacketError, .frame = BusFrame(microframe / 8),
                                                .count = k, .status = result.status});
    } else {
        r.bytes += packet.Length;
    }
}

void ServeIsochronousLocked(Bus& bus, Port& port, Pipe& pipe, uint64_t lastFrame, std::vector<IrpDone>& done) {
    while (!pipe.queue.empty()) {
        Request* r = pipe.queue.front();
        for (; r->nextPacket < r->packets; ++r->nextPacket) {
            const uint64_t microframe = r->firstMicroframe + uint64_t(r->nextPacket) * pipe.intervalMicroframes;
            if (microframe / 8 > lastFrame) break;
            ServeIsoPacket(port, pipe, *r, r->nextPacket, microframe);
        }
        if (r->nextPacket < r->packets) return;
        // An ASAP transfer that follows continues here for a while.
        pipe.asapNext = (EndMicroframe(*r) + 7) / 8;
        pipe.asapUntil = lastFrame + kAsapMemoryFrames;
        // Every packet reported on its own; the transfer fails only when none got through.
        auto& t = r->urb->UrbIsochronousTransfer;
        t.ErrorCount = r->errors;
        t.TransferBufferLength = ULONG(r->bytes);
        const USBD_STATUS status = r->errors == r->packets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
        r->urb->UrbHeader.Status = status;
        DetachLocked(bus, r, NtStatusFromUsbd(status), done);
    }
}

// Interrupt IN: one packet per poll. Bulk IN: packets while the device has data, up to the frame's
// share, and the next transfer of the pipe goes on in the same frame.
void ServeInterruptLocked(Bus& bus, Port& port, Pipe& pipe, uint64_t lastFrame, std::vector<IrpDone>& done) {
    if (pipe.queue.empty() || pipe.nextPoll > lastFrame) return;
    const bool bulk = pipe.Type() == USB_ENDPOINT_TYPE_BULK;
    const uint64_t frame = pipe.nextPoll;
    pipe.nextPoll = frame + PollPeriodFrames(pipe);
    for (uint32_t packets = 0; !pipe.queue.empty() && packets < (bulk ? kBulkPacketsPerFrame : 1); ++packets) {
        Request* r = pipe.queue.front();
        auto& t = r->urb->UrbBulkOrInterruptTransfer;
        const uint32_t room = std::min<uint32_t>(pipe.maxPacketBytes, t.TransferBufferLength - r->received);
        const std::span<uint8_t> buffer(static_cast<uint8_t*>(t.TransferBuffer) + r->received, room);
        const PacketResult result = bulk ? port.device->BulkIn(pipe.endpoint, frame * 8, buffer)
                                         : port.device->InterruptIn(pipe.endpoint, frame * 8, buffer);
        if (result.nak) return;
        USBD_STATUS status = result.status;
        if (USBD_SUCCESS(status)) {
            const uint32_t length = std::min(result.length, room);
            r->received += length;
            // A short packet or a full buffer ends the transfer.
            if (length == pipe.maxPacketBytes && r->received < t.TransferBufferLength) continue;
        } else if (status == USBD_STATUS_STALL_PID) {
            pipe.halted = true;
        }
        t.TransferBufferLength = r->received;
        r->urb->UrbHeader.Status = status;
        DetachLocked(bus, r, NtStatusFromUsbd(status), done);
        if (!USBD_SUCCESS(status)) return;
    }
}

uint64_t NextDueFrame(const Pipe& pipe) {
    if (pipe.queue.empty()) return UINT64_MAX;
    if (pipe.Type() == USB_ENDPOINT_TYPE_INTERRUPT || pipe.Type() == USB_ENDPOINT_TYPE_BULK) return pipe.nextPoll;
    const Request* r = pipe.queue.front();
    return (r->firstMicroframe + uint64_t(r->nextPacket) * pipe.intervalMicroframes) / 8;
}

void Tick() {
    Bus& bus = TheBus();
    std::vector<IrpDone> done;
    {
        std::lock_guard guard(bus.lock);
        bus.tickDue = 0;
        bus.tickId = 0;
        const uint64_t now = FrameNow();
        uint64_t next = UINT64_MAX;
        for (Port* port : bus.ports) {
            for (auto& [number, state] : port->interfaces) {
                for (auto& pipe : state.pipes) {
                    if (now > 0 && port->attached) {
                        if (pipe->Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
                            ServeIsochronousLocked(bus, *port, *pipe, now - 1, done);
                        } else if (pipe->Type() == USB_ENDPOINT_TYPE_INTERRUPT || pipe->Type() == USB_ENDPOINT_TYPE_BULK) {
                            ServeInterruptLocked(bus, *port, *pipe, now - 1, done);
                        }
                    }
                    next = std::min(next, NextDueFrame(*pipe));
                }
            }
        }
        if (next != UINT64_MAX) EnsureTickLocked(bus, std::max(next, now));
    }
    CompleteNow(done);
}

}  // namespace

IsoStatistics& StatisticsLocked(Port& port, uint8_t endpoint) { return port.statistics[endpoint]; }

void RecordEventLocked(Port& port, uint8_t endpoint, const IsoEvent& event) {
    std::deque<IsoEvent>& list = port.events[endpoint];
    if (list.size() >= kIsoEventLimit) list.pop_front();
    list.push_back(event);
}

Pipe* FindPipeLocked(Port& port, USBD_PIPE_HANDLE handle) {
    if (handle == nullptr) return nullptr;
    for (auto& [number, state] : port.interfaces) {
        for (auto& pipe : state.pipes) {
            if (pipe->handle == handle) return pipe.get();
        }
    }
    return nullptr;
}

void CancelPipeLocked(Bus& bus, Pipe& pipe, std::vector<IrpDone>& done) {
    pipe.asapUntil = 0;  // an ASAP transfer after an abort starts afresh
    const std::vector<Request*> queued(pipe.queue.begin(), pipe.queue.end());
    for (Request* r : queued) {
        r->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        DetachLocked(bus, r, STATUS_CANCELLED, done);
    }
}

USBD_STATUS SubmitIsochronousLocked(Bus& bus, Port& port, PIRP irp, PURB urb, bool* cancelled) {
    constexpr size_t kPackets = offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    auto& t = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Length < kPackets) return Note(port, urb, USBD_STATUS_INVALID_PARAMETER, "request too short");
    Pipe* pipe = FindPipeLocked(port, t.PipeHandle);
    if (pipe == nullptr) return Note(port, urb, USBD_STATUS_INVALID_PIPE_HANDLE, "pipe handle is not open");
    IsoStatistics& stats = StatisticsLocked(port, pipe->endpoint);
    auto refuse = [&](USBD_STATUS status, const char* why) {
        ++stats.refusedTransfers;
        RecordEventLocked(port, pipe->endpoint,
                          {.kind = IsoEventKind::RefusedTransfer, .frame = BusFrame(FrameNow()), .status = status});
        return Note(port, urb, status, why);
    };
    if (pipe->Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, "not an isochronous pipe");
    }
    const uint32_t n = t.NumberOfPackets;
    if (n == 0 || n > (port.highSpeed ? kMaxIsoPackets : kMaxFullSpeedIsoPackets)) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, "packet count out of range");
    }
    if (kPackets + uint64_t(n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR) > urb->UrbHeader.Length) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, "packet list runs past the request");
    }
    // High speed: a transfer covers whole frames.
    if (pipe->intervalMicroframes < 8 && n % (8 / pipe->intervalMicroframes) != 0) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, "packet count is not a whole number of frames");
    }
    const ULONG length = t.TransferBufferLength;
    if (length != 0 && t.TransferBuffer == nullptr) {
        return refuse(USBD_STATUS_INVALID_PARAMETER, "no transfer buffer (an MDL is not simulated)");
    }
    // Offsets rise and stay inside the buffer; each packet's size is the distance to the next.
    for (uint32_t k = 0; k < n; ++k) {
        const USBD_ISO_PACKET_DESCRIPTOR& p = t.IsoPacket[k];
        if (p.Offset > length || (k > 0 && p.Offset < t.IsoPacket[k - 1].Offset)) {
            return refuse(USBD_STATUS_INVALID_PARAMETER, "a packet lies outside the transfer buffer");
        }
    }
    // The host controller cannot send more than the endpoint takes in one service interval.
    if (!pipe->IsIn()) {
        uint32_t oversize = 0;
        for (uint32_t k = 0; k < n; ++k) {
            const ULONG size = (k + 1 < n ? t.IsoPacket[k + 1].Offset : length) - t.IsoPacket[k].Offset;
            if (size <= pipe->maxPacketBytes) continue;
            ++oversize;
            RecordEventLocked(port, pipe->endpoint, {.kind = IsoEventKind::OversizePacket,
                                                     .frame = BusFrame(FrameNow()), .count = size});
        }
        if (oversize != 0) {
            stats.oversizePackets += oversize;
            char why[96];
            std::snprintf(why, sizeof why, "%u packets longer than the maximum packet size of %u bytes", oversize,
                          pipe->maxPacketBytes);
            return refuse(USBD_STATUS_INVALID_PARAMETER, why);
        }
    }
    if (!port.attached) return USBD_STATUS_DEVICE_GONE;

    const uint64_t now = FrameNow();
    // The first microframe a packet may still be scheduled in, and the first whole frame.
    const sim::ke::Time microframe = sim::machine::kMillisecond / 8;
    const uint64_t thresholdMicroframe =
        uint64_t((sim::machine::Now() + microframe - 1) / microframe) + kIsoSchedulingThresholdMicroframes;
    const uint64_t threshold = (thresholdMicroframe + 7) / 8;
    uint64_t start;
    if ((t.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0) {
        // Right after the pipe's last queued transfer, else after its last transfer while that is
        // remembered, else at the threshold.
        if (!pipe->queue.empty()) {
            start = (EndMicroframe(*pipe->queue.back()) + 7) / 8;
        } else if (now < pipe->asapUntil) {
            start = pipe->asapNext;
        } else {
            start = threshold;
        }
        t.StartFrame = BusFrame(start);
    } else {
        const int64_t ahead = int32_t(t.StartFrame - BusFrame(now));
        if (ahead >= USBD_ISO_START_FRAME_RANGE || ahead <= -int64_t(USBD_ISO_START_FRAME_RANGE) ||
            int64_t(now) + ahead < 0) {
            char why[96];
            std::snprintf(why, sizeof why, "start frame %u is outside the schedule window around frame %u",
                          t.StartFrame, BusFrame(now));
            return refuse(USBD_STATUS_BAD_START_FRAME, why);
        }
        start = uint64_t(int64_t(now) + ahead);
        if (!pipe->queue.empty() && start * 8 < EndMicroframe(*pipe->queue.back())) {
            return refuse(USBD_STATUS_BAD_START_FRAME, "start frame overlaps the pipe's scheduled transfers");
        }
    }
    // Packets due before the threshold are late: never sent.
    uint32_t late = 0;
    while (late < n && start * 8 + uint64_t(late) * pipe->intervalMicroframes < thresholdMicroframe) ++late;
    for (uint32_t k = 0; k < n; ++k) {
        t.IsoPacket[k].Status = k < late ? USBD_STATUS_ISO_NA_LATE_USBPORT : USBD_STATUS_PENDING;
        if (pipe->IsIn()) t.IsoPacket[k].Length = 0;
    }
    t.ErrorCount = late;
    if (late != 0) {
        ++stats.lateTransfers;
        stats.latePackets += late;
        RecordEventLocked(port, pipe->endpoint, {.kind = IsoEventKind::LateTransfer, .frame = BusFrame(start),
                                                 .count = late, .status = USBD_STATUS_ISO_NA_LATE_USBPORT});
    }
    if (late == n) {
        if (!pipe->IsIn()) t.TransferBufferLength = 0;
        char why[96];
        std::snprintf(why, sizeof why, "every packet is late: start frame %u, current frame %u", BusFrame(start),
                      BusFrame(now));
        return Note(port, urb, USBD_STATUS_ISOCH_REQUEST_FAILED, why);
    }
    ++stats.transfers;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    *cancelled = !HoldLocked(bus, std::make_unique<Request>(Request{.irp = irp,
                                                                    .urb = urb,
                                                                    .port = &port,
                                                                    .kind = RequestKind::Isochronous,
                                                                    .pipe = pipe,
                                                                    .firstMicroframe = start * 8,
                                                                    .packets = n,
                                                                    .nextPacket = late,
                                                                    .errors = late,
                                                                    .bufferLength = length}));
    EnsureTickLocked(bus, std::max((start * 8 + uint64_t(late) * pipe->intervalMicroframes) / 8, now));
    return USBD_STATUS_PENDING;
}

USBD_STATUS SubmitInterruptLocked(Bus& bus, Port& port, PIRP irp, PURB urb, bool* cancelled) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return Note(port, urb, USBD_STATUS_INVALID_PARAMETER, "request too short");
    }
    Pipe* pipe = FindPipeLocked(port, t.PipeHandle);
    if (pipe == nullptr) return Note(port, urb, USBD_STATUS_INVALID_PIPE_HANDLE, "pipe handle is not open");
    if (pipe->Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        return Note(port, urb, USBD_STATUS_INVALID_PARAMETER, "an isochronous pipe");
    }
    if ((pipe->Type() != USB_ENDPOINT_TYPE_INTERRUPT && pipe->Type() != USB_ENDPOINT_TYPE_BULK) || !pipe->IsIn()) {
        return Note(port, urb, USBD_STATUS_NOT_SUPPORTED, "only interrupt and bulk IN transfers are simulated");
    }
    if (t.TransferBufferLength != 0 && t.TransferBuffer == nullptr) {
        return Note(port, urb, USBD_STATUS_INVALID_PARAMETER, "no transfer buffer (an MDL is not simulated)");
    }
    if (!port.attached) return USBD_STATUS_DEVICE_GONE;
    if (pipe->halted) return Note(port, urb, USBD_STATUS_ENDPOINT_HALTED, "the endpoint is halted: reset the pipe");
    if (pipe->queue.empty()) pipe->nextPoll = std::max(pipe->nextPoll, FrameNow());
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    *cancelled = !HoldLocked(bus, std::make_unique<Request>(Request{
                                      .irp = irp, .urb = urb, .port = &port, .kind = RequestKind::Interrupt, .pipe = pipe}));
    EnsureTickLocked(bus, pipe->nextPoll);
    return USBD_STATUS_PENDING;
}

}  // namespace sim::usb
