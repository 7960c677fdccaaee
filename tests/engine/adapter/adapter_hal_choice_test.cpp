// The adapter's choice of HAL (AudioControl protocol, then the model identifier strings), the
// creators that are not built yet, and the aggregation of the HAL with its reference counts.
#include "engine/adapter_machine.h"

#include <ostream>
#include <vector>

namespace {

using namespace adapter_test;

// ---- The model identifier compared in isolation ----

struct IdentifierCase {
    const char* name;
    std::vector<UCHAR> descriptor;
    ULONG received;
    AudioHalKind kind;
};
void PrintTo(const IdentifierCase& c, std::ostream* os) { *os << c.name; }

std::vector<UCHAR> StringDescriptor(std::u16string_view text, int lengthDelta = 0) {
    std::vector<UCHAR> bytes = {static_cast<UCHAR>(2 + 2 * text.size() + lengthDelta), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) {
        bytes.push_back(static_cast<UCHAR>(unit));
        bytes.push_back(static_cast<UCHAR>(unit >> 8));
    }
    return bytes;
}

class ModelIdentifier : public testing::TestWithParam<IdentifierCase> {};

TEST_P(ModelIdentifier, ComparesOnlyUnitsThatBLengthAndTheAnswerCover) {
    const IdentifierCase& c = GetParam();
    EXPECT_EQ(AudioHalKindFromModelIdentifier(c.descriptor.data(), c.received), c.kind);
}

const std::u16string kR7T5{0x000B, 0x0005, 0x0050};

INSTANTIATE_TEST_SUITE_P(
    Rows, ModelIdentifier,
    testing::Values(
        IdentifierCase{"R7T5", StringDescriptor(kR7T5 + u'\x0001'), 10, AudioHalKind::R7T5},
        IdentifierCase{"R7T3WithSuffix", StringDescriptor(u"R7T3-01"), 16, AudioHalKind::R7T3},
        IdentifierCase{"R7U5", StringDescriptor(u"R7U5"), 10, AudioHalKind::R7U5},
        IdentifierCase{"KLQ866", StringDescriptor(u"KLQ866"), 14, AudioHalKind::W4M3},
        IdentifierCase{"KLQ864", StringDescriptor(u"KLQ864"), 14, AudioHalKind::Uac1},
        IdentifierCase{"LowerCase", StringDescriptor(u"r7t3"), 10, AudioHalKind::Uac1},
        IdentifierCase{"TooShort", StringDescriptor(u"R7T"), 8, AudioHalKind::Uac1},
        IdentifierCase{"LastUnitNotArrived", StringDescriptor(u"R7T3"), 9, AudioHalKind::Uac1},
        IdentifierCase{"BLengthCutsTheText", StringDescriptor(u"R7T3", -2), 10, AudioHalKind::Uac1},
        IdentifierCase{"BLengthBelowTwo", {0x01, 0x03, 'R', 0, '7', 0, 'T', 0, '3', 0}, 10, AudioHalKind::Uac1},
        IdentifierCase{"BLengthBeyondTheAnswer", StringDescriptor(u"R7T3", 100), 10, AudioHalKind::R7T3},
        IdentifierCase{"NothingArrived", StringDescriptor(u"R7T3"), 0, AudioHalKind::Uac1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The choice on the simulated bus ----

struct ChoiceCase {
    const char* device;
    AudioHalKind kind;
    size_t primaryReads;   // string 0x50
    size_t fallbackReads;  // string 0x32
    USHORT productId;
    sim::io::Completion completion = sim::io::Completion::Asynchronous;
    USHORT vendorId = 0xA5E7;
};

class HalChoice : public AdapterMachine, public testing::WithParamInterface<ChoiceCase> {};

TEST_P(HalChoice, ProtocolAndModelIdentifierPickTheHal) {
    const ChoiceCase& c = GetParam();
    ScopedCreators creators(&kRecordingCreators);
    Plug(c.device, c.completion);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(g_Hal.created, 1);
    EXPECT_EQ(g_Hal.kind, c.kind);
    EXPECT_EQ(g_Hal.vendorId, c.vendorId);
    EXPECT_EQ(g_Hal.productId, c.productId);
    EXPECT_EQ(DescriptorReads(USB_STRING_DESCRIPTOR_TYPE, ModelIdentifierStringIndex), c.primaryReads);
    EXPECT_EQ(DescriptorReads(USB_STRING_DESCRIPTOR_TYPE, ModelIdentifierStringFallbackIndex), c.fallbackReads);
    EXPECT_EQ(static_cast<UsbTransport*>(m_adapter)->GetControlInterfaceNumber(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Catalog, HalChoice,
    testing::Values(ChoiceCase{"uac1", AudioHalKind::Uac1, 1, 0, 0x0067},
                    ChoiceCase{"uac1-nochip", AudioHalKind::Uac1, 1, 1, 0x0067},
                    ChoiceCase{"uac1-klq864", AudioHalKind::Uac1, 1, 0, 0x0067},
                    ChoiceCase{"uac1-r7t5", AudioHalKind::R7T5, 1, 0, 0x3750, sim::io::Completion::Asynchronous, 0x1E7D},
                    ChoiceCase{"uac1-r7t3", AudioHalKind::R7T3, 1, 0, 0x0067},
                    ChoiceCase{"uac1-r7u5", AudioHalKind::R7U5, 1, 1, 0x0067},
                    ChoiceCase{"uac1-w4m3", AudioHalKind::W4M3, 1, 0, 0x0067},
                    ChoiceCase{"uac2", AudioHalKind::Uac2, 0, 0, 0x0070},
                    ChoiceCase{"uac1-w4m3", AudioHalKind::W4M3, 1, 0, 0x0067, sim::io::Completion::Synchronous},
                    ChoiceCase{"uac2", AudioHalKind::Uac2, 0, 0, 0x0070, sim::io::Completion::Synchronous}),
    [](const auto& info) {
        std::string name = info.param.device;
        for (char& ch : name) {
            if (ch == '-') ch = '_';
        }
        if (info.param.completion == sim::io::Completion::Synchronous) name += "_synchronous";
        return name;
    });

// A configuration whose AudioControl interface is changed by `patch` (class 1, subclass 1).
std::unique_ptr<sim::usb::Device> WithAudioControl(const char* device, void (*patch)(UCHAR* interface)) {
    auto base = sim::usb::CreateCatalogDevice(device);
    sim::usb::DeviceSetup setup;
    setup.name = "patched";
    setup.speed = base->GetSpeed();
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    std::vector<uint8_t> configuration(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    for (size_t at = 0; at + 9 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        UCHAR* d = &configuration[at];
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[5] == 1 && d[6] == 1) patch(d);
    }
    setup.configurations.push_back(std::move(configuration));
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

struct RefusalCase {
    const char* name;
    const char* device;
    void (*patch)(UCHAR* interface);
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class HalRefusal : public AdapterMachine, public testing::WithParamInterface<RefusalCase> {};

TEST_P(HalRefusal, DeviceWithoutAKnownAudioControlInterfaceFailsBeforeAnyHal) {
    ScopedCreators creators(&kRecordingCreators);
    PlugDevice(WithAudioControl(GetParam().device, GetParam().patch));
    EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_Hal.created, 0);
    EXPECT_EQ(DescriptorReads(USB_STRING_DESCRIPTOR_TYPE, ModelIdentifierStringIndex), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HalRefusal,
    testing::Values(RefusalCase{"Protocol10", "uac1", [](UCHAR* d) { d[7] = 0x10; }},
                    RefusalCase{"Protocol30", "uac2", [](UCHAR* d) { d[7] = 0x30; }},
                    RefusalCase{"NoAudioControlInterface", "uac1", [](UCHAR* d) { d[6] = 0x7F; }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Aggregation ----

TEST_F(AdapterMachine, AggregatedHalAddsNoReferenceAndDiesWithTheAdapter) {
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.engineFlags = {0, EndpointFlagAsio};
    Plug("uac1");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    // The test holds the only reference.
    EXPECT_EQ(m_common->AddRef(), 2u);
    EXPECT_EQ(m_common->Release(), 1u);

    // The HAL's outer unknown is the adapter, and its DeviceModel is handed out with a reference
    // on the adapter.
    AdapterCommon* outerCommon = nullptr;
    ASSERT_EQ(g_Hal.outer->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&outerCommon)), STATUS_SUCCESS);
    EXPECT_EQ(outerCommon, m_common);
    outerCommon->Release();
    DeviceModel* model = nullptr;
    ASSERT_EQ(m_common->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model)), STATUS_SUCCESS);
    EXPECT_EQ(m_common->AddRef(), 3u);
    EXPECT_EQ(m_common->Release(), 2u);
    EXPECT_EQ(model->Release(), 1u);

    // Everything else the adapter answers, each with one reference given back.
    for (const GUID* id : {&IID_IUnknown, &IID_AdapterCommon, &IID_IAdapterPowerManagement, &IID_UsbTransport,
                           &IID_AsioPrivateInterface}) {
        PUNKNOWN answer = nullptr;
        ASSERT_EQ(m_common->QueryInterface(*id, reinterpret_cast<PVOID*>(&answer)), STATUS_SUCCESS);
        EXPECT_EQ(answer->Release(), 1u);
    }
    // Forwarded to the HAL.
    EXPECT_EQ(m_common->GetStreamEngineCount(), 2u);
    EndpointInfo info = {};
    EXPECT_EQ(m_common->GetEndpointInfo(1, &info), STATUS_SUCCESS);
    EXPECT_EQ(info.Flags, EndpointFlagAsio);

    ReleaseAdapter();
    EXPECT_EQ(g_Hal.destroyed, 1);
}

TEST_F(AdapterMachine, DeviceModelIsAnsweredOnlyWhenTheHalHasOne) {
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.deviceModel = false;
    Plug("uac2");
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    DeviceModel* model = reinterpret_cast<DeviceModel*>(1);
    EXPECT_EQ(m_common->QueryInterface(IID_DeviceModel, reinterpret_cast<PVOID*>(&model)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(m_common->AddRef(), 2u);
    EXPECT_EQ(m_common->Release(), 1u);
}

TEST_F(AdapterMachine, FailingHalInitFailsTheStartAndFreesTheHal) {
    ScopedCreators creators(&kRecordingCreators);
    g_HalSetup.engineFlags = {EndpointFlagAsio};
    g_HalSetup.identify = STATUS_NOT_SUPPORTED;
    Plug("uac1");
    EXPECT_EQ(Start(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(m_adapter->AsioRingCount(), 0u);
    EXPECT_EQ(m_common->AddRef(), 2u);
    EXPECT_EQ(m_common->Release(), 1u);
    ReleaseAdapter();
    EXPECT_EQ(g_Hal.destroyed, 1);
}

}  // namespace
