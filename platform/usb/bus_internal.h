// Internals of the simulated USB bus driver shared by the port, URB and frame-schedule code: ports,
// their configuration and pipes, the requests the bus holds, and the one lock over all of it.
//
// Lock order: the bus lock, then a device's own lock (calls into sim::usb::Device). The bus lock is
// never held while an IRP completes or while a device is unplugged or plugged in (its observer takes
// the bus lock); the cancel routine takes it after releasing the cancel spin lock.
#pragma once

#include "../kernel/scheduler.h"

#include <sim/usb_bus.h>
#include <win/kernel.h>
#include <win/usb.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace sim::usb {

enum class RequestKind : uint8_t { Control, Interrupt, Isochronous, Idle };

struct Pipe;

// A request the bus holds. It is linked into its pipe's queue (transfers), the port's control list
// (control requests the device left pending) or the port's idle slot while `linked`.
struct Request {
    PIRP irp = nullptr;
    PURB urb = nullptr;  // null for the idle notification
    Port* port = nullptr;
    RequestKind kind = RequestKind::Control;
    Pipe* pipe = nullptr;
    bool linked = false;
    uint64_t pendingId = 0;  // control: the device's id of the unanswered request
    // Isochronous: packet k is due at microframe firstMicroframe + k x the pipe's interval.
    uint64_t firstMicroframe = 0;
    uint32_t packets = 0;
    uint32_t nextPacket = 0;
    uint32_t errors = 0;
    uint64_t bytes = 0;  // moved so far
    ULONG bufferLength = 0;  // TransferBufferLength as submitted: the end of the last packet
    // Interrupt IN: bytes received so far.
    uint32_t received = 0;
    // Idle notification: the callback as submitted.
    USB_IDLE_CALLBACK idleCallback = nullptr;
    PVOID idleContext = nullptr;
    // A control request the device answered late: the URB status it completes with once the delay
    // ran out, and the serial number that tells this request from a later one on the same IRP.
    USBD_STATUS lateStatus = USBD_STATUS_SUCCESS;
    uint64_t serial = 0;
    // A control request the device deferred (a late answer that takes effect when given): its data
    // stage and where the bytes moved go. lateStatus is then the URB status of a STALL.
    uint8_t* deferredData = nullptr;
    size_t deferredBytes = 0;
    ULONG* deferredTransferred = nullptr;
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t interfaceNumber = 0;
    uint8_t endpoint = 0;
    uint8_t attributes = 0;
    uint8_t interval = 0;             // bInterval
    uint32_t maxPacketBytes = 0;      // per (micro)frame, extra transactions included
    uint32_t intervalMicroframes = 8;  // service interval in 125 us units
    std::deque<Request*> queue{};      // in start order
    bool halted = false;               // a bulk or interrupt transfer stalled; reset pipe clears it
    // Isochronous: the microframe after the last packet served, for gap accounting.
    bool served = false;
    uint64_t nextServe = 0;
    // Isochronous: where an ASAP transfer continues when nothing is queued (the frame after the last
    // transfer), and the frame up to which that is remembered.
    uint64_t asapNext = 0;
    uint64_t asapUntil = 0;
    // Interrupt: frame of the next poll.
    uint64_t nextPoll = 0;

    uint8_t Type() const { return attributes & USB_ENDPOINT_TYPE_MASK; }
    bool IsIn() const { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

struct InterfaceState {
    uint8_t number = 0;
    uint8_t alternate = 0;
    USBD_INTERFACE_HANDLE handle = nullptr;
    std::vector<std::unique_ptr<Pipe>> pipes{};
};

// An IRP to complete once the bus lock is released, in list order.
struct IrpDone {
    PIRP irp;
    NTSTATUS status;
};

struct PortFaultEntry {
    ULONG ioControlCode = 0;
    NTSTATUS status = STATUS_SUCCESS;
    uint32_t times = 0;
};

// The port record (the opaque Port of the simulation API).
struct Port {
    ULONG number = 0;
    std::unique_ptr<Device> device;
    sim::pnp::DeviceNode* node = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    sim::pnp::DeviceDescription description;  // what a new node of the device is created with
    bool reenumerate = false;                  // PlugOptions::reenumerate
    bool reenumerating = false;                // a cycle's re-enumeration is under way in the PnP manager
    bool highSpeed = false;
    bool attached = true;
    bool reportsGone = false;  // GET_PORT_STATUS answers neither connected nor enabled
    // The IRP status of what fails because the device was removed (held transfers, new URBs) and,
    // when STATUS_NO_SUCH_DEVICE, of GET_PORT_STATUS after the removal.
    NTSTATUS goneStatus = STATUS_DEVICE_NOT_CONNECTED;
    // While one URB is served: what completes only after it has been answered (an abort's transfers).
    std::vector<IrpDone> afterAnswer;
    // Selected configuration: a copy of the descriptor the client selected it with.
    std::vector<uint8_t> configuration;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    uint8_t configurationValue = 0;
    std::map<uint8_t, InterfaceState> interfaces;
    std::vector<Request*> control;  // control requests the device left pending, oldest first
    Request* idle = nullptr;
    LONG interfaceReferences = 0;
    uint32_t resets = 0;
    uint32_t cycles = 0;
    std::vector<PortFaultEntry> faults;
    std::map<uint8_t, IsoStatistics> statistics;  // by endpoint address
    std::map<uint8_t, std::deque<IsoEvent>> events;  // by endpoint address, at most kIsoEventLimit each
    // While one URB is served: the longest delay the device asked for before its answer, in ms.
    uint32_t answerDelayMs = 0;
    std::vector<sim::ke::ScheduledWorkId> scripted;  // scheduled unplug and replug
    int scriptedRunning = 0;                          // of those, running on the DPC thread now
};

struct Bus {
    std::mutex lock;
    std::vector<Port*> ports;                            // live ports, by plug order
    std::map<PIRP, std::unique_ptr<Request>> requests;  // every request the bus holds
    uint64_t nextHandle = 0;
    uint64_t nextSerial = 0;
    // The frame clock's next tick (0: none scheduled).
    sim::ke::Time tickDue = 0;
    sim::ke::ScheduledWorkId tickId = 0;
};

Bus& TheBus();

// The simulated clock in 1 ms frames.
uint64_t FrameNow();
// The 32-bit frame number clients see for a frame of the simulated clock (the counter's base added).
ULONG BusFrame(uint64_t frame);

// A handle value for pipes, interfaces and configurations: unique for the process's life and never
// a valid address, so a stale handle is recognised and a dereference faults.
PVOID NewHandleLocked(Bus& bus);

void CompleteNow(const std::vector<IrpDone>& list);
// Completes list and then irp (the request that caused them) in order: inline for a synchronous
// port, else on the DPC thread. Answers what the dispatch routine returns.
NTSTATUS CompleteAfter(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, std::vector<IrpDone> list);

// Takes a held request out of the bus: unlinks it and, unless its cancel routine already runs
// (which then completes it), forgets it and appends its IRP to done with status.
void DetachLocked(Bus& bus, Request* request, NTSTATUS status, std::vector<IrpDone>& done);
// Every request held for the port (only those on its pipes when pipesOnly; all but the idle
// notification when keepIdle), with the URB status usbdStatus and the IRP status ntStatus.
void DetachAllLocked(Bus& bus, Port& port, USBD_STATUS usbdStatus, NTSTATUS ntStatus, std::vector<IrpDone>& done,
                     bool pipesOnly = false, bool keepIdle = false);

// Holds irp (marked pending) with the request; a cancel routine completes it with STATUS_CANCELLED.
// Answers false when the IRP was cancelled before the routine was in place: the request is already
// gone and the caller completes the IRP with STATUS_CANCELLED after releasing the lock.
bool HoldLocked(Bus& bus, std::unique_ptr<Request> request);

// How the bus maps the USBD status of a URB to the IRP's status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);
const char* UsbdStatusName(USBD_STATUS status);

// Serves IOCTL_INTERNAL_USB_SUBMIT_URB; answers what the dispatch routine returns.
NTSTATUS SubmitUrb(Port& port, PDEVICE_OBJECT device, PIRP irp);

// ---- Pipes and the frame schedule (frame_schedule.cpp) ----

Pipe* FindPipeLocked(Port& port, USBD_PIPE_HANDLE handle);
// Cancels every transfer on the pipe (URB status USBD_STATUS_CANCELED, STATUS_CANCELLED).
void CancelPipeLocked(Bus& bus, Pipe& pipe, std::vector<IrpDone>& done);
// Isochronous and interrupt submissions; answer the URB status when the transfer was not taken
// (USBD_STATUS_PENDING when it is held).
USBD_STATUS SubmitIsochronousLocked(Bus& bus, Port& port, PIRP irp, PURB urb, bool* cancelled);
USBD_STATUS SubmitInterruptLocked(Bus& bus, Port& port, PIRP irp, PURB urb, bool* cancelled);
IsoStatistics& StatisticsLocked(Port& port, uint8_t endpoint);
void RecordEventLocked(Port& port, uint8_t endpoint, const IsoEvent& event);

}  // namespace sim::usb
