// Small helpers shared by the simulated-device tests: control transfers in one call.
#pragma once

#include <sim/usb_device.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace usbtest {

using sim::usb::ControlResult;
using sim::usb::ControlStatus;
using sim::usb::Device;
using sim::usb::SetupPacket;

struct Reply {
    ControlStatus status;
    std::vector<uint8_t> bytes;  // the answer (IN) or nothing
};

inline Reply Transfer(Device& d, const SetupPacket& setup, std::vector<uint8_t> out = {}) {
    std::vector<uint8_t> buffer = setup.IsIn() ? std::vector<uint8_t>(setup.wLength) : out;
    buffer.resize(setup.wLength);
    const ControlResult r = d.Control(setup, buffer);
    buffer.resize(setup.IsIn() && r.status == ControlStatus::Ok ? r.length : 0);
    return Reply{r.status, buffer};
}

inline Reply Standard(Device& d, bool in, uint8_t recipient, uint8_t request, uint16_t value, uint16_t index,
                      uint16_t length) {
    return Transfer(d, sim::usb::MakeSetup(in, BMREQUEST_STANDARD, recipient, request, value, index, length));
}

inline Reply GetDescriptor(Device& d, uint8_t type, uint8_t index, uint16_t language, uint16_t length) {
    return Standard(d, true, BMREQUEST_TO_DEVICE, USB_REQUEST_GET_DESCRIPTOR, uint16_t(type << 8 | index), language,
                    length);
}

inline void Configure(Device& d, uint8_t value = 1) {
    Standard(d, false, BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION, value, 0, 0);
}

inline ControlStatus SelectAlternate(Device& d, uint8_t interfaceNumber, uint8_t alternate) {
    return Standard(d, false, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, alternate, interfaceNumber, 0).status;
}

inline std::unique_ptr<Device> Configured(std::string_view name) {
    auto d = sim::usb::CreateCatalogDevice(name);
    if (d) Configure(*d);
    return d;
}

inline std::vector<uint8_t> Le(uint32_t value, size_t bytes) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
    return out;
}

}  // namespace usbtest
