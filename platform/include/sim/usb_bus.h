// The simulated USB host controller and its root hub: simulated devices plugged into ports, each
// with a physical device object whose requests the bus driver serves (URBs, port requests, idle
// notification, the USBDI bus interface), and the 1 ms frame clock that moves isochronous and
// interrupt data.
//
// Requests the bus answers at once complete as the port's completion mode says (asynchronous on the
// DPC thread by default, or inside IofCallDriver); requests that wait (a control request the device
// leaves unanswered, interrupt IN, isochronous transfers, idle notification) complete later at
// DISPATCH_LEVEL on the DPC thread, or in the canceller's context when cancelled.
#pragma once

#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/usb_device.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

struct Port;

struct PlugOptions {
    // How requests answered at once complete; see sim::io::Completion.
    sim::io::Completion completion = sim::io::Completion::Asynchronous;
    std::u16string instanceId{};  // empty: "5&1A2B3C4D&0&<port number>"
    std::u16string service = u"KV-380D";
    std::u16string description = u"USB Audio Device";
    // A port cycle (IOCTL_INTERNAL_USB_CYCLE_PORT) re-enumerates the device through the PnP manager,
    // as the hub does: the old node is surprise-removed and removed (once no file is open on its
    // stack), its physical device object deleted, and a new node for the device is added and started
    // with the driver loaded for the service (sim::pnp::WaitForIdle waits for all of it; NodeOf then
    // answers the new node). Without it a cycle re-attaches the device under the same node and the
    // PnP side stays the caller's.
    bool reenumerate = false;
};

// Plugs device into the first free port of the root hub: the device is addressed (SET_ADDRESS with
// the port number) and gets a physical device object, node "USB\VID_xxxx&PID_xxxx" of the PnP
// manager, whose requests the bus serves. The port runs at the device's own speed (DeviceSetup::speed
// or LoadOptions::speed): the device model sizes its packets by that speed. PASSIVE_LEVEL.
Port* PlugDevice(std::unique_ptr<Device> device, const PlugOptions& options = {});
// A catalog device by name; null for an unknown name.
Port* PlugCatalogDevice(std::string_view name, const PlugOptions& options = {});

// The device leaves its port (the same as Device::Unplug): every request the bus holds for it
// completes with STATUS_DEVICE_NOT_CONNECTED and USBD_STATUS_DEVICE_GONE, later ones fail the same
// way and the port status reads 0. The physical device object stays until RemovePort; surprise
// removal and removal through the PnP manager are the caller's.
void UnplugDevice(Port* port);
// The device is plugged in again (Device::Replug), in its power-on state, and addressed; the old
// configuration and pipe handles are no longer valid.
void ReplugDevice(Port* port);
// Deletes the port's physical device object and its device. Nothing may be attached to the object,
// the bus interface must have no reference left and no request may be held (bug checks otherwise).
void RemovePort(Port* port);

Device& DeviceOf(Port* port);
sim::pnp::DeviceNode* NodeOf(Port* port);
PDEVICE_OBJECT PhysicalDeviceObject(Port* port);
ULONG PortNumber(Port* port);
bool IsHighSpeed(Port* port);
void SetCompletion(Port* port, sim::io::Completion mode);

// The bus frame number: the simulated clock in 1 ms frames plus the counter's base, as QueryBusTime
// answers it; 32 bits, so it wraps.
ULONG CurrentFrame();
// The isochronous scheduling threshold: a packet whose (micro)frame begins less than this many
// microframes from now is late (so a start frame of the current frame + 1 is late in the second
// half of the current frame).
inline constexpr uint32_t kIsoSchedulingThresholdMicroframes = 4;
// The frame counter runs `offset` frames ahead of the simulated clock (0 at start): a counter that
// starts anywhere, or one about to wrap. Packet faults keep naming frames of the simulated clock.
void SetFrameCounterOffset(uint32_t offset);

// Isochronous transfers (URB_FUNCTION_ISOCH_TRANSFER) on the frame clock:
// - an explicit StartFrame less than USBD_ISO_START_FRAME_RANGE frames from the current one, not
//   overlapping the pipe's queued transfers; otherwise the URB fails with USBD_STATUS_BAD_START_FRAME;
// - the scheduling threshold: a packet whose (micro)frame begins less than
//   kIsoSchedulingThresholdMicroframes from now is late: it is not sent, its status is USBD_STATUS_ISO_NA_LATE_USBPORT, and the
//   transfer counts as late; the packets after it move as usual (a transfer whose packets are all
//   late fails at once with USBD_STATUS_ISOCH_REQUEST_FAILED);
// - USBD_START_ISO_TRANSFER_ASAP starts right after the pipe's last queued transfer, or after the
//   pipe's last transfer when that ended less than 1,024 frames ago (its late packets are late), or
//   at the scheduling threshold; StartFrame is written back;
// - OUT packet sizes come from the offsets: packet k runs to the offset of packet k + 1, the last to
//   TransferBufferLength (IsoPacket[].Length is not read); one longer than the endpoint's maximum
//   packet size (extra transactions included) refuses the transfer with USBD_STATUS_INVALID_PARAMETER;
//   at full speed at most 255 packets, at high speed a transfer covers whole frames;
// - an IN packet whose data runs past its room (up to the next packet's offset) is babble: the room
//   is filled and the packet fails with USBD_STATUS_BABBLE_DETECTED;
// - packet k moves in (micro)frame StartFrame x 8 + k x the endpoint's interval (a full-speed
//   isochronous endpoint is served every frame, whatever its bInterval); each packet's Status (and
//   Length for IN) is written back; the URB completes at the end of its last frame on the DPC
//   thread, in submission order per pipe, with ErrorCount and the bytes moved, and fails
//   (USBD_STATUS_ISOCH_REQUEST_FAILED) only when every packet failed;
// - ABORT_PIPE cancels the pipe's transfers (USBD_STATUS_CANCELED / STATUS_CANCELLED) and may
//   complete before they do: they come back afterwards, on the DPC thread;
// - SYNC_RESET_PIPE(_AND_CLEAR_STALL) completes the pipe's transfers as cancelled before the request
//   itself completes.
//
// Isochronous traffic of a port, per endpoint or summed over all.
struct IsoStatistics {
    uint64_t transfers = 0;         // transfers scheduled
    uint64_t packets = 0;           // packets moved to or from the device
    uint64_t gaps = 0;              // a pipe's packets resumed after (micro)frames without one
    uint64_t gapFrames = 0;         // frames left out by those gaps, rounded up
    uint64_t lateTransfers = 0;     // transfers with late packets (due before the scheduling threshold)
    uint64_t latePackets = 0;       // those late packets, never sent
    uint64_t refusedTransfers = 0;  // refused otherwise: beyond the schedule window, overlapping, malformed,
                                    // or an OUT packet over the maximum packet size
    uint64_t oversizePackets = 0;   // OUT packets longer than the endpoint's maximum packet size (refused)
    uint64_t packetErrors = 0;      // packets that completed with an error status
};
IsoStatistics Statistics(Port* port);
IsoStatistics EndpointStatistics(Port* port, uint8_t endpoint);
void ClearStatistics(Port* port);  // the counts and the event records of every endpoint

// One irregularity of an isochronous pipe, as the bus saw it.
enum class IsoEventKind : uint8_t {
    Gap,              // frame: the first frame without a packet; count: frames left out (rounded up)
    LateTransfer,     // frame: the start frame asked for (not after the current frame); count: its packets
    OversizePacket,   // frame: the current frame (the transfer is refused); count: the packet's bytes
    PacketError,      // frame: the packet's frame; count: the packet's index in its transfer; status: its status
    RefusedTransfer,  // frame: the current frame; status: the URB status (start frame, window, layout)
};
struct IsoEvent {
    IsoEventKind kind = IsoEventKind::Gap;
    ULONG frame = 0;  // bus frame (1 ms)
    uint32_t count = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};
// The most recent events of an endpoint (at most kIsoEventLimit, oldest first).
inline constexpr size_t kIsoEventLimit = 256;
std::vector<IsoEvent> EndpointEvents(Port* port, uint8_t endpoint);
const char* IsoEventName(IsoEventKind kind);

// The device leaves (or comes back to) its port when the bus reaches `frame`, on the DPC thread, as
// UnplugDevice and ReplugDevice do: a fault scripted ahead of streaming. A frame already reached acts
// at once. RemovePort withdraws what has not happened yet.
void ScheduleUnplug(Port* port, ULONG frame);
void ScheduleReplug(Port* port, ULONG frame);

// Requests the bus holds for the port: control requests the device left pending, interrupt and
// isochronous transfers, the idle notification.
size_t HeldRequests(Port* port);
// References on the port's bus interface (IRP_MN_QUERY_INTERFACE adds one, InterfaceDereference
// drops one).
LONG BusInterfaceReferences(Port* port);
uint32_t PortResets(Port* port);
uint32_t PortCycles(Port* port);

// The next `times` port requests with this control code (IOCTL_INTERNAL_USB_GET_PORT_STATUS,
// _RESET_PORT, _CYCLE_PORT, _SUBMIT_IDLE_NOTIFICATION) fail with status and do nothing else.
void FailPortRequests(Port* port, ULONG ioControlCode, NTSTATUS status, uint32_t times = 1);

// While gone is set, IOCTL_INTERNAL_USB_GET_PORT_STATUS answers the device neither connected nor
// enabled (the hub lost it), though its requests still reach it.
void ReportPortGone(Port* port, bool gone);

// Cancels every transfer held on the pipe of this endpoint (URB status USBD_STATUS_CANCELED, IRP
// STATUS_CANCELLED), as a pipe abort or a reset from elsewhere in the stack does; answers how many.
size_t CancelEndpointTransfers(Port* port, uint8_t endpoint);

// What fails because the device was removed fails with this IRP status: STATUS_DEVICE_NOT_CONNECTED
// (the default) or STATUS_NO_SUCH_DEVICE, with which GET_PORT_STATUS then fails too.
void AnswerRemovalWith(Port* port, NTSTATUS status);

bool IdleRequestPending(Port* port);
// Calls the pending idle notification's callback on the calling thread (PASSIVE_LEVEL), as the hub
// does when the device may suspend; the request stays pending. False when none is pending.
bool CallIdleCallback(Port* port);

}  // namespace sim::usb
