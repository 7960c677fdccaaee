// The wave filter's machine for tests: the driver loaded with its own front, adapter, HAL and
// wave-cyclic miniport, a catalog device plugged and started, and the audio stack client that
// opens its filters and pins.
#pragma once

#include <gtest/gtest.h>

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/AdapterExtension.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/WaveCyclicMiniport.h"

#include <sim/audio_stack.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>

#include <memory>
#include <string>
#include <vector>

namespace wave_front_test {

using sim::hosts::KsFilterClient;
using sim::hosts::KsPinClient;
using sim::machine::Time;

constexpr Time kMs = sim::machine::kMillisecond;

inline NTSTATUS NoAsio(AsioPrivateInterface*, PIRP) { return STATUS_NOT_IMPLEMENTED; }

inline const FrontCallees kCallees = {
    .CreateAdapter = CreateAdapter,
    .CreateTopologyMiniport = CreateTopologyMiniport,
    .CreateWaveCyclicMiniport = CreateWaveCyclicMiniport,
    .DispatchAsioControl = NoAsio,
};

// ---- the machine: driver, device and audio stack ----

class WaveFront : public testing::Test {
protected:
    void SetUp() override {
        m_Previous = ExchangeFrontCallees(&kCallees);
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &m_Driver), STATUS_SUCCESS);
    }
    void TearDown() override {
        m_Pin.reset();
        m_Filter.reset();
        Unplug();
        if (m_Driver != nullptr) sim::pnp::UnloadDriver(m_Driver);
        ExchangeFrontCallees(m_Previous);
    }

    NTSTATUS Plug(const std::string& name = "uac1") {
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(name);
        EXPECT_TRUE(device);
        if (!device) return STATUS_UNSUCCESSFUL;
        m_Port = sim::usb::PlugDevice(std::move(device), m_PlugOptions);
        m_Node = sim::usb::NodeOf(m_Port);
        NTSTATUS status = sim::pnp::AddDevice(m_Driver, m_Node);
        if (!NT_SUCCESS(status)) return status;
        m_Added = true;
        return sim::pnp::StartDevice(m_Node);
    }
    void Unplug() {
        // A re-enumeration the PnP manager is still acting on ends first; the port's node is then
        // the one it enumerated.
        if (m_Port != nullptr) {
            EXPECT_TRUE(sim::pnp::WaitForIdle(10 * sim::machine::kSecond));
            m_Node = sim::usb::NodeOf(m_Port);
        }
        if (m_Added) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_Node), STATUS_SUCCESS);
            // The adapter is gone with the removal, and with it its hold on the bus interface.
            EXPECT_EQ(sim::usb::BusInterfaceReferences(m_Port), 0);
        }
        m_Added = false;
        if (m_Port != nullptr) sim::usb::RemovePort(m_Port);
        m_Port = nullptr;
    }
    sim::usb::AudioFunction& Audio() { return *sim::usb::DeviceOf(m_Port).Audio(); }

    // Opens the first filter of the category on this device.
    void OpenFilter(const GUID& category) {
        std::vector<sim::hosts::FilterInterface> filters = sim::hosts::FindFilters(category);
        ASSERT_FALSE(filters.empty());
        ASSERT_EQ(KsFilterClient::Open(filters.front().symbolicLink, &m_Filter), STATUS_SUCCESS);
    }
    NTSTATUS OpenPin(ULONG rate, USHORT bits = 16, USHORT channels = 2) {
        return KsPinClient::Open(*m_Filter, 0, sim::hosts::WaveFormat(rate, bits, channels), &m_Pin);
    }
    // Steps the pin to RUN and plays `frames` frames of the ramp over `duration`.
    template <class Source>
    NTSTATUS Play(Source& source, Time duration) {
        NTSTATUS status = m_Pin->SetState(KSSTATE_ACQUIRE);
        if (NT_SUCCESS(status)) status = m_Pin->SetState(KSSTATE_PAUSE);
        if (!NT_SUCCESS(status)) return status;
        sim::hosts::StreamRunStats stats;
        status = m_Pin->Render([&](UCHAR* data, size_t length) { return source(data, length); }, duration, &stats);
        m_Stats = stats;
        return status;
    }
    // The default device started and its render pin playing for duration, content of no
    // interest; left in RUN.
    void StartPlaying(Time duration) {
        ASSERT_EQ(Plug(), STATUS_SUCCESS);
        OpenFilter(KSCATEGORY_RENDER);
        ASSERT_EQ(OpenPin(48000), STATUS_SUCCESS);
        auto any = [](UCHAR*, size_t length) { return length; };
        ASSERT_EQ(Play(any, duration), STATUS_SUCCESS);
    }
    NTSTATUS Stop() {
        NTSTATUS status = STATUS_SUCCESS;
        for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP}) {
            NTSTATUS step = m_Pin->SetState(state);
            if (!NT_SUCCESS(step)) status = step;
        }
        return status;
    }

    const FrontCallees* m_Previous = nullptr;
    sim::pnp::Driver* m_Driver = nullptr;
    sim::usb::PlugOptions m_PlugOptions;
    sim::usb::Port* m_Port = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    bool m_Added = false;
    std::unique_ptr<KsFilterClient> m_Filter;
    std::unique_ptr<KsPinClient> m_Pin;
    sim::hosts::StreamRunStats m_Stats;
};

}  // namespace wave_front_test
