// Loading devices from Linux sysfs `descriptors` files: good files become working devices, short
// and lying files are refused with a reason.
#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace sim::usb;
using namespace usbtest;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

Bytes SysfsImage(std::string_view catalogName) {
    auto d = CreateCatalogDevice(catalogName);
    Bytes image(d->DeviceDescriptorBytes().begin(), d->DeviceDescriptorBytes().end());
    image.insert(image.end(), d->ConfigurationBytes().begin(), d->ConfigurationBytes().end());
    return image;
}

class SysfsDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        m_Directory = fs::path(::testing::TempDir()) /
                      ("usbdev_sysfs_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(m_Directory);
    }
    void TearDown() override { fs::remove_all(m_Directory); }
    std::string Write(const std::string& file, const Bytes& bytes) {
        std::ofstream(m_Directory / file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return (m_Directory / file).string();
    }
    fs::path m_Directory;
};

TEST_F(SysfsDirectory, LoadsAWorkingDeviceWithItsSiblingStrings) {
    const Bytes image = SysfsImage("uac2");
    const std::string path = Write("descriptors", image);
    std::ofstream(m_Directory / "product") << "Desk Interface \xC3\xA9\n";
    LoadResult r = LoadSysfsDescriptors(path);
    ASSERT_NE(r.device, nullptr) << r.error;
    Device& d = *r.device;
    EXPECT_EQ(d.GetSpeed(), Speed::High) << "a UAC 2.0 function implies high speed";
    EXPECT_EQ(Bytes(d.DeviceDescriptorBytes().begin(), d.DeviceDescriptorBytes().end()), Bytes(image.begin(), image.begin() + 18));
    EXPECT_EQ(Bytes(d.ConfigurationBytes().begin(), d.ConfigurationBytes().end()), Bytes(image.begin() + 18, image.end()));

    Reply product = GetDescriptor(d, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 255);
    ASSERT_EQ(product.status, ControlStatus::Ok);
    EXPECT_EQ(product.bytes.size(), 2u + 2 * 16);
    EXPECT_EQ(product.bytes[2 + 2 * 15], 0xE9) << "UTF-8 text served as UTF-16";
    EXPECT_EQ(GetDescriptor(d, USB_STRING_DESCRIPTOR_TYPE, 1, 0x0409, 255).status, ControlStatus::Stall)
        << "no manufacturer file, no manufacturer string";

    // The audio function comes from the file's descriptors; clocks run at the standard rates.
    Configure(d);
    Reply rate = Transfer(d, MakeSetup(true, BMREQUEST_CLASS, BMREQUEST_TO_INTERFACE, USB_AUDIO2_CUR, 0x0100, 40 << 8, 4));
    EXPECT_EQ(rate.bytes, Le(44100, 4));
}

TEST_F(SysfsDirectory, RefusesShortAndLyingFiles) {
    const Bytes good = SysfsImage("uac1");
    const size_t configuration = good.size() - 18;
    auto withTotal = [&](uint16_t total) {
        Bytes b = good;
        b[18 + 2] = uint8_t(total);
        b[18 + 3] = uint8_t(total >> 8);
        return b;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        const char* reason;  // part of the error text
    } cases[] = {
        {"empty", {}, "fewer than the 18-byte device descriptor"},
        {"17 bytes", Bytes(good.begin(), good.begin() + 17), "fewer than the 18-byte device descriptor"},
        {"not a device descriptor", Bytes(18, 0), "not an 18-byte device descriptor"},
        {"device descriptor only", Bytes(good.begin(), good.begin() + 18), "no configuration descriptor"},
        {"configuration header cut", Bytes(good.begin(), good.begin() + 18 + 5), "truncated configuration descriptor"},
        {"wTotalLength past the end", withTotal(uint16_t(configuration + 1)), "wTotalLength"},
        {"wTotalLength below 9", withTotal(4), "wTotalLength"},
        {"trailing bytes that are no configuration", [&] { Bytes b = good; b.insert(b.end(), {9, 4, 0, 0, 0, 0, 0, 0, 0}); return b; }(),
         "no configuration descriptor at offset"},
        {"a descriptor inside runs past wTotalLength", [&] { Bytes b = good; b[18 + 9] = 200; return b; }(), "malformed"},
    };
    for (const Case& k : cases) {
        const std::string path = Write("descriptors", k.bytes);
        LoadResult r = LoadSysfsDescriptors(path, LoadOptions{.readSiblingStrings = false});
        EXPECT_EQ(r.device, nullptr) << k.what;
        EXPECT_NE(r.error.find(k.reason), std::string::npos) << k.what << ": " << r.error;
    }
    EXPECT_NE(LoadSysfsDescriptors((m_Directory / "absent").string()).error.find("absent"), std::string::npos);
}

TEST_F(SysfsDirectory, MalformedInsidesLoadOnlyWhenAskedFor) {
    Bytes b = SysfsImage("uac1");
    b[18 + 9] = 0;  // the first interface descriptor claims bLength 0
    LoadResult strict = LoadDescriptorBytes(b, "strict");
    EXPECT_EQ(strict.device, nullptr);
    LoadResult lenient = LoadDescriptorBytes(b, "lenient", LoadOptions{.allowMalformedDescriptors = true});
    ASSERT_NE(lenient.device, nullptr) << lenient.error;
    EXPECT_EQ(lenient.device->Audio(), nullptr) << "nothing behind the broken descriptor is modelled";
    EXPECT_EQ(GetDescriptor(*lenient.device, 2, 0, 0, 9).bytes.size(), 9u) << "the bytes are still served as they are";
}

// Every catalog device read back from its own descriptors loads at its own bus speed (UAC 2.0 high
// unless 3-byte feedback says full), and its endpoint sizes are valid at that speed. Four-byte
// feedback at full speed looks like high speed: that device needs its speed given.
TEST(SysfsSpeed, CatalogDevicesLoadAtTheirOwnSpeed) {
    for (const std::string& name : CatalogNames()) {
        LoadOptions options;
        if (name == "uac2-fs4") options.speed = Speed::Full;
        LoadResult r = LoadDescriptorBytes(SysfsImage(name), name, options);
        ASSERT_NE(r.device, nullptr) << name << ": " << r.error;
        EXPECT_EQ(int(r.device->GetSpeed()), int(CreateCatalogDevice(name)->GetSpeed())) << name;
    }
}

// A high-speed isochronous endpoint of more than 1,024 bytes a transaction without a second
// transaction declared is invalid; the same size as two transactions, or forced to full speed, is
// judged as such.
TEST(SysfsSpeed, OversizeIsochronousEndpointsAreRefused) {
    Bytes b = SysfsImage("uac2");
    size_t endpoint = 0;
    for (size_t p = 18 + 9; p + 7 <= b.size() && b[p] != 0; p += b[p]) {
        if (b[p + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && b[p + 2] == 0x01) endpoint = p;
    }
    ASSERT_NE(endpoint, 0u);
    auto withSize = [&](uint16_t size) {
        Bytes c = b;
        c[endpoint + 4] = uint8_t(size);
        c[endpoint + 5] = uint8_t(size >> 8);
        return c;
    };
    EXPECT_NE(LoadDescriptorBytes(withSize(1544), "x").error.find("wMaxPacketSize 0x0608 at high speed"), std::string::npos);
    EXPECT_NE(LoadDescriptorBytes(withSize(0x0800 | 772), "x").device, nullptr);
    EXPECT_EQ(LoadDescriptorBytes(withSize(0x0800 | 772), "x", LoadOptions{.speed = Speed::Full}).device, nullptr);
    EXPECT_NE(LoadDescriptorBytes(withSize(1544), "x", LoadOptions{.allowMalformedDescriptors = true}).device, nullptr);
}

}  // namespace
