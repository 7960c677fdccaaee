// The adapter on the simulated machine: a driver linked into the test adds a port-class device for
// a USB device plugged into the simulated host controller, and the test creates the adapter for
// that device object and runs its Init. The HAL classes are stood in for by a recording fake that
// aggregates with the adapter exactly as a real HAL does.
#pragma once

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/AdapterExtension.h"

#include <gtest/gtest.h>
#include <sim/pnp.h>
#include <sim/registry.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/portcls.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adapter_test {

// ---- The HAL stand-in ----

struct FakeHalSetup {
    std::vector<ULONG> engineFlags;  // one engine per entry, with these EndpointInfo flags
    bool deviceModel = true;         // answers DeviceModel
    NTSTATUS identify = STATUS_SUCCESS;
};

struct HalRecord {
    int created = 0;
    int destroyed = 0;
    AudioHalKind kind = AudioHalKind::Count;
    USHORT vendorId = 0;
    USHORT productId = 0;
    PUNKNOWN outer = nullptr;
    std::vector<ULONG> powerStates;  // PowerChangeState calls
};

inline FakeHalSetup g_HalSetup;
inline HalRecord g_Hal;

class FakeHal : public AudioHal, public DeviceModel {
public:
    DECLARE_KERNEL_UNKNOWN() {
        if (g_HalSetup.deviceModel) {
            const KernelInterface answers[] = {{IID_DeviceModel, static_cast<DeviceModel*>(this)}};
            if (NT_SUCCESS(AnswerQuery(InterfaceId, Interface, answers))) return STATUS_SUCCESS;
        }
        return AudioHal::NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    explicit FakeHal(PUNKNOWN UnknownOuter) : AudioHal(UnknownOuter) {}
    ~FakeHal() override { ++g_Hal.destroyed; }

    // Engines are counted, not built: the adapter asks only for their count and records.
    NTSTATUS Identify() override { return g_HalSetup.identify; }
    ULONG GetStreamEngineCount() override { return static_cast<ULONG>(g_HalSetup.engineFlags.size()); }
    NTSTATUS GetEndpointInfo(ULONG EngineIndex, EndpointInfo* Info) override {
        if (Info == nullptr || EngineIndex >= g_HalSetup.engineFlags.size()) return STATUS_INVALID_PARAMETER;
        Info->Flags = g_HalSetup.engineFlags[EngineIndex];
        return STATUS_SUCCESS;
    }
    void PowerChangeState(POWER_STATE NewState) override {
        g_Hal.powerStates.push_back(static_cast<ULONG>(NewState.DeviceState));
        AudioHal::PowerChangeState(NewState);
    }

    NTSTATUS UpdateMiniports(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetCallbackObject(PCALLBACK_OBJECT* CallbackObject) override {
        if (CallbackObject == nullptr) return STATUS_UNSUCCESSFUL;
        *CallbackObject = m_CallbackObject;
        return STATUS_SUCCESS;
    }
    NTSTATUS BuildTopology(PUSB_INTERFACE_DESCRIPTOR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS BuildStreams(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
        return STATUS_SUCCESS;
    }
    NTSTATUS RestoreDeviceState() override { return STATUS_SUCCESS; }
};

template <AudioHalKind Kind>
NTSTATUS RecordingCreator(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    ++g_Hal.created;
    g_Hal.kind = Kind;
    g_Hal.vendorId = VendorId;
    g_Hal.productId = ProductId;
    g_Hal.outer = UnknownOuter;
    return NewKernelObject<FakeHal>(Unknown, UnknownOuter, NonPagedPoolNx, 'laHF');
}

inline constexpr AudioHalCreatorTable kRecordingCreators = {{
    RecordingCreator<AudioHalKind::Uac1>,
    RecordingCreator<AudioHalKind::Uac2>,
    RecordingCreator<AudioHalKind::R7T5>,
    RecordingCreator<AudioHalKind::R7T3>,
    RecordingCreator<AudioHalKind::R7U5>,
    RecordingCreator<AudioHalKind::W4M3>,
}};

// Creators that make a HAL class of the test for every kind and keep the HAL made last in
// CapturedHal<Hal>() (null when the creation failed), so a test reaches the HAL its adapter holds.
template <class Hal>
Hal*& CapturedHal() {
    static Hal* hal = nullptr;
    return hal;
}

template <class Hal, ULONG Tag>
NTSTATUS CreateCapturedHal(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    NTSTATUS status = NewKernelObject<Hal>(Unknown, UnknownOuter, NonPagedPoolNx, Tag, VendorId, ProductId);
    CapturedHal<Hal>() = nullptr;
    if (NT_SUCCESS(status)) {
        AdapterCommon* common = nullptr;
        (*Unknown)->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&common));
        CapturedHal<Hal>() = static_cast<Hal*>(common);
        UnknownOuter->Release();  // the query's reference went to the adapter
    }
    return status;
}

template <class Hal, ULONG Tag>
constexpr AudioHalCreatorTable CapturingCreators = {
    {CreateCapturedHal<Hal, Tag>, CreateCapturedHal<Hal, Tag>, CreateCapturedHal<Hal, Tag>,
     CreateCapturedHal<Hal, Tag>, CreateCapturedHal<Hal, Tag>, CreateCapturedHal<Hal, Tag>}};

class ScopedCreators {
public:
    explicit ScopedCreators(const AudioHalCreatorTable* Table) : m_Previous(ExchangeAudioHalCreators(Table)) {}
    ~ScopedCreators() { ExchangeAudioHalCreators(m_Previous); }
    ScopedCreators(const ScopedCreators&) = delete;
    ScopedCreators& operator=(const ScopedCreators&) = delete;

private:
    const AudioHalCreatorTable* m_Previous;
};

// ---- The machine ----

inline NTSTATUS StartNothing(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
inline NTSTATUS AddAdapterDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    // The driver's own extension, so the HALs find the engine name counters there.
    return PcAddAdapterDevice(Driver, Pdo, StartNothing, 1, AdapterDeviceExtensionSize);
}
inline NTSTATUS AdapterTestDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    return PcInitializeAdapterDriver(Driver, RegistryPath, AddAdapterDevice);
}

class AdapterMachine : public testing::Test {
protected:
    void SetUp() override {
        sim::registry::Reset();
        g_Hal = {};
        g_HalSetup = {};
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(AdapterTestDriverEntry, u"KvAdapterTest", &m_driver), STATUS_SUCCESS);
    }
    void TearDown() override {
        ReleaseAdapter();
        Unplug();
        if (m_driver != nullptr) sim::pnp::UnloadDriver(m_driver);  // checks leaks and balances
        m_driver = nullptr;
    }

    void Plug(std::string_view name, sim::io::Completion completion = sim::io::Completion::Asynchronous) {
        PlugPort(sim::usb::PlugCatalogDevice(name, {.completion = completion}));
    }
    void PlugDevice(std::unique_ptr<sim::usb::Device> device) { PlugPort(sim::usb::PlugDevice(std::move(device))); }
    void PlugPort(sim::usb::Port* port) {
        ASSERT_NE(port, nullptr);
        m_port = port;
        m_pdo = sim::usb::PhysicalDeviceObject(port);
        ASSERT_EQ(sim::pnp::AddDevice(m_driver, sim::usb::NodeOf(port)), STATUS_SUCCESS);
        m_fdo = IoGetAttachedDevice(m_pdo);
    }
    void Unplug() {
        if (m_port == nullptr) return;
        EXPECT_EQ(sim::pnp::RemoveDevice(sim::usb::NodeOf(m_port)), STATUS_SUCCESS);
        sim::usb::RemovePort(m_port);
        m_port = nullptr;
    }

    // Creates the adapter and runs its Init on the plugged device.
    NTSTATUS Start() {
        EXPECT_EQ(m_common, nullptr);
        NTSTATUS status = CreateAdapter(&m_common);
        if (!NT_SUCCESS(status)) return status;
        m_adapter = static_cast<UsbAudioAdapter*>(m_common);
        return m_common->Init(nullptr, m_fdo, m_pdo, m_pdo);
    }
    void ReleaseAdapter() {
        if (m_common != nullptr) {
            EXPECT_EQ(m_common->Release(), 0u);
        }
        m_common = nullptr;
        m_adapter = nullptr;
    }

    sim::usb::Device& Device() { return sim::usb::DeviceOf(m_port); }
    std::u16string EnumKey() const { return sim::pnp::EnumKeyPath(sim::usb::NodeOf(m_port)); }
    std::u16string SettingsKey() const { return sim::pnp::DriverKeyPath(sim::usb::NodeOf(m_port)) + u"\\Settings"; }
    // A REG_SZ value of the device's Enum key without its terminating zero; nullopt when absent.
    std::optional<std::u16string> EnumText(std::u16string_view name) const {
        auto value = sim::registry::GetValue(EnumKey(), name);
        if (!value) return std::nullopt;
        std::u16string text(value->data.size() / 2, u'\0');
        std::memcpy(text.data(), value->data.data(), text.size() * 2);
        if (!text.empty() && text.back() == 0) text.pop_back();
        return text;
    }
    std::optional<ULONG> Setting(std::u16string_view name) const {
        auto value = sim::registry::GetValue(SettingsKey(), name);
        if (!value || value->data.size() != 4) return std::nullopt;
        ULONG v = 0;
        std::memcpy(&v, value->data.data(), 4);
        return v;
    }
    // GET_DESCRIPTOR requests the device saw for descriptor type and index.
    size_t DescriptorReads(uint8_t type, uint8_t index) {
        size_t count = 0;
        for (const sim::usb::LogEntry& e : Device().Log()) {
            if (e.isRequest && e.setup.bmRequestType == 0x80 && e.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                e.setup.wValue == (type << 8 | index)) {
                ++count;
            }
        }
        return count;
    }

    sim::pnp::Driver* m_driver = nullptr;
    sim::usb::Port* m_port = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    PADAPTERCOMMON m_common = nullptr;
    UsbAudioAdapter* m_adapter = nullptr;
};

// The catalog's UAC 1.0 descriptors (no model identifier) with another identity and strings.
inline std::unique_ptr<sim::usb::Device> Uac1WithIdentity(USHORT vendorId, USHORT productId, UCHAR manufacturerIndex,
                                                          UCHAR productIndex,
                                                          std::vector<sim::usb::StringEntry> strings) {
    auto base = sim::usb::CreateCatalogDevice("uac1-nochip");
    sim::usb::DeviceSetup setup;
    setup.name = "uac1-identity";
    setup.deviceDescriptor.assign(base->DeviceDescriptorBytes().begin(), base->DeviceDescriptorBytes().end());
    setup.deviceDescriptor[8] = static_cast<uint8_t>(vendorId);
    setup.deviceDescriptor[9] = static_cast<uint8_t>(vendorId >> 8);
    setup.deviceDescriptor[10] = static_cast<uint8_t>(productId);
    setup.deviceDescriptor[11] = static_cast<uint8_t>(productId >> 8);
    setup.deviceDescriptor[14] = manufacturerIndex;
    setup.deviceDescriptor[15] = productIndex;
    setup.configurations.emplace_back(base->ConfigurationBytes(0).begin(), base->ConfigurationBytes(0).end());
    setup.strings = std::move(strings);
    return std::make_unique<sim::usb::Device>(std::move(setup));
}

}  // namespace adapter_test
