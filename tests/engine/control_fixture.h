// The fixture of the control tests: a port-class device whose "Settings" key the controls use, a
// fake feature unit with a request log, and a recorder of change notices. Every object made here
// is gone before the device is unplugged.
#pragma once

#include "engine/control_fakes.h"
#include "engine/settings_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace control_test {

class ControlTest : public settings_test::SettingsDevice {
protected:
    void SetUp() override {
        SettingsDevice::SetUp();
        m_Unit = MakeKernelObject<FakeFeatureUnit>(6u);
        m_Changes.emplace();
    }
    void TearDown() override {
        m_Unit.reset();
        m_Changes.reset();
        SettingsDevice::TearDown();
    }

    FakeFeatureUnit& Unit() { return *m_Unit; }
    std::vector<std::string>& Log() { return m_Unit->Log(); }
    ChangeRecorder& Changes() { return *m_Changes; }

    // The cached value of each channel below Count. Each read starts from Poison, so a channel the
    // control did not write shows up.
    template <class Value, class Control>
    static std::vector<Value> ChannelValues(Control* control, ULONG count, Value poison) {
        std::vector<Value> values;
        for (ULONG channel = 0; channel < count; ++channel) {
            Value value = poison;
            EXPECT_EQ(control->GetValue(channel, &value), STATUS_SUCCESS);
            values.push_back(value);
        }
        return values;
    }

    // The stored bytes of a value as a switch byte or a level; none when absent.
    std::optional<UCHAR> StoredSwitch(std::u16string_view name) const {
        auto value = Stored(name);
        if (!value || value->data.size() != 1) return std::nullopt;
        return value->data[0];
    }
    std::optional<LONG> StoredLevel(std::u16string_view name) const {
        auto value = Stored(name);
        if (!value || value->data.size() != sizeof(LONG)) return std::nullopt;
        LONG level;
        std::memcpy(&level, value->data.data(), sizeof(level));
        return level;
    }
    void StoreSwitch(std::u16string_view name, UCHAR value) { Store(name, REG_BINARY, {value}); }
    void StoreLevel(std::u16string_view name, LONG value) {
        std::vector<uint8_t> bytes(sizeof(value));
        std::memcpy(bytes.data(), &value, sizeof(value));
        Store(name, REG_BINARY, bytes);
    }
    // Requests of the given kind ("set", "get") in the log, and the log emptied.
    std::vector<std::string> Take(const std::string& kind = {}) {
        std::vector<std::string> taken;
        for (const std::string& line : Log()) {
            if (kind.empty() || line.rfind(kind + " ", 0) == 0) taken.push_back(line);
        }
        Log().clear();
        return taken;
    }

    KernelHolder<FakeFeatureUnit> m_Unit;
    std::optional<ChangeRecorder> m_Changes;
};

}  // namespace control_test
