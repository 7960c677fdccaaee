// The UAC 1.0 unit tests' machine: the adapter machine with a HAL that only collects the units'
// controls, the catalog UAC 1.0 device (or another) under it, units made by hand from its
// descriptors, and vendor answers pushed onto the device for the extension block and the
// terminals' protocol.
#pragma once

#include "engine/adapter_machine.h"

#include <map>
#include <memory>
#include <vector>

namespace uac1_unit_test {

using namespace adapter_test;

inline AudioHal* g_UnitHal = nullptr;

inline NTSTATUS CapturingCreator(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT, USHORT) {
    auto* hal = new (NonPagedPoolNx, 'laHF') FakeHal(UnknownOuter);
    if (hal == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    hal->NonDelegatingAddRef();
    g_UnitHal = hal;
    *Unknown = hal->GetInnerUnknown();
    return STATUS_SUCCESS;
}
inline constexpr AudioHalCreatorTable kCapturing = {
    {CapturingCreator, CapturingCreator, CapturingCreator, CapturingCreator, CapturingCreator, CapturingCreator}};

// Requests the device saw, as (bRequest, wValue) of those addressed to Entity.
struct Seen {
    UCHAR request;
    USHORT value;
    bool operator==(const Seen&) const = default;
};

template <class Unit>
struct UnitHolder {
    Unit* unit = nullptr;
    ~UnitHolder() {
        if (unit != nullptr) unit->NonDelegatingRelease();
    }
    Unit* operator->() const { return unit; }
};

class Uac1Units : public AdapterMachine {
protected:
    void SetUp() override {
        AdapterMachine::SetUp();
        g_UnitHal = nullptr;
        m_creators = std::make_unique<ScopedCreators>(&kCapturing);
    }
    void TearDown() override {
        m_units.clear();
        AdapterMachine::TearDown();
        m_creators.reset();
    }
    void StartOn(std::unique_ptr<sim::usb::Device> device) {
        PlugDevice(std::move(device));
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        ASSERT_NE(g_UnitHal, nullptr);
    }
    void StartCatalog() { StartOn(sim::usb::CreateCatalogDevice("uac1")); }

    template <class Unit>
    Unit* Make(ULONG id = 0) {
        auto* unit = new (NonPagedPoolNx, 'tinU') Unit(nullptr, id);
        unit->NonDelegatingAddRef();
        m_units.emplace_back(unit, [](AudioNode* u) { u->Release(); });
        return unit;
    }
    // The class-specific AudioControl descriptor with subtype and id from the device's configuration.
    std::vector<UCHAR> DeviceDescriptor(UCHAR subtype, UCHAR id) {
        auto bytes = Device().ConfigurationBytes(0);
        for (size_t at = 0; at + 3 < bytes.size() && bytes[at] != 0; at += bytes[at]) {
            if (bytes[at + 1] == 0x24 && bytes[at + 2] == subtype && bytes[at + 3] == id) {
                return {bytes.begin() + at, bytes.begin() + at + bytes[at]};
            }
        }
        ADD_FAILURE() << "no descriptor";
        return {};
    }
    std::vector<Seen> SeenBy(UCHAR entity) {
        std::vector<Seen> seen;
        for (const sim::usb::LogEntry& e : Device().Log()) {
            if (e.isRequest && (e.setup.wIndex >> 8) == entity) seen.push_back({e.setup.bRequest, e.setup.wValue});
        }
        return seen;
    }
    int32_t DeviceValue(uint8_t entity, uint8_t selector, uint8_t channel) {
        return Device().Audio()->ControlValue(entity, selector, channel).value_or(-99999);
    }
    // Answers vendor (or GET_MEM) requests for Entity from a table keyed by (bRequest, wValue);
    // OUT requests are logged and accepted. Anything else passes on.
    void PushAnswers(UCHAR entity, std::map<std::pair<UCHAR, USHORT>, std::vector<uint8_t>> answers) {
        auto shared = std::make_shared<decltype(answers)>(std::move(answers));
        Device().PushHandlers(sim::usb::HandlerTable{
            .name = "unit test answers",
            .control = [shared, entity](sim::usb::Device&, const sim::usb::SetupPacket& s,
                                        std::span<uint8_t> data) -> std::optional<sim::usb::ControlResult> {
                if ((s.wIndex >> 8) != entity || (s.Type() != BMREQUEST_VENDOR && s.bRequest != 0x85)) {
                    return std::nullopt;
                }
                if (!s.IsIn()) return sim::usb::ControlResult::Ok(uint32_t(data.size()));
                auto it = shared->find({s.bRequest, s.wValue});
                if (it == shared->end()) return sim::usb::ControlResult::Stall();
                const size_t n = std::min(it->second.size(), data.size());
                std::copy_n(it->second.begin(), n, data.begin());
                return sim::usb::ControlResult::Ok(uint32_t(n));
            },
        });
    }
    void SetSetting(std::u16string_view name, ULONG value) {
        ASSERT_TRUE(sim::registry::SetValue(SettingsKey(), name, REG_BINARY, &value, 4));
    }

    std::unique_ptr<ScopedCreators> m_creators;
    std::vector<std::unique_ptr<AudioNode, void (*)(AudioNode*)>> m_units;
};

inline std::vector<UCHAR> FeatureDescriptor(UCHAR controlSize, std::vector<UCHAR> controls, UCHAR id = 9) {
    std::vector<UCHAR> d = {0, 0x24, 6, id, 1, controlSize};
    d.insert(d.end(), controls.begin(), controls.end());
    d.push_back(0);  // iFeature
    d[0] = static_cast<UCHAR>(d.size());
    return d;
}

// An extension block (GET_MEM) of the given length with its entries (master first).
inline std::vector<uint8_t> Block(uint16_t length, std::vector<uint16_t> entries, uint8_t entrySize = 2) {
    std::vector<uint8_t> b(19, 0);
    b[16] = uint8_t(length);
    b[17] = uint8_t(length >> 8);
    b[18] = entrySize;
    for (uint16_t e : entries) {
        b.push_back(uint8_t(e));
        b.push_back(uint8_t(e >> 8));
    }
    return b;
}

}  // namespace uac1_unit_test
