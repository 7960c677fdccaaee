// Hand-written UAC 2.0 descriptor sets in the class specification's layouts, byte by byte (not made
// with the typed builders, so a builder fault cannot hide in both). write_descriptor_files writes
// each as a sysfs directory under tests/data: <name>/descriptors (device descriptor, then the
// configuration), <name>/manufacturer and <name>/product.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testdata {

struct DescriptorSet {
    std::string name;
    std::string description;
    // Empty when the set holds only what the driver's UAC 2.0 parsing takes; else what it refuses.
    std::string refusal;
    std::vector<uint8_t> descriptors;  // the sysfs `descriptors` bytes
};

const std::vector<DescriptorSet>& Uac2DescriptorSets();

inline constexpr const char* kManufacturer = "Talmet";

}  // namespace testdata
