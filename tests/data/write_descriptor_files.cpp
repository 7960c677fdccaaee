// Writes the hand-written UAC 2.0 descriptor sets as sysfs device directories:
//   build/tests/write_descriptor_files tests/data
// gives tests/data/<name>/descriptors, manufacturer and product for every set. The usbdev suite
// checks that the committed files equal what this writes.
#include "uac2_descriptor_sets.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_descriptor_files DIRECTORY\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const testdata::DescriptorSet& set : testdata::Uac2DescriptorSets()) {
        const std::filesystem::path directory = root / set.name;
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "descriptors", std::ios::binary)
            .write(reinterpret_cast<const char*>(set.descriptors.data()), std::streamsize(set.descriptors.size()));
        std::ofstream(directory / "manufacturer") << testdata::kManufacturer << '\n';
        std::ofstream(directory / "product") << set.description << '\n';
        std::printf("%s: %zu bytes%s%s\n", set.name.c_str(), set.descriptors.size(),
                    set.refusal.empty() ? "" : ", refused for its ", set.refusal.c_str());
    }
    return 0;
}
