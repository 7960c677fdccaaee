// A port-class device for the settings tests: a driver linked into the test adds an adapter
// device for a simulated USB device, so the settings code reaches the device's real driver key,
// hardware IDs and \SystemRoot\ files. Each test starts with an empty "Settings" key.
#pragma once

#include <gtest/gtest.h>
#include <sim/files.h>
#include <sim/pnp.h>
#include <sim/registry.h>
#include <win/portcls.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace settings_test {

inline NTSTATUS StartAdapter(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }
inline NTSTATUS AddAdapter(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return PcAddAdapterDevice(driver, pdo, StartAdapter, 1, 0);
}
inline NTSTATUS AdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddAdapter);
}

inline const std::u16string kFirstHardwareId = u"USB\\VID_1E7D&PID_3750&REV_0100";

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}
inline std::vector<uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

class SettingsDevice : public testing::Test {
protected:
    void SetUp() override { Plug({kFirstHardwareId, u"USB\\VID_1E7D&PID_3750"}); }
    void TearDown() override { Unplug(); }

    void Plug(std::vector<std::u16string> hardwareIds) {
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(AdapterDriverEntry, u"KvSettingsTest", &m_driver), STATUS_SUCCESS);
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_1E7D&PID_3750";
        description.hardwareIds = std::move(hardwareIds);
        m_node = sim::pnp::CreateDevice(description);
        ASSERT_EQ(sim::pnp::AddDevice(m_driver, m_node), STATUS_SUCCESS);
        m_fdo = IoGetAttachedDevice(sim::pnp::PhysicalDeviceObject(m_node));
        m_settings = sim::pnp::DriverKeyPath(m_node) + u"\\Settings";
        sim::registry::DeleteTree(m_settings);
    }
    void Unplug() {
        if (m_node != nullptr) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_node), STATUS_SUCCESS);
            sim::pnp::DeleteDevice(m_node);
            m_node = nullptr;
        }
        if (m_driver != nullptr) sim::pnp::UnloadDriver(m_driver);
        m_driver = nullptr;
    }

    // "Settings", or its subkey.
    std::u16string KeyPath(std::u16string_view subkey = {}) const {
        return subkey.empty() ? m_settings : m_settings + u"\\" + std::u16string(subkey);
    }
    std::optional<sim::registry::Value> Stored(std::u16string_view name, std::u16string_view subkey = {}) const {
        return sim::registry::GetValue(KeyPath(subkey), name);
    }
    void Store(std::u16string_view name, ULONG type, const std::vector<uint8_t>& data) {
        ASSERT_TRUE(sim::registry::SetValue(m_settings, name, type, data.data(), data.size()));
    }
    void ClearSettings() { sim::registry::DeleteTree(m_settings); }

    sim::pnp::Driver* m_driver = nullptr;
    sim::pnp::DeviceNode* m_node = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    std::u16string m_settings;
};

}  // namespace settings_test
