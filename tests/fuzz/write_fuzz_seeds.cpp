// Writes the committed seed corpora of the descriptor fuzz targets from the device catalog, from
// hand-written descriptor sets in the public USB Audio Class 1.0 layouts and from the UAC 2.0 sets
// of tests/data:
//   build-fuzz/fuzz/write_fuzz_seeds tests/fuzz
// usbd_walk_fuzz_seed/ gets configuration descriptors; start_path_fuzz_seed/ gets the start path's
// input (model row, flags, failing allocation, device descriptor, configuration; see
// start_path_fuzz.cpp and start_path_models.h);
// uac2_start_fuzz_seed/ the UAC 2.0 start's (see uac2_start_fuzz.cpp).
#include "start_path_models.h"
#include "uac2_descriptor_sets.h"

#include <sim/usb_device.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using start_path::kRestartBit;
using start_path::kSynchronousBit;

// Descriptors one after the other; the configuration's wTotalLength and the AudioControl header's
// wTotalLength (the class-specific descriptors from the header up to the next interface) are
// counted here, so the hand-written sets below state only their fields.
Bytes Configuration(std::initializer_list<Bytes> descriptors) {
    Bytes out;
    size_t header = 0;
    bool audioControlInterface = false;  // the last interface descriptor is an AudioControl one
    bool inAudioControl = false;         // between its header and the next interface descriptor
    for (const Bytes& d : descriptors) {
        if (d.size() < 2 || d[0] != d.size()) {
            std::fprintf(stderr, "write_fuzz_seeds: descriptor at %zu: bLength %u, %zu bytes\n", out.size(),
                         d.empty() ? 0u : d[0], d.size());
            std::exit(1);
        }
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            audioControlInterface = d[5] == USB_DEVICE_CLASS_AUDIO && d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL;
            inAudioControl = false;
        }
        if (audioControlInterface && d[1] == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AC_HEADER) {
            header = out.size();
            inAudioControl = true;
        }
        out.insert(out.end(), d.begin(), d.end());
        if (inAudioControl) {
            const size_t total = out.size() - header;
            out[header + 5] = uint8_t(total);
            out[header + 6] = uint8_t(total >> 8);
        }
    }
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    return out;
}

// Full-speed device descriptor: USB 1.1, class in the interfaces, 8-byte control endpoint.
Bytes FullSpeedDevice(uint16_t vendor, uint16_t product) {
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0, 0, 0, 8, uint8_t(vendor), uint8_t(vendor >> 8),
            uint8_t(product), uint8_t(product >> 8), 0x00, 0x01, 0, 0, 0, 1};
}

// The microphone of the class specification's example: one microphone input terminal straight to a
// USB streaming output terminal, 8 kHz mono 16-bit on isochronous IN endpoint 1.
Bytes SpecificationMicrophone() {
    return Configuration({
        {9, 0x02, 0, 0, 2, 1, 0, 0x80, 0x0A},                       // configuration: 2 interfaces, bus powered
        {9, 0x04, 0, 0, 0, 0x01, 0x01, 0, 0},                       // AudioControl interface
        {9, 0x24, 0x01, 0x00, 0x01, 0, 0, 1, 1},                    // header: ADC 1.00, streaming interface 1
        {12, 0x24, 0x02, 1, 0x01, 0x02, 0, 1, 0x00, 0x00, 0, 0},    // input terminal 1: microphone, 1 channel
        {9, 0x24, 0x03, 2, 0x01, 0x01, 0, 1, 0},                    // output terminal 2: USB streaming from 1
        {9, 0x04, 1, 0, 0, 0x01, 0x02, 0, 0},                       // AudioStreaming interface 1, zero bandwidth
        {9, 0x04, 1, 1, 1, 0x01, 0x02, 0, 0},                       // alternate 1: one endpoint
        {7, 0x24, 0x01, 2, 1, 0x01, 0x00},                          // general: terminal 2, delay 1, PCM
        {11, 0x24, 0x02, 0x01, 1, 2, 16, 1, 0x40, 0x1F, 0x00},      // type I: mono, 2 bytes, 16 bits, 8000 Hz
        {9, 0x05, 0x81, 0x01, 16, 0, 1, 0, 0},                      // endpoint 1 IN, isochronous, 16 bytes
        {7, 0x25, 0x01, 0x00, 0, 0x00, 0x00},                       // class endpoint: no controls
    });
}

// A headset in the common UAC 1.0 shape: stereo playback mixed with the microphone (side tone)
// through a mixer unit and a feature unit to the headphones; the microphone through a feature unit
// (mute, volume, automatic gain) and a one-input selector to the host. Playback offers 16-bit
// 44.1/48 kHz and a 24-bit continuous range of 8-48 kHz; the last interface is a HID interface
// with an interrupt endpoint, which the audio function does not own.
Bytes Headset() {
    return Configuration({
        {9, 0x02, 0, 0, 4, 1, 0, 0x80, 0x32},
        {9, 0x04, 0, 0, 0, 0x01, 0x01, 0, 0},
        {10, 0x24, 0x01, 0x00, 0x01, 0, 0, 2, 1, 2},                       // header: streaming interfaces 1, 2
        {12, 0x24, 0x02, 1, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0},           // IT 1: USB streaming, L R
        {12, 0x24, 0x02, 2, 0x01, 0x02, 0, 1, 0x00, 0x00, 0, 0},           // IT 2: microphone, mono
        {13, 0x24, 0x04, 3, 2, 1, 2, 2, 0x03, 0x00, 0, 0x3F, 0},           // mixer 3: 1 and 2 into L R
        {10, 0x24, 0x06, 4, 3, 1, 0x03, 0x02, 0x02, 0},                    // FU 4: mute+volume, volume per side
        {9, 0x24, 0x03, 5, 0x02, 0x03, 0, 4, 0},                           // OT 5: headphones from 4
        {9, 0x24, 0x06, 6, 2, 1, 0x43, 0x00, 0},                           // FU 6: mute, volume, AGC
        {7, 0x24, 0x05, 7, 1, 6, 0},                                       // SU 7: one input, 6
        {9, 0x24, 0x03, 8, 0x01, 0x01, 0, 7, 0},                           // OT 8: USB streaming from 7
        {9, 0x04, 1, 0, 0, 0x01, 0x02, 0, 0},
        {9, 0x04, 1, 1, 1, 0x01, 0x02, 0, 0},
        {7, 0x24, 0x01, 1, 1, 0x01, 0x00},
        {14, 0x24, 0x02, 0x01, 2, 2, 16, 2, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00},  // 44100, 48000 Hz
        {9, 0x05, 0x01, 0x09, 196, 0, 1, 0, 0},                            // OUT 1, adaptive, 196 bytes
        {7, 0x25, 0x01, 0x01, 1, 0x01, 0x00},                              // sampling frequency control
        {9, 0x04, 1, 2, 1, 0x01, 0x02, 0, 0},
        {7, 0x24, 0x01, 1, 1, 0x01, 0x00},
        {14, 0x24, 0x02, 0x01, 2, 3, 24, 0, 0x40, 0x1F, 0x00, 0x80, 0xBB, 0x00},  // continuous 8000-48000 Hz
        {9, 0x05, 0x01, 0x09, 0x26, 0x01, 1, 0, 0},                        // 294 bytes
        {7, 0x25, 0x01, 0x01, 1, 0x01, 0x00},
        {9, 0x04, 2, 0, 0, 0x01, 0x02, 0, 0},
        {9, 0x04, 2, 1, 1, 0x01, 0x02, 0, 0},
        {7, 0x24, 0x01, 8, 1, 0x01, 0x00},
        {11, 0x24, 0x02, 0x01, 1, 2, 16, 1, 0x80, 0xBB, 0x00},             // mono 48000 Hz
        {9, 0x05, 0x82, 0x05, 98, 0, 1, 0, 0},                             // IN 2, asynchronous, 98 bytes
        {7, 0x25, 0x01, 0x01, 0, 0x00, 0x00},
        {9, 0x04, 3, 0, 1, 0x03, 0x00, 0x00, 0},                           // HID interface
        {9, 0x21, 0x11, 0x01, 0x00, 1, 0x22, 0x20, 0x00},                  // HID descriptor, 32-byte report
        {7, 0x05, 0x83, 0x03, 4, 0, 32},                                   // interrupt IN 3
    });
}

void Write(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "write_fuzz_seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// The bytes of a configuration up to its first interface of another class than audio.
size_t AudioFunctionBytes(std::span<const uint8_t> configuration) {
    for (size_t at = 0; at + 6 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        if (configuration[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && configuration[at + 5] != USB_DEVICE_CLASS_AUDIO) {
            return at;
        }
    }
    return configuration.size();
}

// bNumInterfaces of a configuration: its distinct interface numbers.
uint8_t InterfaceCount(std::span<const uint8_t> configuration) {
    bool seen[256] = {};
    uint8_t count = 0;
    for (size_t at = 0; at + 3 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        if (configuration[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && !seen[configuration[at + 2]]) {
            seen[configuration[at + 2]] = true;
            ++count;
        }
    }
    return count;
}

// The start path's input: model row, flags, the pool allocation of the start that fails (0: none),
// then the descriptors.
Bytes Concatenate(size_t row, uint8_t flags, std::span<const uint8_t> device, std::span<const uint8_t> configuration,
                  uint16_t failingAllocation = 0) {
    Bytes out = {uint8_t(row), flags, uint8_t(failingAllocation), uint8_t(failingAllocation >> 8)};
    out.insert(out.end(), device.begin(), device.end());
    out.insert(out.end(), configuration.begin(), configuration.end());
    return out;
}

// The seed name of a model row: its device, and the ids where the row gives its own.
std::string RowName(const start_path::ModelRow& row) {
    std::string name = row.device;
    if (row.inputIds) return name + "-input-ids";
    if (row.idVendor == 0 && row.idProduct == 0) return name;
    char ids[16];
    std::snprintf(ids, sizeof ids, "-%04x-%04x", row.idVendor, row.idProduct);
    return name + ids;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_fuzz_seeds <tests/fuzz directory>\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path walk = root / "usbd_walk_fuzz_seed";
    const std::filesystem::path start = root / "start_path_fuzz_seed";
    std::filesystem::create_directories(walk);
    std::filesystem::create_directories(start);

    // Every model row with its catalog device's descriptors (under ids no device rule knows where the
    // row keeps the input's); each configuration once more with the other flags and failing
    // allocations, and once to the walk target.
    std::vector<Bytes> configurations;
    // The hand-written sets take the identity of the plain UAC 1.0 (2.0) model under their own ids:
    // without a model identifier the driver starts only the few products it knows by vendor and
    // product id, and the other models have HALs of their own.
    size_t plainIdentity = 0;
    size_t plainUac2Identity = 0;
    for (size_t index = 0; index < start_path::kModelCount; ++index) {
        const start_path::ModelRow& row = start_path::kModels[index];
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(row.device);
        if (!device) {
            std::fprintf(stderr, "write_fuzz_seeds: no catalog device %s\n", row.device);
            return 1;
        }
        const std::span<const uint8_t> c = device->ConfigurationBytes(0);
        Bytes d(device->DeviceDescriptorBytes().begin(), device->DeviceDescriptorBytes().end());
        if (row.inputIds) d = FullSpeedDevice(0x7A7A, 0x0001);
        const std::string name = "catalog-" + RowName(row);
        Write(start / name, Concatenate(index, 0, d, c));
        if (std::find(configurations.begin(), configurations.end(), Bytes(c.begin(), c.end())) == configurations.end()) {
            configurations.emplace_back(c.begin(), c.end());
            Write(walk / ("catalog-" + std::string(row.device)), configurations.back());
            for (const auto& [suffix, bit] : {std::pair{"-synchronous", kSynchronousBit}, std::pair{"-restart", kRestartBit}}) {
                Write(start / (name + suffix), Concatenate(index, bit, d, c));
            }
            for (uint16_t n : {1, 8, 64}) {
                Write(start / (name + "-pool-fault-" + std::to_string(n)), Concatenate(index, 0, d, c, n));
            }
        }
        // A configuration longer than the model's own (R7T5: its HID interface after the audio
        // function), once more cut to the audio function alone.
        if (const size_t audio = AudioFunctionBytes(c); audio < c.size()) {
            Bytes cut(c.begin(), c.begin() + std::ptrdiff_t(audio));
            cut[2] = uint8_t(audio);
            cut[3] = uint8_t(audio >> 8);
            cut[4] = InterfaceCount(cut);
            Write(start / (name + "-audio-only"), Concatenate(index, 0, d, cut));
        }
        if (row.device == std::string("uac1") && row.inputIds) plainIdentity = index;
        if (row.device == std::string("uac2") && row.inputIds) plainUac2Identity = index;
    }
    const std::vector<std::string> names = sim::usb::CatalogNames();

    // The UAC 2.0 start: every UAC 2.0 catalog configuration, at its speed, with a device change
    // of the playback mute as the interrupt message and its streams run; a few with a failing
    // allocation, and the first device once with answers of its own: a continuous clock range,
    // a refused jack list, a short MEM block and 4-byte feedback.
    const std::filesystem::path uac2 = root / "uac2_start_fuzz_seed";
    std::filesystem::create_directories(uac2);
    auto uac2Input = [](uint8_t flags, uint16_t failing, uint8_t format, const Bytes& answers, std::span<const uint8_t> c) {
        Bytes input = {flags, uint8_t(failing), uint8_t(failing >> 8), 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, format,
                       uint8_t(answers.size()), uint8_t(answers.size() >> 8)};
        input.insert(input.end(), answers.begin(), answers.end());
        input.insert(input.end(), c.begin(), c.end());
        return input;
    };
    const Bytes answers = {
        0x02, 0x01, 40, 14, 1, 0, 0x44, 0xAC, 0, 0, 0x00, 0x77, 1, 0, 1, 0, 0, 0,  // RANGE: 44.1-96 kHz step 1
        0x01, 0x02, 3, 0,                                                           // jack list: STALL
        0x03, 0x00, 2, 3, 0x10, 0x00, 0x00,                                         // MEM: 3 bytes
        0xFE, 0x00, 0, 4, 0x27, 0x00, 0x06, 0x00,                                   // feedback 0x60027
    };
    for (const std::string& name : names) {
        if (name.rfind("uac2", 0) != 0) continue;
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(name);
        const std::span<const uint8_t> c = device->ConfigurationBytes(0);
        const uint8_t speed = device->GetSpeed() == sim::usb::Speed::Full ? 0x01 : 0x00;
        for (uint16_t n : {0, 1, 16}) {
            Write(uac2 / ("catalog-" + name + (n != 0 ? "-pool-fault-" + std::to_string(n) : "")),
                  uac2Input(uint8_t(speed | (n == 0 ? 0x02 : 0x00)), n, uint8_t(n == 0 ? 1 : 0), {}, c));
        }
        if (name == "uac2") Write(uac2 / "catalog-uac2-answers", uac2Input(0x02, 0, 0, answers, c));
    }

    const std::pair<const char*, Bytes> sets[] = {{"uac1-spec-microphone", SpecificationMicrophone()},
                                                  {"uac1-headset", Headset()}};
    for (const auto& [name, configuration] : sets) {
        Write(walk / name, configuration);
        Write(start / name, Concatenate(plainIdentity, 0, FullSpeedDevice(0x7A7A, 0x0001), configuration));
    }
    for (const testdata::DescriptorSet& set : testdata::Uac2DescriptorSets()) {
        const std::span<const uint8_t> all(set.descriptors);
        const std::span<const uint8_t> device = all.first(sizeof(USB_DEVICE_DESCRIPTOR));
        const std::span<const uint8_t> configuration = all.subspan(sizeof(USB_DEVICE_DESCRIPTOR));
        Write(walk / set.name, Bytes(configuration.begin(), configuration.end()));
        Write(start / set.name, Concatenate(plainUac2Identity, 0, device, configuration));
        Write(uac2 / set.name, uac2Input(0x02, 0, 0, {}, configuration));
    }
    return 0;
}
