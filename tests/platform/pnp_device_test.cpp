// What a physical device object tells drivers: device properties with the buffer-size protocol,
// the device's registry keys, and the device interface states.
#include "io_helpers.h"

#include "support/bugcheck.h"

#include <sim/pnp.h>
#include <sim/registry.h>

#include <cstring>
#include <vector>

using namespace io_test;

namespace {

// {8E41B3A2-5C7D-4F10-9B2E-6A1D3C4B5E6F}
constexpr GUID kSomeClass = {0x8E41B3A2, 0x5C7D, 0x4F10, {0x9B, 0x2E, 0x6A, 0x1D, 0x3C, 0x4B, 0x5E, 0x6F}};

class PnpDevice : public testing::Test {
protected:
    void SetUp() override {
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_0A0B&PID_0C0D";
        description.instanceId = u"6&1&0&4";
        description.description = u"Test Audio";
        description.address = 4;
        m_node = sim::pnp::CreateDevice(description);
        m_pdo = sim::pnp::PhysicalDeviceObject(m_node);
    }
    void TearDown() override { sim::pnp::DeleteDevice(m_node); }

    sim::pnp::DeviceNode* m_node = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
};

std::vector<UCHAR> Text(std::u16string_view text) {
    std::vector<UCHAR> bytes((text.size() + 1) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

std::vector<UCHAR> Number(ULONG value) {
    std::vector<UCHAR> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

struct PropertyCase {
    const char* name;
    DEVICE_REGISTRY_PROPERTY property;
    std::vector<UCHAR> expected;
};

class PnpDeviceProperty : public PnpDevice, public testing::WithParamInterface<PropertyCase> {};

TEST_P(PnpDeviceProperty, AnswersTheSizeFirstThenTheValue) {
    const PropertyCase& c = GetParam();
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, c.property, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(needed, c.expected.size());
    std::vector<UCHAR> buffer(needed + 4, 0xEE);
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, c.property, needed - 1, buffer.data(), &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, c.property, needed, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + needed), c.expected);
    EXPECT_EQ(buffer[needed], 0xEE);
}

std::vector<UCHAR> HardwareIds() {
    std::u16string ids(u"USB\\VID_0A0B&PID_0C0D&REV_0100");
    ids.push_back(0);
    ids += u"USB\\VID_0A0B&PID_0C0D";
    ids.push_back(0);
    return Text(ids);  // the final terminator makes the double zero
}

INSTANTIATE_TEST_SUITE_P(
    Properties, PnpDeviceProperty,
    testing::Values(PropertyCase{"HardwareID", DevicePropertyHardwareID, HardwareIds()},
                    PropertyCase{"DeviceDescription", DevicePropertyDeviceDescription, Text(u"Test Audio")},
                    PropertyCase{"EnumeratorName", DevicePropertyEnumeratorName, Text(u"USB")},
                    PropertyCase{"ClassGuid", DevicePropertyClassGuid, Text(u"{4D36E96C-E325-11CE-BFC1-08002BE10318}")},
                    PropertyCase{"Address", DevicePropertyAddress, Number(4)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpDevice, DriverKeyNameAndFriendlyNameComeFromTheDeviceKey) {
    WCHAR buffer[100] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyDriverKeyName, sizeof(buffer), buffer, &length), STATUS_SUCCESS);
    std::u16string driverKey(buffer);
    EXPECT_EQ(sim::pnp::DriverKeyPath(m_node), u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + driverKey);
    EXPECT_EQ(driverKey.rfind(u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\", 0), 0u);

    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyFriendlyName, sizeof(buffer), buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    sim::registry::SetString(sim::pnp::EnumKeyPath(m_node), u"FriendlyName", u"Speakers");
    ASSERT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyFriendlyName, sizeof(buffer), buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Speakers");
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyBootConfiguration, sizeof(buffer), buffer, &length),
              STATUS_INVALID_PARAMETER_2);
}

struct KeyCase {
    const char* name;
    ULONG type;
    std::u16string (*expectedName)(sim::pnp::DeviceNode*);
};

class PnpDeviceKey : public PnpDevice, public testing::WithParamInterface<KeyCase> {};

std::u16string LastComponent(const std::u16string& path) { return path.substr(path.rfind(u'\\') + 1); }

TEST_P(PnpDeviceKey, OpensTheKeyOfItsKind) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(m_pdo, GetParam().type, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UCHAR buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), GetParam().expectedName(m_node));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PnpDeviceKey,
    testing::Values(KeyCase{"Device", PLUGPLAY_REGKEY_DEVICE, [](sim::pnp::DeviceNode*) { return std::u16string(u"Device Parameters"); }},
                    KeyCase{"DeviceOfProfile", PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                            [](sim::pnp::DeviceNode*) { return std::u16string(u"6&1&0&4"); }},
                    KeyCase{"Driver", PLUGPLAY_REGKEY_DRIVER,
                            [](sim::pnp::DeviceNode* node) { return LastComponent(sim::pnp::DriverKeyPath(node)); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PnpDevice, InterfaceStatesAnswerAsPublished) {
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"Ref");
    UNICODE_STRING link{};
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kSomeClass, &reference, &link), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kSomeClass, &reference, &again), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&link, &again, FALSE));
    EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2),
              u"\\??\\USB#VID_0A0B&PID_0C0D#6&1&0&4#{8e41b3a2-5c7d-4f10-9b2e-6a1d3c4b5e6f}\\Ref");

    struct Step {
        BOOLEAN enable;
        NTSTATUS expected;
    };
    for (Step step : {Step{TRUE, STATUS_SUCCESS}, Step{TRUE, STATUS_OBJECT_NAME_EXISTS}, Step{FALSE, STATUS_SUCCESS},
                      Step{FALSE, STATUS_OBJECT_NAME_NOT_FOUND}}) {
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, step.enable), step.expected) << int(step.enable);
    }
    auto all = sim::pnp::Interfaces(&kSomeClass, false);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].enables, 1);
    EXPECT_EQ(all[0].disables, 1);
    UNICODE_STRING unknown = RTL_CONSTANT_STRING(u"\\??\\USB#nothing");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
    RtlFreeUnicodeString(&again);
}

// The bus answers IRP_MN_QUERY_INTERFACE through the description's dispatch; a type it does not
// know keeps the status the PnP manager set.
TEST(PnpQueryInterface, ReachesTheBusDispatch) {
    struct Answer {
        INTERFACE header;
        ULONG extra;
    };
    sim::pnp::DeviceDescription description;
    description.dispatch = [](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
            IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType, kSomeClass) &&
            stack->Parameters.QueryInterface.Size >= sizeof(Answer)) {
            auto* answer = reinterpret_cast<Answer*>(stack->Parameters.QueryInterface.Interface);
            answer->header.Size = sizeof(Answer);
            answer->header.Version = stack->Parameters.QueryInterface.Version;
            answer->extra = 77;
            return sim::io::Finish(device, irp, STATUS_SUCCESS);
        }
        return sim::io::Finish(device, irp, irp->IoStatus.Status);
    };
    sim::pnp::DeviceNode* node = sim::pnp::CreateDevice(description);
    Answer answer{};
    EXPECT_EQ(sim::pnp::QueryInterface(node, kSomeClass, sizeof(answer), 1, &answer.header), STATUS_SUCCESS);
    EXPECT_EQ(answer.header.Version, 1);
    EXPECT_EQ(answer.extra, 77u);
    EXPECT_EQ(sim::pnp::QueryInterface(node, GUID{}, sizeof(answer), 1, &answer.header), STATUS_NOT_SUPPORTED);
    sim::pnp::DeleteDevice(node);
}

TEST_F(PnpDevice, PropertiesOfAnotherDeviceObjectAreABugCheck) {
    auto askBusDevice = [] {
        PDEVICE_OBJECT device = sim::io::CreateBusDevice([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
        ULONG length = 0;
        IoGetDeviceProperty(device, DevicePropertyHardwareID, 0, nullptr, &length);
    };
    EXPECT_BUGCHECK(askBusDevice(), "PNP_DETECTED_FATAL_ERROR", "not a physical device object");
}

}  // namespace
