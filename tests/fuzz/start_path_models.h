// The models the start path target can give the fuzzed device (start_path_fuzz.cpp), shared with
// the seed writer (write_fuzz_seeds.cpp). Input byte 0 picks a row, modulo the table's size.
//
// A row names the catalog device whose strings, vendor answers and HID register interface the
// fuzzed device gives (the driver chooses the HAL by the model identifier string, and the model
// HALs read their variant bytes by vendor request), and the vendor and product ids its device
// descriptor carries: the model HALs choose their device rules by them. A model with a
// configuration rewrite (R7T5) thus rewrites the fuzzed configuration before its walks.
//
// A new model is one more row at the end (rows keep their positions so the committed seeds keep
// their meaning).
#pragma once

#include <cstddef>
#include <cstdint>

namespace start_path {

struct ModelRow {
    const char* device = nullptr;  // catalog device name
    uint16_t idVendor = 0;         // with idProduct: the ids served; both 0: the catalog device's own
    uint16_t idProduct = 0;
    bool inputIds = false;         // the ids stay the input's (fuzzed) ones
    bool hidRegisters = false;     // class requests to interface 3 go to the model (its HID register file)
};

inline constexpr ModelRow kModels[] = {
    {.device = "uac1", .inputIds = true},  // generic UAC 1.0 under whatever ids the input holds
    {.device = "uac1"},                    // generic UAC 1.0, chip R7U7
    {.device = "uac1-nochip"},             // no model identifier strings
    {.device = "uac1-klq864"},             // the chip of the HAL's ASIO endpoints
    {.device = "uac1-asio-vr7"},           // that chip under ids with an ASIO streaming request
    {.device = "uac2"},
    {.device = "uac2-vendor"},             // UAC 2.0 vendor extensions under their ids
    {.device = "uac1-r7t5", .hidRegisters = true},  // R7T5 under its own ids (poll and guard)
    {.device = "uac1-r7t5", .idVendor = 0x5131, .idProduct = 0x001C, .hidRegisters = true},
    {.device = "uac1-r7t5", .idVendor = 0x28DA, .idProduct = 0x268E, .hidRegisters = true},
    {.device = "uac1-r7t5", .idVendor = 0xA5E7, .idProduct = 0x0053, .hidRegisters = true},
    {.device = "uac1-r7t5", .inputIds = true, .hidRegisters = true},  // no device rule, or any the input names
    {.device = "uac1-r7t3"},
    {.device = "uac1-r7u5"},
    {.device = "uac1-w4m3"},
    {.device = "uac2", .inputIds = true},  // UAC 2.0 under whatever ids the input holds
};
inline constexpr size_t kModelCount = sizeof(kModels) / sizeof(kModels[0]);

// Input byte 1: bits besides the model.
inline constexpr uint8_t kSynchronousBit = 0x01;  // the bus completes requests inside IofCallDriver
inline constexpr uint8_t kRestartBit = 0x02;      // a started device is stopped and started again
// Bytes before the descriptors: model, flags, the failing pool allocation (2 bytes).
inline constexpr size_t kHeaderBytes = 4;

}  // namespace start_path
