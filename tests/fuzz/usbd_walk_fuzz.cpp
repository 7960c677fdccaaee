// libFuzzer target: arbitrary bytes as a configuration descriptor through the USBD walk and the
// select-configuration builder, then as a sysfs descriptor file through the simulated device. The
// builder's request goes back to the pool: each input must leave the pool as it found it.
#include <sim/pool.h>
#include <sim/usb_device.h>
#include <win/kernel.h>
#include <win/usb.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR) || size > 0xFFFF) return 0;
    // The caller's contract: the buffer holds wTotalLength bytes. A heap block of exactly that size
    // lets AddressSanitizer catch any read beyond it.
    std::vector<uint8_t> bytes(data, data + size);
    bytes[2] = uint8_t(size);
    bytes[3] = uint8_t(size >> 8);
    auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());

    USBD_INTERFACE_LIST_ENTRY list[33] = {};
    size_t count = 0;
    for (PVOID at = c; auto* i = USBD_ParseConfigurationDescriptorEx(c, at, -1, -1, -1, -1, -1);
         at = reinterpret_cast<PUCHAR>(i) + i->bLength) {
        if (count < 32) list[count++].InterfaceDescriptor = i;
    }
    for (LONG type : {USB_ENDPOINT_DESCRIPTOR_TYPE, USB_AUDIO_CS_INTERFACE, USB_AUDIO_CS_ENDPOINT}) {
        for (PVOID at = c; auto* d = USBD_ParseDescriptors(c, ULONG(size), at, type); at = reinterpret_cast<PUCHAR>(d) + d->bLength) {
        }
    }
    const uint64_t poolBefore = sim::pool::TotalUsage().bytes;
    if (PURB urb = USBD_CreateConfigurationRequestEx(c, list)) {
        const auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
        for (size_t i = 0; i < count; ++i) {
            if (reinterpret_cast<PUCHAR>(list[i].Interface) + list[i].Interface->Length > end) std::abort();
        }
        ExFreePool(urb);
    }
    if (sim::pool::TotalUsage().bytes != poolBefore) {
        std::fprintf(stderr, "pool left behind by the select-configuration builder\n");
        std::abort();
    }

    // The same bytes behind a device descriptor, as a device model would load them.
    std::vector<uint8_t> file = {18, 1, 0, 2, 0, 0, 0, 64, 0xE7, 0xA5, 0x70, 0, 0, 1, 0, 0, 0, 1};
    file.insert(file.end(), bytes.begin(), bytes.end());
    sim::usb::LoadResult r =
        sim::usb::LoadDescriptorBytes(file, "fuzz", sim::usb::LoadOptions{.allowMalformedDescriptors = true});
    if (r.device) {
        sim::usb::Device& d = *r.device;
        uint8_t buffer[256];
        d.Control(sim::usb::MakeSetup(false, 0, 0, USB_REQUEST_SET_CONFIGURATION, c->bConfigurationValue, 0, 0), {});
        for (uint16_t entity = 0; entity < 16; ++entity) {
            for (uint8_t request : {uint8_t(0x01), uint8_t(0x02), uint8_t(0x81), uint8_t(0x82)}) {
                d.Control(sim::usb::MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, request, 0x0201,
                                              uint16_t(entity << 8), sizeof buffer),
                          buffer);
            }
        }
        for (uint8_t alternate = 0; alternate < 3; ++alternate) {
            d.Control(sim::usb::MakeSetup(false, 0, BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, alternate, 1, 0), {});
            d.IsoIn(0x81, alternate, buffer);
            d.IsoOut(0x01, alternate, std::span(buffer, 64));
        }
    }
    return 0;
}
