// Adapter start-up on the simulated bus: short and lying descriptors, the selected configuration,
// device strings into the device's Enum key, ASIO defaults, the selective-suspend setting, the
// INI import, the timer resolution, and pool exhaustion at every allocation.
#include "engine/adapter_machine.h"

#include "driver/engine/base/IniReader.h"

#include <sim/files.h>
#include <sim/machine.h>
#include <sim/pool.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <ostream>
#include <vector>

namespace {

using namespace adapter_test;
using sim::usb::StringEntry;

sim::usb::RequestMatch GetDescriptorMatch(uint8_t type, uint8_t index) {
    return {.bmRequestType = 0x80, .bRequest = USB_REQUEST_GET_DESCRIPTOR, .wValue = uint16_t(type << 8 | index)};
}

// Answers GET_DESCRIPTOR for configuration 0 with what `answer` makes of the real bytes and wLength.
using ConfigurationAnswer = std::function<std::vector<uint8_t>(std::vector<uint8_t> real, uint16_t wLength)>;

sim::usb::HandlerTable ConfigurationAnswers(ConfigurationAnswer answer) {
    return {.name = "configuration answers",
            .control = [answer](sim::usb::Device& d, const sim::usb::SetupPacket& s,
                                std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
                if (s.bmRequestType != 0x80 || s.bRequest != USB_REQUEST_GET_DESCRIPTOR ||
                    s.wValue != (USB_CONFIGURATION_DESCRIPTOR_TYPE << 8)) {
                    return std::nullopt;
                }
                std::vector<uint8_t> real(d.ConfigurationBytes(0).begin(), d.ConfigurationBytes(0).end());
                std::vector<uint8_t> bytes = answer(real, s.wLength);
                const size_t n = std::min(bytes.size(), data.size());
                std::copy_n(bytes.begin(), n, data.begin());
                return sim::usb::ControlResult::Ok(static_cast<uint32_t>(n));
            }};
}

void SetTotalLength(std::vector<uint8_t>& bytes, uint16_t total) {
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
}

// ---- Short and lying descriptors ----

struct DescriptorCase {
    const char* name;
    std::optional<sim::usb::ControlFault> fault;
    ConfigurationAnswer answer;
    std::optional<NTSTATUS> status;  // unset: any failure
};
void PrintTo(const DescriptorCase& c, std::ostream* os) { *os << c.name; }

class BadDescriptors : public AdapterMachine, public testing::WithParamInterface<DescriptorCase> {};

TEST_P(BadDescriptors, FailTheStartWithoutAHalOrALeak) {
    const DescriptorCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    if (c.fault) Device().AddControlFault(*c.fault);
    if (c.answer) Device().PushHandlers(ConfigurationAnswers(c.answer));
    const NTSTATUS status = Start();
    if (c.status) {
        EXPECT_EQ(status, *c.status);
    } else {
        EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    }
    EXPECT_EQ(g_Hal.created, 0);
    EXPECT_EQ(static_cast<UsbTransport*>(m_adapter)->GetConfigurationHandle(), nullptr);
}

sim::usb::ControlFault Short(sim::usb::RequestMatch match, uint32_t length) {
    return {.match = match, .action = sim::usb::FaultAction::ShortAnswer, .shortLength = length};
}
sim::usb::ControlFault Stall(sim::usb::RequestMatch match) {
    return {.match = match, .action = sim::usb::FaultAction::Stall};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadDescriptors,
    testing::Values(
        DescriptorCase{"DeviceDescriptorStalls", Stall(GetDescriptorMatch(1, 0)), {}, std::nullopt},
        DescriptorCase{"DeviceDescriptorShort", Short(GetDescriptorMatch(1, 0), 8), {}, STATUS_DEVICE_DATA_ERROR},
        DescriptorCase{"ConfigurationStalls", Stall(GetDescriptorMatch(2, 0)), {}, std::nullopt},
        DescriptorCase{"ConfigurationHeaderShort", Short(GetDescriptorMatch(2, 0), 5), {}, STATUS_DEVICE_DATA_ERROR},
        DescriptorCase{"SetConfigurationStalls",
                       Stall({.bmRequestType = 0x00, .bRequest = USB_REQUEST_SET_CONFIGURATION}), {}, std::nullopt},
        DescriptorCase{"TotalLengthBelowHeader", std::nullopt,
                       [](std::vector<uint8_t> real, uint16_t) {
                           SetTotalLength(real, 5);
                           return real;
                       },
                       STATUS_DEVICE_DATA_ERROR},
        DescriptorCase{"TotalLengthBeyondWhatArrives", std::nullopt,
                       [](std::vector<uint8_t> real, uint16_t) {
                           SetTotalLength(real, static_cast<uint16_t>(real.size() + 16));
                           return real;
                       },
                       STATUS_DEVICE_DATA_ERROR},
        DescriptorCase{"TotalLengthChangesBetweenReads", std::nullopt,
                       [](std::vector<uint8_t> real, uint16_t wLength) {
                           // The whole read claims more than the header said.
                           if (wLength > 9) SetTotalLength(real, static_cast<uint16_t>(real.size() + 64));
                           return real;
                       },
                       STATUS_DEVICE_DATA_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The selected configuration ----

TEST_F(AdapterMachine, ConfigurationIsSelectedWithEveryInterfaceAtAlternateSettingZero) {
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    UsbTransport* transport = m_adapter;
    ASSERT_NE(transport->GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(transport->GetConfigurationDescriptor()->wTotalLength, Device().ConfigurationBytes(0).size());
    EXPECT_NE(transport->GetConfigurationHandle(), nullptr);
    EXPECT_EQ(Device().ConfigurationValue(), 1);
    ASSERT_EQ(m_adapter->InterfaceCount(), 3u);
    for (ULONG i = 0; i < 3; ++i) {
        PUSBD_INTERFACE_INFORMATION info = m_adapter->InterfaceInformation(i);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->InterfaceNumber, i);
        EXPECT_EQ(info->AlternateSetting, 0);
        EXPECT_NE(info->InterfaceHandle, nullptr);
    }
    // The AudioControl interface's interrupt pipe.
    ASSERT_EQ(m_adapter->InterfaceInformation(0)->NumberOfPipes, 1u);
    EXPECT_EQ(m_adapter->InterfaceInformation(0)->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(m_adapter->InterfaceInformation(0)->Pipes[0].MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_NE(m_adapter->InterfaceInformation(0)->Pipes[0].PipeHandle, nullptr);
    EXPECT_EQ(m_adapter->InterfaceInformation(3), nullptr);
}

TEST_F(AdapterMachine, ConfigurationClaimingMoreInterfacesEndsTheSearchAndTheBusRefusesIt) {
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    Device().PushHandlers(ConfigurationAnswers([](std::vector<uint8_t> real, uint16_t) {
        real[4] = 7;  // bNumInterfaces; the configuration holds 3
        return real;
    }));
    // The search stops at interface 255 and selects the three it found; the bus wants them all.
    EXPECT_EQ(Start(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_adapter->InterfaceCount(), 0u);
    EXPECT_EQ(static_cast<UsbTransport*>(m_adapter)->GetConfigurationHandle(), nullptr);
    EXPECT_EQ(g_Hal.created, 0);
}

// ---- Device strings ----

struct StringCase {
    const char* name;
    USHORT vendorId;
    USHORT productId;
    UCHAR manufacturerIndex;
    UCHAR productIndex;
    std::vector<StringEntry> strings;
    std::optional<std::vector<uint8_t>> rawProduct;  // the product string descriptor as sent
    std::optional<std::u16string> friendlyName;
    std::optional<std::u16string> mfg;
};
void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class DeviceStrings : public AdapterMachine, public testing::WithParamInterface<StringCase> {};

TEST_P(DeviceStrings, LandInTheEnumKeyTrimmedAndBounded) {
    const StringCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    PlugDevice(Uac1WithIdentity(c.vendorId, c.productId, c.manufacturerIndex, c.productIndex, c.strings));
    if (c.rawProduct) {
        const std::vector<uint8_t> raw = *c.rawProduct;
        const UCHAR index = c.productIndex;
        Device().PushHandlers(
            {.name = "raw product string",
             .control = [raw, index](sim::usb::Device&, const sim::usb::SetupPacket& s,
                                     std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
                 if (s.bmRequestType != 0x80 || s.bRequest != USB_REQUEST_GET_DESCRIPTOR ||
                     s.wValue != (USB_STRING_DESCRIPTOR_TYPE << 8 | index)) {
                     return std::nullopt;
                 }
                 const size_t n = std::min(raw.size(), data.size());
                 std::copy_n(raw.begin(), n, data.begin());
                 return sim::usb::ControlResult::Ok(static_cast<uint32_t>(n));
             }});
    }
    // What the device's installation put there stays unless the adapter writes.
    const std::optional<std::u16string> friendlyBefore = EnumText(u"FriendlyName");
    const std::optional<std::u16string> mfgBefore = EnumText(u"Mfg");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(EnumText(u"FriendlyName"), c.friendlyName ? c.friendlyName : friendlyBefore);
    EXPECT_EQ(EnumText(u"Mfg"), c.mfg ? c.mfg : mfgBefore);
}

const std::vector<StringEntry> kNames = {{1, 0x0409, u"Maker"}, {2, 0x0409, u"Speaker"}};

std::vector<uint8_t> RawString(UCHAR bLength, std::u16string_view text) {
    std::vector<uint8_t> bytes = {bLength, USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceStrings,
    testing::Values(
        StringCase{"Both", 0x1234, 0x0001, 1, 2, kNames, std::nullopt, u"Speaker", u"Maker"},
        StringCase{"TrailingBlanks", 0x1234, 0x0001, 1, 2, {{1, 0x0409, u"Maker  "}, {2, 0x0409, u"Speaker   "}},
                   std::nullopt, u"Speaker", u"Maker"},
        StringCase{"NoManufacturerIndex", 0x1234, 0x0001, 0, 2, kNames, std::nullopt, u"Speaker", std::nullopt},
        StringCase{"NoProductIndex", 0x1234, 0x0001, 1, 0, kNames, std::nullopt, std::nullopt, u"Maker"},
        StringCase{"ProductStringMissing", 0x1234, 0x0001, 1, 5, kNames, std::nullopt, std::nullopt, u"Maker"},
        StringCase{"VendorA5E7OtherProduct", 0xA5E7, 0x0070, 1, 2, kNames, std::nullopt, u"Speaker", std::nullopt},
        StringCase{"VendorA5E7Product68", 0xA5E7, 0x0068, 1, 2, kNames, std::nullopt, u"Speaker", u"Maker"},
        // iManufacturer 0 reads string 0, the language list.
        StringCase{"VendorA5E7Product67NoIndex", 0xA5E7, 0x0067, 0, 2, kNames, std::nullopt, u"Speaker",
                   std::u16string(1, u'\x0409')},
        StringCase{"FiftyCharactersKeepFortyNine", 0x1234, 0x0001, 0, 2,
                   {{2, 0x0409, std::u16string(60, u'A')}}, std::nullopt, std::u16string(49, u'A'), std::nullopt},
        StringCase{"CutTextLosesItsBlanksAgain", 0x1234, 0x0001, 0, 2,
                   {{2, 0x0409, std::u16string(40, u'B') + std::u16string(20, u' ') + u"C"}}, std::nullopt,
                   std::u16string(40, u'B'), std::nullopt},
        StringCase{"BLengthBelowTwo", 0x1234, 0x0001, 0, 2, {}, RawString(1, u"Speaker"), u"", std::nullopt},
        StringCase{"BLengthBeyondTheAnswer", 0x1234, 0x0001, 0, 2, {}, RawString(0xFE, u"Spk"), u"Spk", std::nullopt},
        StringCase{"OddBLength", 0x1234, 0x0001, 0, 2, {}, RawString(7, u"Spk"), u"Sp", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- ASIO defaults ----

struct AsioCase {
    const char* name;
    USHORT vendorId;
    USHORT productId;
    std::vector<ULONG> engineFlags;
    std::optional<ULONG> storedBefore;
    ULONG sampleType;
    std::optional<ULONG> storedAfter;
};
void PrintTo(const AsioCase& c, std::ostream* os) { *os << c.name; }

class AsioDefaults : public AdapterMachine, public testing::WithParamInterface<AsioCase> {};

TEST_P(AsioDefaults, DeviceDefaultIsStoredOnceForAnAsioDevice) {
    const AsioCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.engineFlags = c.engineFlags;
    PlugDevice(Uac1WithIdentity(c.vendorId, c.productId, 0, 0, {}));
    if (c.storedBefore) {
        const ULONG value = *c.storedBefore;
        ASSERT_TRUE(sim::registry::SetValue(SettingsKey(), u"ASIOMLDataBitDepth", REG_BINARY, &value, 4));
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->AsioSelectedSampleType(), c.sampleType);
    EXPECT_EQ(m_adapter->AsioActiveSampleType(), c.sampleType);
    EXPECT_EQ(Setting(u"ASIOMLDataBitDepth"), c.storedAfter);
    EXPECT_EQ(m_adapter->AsioLatencyIndex(), 4u);
    EXPECT_EQ(m_adapter->AsioSampleRate(), 48000u);
    EXPECT_EQ(m_adapter->AsioRingCount(), c.engineFlags.size());
}

constexpr ULONG kAsio = EndpointFlagAsio;

INSTANTIATE_TEST_SUITE_P(
    Rows, AsioDefaults,
    testing::Values(AsioCase{"Int32Lsb24Device", 0x1043, 0x8592, {0, kAsio}, std::nullopt, 27, 27},
                    AsioCase{"Int24LsbDevice", 0x0B05, 0x17F3, {kAsio}, std::nullopt, 17, 17},
                    AsioCase{"ListedWithoutAsioEndpoint", 0x1043, 0x8592, {0, 0x1}, std::nullopt, 16, std::nullopt},
                    AsioCase{"UnlistedDevice", 0x1043, 0x8594, {kAsio}, std::nullopt, 16, std::nullopt},
                    AsioCase{"StoredValueWins", 0x1043, 0x8593, {kAsio}, 18, 18, 18},
                    AsioCase{"NoEnginesNoRingTable", 0x1043, 0x8592, {}, std::nullopt, 16, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AdapterMachine, StoredAsioSettingsAreLoadedAndASecondStartKeepsThem) {
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.engineFlags = {kAsio};
    PlugDevice(Uac1WithIdentity(0x1043, 0x8592, 0, 0, {}));
    const ULONG latency = 7;
    const ULONG rate = 96000;
    sim::registry::SetValue(SettingsKey(), u"ASIOMLDataLatency", REG_BINARY, &latency, 4);
    sim::registry::SetValue(SettingsKey(), u"ASIOMLSampleRate", REG_BINARY, &rate, 4);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->AsioLatencyIndex(), 7u);
    EXPECT_EQ(m_adapter->AsioSampleRate(), 96000u);
    EXPECT_EQ(Setting(u"ASIOMLDataBitDepth"), 27u);
    ReleaseAdapter();

    // A stored value that is not the device default shows the second start wrote nothing.
    const ULONG chosen = 16;
    sim::registry::SetValue(SettingsKey(), u"ASIOMLDataBitDepth", REG_BINARY, &chosen, 4);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->AsioSelectedSampleType(), 16u);
    EXPECT_EQ(Setting(u"ASIOMLDataBitDepth"), 16u);
}

// ---- Selective suspend setting ----

struct SuspendCase {
    const char* name;
    std::optional<std::vector<uint8_t>> stored;
    BOOLEAN enabled;
};
void PrintTo(const SuspendCase& c, std::ostream* os) { *os << c.name; }

class SelectiveSuspendSetting : public AdapterMachine, public testing::WithParamInterface<SuspendCase> {};

TEST_P(SelectiveSuspendSetting, IsReadFromDeviceParameters) {
    const SuspendCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    if (c.stored) {
        ASSERT_TRUE(sim::registry::SetValue(EnumKey() + u"\\Device Parameters", u"SelectiveSuspendEnabled", REG_DWORD,
                                            c.stored->data(), c.stored->size()));
    }
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(m_adapter->SelectiveSuspendEnabled(), c.enabled);
    // Let the idle check tick; the adapter cancels it on release.
    sim::machine::RunFor(12 * sim::machine::kSecond);
}

INSTANTIATE_TEST_SUITE_P(Rows, SelectiveSuspendSetting,
                         testing::Values(SuspendCase{"Absent", std::nullopt, FALSE},
                                         SuspendCase{"One", std::vector<uint8_t>{1, 0, 0, 0}, TRUE},
                                         SuspendCase{"Zero", std::vector<uint8_t>{0, 0, 0, 0}, FALSE},
                                         SuspendCase{"TwoBytes", std::vector<uint8_t>{1, 0}, TRUE},
                                         SuspendCase{"TooLong", std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}, FALSE}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- INI import and timer resolution ----

TEST_F(AdapterMachine, NewerIniFileIsAppliedDuringInit) {
    ScopedCreators creators(&kRecordingCreators);
    Plug("uac1");
    // The device's line names its first hardware identifier.
    WCHAR ids[256] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyHardwareID, sizeof(ids) - 2, ids, &length), STATUS_SUCCESS);
    const std::string firstId(ids, ids + std::char_traits<char16_t>::length(ids));
    ASSERT_TRUE(sim::files::WriteSystemFile(
        "KV-380D.INI", "[VERSION]\r\nVersion=3\r\n[KLORIX]\r\n" + firstId + "=DEV\r\n[DEV]\r\nStreamBlock=4\r\n"));
    const NTSTATUS status = Start();
    sim::files::RemoveSystemFile("KV-380D.INI");
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Setting(u"StreamBlock"), 4u);
    EXPECT_EQ(Setting(u"IniVersion"), 3u);
}

TEST_F(AdapterMachine, TimerResolutionIsHeldWhileTheAdapterExists) {
    const int64_t before = sim::machine::TimerResolutionRequests();
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.identify = STATUS_NOT_IMPLEMENTED;  // the start ends after the timer resolution request
    Plug("uac1");
    EXPECT_EQ(Start(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(sim::machine::TimerResolutionRequests(), before + 1);
    EXPECT_EQ(sim::machine::CurrentTimerResolution(), 10000u);
    EXPECT_TRUE(m_adapter->HoldsTimerResolution());
    ReleaseAdapter();
    EXPECT_EQ(sim::machine::TimerResolutionRequests(), before);
}

// ---- Pool exhaustion ----

class AdapterPoolFaults : public AdapterMachine, public testing::WithParamInterface<ULONG> {};

TEST_P(AdapterPoolFaults, EveryFailedAllocationLeavesNothingBehind) {
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.engineFlags = {kAsio, 0};
    Plug("uac1");
    int failures = 0;
    for (uint64_t n = 1; n < 200; ++n) {
        const sim::pool::Snapshot snapshot = sim::pool::TakeSnapshot();
        const uint64_t injected = sim::pool::InjectedFailures();
        sim::pool::FailNthAllocation(n, GetParam());
        const NTSTATUS status = Start();
        const bool fired = sim::pool::InjectedFailures() != injected;
        sim::pool::DisarmFaults();
        ReleaseAdapter();
        EXPECT_TRUE(sim::pool::LeaksSince(snapshot).Empty())
            << "allocation " << n << ": " << sim::pool::LeaksSince(snapshot).ToString();
        EXPECT_EQ(sim::usb::BusInterfaceReferences(m_port), 0);
        if (!fired) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        if (!NT_SUCCESS(status)) ++failures;
    }
    EXPECT_EQ(sim::usb::HeldRequests(m_port), 0u);
    // Some allocation of each tag is one the start cannot do without.
    if (GetParam() != UsbAudioAdapterStringTag) {
        EXPECT_GT(failures, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Tags, AdapterPoolFaults,
                         testing::Values(UsbAudioAdapterTag, UsbAudioAdapterUsbTag, UsbAudioAdapterModelTag,
                                         UsbAudioAdapterStringTag, UsbAudioAdapterTempTag, IniReaderTag),
                         [](const auto& info) {
                             std::string name = "Tag";
                             for (int i = 0; i < 4; ++i) {
                                 const char ch = static_cast<char>(info.param >> (8 * i));
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

}  // namespace
