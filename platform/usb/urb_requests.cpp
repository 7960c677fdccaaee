// IOCTL_INTERNAL_USB_SUBMIT_URB: the URB functions on the default pipe (descriptors, class, vendor
// and standard requests turned into setup packets), configuration and interface selection with the
// pipe information, pipe requests, and the status mapping of the bus.
#include "bus_internal.h"

#include "../devices/descriptor_walk.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <span>

namespace sim::usb {

namespace {

// ---- Status names and their NTSTATUS ----

struct StatusRow {
    USBD_STATUS usbd;
    NTSTATUS nt;
    const char* name;
};

constexpr StatusRow kStatusRows[] = {
    {USBD_STATUS_SUCCESS, STATUS_SUCCESS, "USBD_STATUS_SUCCESS"},
    {USBD_STATUS_PENDING, STATUS_PENDING, "USBD_STATUS_PENDING"},
    {USBD_STATUS_CANCELED, STATUS_CANCELLED, "USBD_STATUS_CANCELED"},
    {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, "USBD_STATUS_DEVICE_GONE"},
    {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, "USBD_STATUS_INSUFFICIENT_RESOURCES"},
    {USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER, "USBD_STATUS_INVALID_PARAMETER"},
    {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER, "USBD_STATUS_INTERFACE_NOT_FOUND"},
    {USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_INVALID_PARAMETER,
     "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR"},
    {USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED, "USBD_STATUS_NOT_SUPPORTED"},
    {USBD_STATUS_ERROR_BUSY, STATUS_DEVICE_BUSY, "USBD_STATUS_ERROR_BUSY"},
    {USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT, "USBD_STATUS_TIMEOUT"},
    {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, "USBD_STATUS_STALL_PID"},
    {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, "USBD_STATUS_ENDPOINT_HALTED"},
    {USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL, "USBD_STATUS_SET_CONFIG_FAILED"},
    {USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL, "USBD_STATUS_BAD_START_FRAME"},
    {USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL, "USBD_STATUS_ISOCH_REQUEST_FAILED"},
};

const StatusRow* FindStatus(USBD_STATUS status) {
    for (const StatusRow& row : kStatusRows) {
        if (row.usbd == status) return &row;
    }
    return nullptr;
}

// ---- Requests on the default pipe ----

// How a URB function's record becomes a setup packet.
enum class Shape : uint8_t {
    Descriptor,     // _URB_CONTROL_DESCRIPTOR_REQUEST: GET_DESCRIPTOR, wValue type:index, wIndex LanguageId
    VendorClass,    // _URB_CONTROL_VENDOR_OR_CLASS_REQUEST: every field from the URB, direction from the flags
    Status,         // _URB_CONTROL_GET_STATUS_REQUEST: GET_STATUS, wIndex Index
    Feature,        // _URB_CONTROL_FEATURE_REQUEST: SET_ or CLEAR_FEATURE, wValue FeatureSelector, no data
    Configuration,  // _URB_CONTROL_GET_CONFIGURATION_REQUEST: GET_CONFIGURATION
    Interface,      // _URB_CONTROL_GET_INTERFACE_REQUEST: GET_INTERFACE, wIndex Interface
};

struct ControlRow {
    USHORT function;
    Shape shape;
    uint8_t type;       // BMREQUEST_STANDARD, _CLASS, _VENDOR
    uint8_t recipient;  // BMREQUEST_TO_DEVICE ... _OTHER
    uint8_t request;    // fixed bRequest (not VendorClass)
    const char* name;
};

constexpr ControlRow kControlRows[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, Shape::Descriptor, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
     USB_REQUEST_GET_DESCRIPTOR, "GET_DESCRIPTOR_FROM_DEVICE"},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, Shape::Descriptor, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
     USB_REQUEST_GET_DESCRIPTOR, "GET_DESCRIPTOR_FROM_INTERFACE"},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, Shape::Descriptor, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT,
     USB_REQUEST_GET_DESCRIPTOR, "GET_DESCRIPTOR_FROM_ENDPOINT"},
    {URB_FUNCTION_VENDOR_DEVICE, Shape::VendorClass, BMREQUEST_VENDOR, BMREQUEST_TO_DEVICE, 0, "VENDOR_DEVICE"},
    {URB_FUNCTION_VENDOR_INTERFACE, Shape::VendorClass, BMREQUEST_VENDOR, BMREQUEST_TO_INTERFACE, 0,
     "VENDOR_INTERFACE"},
    {URB_FUNCTION_VENDOR_ENDPOINT, Shape::VendorClass, BMREQUEST_VENDOR, BMREQUEST_TO_ENDPOINT, 0, "VENDOR_ENDPOINT"},
    {URB_FUNCTION_VENDOR_OTHER, Shape::VendorClass, BMREQUEST_VENDOR, BMREQUEST_TO_OTHER, 0, "VENDOR_OTHER"},
    {URB_FUNCTION_CLASS_DEVICE, Shape::VendorClass, BMREQUEST_CLASS, BMREQUEST_TO_DEVICE, 0, "CLASS_DEVICE"},
    {URB_FUNCTION_CLASS_INTERFACE, Shape::VendorClass, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, 0, "CLASS_INTERFACE"},
    {URB_FUNCTION_CLASS_ENDPOINT, Shape::VendorClass, BMREQUEST_CLASS, BMREQUEST_TO_ENDPOINT, 0, "CLASS_ENDPOINT"},
    {URB_FUNCTION_CLASS_OTHER, Shape::VendorClass, BMREQUEST_CLASS, BMREQUEST_TO_OTHER, 0, "CLASS_OTHER"},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, Shape::Status, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
     USB_REQUEST_GET_STATUS, "GET_STATUS_FROM_DEVICE"},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, Shape::Status, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
     USB_REQUEST_GET_STATUS, "GET_STATUS_FROM_INTERFACE"},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, Shape::Status, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT,
     USB_REQUEST_GET_STATUS, "GET_STATUS_FROM_ENDPOINT"},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, Shape::Status, BMREQUEST_STANDARD, BMREQUEST_TO_OTHER,
     USB_REQUEST_GET_STATUS, "GET_STATUS_FROM_OTHER"},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
     USB_REQUEST_SET_FEATURE, "SET_FEATURE_TO_DEVICE"},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
     USB_REQUEST_SET_FEATURE, "SET_FEATURE_TO_INTERFACE"},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT,
     USB_REQUEST_SET_FEATURE, "SET_FEATURE_TO_ENDPOINT"},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_OTHER,
     USB_REQUEST_SET_FEATURE, "SET_FEATURE_TO_OTHER"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
     USB_REQUEST_CLEAR_FEATURE, "CLEAR_FEATURE_TO_DEVICE"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
     USB_REQUEST_CLEAR_FEATURE, "CLEAR_FEATURE_TO_INTERFACE"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT,
     USB_REQUEST_CLEAR_FEATURE, "CLEAR_FEATURE_TO_ENDPOINT"},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, Shape::Feature, BMREQUEST_STANDARD, BMREQUEST_TO_OTHER,
     USB_REQUEST_CLEAR_FEATURE, "CLEAR_FEATURE_TO_OTHER"},
    {URB_FUNCTION_GET_CONFIGURATION, Shape::Configuration, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE,
     USB_REQUEST_GET_CONFIGURATION, "GET_CONFIGURATION"},
    {URB_FUNCTION_GET_INTERFACE, Shape::Interface, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE,
     USB_REQUEST_GET_INTERFACE, "GET_INTERFACE"},
};

const ControlRow* FindControlRow(USHORT function) {
    for (const ControlRow& row : kControlRows) {
        if (row.function == function) return &row;
    }
    return nullptr;
}

const char* FunctionName(USHORT function) {
    if (const ControlRow* row = FindControlRow(function)) return row->name;
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
        case URB_FUNCTION_SELECT_INTERFACE: return "SELECT_INTERFACE";
        case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return "GET_CURRENT_FRAME_NUMBER";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "BULK_OR_INTERRUPT_TRANSFER";
        case URB_FUNCTION_ISOCH_TRANSFER: return "ISOCH_TRANSFER";
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
        case URB_FUNCTION_SYNC_RESET_PIPE: return "SYNC_RESET_PIPE";
        case URB_FUNCTION_SYNC_CLEAR_STALL: return "SYNC_CLEAR_STALL";
        default: return "URB function";
    }
}

// A URB the bus refuses without reaching the device: a note in the device's log, and the status.
USBD_STATUS Refuse(Port& port, PURB urb, USBD_STATUS status, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

USBD_STATUS Refuse(Port& port, PURB urb, USBD_STATUS status, const char* format, ...) {
    char why[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    char text[256];
    std::snprintf(text, sizeof text, "bus: %s (0x%04X) refused: %s (%s)", FunctionName(urb->UrbHeader.Function),
                  urb->UrbHeader.Function, why, UsbdStatusName(status));
    port.device->Note(text);
    return status;
}

// One control transfer for a URB. A request the device leaves unanswered holds the URB until the
// IRP is cancelled; onStall is the URB status of a STALL.
// The URB status of a device's answer; *transferred the bytes it moved.
USBD_STATUS AnswerStatus(const ControlResult& r, std::span<uint8_t> data, ULONG* transferred, USBD_STATUS onStall) {
    switch (r.status) {
        case ControlStatus::Ok:
            *transferred = std::min<ULONG>(r.length, ULONG(data.size()));
            return USBD_STATUS_SUCCESS;
        case ControlStatus::Stall:
            *transferred = 0;
            return onStall;
        case ControlStatus::NoDevice:
        case ControlStatus::Pending:
            break;
    }
    *transferred = 0;
    return USBD_STATUS_DEVICE_GONE;
}

// When a late answer is due: `answer` runs under the bus lock on the request still held for irp
// with this serial (none when it was cancelled or the device left meanwhile), then the IRPs it
// detached complete.
template <typename Answer>
void AnswerHeldRequest(PIRP irp, uint64_t serial, Answer answer) {
    Bus& bus = TheBus();
    std::vector<IrpDone> answered;
    {
        std::lock_guard guard(bus.lock);
        auto it = bus.requests.find(irp);
        if (it == bus.requests.end() || it->second->serial != serial) return;
        answer(bus, it->second.get(), answered);
    }
    CompleteNow(answered);
}

// A deferred request's answer is due: the device serves it now and the URB completes with it.
void AnswerDeferredRequest(PIRP irp, uint64_t serial) {
    AnswerHeldRequest(irp, serial, [](Bus& bus, Request* r, std::vector<IrpDone>& answered) {
        const std::span<uint8_t> data(r->deferredData, r->deferredBytes);
        const ControlResult answer = r->port->device->AnswerDeferred(r->pendingId, data);
        ULONG ignored = 0;
        const USBD_STATUS status =
            AnswerStatus(answer, data, r->deferredTransferred != nullptr ? r->deferredTransferred : &ignored, r->lateStatus);
        r->urb->UrbHeader.Status = status;
        DetachLocked(bus, r, status == USBD_STATUS_DEVICE_GONE ? r->port->goneStatus : NtStatusFromUsbd(status),
                     answered);
    });
}

// One control transfer for a URB. A request the device leaves unanswered holds the URB until the
// IRP is cancelled; onStall is the URB status of a STALL. With mayDefer (the URB's only transfer),
// a late answer holds the URB and the request takes effect only when the device answers.
USBD_STATUS ControlTransferLocked(Bus& bus, Port& port, PIRP irp, PURB urb, const SetupPacket& setup,
                                  std::span<uint8_t> data, ULONG* transferred, bool* cancelled,
                                  USBD_STATUS onStall = USBD_STATUS_STALL_PID, bool mayDefer = false) {
    ULONG ignored = 0;
    if (transferred == nullptr) transferred = &ignored;
    const ControlResult r = port.device->Control(setup, data, mayDefer);
    if (r.status != ControlStatus::Pending) {
        port.answerDelayMs = std::max(port.answerDelayMs, r.delayMs);
        return AnswerStatus(r, data, transferred, onStall);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    const uint64_t serial = r.delayMs != 0 ? ++bus.nextSerial : 0;
    *cancelled = !HoldLocked(bus, std::make_unique<Request>(Request{.irp = irp,
                                                                    .urb = urb,
                                                                    .port = &port,
                                                                    .kind = RequestKind::Control,
                                                                    .pendingId = r.pendingId,
                                                                    .lateStatus = onStall,
                                                                    .serial = serial,
                                                                    .deferredData = data.data(),
                                                                    .deferredBytes = data.size(),
                                                                    .deferredTransferred = transferred == &ignored
                                                                                               ? nullptr
                                                                                               : transferred}));
    if (r.delayMs != 0 && !*cancelled) {
        const sim::ke::Time due = sim::machine::Now() + sim::ke::Time(r.delayMs) * sim::machine::kMillisecond;
        sim::ke::ScheduleDispatchWork(due, [irp, serial] { AnswerDeferredRequest(irp, serial); });
    }
    return USBD_STATUS_PENDING;
}

USBD_STATUS ControlUrbLocked(Bus& bus, Port& port, PIRP irp, PURB urb, const ControlRow& row, bool* cancelled) {
    if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes", urb->UrbHeader.Length);
    }
    bool in = true;
    uint8_t request = row.request;
    uint16_t value = 0, index = 0;
    ULONG* length = nullptr;
    PVOID buffer = nullptr;
    PMDL mdl = nullptr;
    ULONG noData = 0;
    switch (row.shape) {
        case Shape::Descriptor: {
            auto& u = urb->UrbControlDescriptorRequest;
            value = uint16_t(u.DescriptorType << 8 | u.Index);
            index = u.LanguageId;
            length = &u.TransferBufferLength, buffer = u.TransferBuffer, mdl = u.TransferBufferMDL;
            break;
        }
        case Shape::VendorClass: {
            auto& u = urb->UrbControlVendorClassRequest;
            in = USBD_TRANSFER_DIRECTION(u.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
            request = u.Request;
            value = u.Value;
            index = u.Index;
            length = &u.TransferBufferLength, buffer = u.TransferBuffer, mdl = u.TransferBufferMDL;
            break;
        }
        case Shape::Status: {
            auto& u = urb->UrbControlGetStatusRequest;
            index = u.Index;
            length = &u.TransferBufferLength, buffer = u.TransferBuffer, mdl = u.TransferBufferMDL;
            break;
        }
        case Shape::Feature: {
            auto& u = urb->UrbControlFeatureRequest;
            in = false;
            value = u.FeatureSelector;
            index = u.Index;
            length = &noData;
            break;
        }
        case Shape::Configuration: {
            auto& u = urb->UrbControlGetConfigurationRequest;
            length = &u.TransferBufferLength, buffer = u.TransferBuffer, mdl = u.TransferBufferMDL;
            break;
        }
        case Shape::Interface: {
            auto& u = urb->UrbControlGetInterfaceRequest;
            index = u.Interface;
            length = &u.TransferBufferLength, buffer = u.TransferBuffer, mdl = u.TransferBufferMDL;
            break;
        }
    }
    if (*length > MAXUSHORT) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "%u bytes do not fit a setup packet's wLength",
                      *length);
    }
    if (*length != 0 && buffer == nullptr) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER,
                      mdl != nullptr ? "only TransferBuffer is simulated, not an MDL" : "no transfer buffer");
    }
    const SetupPacket setup = MakeSetup(in, row.type, row.recipient, request, value, index, uint16_t(*length));
    return ControlTransferLocked(bus, port, irp, urb, setup, std::span(static_cast<uint8_t*>(buffer), *length), length,
                                 cancelled, USBD_STATUS_STALL_PID, /*mayDefer=*/true);
}

// ---- Configuration and interface selection ----

// The alternate setting of the selected (or to be selected) configuration, with its endpoint count.
struct SettingRef {
    const detail::AltSettingModel* setting = nullptr;
    uint8_t endpoints = 0;  // bNumEndpoints
};

USBD_STATUS FindSetting(Port& port, PURB urb, std::span<const uint8_t> configuration,
                        const detail::ConfigurationModel& model, const USBD_INTERFACE_INFORMATION& info,
                        SettingRef* out) {
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(configuration.data()));
    const USB_INTERFACE_DESCRIPTOR* d = USBD_ParseConfigurationDescriptorEx(cd, cd, info.InterfaceNumber,
                                                                            info.AlternateSetting, -1, -1, -1);
    const detail::AltSettingModel* setting = model.Find(info.InterfaceNumber, info.AlternateSetting);
    if (d == nullptr || setting == nullptr) {
        return Refuse(port, urb, USBD_STATUS_INTERFACE_NOT_FOUND, "no interface %u alternate setting %u",
                      info.InterfaceNumber, info.AlternateSetting);
    }
    if (setting->endpoints.size() < d->bNumEndpoints) {
        return Refuse(port, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
                      "interface %u alternate setting %u has %zu of its %u endpoint descriptors", info.InterfaceNumber,
                      info.AlternateSetting, setting->endpoints.size(), d->bNumEndpoints);
    }
    if (info.Length < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints)) {
        return Refuse(port, urb, USBD_STATUS_BUFFER_TOO_SMALL,
                      "interface information of %u bytes for interface %u alternate setting %u, %zu needed",
                      info.Length, info.InterfaceNumber, info.AlternateSetting,
                      size_t(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints)));
    }
    *out = SettingRef{setting, d->bNumEndpoints};
    return USBD_STATUS_SUCCESS;
}

uint32_t ServiceIntervalMicroframes(const detail::EndpointModel& e, bool highSpeed) {
    const unsigned exponent = std::clamp<unsigned>(e.interval, 1, 16) - 1;
    switch (e.TransferType()) {
        // A full-speed isochronous endpoint is served every frame, whatever its bInterval says.
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: return highSpeed ? 1u << exponent : 8u;
        case USB_ENDPOINT_TYPE_INTERRUPT: return highSpeed ? 1u << exponent : 8u * std::max<uint32_t>(e.interval, 1);
        default: return 8;
    }
}

// Opens the setting's pipes and fills the client's interface information.
void OpenInterfaceLocked(Bus& bus, Port& port, USBD_INTERFACE_INFORMATION& info, const SettingRef& ref) {
    InterfaceState state{.number = info.InterfaceNumber, .alternate = info.AlternateSetting,
                         .handle = NewHandleLocked(bus)};
    info.Class = ref.setting->interfaceClass;
    info.SubClass = ref.setting->interfaceSubClass;
    info.Protocol = ref.setting->interfaceProtocol;
    info.InterfaceHandle = state.handle;
    info.NumberOfPipes = ref.endpoints;
    PUSBD_PIPE_INFORMATION pipes = info.Pipes;  // Length was checked to hold NumberOfPipes entries
    for (uint8_t k = 0; k < ref.endpoints; ++k) {
        const detail::EndpointModel& e = ref.setting->endpoints[k];
        auto pipe = std::make_unique<Pipe>();
        pipe->handle = NewHandleLocked(bus);
        pipe->interfaceNumber = info.InterfaceNumber;
        pipe->endpoint = e.address;
        pipe->attributes = e.attributes;
        pipe->interval = e.interval;
        pipe->maxPacketBytes = e.MaxPacketBytes();
        pipe->intervalMicroframes = ServiceIntervalMicroframes(e, port.highSpeed);
        pipes[k].MaximumPacketSize = USHORT(std::min<uint32_t>(pipe->maxPacketBytes, MAXUSHORT));
        pipes[k].EndpointAddress = e.address;
        pipes[k].Interval = e.interval;
        pipes[k].PipeType = USBD_PIPE_TYPE(e.TransferType());
        pipes[k].PipeHandle = pipe->handle;
        state.pipes.push_back(std::move(pipe));
    }
    port.interfaces[state.number] = std::move(state);
}

void CloseInterfaceLocked(Bus& bus, Port& port, uint8_t number, std::vector<IrpDone>& done) {
    auto it = port.interfaces.find(number);
    if (it == port.interfaces.end()) return;
    for (auto& pipe : it->second.pipes) CancelPipeLocked(bus, *pipe, done);
    port.interfaces.erase(it);
}

USBD_STATUS StandardOut(Bus& bus, Port& port, PIRP irp, PURB urb, uint8_t recipient, uint8_t request, uint16_t value,
                        uint16_t index, bool* cancelled, USBD_STATUS onStall) {
    return ControlTransferLocked(bus, port, irp, urb,
                                 MakeSetup(false, BMREQUEST_STANDARD, recipient, request, value, index, 0), {}, nullptr,
                                 cancelled, onStall);
}

USBD_STATUS SelectConfigurationLocked(Bus& bus, Port& port, PIRP irp, PURB urb, std::vector<IrpDone>& done,
                                      bool* cancelled) {
    constexpr size_t kFixed = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    auto& u = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < kFixed) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes", urb->UrbHeader.Length);
    }
    const USB_CONFIGURATION_DESCRIPTOR* cd = u.ConfigurationDescriptor;
    if (cd == nullptr) {  // back to the unconfigured state
        if (!port.attached) return USBD_STATUS_DEVICE_GONE;
        const USBD_STATUS s = StandardOut(bus, port, irp, urb, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION, 0,
                                          0, cancelled, USBD_STATUS_SET_CONFIG_FAILED);
        if (s != USBD_STATUS_SUCCESS) return s;
        for (auto& [number, state] : port.interfaces) {
            for (auto& pipe : state.pipes) CancelPipeLocked(bus, *pipe, done);
        }
        port.interfaces.clear();
        port.configuration.clear();
        port.configurationHandle = nullptr;
        port.configurationValue = 0;
        u.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        cd->wTotalLength < cd->bLength) {
        return Refuse(port, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR,
                      "configuration descriptor with bLength %u, type %u, wTotalLength %u", cd->bLength,
                      cd->bDescriptorType, cd->wTotalLength);
    }
    // The client's copy, as wTotalLength says: its interfaces and endpoints give the pipes.
    const auto* bytes = reinterpret_cast<const uint8_t*>(cd);
    std::vector<uint8_t> configuration(bytes, bytes + cd->wTotalLength);
    const detail::ConfigurationModel model = detail::ParseConfiguration(configuration);
    if (!model.problem.empty()) {
        return Refuse(port, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, "%s", model.problem.c_str());
    }
    struct Planned {
        PUSBD_INTERFACE_INFORMATION info;
        SettingRef ref;
    };
    std::vector<Planned> plan;
    size_t offset = kFixed;
    for (unsigned i = 0; i < cd->bNumInterfaces; ++i) {
        if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length) {
            return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes holds %u of %u interfaces",
                          urb->UrbHeader.Length, i, cd->bNumInterfaces);
        }
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + offset);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0) || offset + info->Length > urb->UrbHeader.Length) {
            return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER,
                          "interface information %u of %u bytes at offset %zu of a %u-byte request", i, info->Length,
                          offset, urb->UrbHeader.Length);
        }
        for (const Planned& p : plan) {
            if (p.info->InterfaceNumber == info->InterfaceNumber) {
                return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "interface %u listed twice",
                              info->InterfaceNumber);
            }
        }
        SettingRef ref;
        const USBD_STATUS s = FindSetting(port, urb, configuration, model, *info, &ref);
        if (s != USBD_STATUS_SUCCESS) return s;
        plan.push_back({info, ref});
        offset += info->Length;
    }
    if (!port.attached) return USBD_STATUS_DEVICE_GONE;
    USBD_STATUS s = StandardOut(bus, port, irp, urb, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION,
                                cd->bConfigurationValue, 0, cancelled, USBD_STATUS_SET_CONFIG_FAILED);
    if (s != USBD_STATUS_SUCCESS) return s;
    for (auto& [number, state] : port.interfaces) {
        for (auto& pipe : state.pipes) CancelPipeLocked(bus, *pipe, done);
    }
    port.interfaces.clear();
    port.configurationHandle = nullptr;
    port.configuration = std::move(configuration);
    port.configurationValue = cd->bConfigurationValue;
    for (const Planned& p : plan) {
        if (p.info->AlternateSetting == 0) continue;
        s = StandardOut(bus, port, irp, urb, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE,
                        p.info->AlternateSetting, p.info->InterfaceNumber, cancelled, USBD_STATUS_STALL_PID);
        if (s != USBD_STATUS_SUCCESS) return s;
    }
    port.configurationHandle = NewHandleLocked(bus);
    for (const Planned& p : plan) OpenInterfaceLocked(bus, port, *p.info, p.ref);
    u.ConfigurationHandle = port.configurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterfaceLocked(Bus& bus, Port& port, PIRP irp, PURB urb, std::vector<IrpDone>& done,
                                  bool* cancelled) {
    constexpr size_t kFixed = offsetof(_URB_SELECT_INTERFACE, Interface);
    auto& u = urb->UrbSelectInterface;
    if (urb->UrbHeader.Length < kFixed + GET_USBD_INTERFACE_SIZE(0)) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes", urb->UrbHeader.Length);
    }
    if (port.configurationHandle == nullptr || u.ConfigurationHandle != port.configurationHandle) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "configuration handle %p is not the selected one's",
                      u.ConfigurationHandle);
    }
    USBD_INTERFACE_INFORMATION& info = u.Interface;
    if (info.Length < GET_USBD_INTERFACE_SIZE(0) || kFixed + info.Length > urb->UrbHeader.Length) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER,
                      "interface information of %u bytes in a %u-byte request", info.Length, urb->UrbHeader.Length);
    }
    const detail::ConfigurationModel model = detail::ParseConfiguration(port.configuration);
    SettingRef ref;
    USBD_STATUS s = FindSetting(port, urb, port.configuration, model, info, &ref);
    if (s != USBD_STATUS_SUCCESS) return s;
    if (!port.attached) return USBD_STATUS_DEVICE_GONE;
    s = StandardOut(bus, port, irp, urb, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, info.AlternateSetting,
                    info.InterfaceNumber, cancelled, USBD_STATUS_STALL_PID);
    if (s != USBD_STATUS_SUCCESS) return s;
    CloseInterfaceLocked(bus, port, info.InterfaceNumber, done);
    OpenInterfaceLocked(bus, port, info, ref);
    return USBD_STATUS_SUCCESS;
}

// ---- Pipe requests ----

USBD_STATUS PipeRequestLocked(Bus& bus, Port& port, PIRP irp, PURB urb, std::vector<IrpDone>& done,
                              bool* cancelled) {
    const USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes", urb->UrbHeader.Length);
    }
    Pipe* pipe = FindPipeLocked(port, urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return Refuse(port, urb, USBD_STATUS_INVALID_PIPE_HANDLE, "pipe handle %p is not open",
                      urb->UrbPipeRequest.PipeHandle);
    }
    char text[96];
    if (function == URB_FUNCTION_ABORT_PIPE) {
        // The abort may complete before the transfers it cancels: they come back afterwards on
        // the DPC thread, and the caller waits for them itself.
        const size_t before = port.afterAnswer.size();
        CancelPipeLocked(bus, *pipe, port.afterAnswer);
        std::snprintf(text, sizeof text, "bus: ABORT_PIPE 0x%02X (%zu transfers cancelled)", pipe->endpoint,
                      port.afterAnswer.size() - before);
        port.device->Note(text);
        return USBD_STATUS_SUCCESS;
    }
    if (!port.attached) return USBD_STATUS_DEVICE_GONE;
    if (function != URB_FUNCTION_SYNC_CLEAR_STALL) {
        // Transfers still queued would run into the reset; they end as cancelled.
        CancelPipeLocked(bus, *pipe, done);
        pipe->halted = false;
        std::snprintf(text, sizeof text, "bus: %s 0x%02X", FunctionName(function), pipe->endpoint);
        port.device->Note(text);
    }
    // Isochronous endpoints do not halt; the others are told to clear theirs.
    if (function != URB_FUNCTION_SYNC_RESET_PIPE && pipe->Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        const USBD_STATUS s = StandardOut(bus, port, irp, urb, BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                          USB_FEATURE_ENDPOINT_STALL, pipe->endpoint, cancelled, USBD_STATUS_STALL_PID);
        if (s != USBD_STATUS_SUCCESS) return s;
        pipe->halted = false;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS HandleUrbLocked(Bus& bus, Port& port, PIRP irp, PURB urb, std::vector<IrpDone>& done,
                            bool* cancelled) {
    if (urb->UrbHeader.Length < sizeof(_URB_HEADER)) return USBD_STATUS_INVALID_PARAMETER;
    const USHORT function = urb->UrbHeader.Function;
    if (const ControlRow* row = FindControlRow(function)) return ControlUrbLocked(bus, port, irp, urb, *row, cancelled);
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfigurationLocked(bus, port, irp, urb, done, cancelled);
        case URB_FUNCTION_SELECT_INTERFACE: return SelectInterfaceLocked(bus, port, irp, urb, done, cancelled);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return PipeRequestLocked(bus, port, irp, urb, done, cancelled);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return SubmitInterruptLocked(bus, port, irp, urb, cancelled);
        case URB_FUNCTION_ISOCH_TRANSFER: return SubmitIsochronousLocked(bus, port, irp, urb, cancelled);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (urb->UrbHeader.Length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
                return Refuse(port, urb, USBD_STATUS_INVALID_PARAMETER, "request of %u bytes", urb->UrbHeader.Length);
            }
            urb->UrbGetCurrentFrameNumber.FrameNumber = CurrentFrame();
            return USBD_STATUS_SUCCESS;
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX:
        case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
        case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
        case URB_FUNCTION_GET_FRAME_LENGTH:
        case URB_FUNCTION_SET_FRAME_LENGTH:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR:
            return Refuse(port, urb, USBD_STATUS_NOT_SUPPORTED, "not simulated");
        default:
            return Refuse(port, urb, USBD_STATUS_INVALID_URB_FUNCTION, "unknown function");
    }
}

// The device took its time: the URB, already served, completes with `status` once the delay the
// device asked for has passed (unless it is cancelled or the device leaves first).
USBD_STATUS HoldLateAnswerLocked(Bus& bus, Port& port, PIRP irp, PURB urb, USBD_STATUS status, bool* cancelled) {
    const uint64_t serial = ++bus.nextSerial;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    *cancelled = !HoldLocked(bus, std::make_unique<Request>(Request{.irp = irp,
                                                                    .urb = urb,
                                                                    .port = &port,
                                                                    .kind = RequestKind::Control,
                                                                    .lateStatus = status,
                                                                    .serial = serial}));
    if (*cancelled) return USBD_STATUS_PENDING;
    const sim::ke::Time due = sim::machine::Now() + sim::ke::Time(port.answerDelayMs) * sim::machine::kMillisecond;
    sim::ke::ScheduleDispatchWork(due, [irp, serial] {
        AnswerHeldRequest(irp, serial, [](Bus& b, Request* r, std::vector<IrpDone>& answered) {
            r->urb->UrbHeader.Status = r->lateStatus;
            DetachLocked(b, r, NtStatusFromUsbd(r->lateStatus), answered);
        });
    });
    return USBD_STATUS_PENDING;
}

}  // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
    const StatusRow* row = FindStatus(status);
    return row != nullptr ? row->nt : STATUS_UNSUCCESSFUL;
}

const char* UsbdStatusName(USBD_STATUS status) {
    const StatusRow* row = FindStatus(status);
    return row != nullptr ? row->name : "USBD error";
}

NTSTATUS SubmitUrb(Port& port, PDEVICE_OBJECT device, PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr) return sim::io::Finish(device, irp, STATUS_INVALID_PARAMETER);
    Bus& bus = TheBus();
    std::vector<IrpDone> done;
    bool cancelled = false;
    USBD_STATUS status;
    {
        std::lock_guard guard(bus.lock);
        port.answerDelayMs = 0;
        status = HandleUrbLocked(bus, port, irp, urb, done, &cancelled);
        if (status != USBD_STATUS_PENDING && port.answerDelayMs != 0 && port.attached) {
            status = HoldLateAnswerLocked(bus, port, irp, urb, status, &cancelled);
        }
        if (status != USBD_STATUS_PENDING) urb->UrbHeader.Status = status;
    }
    if (status != USBD_STATUS_PENDING) {
        NTSTATUS nt = NtStatusFromUsbd(status);
        std::vector<IrpDone> later;
        {
            std::lock_guard guard(bus.lock);
            if (status == USBD_STATUS_DEVICE_GONE) nt = port.goneStatus;
            later.swap(port.afterAnswer);
        }
        const NTSTATUS returned = CompleteAfter(device, irp, nt, std::move(done));
        if (!later.empty()) sim::ke::QueueDispatchWork([later] { CompleteNow(later); });
        return returned;
    }
    // Held: whatever it displaced completes first, then a request cancelled while it was being held.
    if (cancelled) done.push_back({irp, STATUS_CANCELLED});
    if (!done.empty()) sim::ke::QueueDispatchWork([done] { CompleteNow(done); });
    return STATUS_PENDING;
}

}  // namespace sim::usb
