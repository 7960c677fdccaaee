// The hand-written UAC 2.0 descriptor sets of tests/data: the committed sysfs files are what their
// writer produces, and each loads as a working UAC 2.0 function whose clocks resolve for its streams.
#include "descriptor_walk.h"
#include "uac2_descriptor_sets.h"
#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;

const std::filesystem::path kDataDir = KV_TEST_DATA_DIR;

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DescriptorFiles, CommittedFilesAreWhatTheWriterWrites) {
    ASSERT_FALSE(testdata::Uac2DescriptorSets().empty());
    for (const testdata::DescriptorSet& set : testdata::Uac2DescriptorSets()) {
        EXPECT_EQ(ReadFile(kDataDir / set.name / "descriptors"), set.descriptors)
            << set.name << ": run write_descriptor_files tests/data";
    }
}

// Subtypes of the AudioControl descriptors of a configuration, and the master entry of every feature
// unit.
struct ControlShape {
    std::vector<uint8_t> subtypes;
    std::vector<uint32_t> featureMasters;
};
ControlShape ShapeOf(std::span<const uint8_t> configuration) {
    ControlShape shape;
    const detail::ConfigurationModel model = detail::ParseConfiguration(configuration);
    for (const detail::AltSettingModel& s : model.settings) {
        if (s.interfaceSubClass != USB_AUDIO_SUBCLASS_AUDIOCONTROL) continue;
        for (const Bytes& d : s.classDescriptors) {
            shape.subtypes.push_back(d[2]);
            if (d[2] == USB_AUDIO_AC_FEATURE_UNIT) shape.featureMasters.push_back(detail::Le32(d, 5));
        }
    }
    return shape;
}

TEST(DescriptorFiles, EveryFileStartsAUac2FunctionWithItsStreamsClocked) {
    // What each refusal names, as an AudioControl descriptor subtype (0: a feature unit without mute).
    const std::map<std::string, uint8_t> refusedSubtype = {
        {"clock selector", USB_AUDIO2_AC_CLOCK_SELECTOR}, {"clock multiplier", USB_AUDIO2_AC_CLOCK_MULTIPLIER},
        {"effect unit", USB_AUDIO2_AC_EFFECT_UNIT},       {"processing unit", USB_AUDIO2_AC_PROCESSING_UNIT},
        {"feature unit without mute", 0},
    };
    for (const testdata::DescriptorSet& set : testdata::Uac2DescriptorSets()) {
        SCOPED_TRACE(set.name);
        LoadResult loaded = LoadSysfsDescriptors((kDataDir / set.name / "descriptors").string());
        ASSERT_NE(loaded.device, nullptr) << loaded.error;
        Device& d = *loaded.device;
        EXPECT_EQ(d.GetSpeed(), Speed::High);
        Configure(d);
        ASSERT_NE(d.Audio(), nullptr);
        EXPECT_EQ(d.Audio()->Version(), AudioVersion::Uac2);
        const Reply product = GetDescriptor(d, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255);
        EXPECT_EQ(product.bytes.size(), 2 + 2 * set.description.size()) << "the product file is served";

        for (uint8_t number : {1, 2}) {
            if (d.Audio()->Render(number) == nullptr && d.Audio()->Capture(number) == nullptr) continue;
            ASSERT_EQ(SelectAlternate(d, number, 1), ControlStatus::Ok);
            EXPECT_GT(d.Audio()->StreamRate(number).value_or(0), 0u) << "interface " << int(number) << " has a clock";
        }

        const ControlShape shape = ShapeOf(d.ConfigurationBytes());
        auto has = [&](uint8_t subtype) {
            return std::find(shape.subtypes.begin(), shape.subtypes.end(), subtype) != shape.subtypes.end();
        };
        const bool everyFeatureMutes = std::all_of(shape.featureMasters.begin(), shape.featureMasters.end(),
                                                   [](uint32_t bits) { return (bits & 3) != 0; });
        if (set.refusal.empty()) {
            for (const auto& [what, subtype] : refusedSubtype) EXPECT_TRUE(subtype == 0 || !has(subtype)) << what;
            EXPECT_TRUE(everyFeatureMutes);
        } else {
            auto it = refusedSubtype.find(set.refusal);
            ASSERT_NE(it, refusedSubtype.end()) << set.refusal;
            EXPECT_TRUE(it->second == 0 ? !everyFeatureMutes : has(it->second)) << set.refusal;
        }
    }
}

}  // namespace
