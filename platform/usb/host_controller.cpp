// The root hub and its ports: plugging devices in and out, the physical device objects' dispatch
// (port requests, idle notification, the USBDI bus interface), and the requests the bus holds with
// their cancel routine.
#include "bus_internal.h"

#include <sim/machine.h>
#include <sim/verifier.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace sim::usb {

namespace {

constexpr ULONG kMaxPorts = 127;  // USB addresses 1 to 127

std::u16string Widen(const char* text) {
    std::u16string out;
    for (const char* p = text; *p != 0; ++p) out.push_back(char16_t(static_cast<unsigned char>(*p)));
    return out;
}

void UnlinkLocked(Request* r) {
    if (!r->linked) return;
    r->linked = false;
    switch (r->kind) {
        case RequestKind::Interrupt:
        case RequestKind::Isochronous:
            std::erase(r->pipe->queue, r);
            break;
        case RequestKind::Control:
            std::erase(r->port->control, r);
            break;
        case RequestKind::Idle:
            r->port->idle = nullptr;
            break;
    }
}

// The request was cancelled: its IRP completes with STATUS_CANCELLED once the lock is released.
void ForgetCancelledLocked(Bus& bus, Request* r) {
    UnlinkLocked(r);
    if (r->kind == RequestKind::Control) r->port->device->CancelPending(r->pendingId);
    if (r->urb != nullptr) r->urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    bus.requests.erase(r->irp);
}

VOID CancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus& bus = TheBus();
    {
        std::lock_guard guard(bus.lock);
        auto it = bus.requests.find(irp);
        if (it == bus.requests.end()) {
            sim::BugCheck("NOT_SIMULATED", "the USB bus's cancel routine ran for IRP %p, which it does not hold",
                          static_cast<void*>(irp));
        }
        ForgetCancelledLocked(bus, it->second.get());
    }
    CompleteNow({{irp, STATUS_CANCELLED}});
}

Port* LivePortLocked(Bus& bus, PVOID context, const char* caller) {
    auto* port = static_cast<Port*>(context);
    if (std::find(bus.ports.begin(), bus.ports.end(), port) == bus.ports.end()) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "%s called with bus context %p, which is no port of the USB bus (removed, or not a context "
                      "the bus handed out)", caller, context);
    }
    return port;
}

Port* CheckedPort(Port* port, const char* caller) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    return LivePortLocked(bus, port, caller);
}

// A request the bus makes on its own (enumeration, restoring state after a reset): nobody waits for
// it, so one the device leaves unanswered is withdrawn at once.
void BusRequestLocked(Port& port, const SetupPacket& setup) {
    const ControlResult r = port.device->Control(setup, {});
    if (r.status == ControlStatus::Pending) port.device->CancelPending(r.pendingId);
}

void AddressLocked(Port& port) {
    BusRequestLocked(port, MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_ADDRESS,
                                     uint16_t(port.number), 0, 0));
}

// ---- Bus interface (USB_BUS_INTERFACE_USBDI_GUID) ----

VOID BusInterfaceReference(PVOID context) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    ++LivePortLocked(bus, context, "InterfaceReference")->interfaceReferences;
}

VOID BusInterfaceDereference(PVOID context) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    Port* port = LivePortLocked(bus, context, "InterfaceDereference");
    if (port->interfaceReferences <= 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "InterfaceDereference of the USB bus interface of port %u without a reference", port->number);
    }
    --port->interfaceReferences;
}

VOID BusGetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    CheckedPort(static_cast<Port*>(context), "GetUSBDIVersion");
    if (version != nullptr) USBD_GetUSBDIVersion(version);
    if (capabilities != nullptr) *capabilities = 0;
}

NTSTATUS BusQueryBusTime(PVOID context, PULONG frame) {
    CheckedPort(static_cast<Port*>(context), "QueryBusTime");
    if (frame == nullptr) return STATUS_INVALID_PARAMETER;
    *frame = CurrentFrame();
    return STATUS_SUCCESS;
}

NTSTATUS BusSubmitIsoOutUrb(PVOID context, PURB) {
    CheckedPort(static_cast<Port*>(context), "SubmitIsoOutUrb");
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS BusQueryBusInformation(PVOID context, ULONG, PVOID, PULONG, PULONG) {
    CheckedPort(static_cast<Port*>(context), "QueryBusInformation");
    return STATUS_NOT_SUPPORTED;
}

BOOLEAN BusIsDeviceHighSpeed(PVOID context) {
    return CheckedPort(static_cast<Port*>(context), "IsDeviceHighSpeed")->highSpeed ? TRUE : FALSE;
}

NTSTATUS QueryInterface(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    auto& q = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
    if (q.InterfaceType == nullptr || !IsEqualGUID(*q.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
        return sim::io::Finish(device, irp, irp->IoStatus.Status, irp->IoStatus.Information);  // not ours
    }
    if (q.Version > USB_BUSIF_USBDI_VERSION_1) return sim::io::Finish(device, irp, STATUS_NOT_SUPPORTED);
    const USHORT size = q.Version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                                                               : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (q.Interface == nullptr || q.Size < size) return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);

    // A version 0 record is the head of a version 1 record: write only what the caller asked for.
    USB_BUS_INTERFACE_USBDI_V1 record{};
    record.Size = size;
    record.Version = q.Version;
    record.BusContext = &port;
    record.InterfaceReference = BusInterfaceReference;
    record.InterfaceDereference = BusInterfaceDereference;
    record.GetUSBDIVersion = BusGetUsbdiVersion;
    record.QueryBusTime = BusQueryBusTime;
    record.SubmitIsoOutUrb = BusSubmitIsoOutUrb;
    record.QueryBusInformation = BusQueryBusInformation;
    record.IsDeviceHighSpeed = BusIsDeviceHighSpeed;
    std::memcpy(q.Interface, &record, size);
    BusInterfaceReference(&port);  // the caller's reference
    return sim::io::Finish(device, irp, STATUS_SUCCESS);
}

// ---- Port requests ----

NTSTATUS ResetPort(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    Bus& bus = TheBus();
    std::vector<IrpDone> done;
    {
        std::lock_guard guard(bus.lock);
        if (!port.attached) return sim::io::Finish(device, irp, STATUS_DEVICE_NOT_CONNECTED);
        // The client must have cancelled and drained its own requests first; the idle notification
        // is the hub's and stays.
        const size_t outstanding = std::count_if(bus.requests.begin(), bus.requests.end(), [&port](const auto& entry) {
            return entry.second->port == &port && entry.second->kind != RequestKind::Idle;
        });
        if (outstanding != 0) {
            sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                          "IOCTL_INTERNAL_USB_RESET_PORT on port %u with %zu requests of its client still pending",
                          port.number, outstanding);
        }
        ++port.resets;
        port.device->BusReset();
        // The device comes back as the client left it: address, configuration, alternate settings.
        AddressLocked(port);
        if (port.configurationHandle != nullptr) {
            BusRequestLocked(port, MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
                                             USB_REQUEST_SET_CONFIGURATION, port.configurationValue, 0, 0));
            for (auto& [number, state] : port.interfaces) {
                if (state.alternate != 0) {
                    BusRequestLocked(port, MakeSetup(false, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
                                                     USB_REQUEST_SET_INTERFACE, state.alternate, number, 0));
                }
                for (auto& pipe : state.pipes) pipe->halted = false;
            }
        }
    }
    return CompleteAfter(device, irp, STATUS_SUCCESS, std::move(done));
}

// The port's requests of the old node are all gone and its bus interface released: what RemovePort
// and a re-enumeration require before the physical device object goes.
void CheckPortReleasedLocked(Bus& bus, Port& port, const char* what) {
    const size_t held = std::count_if(bus.requests.begin(), bus.requests.end(),
                                      [&port](const auto& entry) { return entry.second->port == &port; });
    if (held != 0) {
        sim::BugCheck("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                      "port %u of the USB bus is %s with %zu requests still held for it", port.number, what, held);
    }
    if (port.interfaceReferences != 0) {
        sim::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "port %u of the USB bus is %s with %ld references on its bus interface not released", port.number,
                      what, static_cast<long>(port.interfaceReferences));
    }
}

// Runs on the PnP manager's thread once the old node is removed: its physical device object goes,
// the device comes back in its power-on state and gets a new node.
sim::pnp::DeviceNode* ReenumerateRemoved(Port& port) {
    Bus& bus = TheBus();
    {
        std::lock_guard guard(bus.lock);
        CheckPortReleasedLocked(bus, port, "re-enumerated");
    }
    sim::pnp::DeleteDevice(port.node);
    sim::pnp::DeviceNode* node = sim::pnp::CreateDevice(port.description);
    {
        std::lock_guard guard(bus.lock);
        port.node = node;
        port.pdo = sim::pnp::PhysicalDeviceObject(node);
    }
    port.device->Replug();
    std::lock_guard guard(bus.lock);
    port.reenumerating = false;
    return node;
}

NTSTATUS CyclePort(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    Bus& bus = TheBus();
    {
        std::lock_guard guard(bus.lock);
        if (!port.attached) return sim::io::Finish(device, irp, STATUS_DEVICE_NOT_CONNECTED);
        ++port.cycles;
        if (port.reenumerate) port.reenumerating = true;
    }
    // The observer completes what was outstanding.
    port.device->Unplug();
    if (!port.reenumerate) {
        // The device is enumerated anew under the same node.
        port.device->Replug();
    } else {
        // The hub reports the device gone and then finds it again: a new node once the old one is removed.
        sim::pnp::ReportDeviceMissing(port.node, [&port] { return ReenumerateRemoved(port); });
    }
    return sim::io::Finish(device, irp, STATUS_SUCCESS);
}

NTSTATUS SubmitIdleNotification(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    const auto* info = static_cast<const USB_IDLE_CALLBACK_INFO*>(parameters.Type3InputBuffer);
    if (info == nullptr || parameters.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
        info->IdleCallback == nullptr) {
        return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);
    }
    Bus& bus = TheBus();
    bool held;
    {
        std::lock_guard guard(bus.lock);
        if (!port.attached) return sim::io::Finish(device, irp, STATUS_DEVICE_NOT_CONNECTED);
        if (port.idle != nullptr) return sim::io::Finish(device, irp, STATUS_DEVICE_BUSY);
        auto request = std::make_unique<Request>(Request{.irp = irp,
                                                         .port = &port,
                                                         .kind = RequestKind::Idle,
                                                         .idleCallback = info->IdleCallback,
                                                         .idleContext = info->IdleContext});
        held = HoldLocked(bus, std::move(request));
    }
    if (!held) CompleteNow({{irp, STATUS_CANCELLED}});
    return STATUS_PENDING;
}

NTSTATUS InternalControl(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(port, device, irp);
    Bus& bus = TheBus();
    {
        std::lock_guard guard(bus.lock);
        for (auto it = port.faults.begin(); it != port.faults.end(); ++it) {
            if (it->ioControlCode != code) continue;
            const NTSTATUS status = it->status;
            if (--it->times == 0) port.faults.erase(it);
            return sim::io::Finish(device, irp, status);
        }
    }
    switch (code) {
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (status == nullptr) return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);
            std::lock_guard guard(bus.lock);
            if (!port.attached && port.goneStatus == STATUS_NO_SUCH_DEVICE) return sim::io::Finish(device, irp, STATUS_NO_SUCH_DEVICE);
            *status = port.attached && !port.reportsGone ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(port, device, irp);
        case IOCTL_INTERNAL_USB_CYCLE_PORT: return CyclePort(port, device, irp);
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: return SubmitIdleNotification(port, device, irp);
        default: return sim::io::Finish(device, irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS Dispatch(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return InternalControl(port, device, irp);
        case IRP_MJ_PNP:
            if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE) return QueryInterface(port, device, irp);
            return sim::io::Finish(device, irp, irp->IoStatus.Status, irp->IoStatus.Information);
        case IRP_MJ_POWER:
            return sim::io::Finish(device, irp, STATUS_NOT_SUPPORTED);
        default:
            return sim::io::Finish(device, irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void OnAttachChanged(Port& port, bool attached) {
    Bus& bus = TheBus();
    std::vector<IrpDone> done;
    {
        std::lock_guard guard(bus.lock);
        port.attached = attached;
        DetachAllLocked(bus, port, USBD_STATUS_DEVICE_GONE, port.goneStatus, done);
        if (attached) {
            // Enumerated anew: the old configuration and pipe handles mean nothing any more.
            port.interfaces.clear();
            port.configuration.clear();
            port.configurationHandle = nullptr;
            port.configurationValue = 0;
            AddressLocked(port);
        }
    }
    if (!done.empty()) sim::ke::QueueDispatchWork([done] { CompleteNow(done); });
}

}  // namespace

// ---- Shared machinery ----

Bus& TheBus() {
    static Bus* bus = new Bus();  // lives as long as the process: ticks and cancel routines may still run
    return *bus;
}

uint64_t FrameNow() { return uint64_t(sim::machine::Now()) / uint64_t(sim::machine::kMillisecond); }

namespace {
std::atomic<uint32_t> g_FrameBase{0};
}  // namespace

ULONG BusFrame(uint64_t frame) { return ULONG(frame + g_FrameBase.load(std::memory_order_relaxed)); }

ULONG CurrentFrame() { return BusFrame(FrameNow()); }

void SetFrameCounterOffset(uint32_t offset) { g_FrameBase.store(offset, std::memory_order_relaxed); }

PVOID NewHandleLocked(Bus& bus) {
    return reinterpret_cast<PVOID>(uintptr_t(0xFFFF'D000'0000'0000ull) + (++bus.nextHandle << 4));
}

void CompleteNow(const std::vector<IrpDone>& list) {
    for (const IrpDone& c : list) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = 0;
        IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
}

NTSTATUS CompleteAfter(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, std::vector<IrpDone> list) {
    if (list.empty()) return sim::io::Finish(device, irp, status);
    list.push_back({irp, status});
    if (sim::io::CompletionMode(device) == sim::io::Completion::Synchronous) {
        CompleteNow(list);
        return status;
    }
    IoMarkIrpPending(irp);
    sim::ke::QueueDispatchWork([list] { CompleteNow(list); });
    return STATUS_PENDING;
}

void DetachLocked(Bus& bus, Request* request, NTSTATUS status, std::vector<IrpDone>& done) {
    UnlinkLocked(request);
    // A cancel routine already under way owns the request; it finds it and completes the IRP.
    if (IoSetCancelRoutine(request->irp, nullptr) == nullptr) return;
    PIRP irp = request->irp;
    bus.requests.erase(irp);
    done.push_back({irp, status});
}

void DetachAllLocked(Bus& bus, Port& port, USBD_STATUS usbdStatus, NTSTATUS ntStatus, std::vector<IrpDone>& done,
                     bool pipesOnly, bool keepIdle) {
    std::vector<Request*> list;
    for (auto& [number, state] : port.interfaces) {
        for (auto& pipe : state.pipes) list.insert(list.end(), pipe->queue.begin(), pipe->queue.end());
    }
    if (!pipesOnly) {
        list.insert(list.end(), port.control.begin(), port.control.end());
        if (port.idle != nullptr && !keepIdle) list.push_back(port.idle);
    }
    for (Request* r : list) {
        if (r->urb != nullptr) r->urb->UrbHeader.Status = usbdStatus;
        DetachLocked(bus, r, ntStatus, done);
    }
}

bool HoldLocked(Bus& bus, std::unique_ptr<Request> request) {
    Request* r = request.get();
    PIRP irp = r->irp;
    IoMarkIrpPending(irp);
    switch (r->kind) {
        case RequestKind::Interrupt:
        case RequestKind::Isochronous: r->pipe->queue.push_back(r); break;
        case RequestKind::Control: r->port->control.push_back(r); break;
        case RequestKind::Idle: r->port->idle = r; break;
    }
    r->linked = true;
    bus.requests[irp] = std::move(request);
    IoSetCancelRoutine(irp, CancelHeld);
    // Cancelled before the routine was in place: nobody else will complete it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        ForgetCancelledLocked(bus, r);
        return false;
    }
    return true;
}

// ---- Simulation API ----

Port* PlugDevice(std::unique_ptr<Device> device, const PlugOptions& options) {
    if (device == nullptr) sim::BugCheck("NOT_SIMULATED", "PlugDevice without a device");
    Bus& bus = TheBus();
    auto* port = new Port();
    port->device = std::move(device);
    port->highSpeed = port->device->GetSpeed() == Speed::High;
    {
        std::lock_guard guard(bus.lock);
        for (ULONG n = 1; n <= kMaxPorts && port->number == 0; ++n) {
            if (std::none_of(bus.ports.begin(), bus.ports.end(), [n](Port* p) { return p->number == n; })) {
                port->number = n;
            }
        }
        if (port->number == 0) sim::BugCheck("NOT_SIMULATED", "every port of the USB root hub is taken");
        bus.ports.push_back(port);
    }

    const USB_DEVICE_DESCRIPTOR d = port->device->Descriptor();
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    sim::pnp::DeviceDescription description;
    description.deviceId = Widen(text);
    std::snprintf(text, sizeof text, "&REV_%04X", d.bcdDevice);
    description.hardwareIds = {description.deviceId + Widen(text), description.deviceId};
    std::span<const uint8_t> configuration = port->device->ConfigurationBytes(0);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(configuration.data()));
    if (configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && cd->wTotalLength <= configuration.size()) {
        if (const USB_INTERFACE_DESCRIPTOR* i = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1)) {
            std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", i->bInterfaceClass,
                          i->bInterfaceSubClass, i->bInterfaceProtocol);
            description.compatibleIds.push_back(Widen(text));
            std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X", i->bInterfaceClass, i->bInterfaceSubClass);
            description.compatibleIds.push_back(Widen(text));
            std::snprintf(text, sizeof text, "USB\\Class_%02X", i->bInterfaceClass);
            description.compatibleIds.push_back(Widen(text));
        }
    }
    std::snprintf(text, sizeof text, "5&1A2B3C4D&0&%u", port->number);
    description.instanceId = options.instanceId.empty() ? Widen(text) : options.instanceId;
    description.description = options.description;
    description.service = options.service;
    description.address = port->number;
    description.completion = options.completion;
    description.dispatch = [port](PDEVICE_OBJECT object, PIRP irp) { return Dispatch(*port, object, irp); };
    port->description = description;
    port->reenumerate = options.reenumerate;
    port->node = sim::pnp::CreateDevice(description);
    port->pdo = sim::pnp::PhysicalDeviceObject(port->node);

    port->device->SetAttachObserver([port](bool attached) { OnAttachChanged(*port, attached); });
    std::lock_guard guard(bus.lock);
    port->attached = port->device->IsAttached();
    if (port->attached) AddressLocked(*port);
    return port;
}

Port* PlugCatalogDevice(std::string_view name, const PlugOptions& options) {
    std::unique_ptr<Device> device = CreateCatalogDevice(name);
    return device == nullptr ? nullptr : PlugDevice(std::move(device), options);
}

void UnplugDevice(Port* port) { CheckedPort(port, "UnplugDevice")->device->Unplug(); }

void ReplugDevice(Port* port) { CheckedPort(port, "ReplugDevice")->device->Replug(); }

void RemovePort(Port* port) {
    Bus& bus = TheBus();
    for (;;) {
        std::unique_lock guard(bus.lock);
        LivePortLocked(bus, port, "RemovePort");
        if (port->scriptedRunning != 0) {  // a scripted unplug or replug is under way on the DPC thread
            guard.unlock();
            std::this_thread::yield();
            continue;
        }
        if (port->reenumerating) {
            sim::BugCheck("NOT_SIMULATED", "port %u of the USB bus is removed while the PnP manager re-enumerates its "
                          "device (wait for sim::pnp::WaitForIdle first)", port->number);
        }
        CheckPortReleasedLocked(bus, *port, "removed");
        std::erase(bus.ports, port);
        for (sim::ke::ScheduledWorkId id : port->scripted) sim::ke::CancelScheduledWork(id);
        break;
    }
    port->device->SetAttachObserver({});
    sim::pnp::DeleteDevice(port->node);
    delete port;
}

Device& DeviceOf(Port* port) { return *CheckedPort(port, "DeviceOf")->device; }
sim::pnp::DeviceNode* NodeOf(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    return LivePortLocked(bus, port, "NodeOf")->node;
}
PDEVICE_OBJECT PhysicalDeviceObject(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    return LivePortLocked(bus, port, "PhysicalDeviceObject")->pdo;
}
ULONG PortNumber(Port* port) { return CheckedPort(port, "PortNumber")->number; }
bool IsHighSpeed(Port* port) { return CheckedPort(port, "IsHighSpeed")->highSpeed; }

void SetCompletion(Port* port, sim::io::Completion mode) {
    sim::io::SetCompletionMode(CheckedPort(port, "SetCompletion")->pdo, mode);
}

IsoStatistics Statistics(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    IsoStatistics sum;
    for (const auto& [endpoint, s] : LivePortLocked(bus, port, "Statistics")->statistics) {
        sum.transfers += s.transfers;
        sum.packets += s.packets;
        sum.gaps += s.gaps;
        sum.gapFrames += s.gapFrames;
        sum.lateTransfers += s.lateTransfers;
        sum.latePackets += s.latePackets;
        sum.refusedTransfers += s.refusedTransfers;
        sum.oversizePackets += s.oversizePackets;
        sum.packetErrors += s.packetErrors;
    }
    return sum;
}

IsoStatistics EndpointStatistics(Port* port, uint8_t endpoint) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    Port* p = LivePortLocked(bus, port, "EndpointStatistics");
    auto it = p->statistics.find(endpoint);
    return it == p->statistics.end() ? IsoStatistics{} : it->second;
}

void ClearStatistics(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    Port* p = LivePortLocked(bus, port, "ClearStatistics");
    p->statistics.clear();
    p->events.clear();
}

std::vector<IsoEvent> EndpointEvents(Port* port, uint8_t endpoint) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    Port* p = LivePortLocked(bus, port, "EndpointEvents");
    auto it = p->events.find(endpoint);
    if (it == p->events.end()) return {};
    return std::vector<IsoEvent>(it->second.begin(), it->second.end());
}

const char* IsoEventName(IsoEventKind kind) {
    switch (kind) {
        case IsoEventKind::Gap: return "gap";
        case IsoEventKind::LateTransfer: return "late transfer";
        case IsoEventKind::OversizePacket: return "oversize packet";
        case IsoEventKind::PacketError: return "packet error";
        case IsoEventKind::RefusedTransfer: return "refused transfer";
    }
    return "event";
}

namespace {

void ScheduleAttach(Port* port, ULONG frame, bool attached, const char* caller) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    Port* p = LivePortLocked(bus, port, caller);
    // Just after the frame boundary: the packets of the frame before have moved by then.
    const sim::ke::Time due = sim::ke::Time(frame) * sim::machine::kMillisecond + 1;
    p->scripted.push_back(sim::ke::ScheduleDispatchWork(due, [port, attached] {
        Bus& b = TheBus();
        {
            std::lock_guard inner(b.lock);
            // RemovePort withdraws the work it can; this check covers work already handed over.
            if (std::find(b.ports.begin(), b.ports.end(), port) == b.ports.end()) return;
            ++port->scriptedRunning;  // RemovePort waits for it
        }
        // The observer takes the bus lock and completes what the port held.
        if (attached) {
            port->device->Replug();
        } else {
            port->device->Unplug();
        }
        std::lock_guard inner(b.lock);
        --port->scriptedRunning;
    }));
}

}  // namespace

void ScheduleUnplug(Port* port, ULONG frame) { ScheduleAttach(port, frame, false, "ScheduleUnplug"); }
void ScheduleReplug(Port* port, ULONG frame) { ScheduleAttach(port, frame, true, "ScheduleReplug"); }

size_t HeldRequests(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    LivePortLocked(bus, port, "HeldRequests");
    return std::count_if(bus.requests.begin(), bus.requests.end(),
                         [port](const auto& entry) { return entry.second->port == port; });
}

LONG BusInterfaceReferences(Port* port) { return CheckedPort(port, "BusInterfaceReferences")->interfaceReferences; }
uint32_t PortResets(Port* port) { return CheckedPort(port, "PortResets")->resets; }
uint32_t PortCycles(Port* port) { return CheckedPort(port, "PortCycles")->cycles; }

void FailPortRequests(Port* port, ULONG ioControlCode, NTSTATUS status, uint32_t times) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    if (times != 0) {
        LivePortLocked(bus, port, "FailPortRequests")->faults.push_back({ioControlCode, status, times});
    }
}

void ReportPortGone(Port* port, bool gone) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    LivePortLocked(bus, port, "ReportPortGone")->reportsGone = gone;
}

size_t CancelEndpointTransfers(Port* port, uint8_t endpoint) {
    Bus& bus = TheBus();
    std::vector<IrpDone> done;
    {
        std::lock_guard guard(bus.lock);
        Port* p = LivePortLocked(bus, port, "CancelEndpointTransfers");
        for (auto& [number, state] : p->interfaces) {
            for (auto& pipe : state.pipes) {
                if (pipe->endpoint == endpoint) CancelPipeLocked(bus, *pipe, done);
            }
        }
    }
    if (!done.empty()) sim::ke::QueueDispatchWork([done] { CompleteNow(done); });
    return done.size();
}

void AnswerRemovalWith(Port* port, NTSTATUS status) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    LivePortLocked(bus, port, "AnswerRemovalWith")->goneStatus = status;
}

bool IdleRequestPending(Port* port) {
    Bus& bus = TheBus();
    std::lock_guard guard(bus.lock);
    return LivePortLocked(bus, port, "IdleRequestPending")->idle != nullptr;
}

bool CallIdleCallback(Port* port) {
    USB_IDLE_CALLBACK callback;
    PVOID context;
    {
        Bus& bus = TheBus();
        std::lock_guard guard(bus.lock);
        Port* p = LivePortLocked(bus, port, "CallIdleCallback");
        if (p->idle == nullptr) return false;
        callback = p->idle->idleCallback;
        context = p->idle->idleContext;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        sim::BugCheck("IRQL_NOT_LESS_OR_EQUAL", "CallIdleCallback at IRQL %u: the callback runs at PASSIVE_LEVEL",
                      KeGetCurrentIrql());
    }
    callback(context);
    return true;
}

}  // namespace sim::usb
