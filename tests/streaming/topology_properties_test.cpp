// The topology filter's properties and events end to end: the driver's front, adapter and HAL on
// catalog devices, driven by the audio stack client as the operating system's mixer drives them
// (basic support first, then values per channel), with guarded request buffers.
#include <gtest/gtest.h>

#include "driver/engine/adapter/UsbAudioAdapter.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/TopologyMiniport.h"
#include "driver/front/TopologyProperties.h"
#include "driver/front/WaveCyclicMiniport.h"

#include <sim/audio_stack.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/usb_audio.h>
#include <sim/usb_bus.h>
#include <sim/usb_device.h>
#include <win/ksmedia.h>
#include <win/usbaudio.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using sim::hosts::KsFilterClient;
using Support = KsFilterClient::NodePropertySupport;

constexpr sim::machine::Time kMs = sim::machine::kMillisecond;
// 1 dB in the 1/65536 dB steps of KSPROPERTY_AUDIO_VOLUMELEVEL.
constexpr LONG kDb = 0x10000;

NTSTATUS NoAsio(AsioPrivateInterface*, PIRP) { return STATUS_NOT_IMPLEMENTED; }

const FrontCallees kCallees = {
    .CreateAdapter = CreateAdapter,
    .CreateTopologyMiniport = CreateTopologyMiniport,
    .CreateWaveCyclicMiniport = CreateWaveCyclicMiniport,
    .DispatchAsioControl = NoAsio,
};

class TopologyProperties : public testing::Test {
protected:
    void SetUp() override {
        m_Previous = ExchangeFrontCallees(&kCallees);
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(DriverEntry, u"KV-380D", &m_Driver), STATUS_SUCCESS);
    }
    void TearDown() override {
        Unplug();
        if (m_Driver != nullptr) sim::pnp::UnloadDriver(m_Driver);
        ExchangeFrontCallees(m_Previous);
    }

    // Plugs and starts a catalog device and opens its topology filter.
    void Plug(const std::string& name) {
        std::unique_ptr<sim::usb::Device> device = sim::usb::CreateCatalogDevice(name);
        ASSERT_TRUE(device);
        m_Port = sim::usb::PlugDevice(std::move(device));
        m_Node = sim::usb::NodeOf(m_Port);
        ASSERT_EQ(sim::pnp::AddDevice(m_Driver, m_Node), STATUS_SUCCESS);
        m_Added = true;
        ASSERT_EQ(sim::pnp::StartDevice(m_Node), STATUS_SUCCESS);
        // The HAL's status thread announces every unit once when it starts; let it settle.
        sim::machine::RunFor(200 * kMs);
        OpenTopology();
    }
    void OpenTopology() {
        std::vector<sim::hosts::FilterInterface> filters = sim::hosts::FindFilters(KSCATEGORY_TOPOLOGY);
        ASSERT_EQ(filters.size(), 1u);
        ASSERT_EQ(KsFilterClient::Open(filters.front().symbolicLink, &m_Filter), STATUS_SUCCESS);
        ASSERT_EQ(m_Filter->Nodes(&m_Types), STATUS_SUCCESS);
    }
    void Unplug() {
        m_Filter.reset();
        if (m_Added) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_Node), STATUS_SUCCESS);
        }
        m_Added = false;
        if (m_Port != nullptr) sim::usb::RemovePort(m_Port);
        m_Port = nullptr;
    }
    // Removes the device and plugs the same model in again.
    void Replug(const std::string& name) {
        Unplug();
        Plug(name);
    }
    sim::usb::AudioFunction& Audio() { return *sim::usb::DeviceOf(m_Port).Audio(); }

    // Node numbers of a type, in node order.
    std::vector<ULONG> NodesOf(const GUID& type) const {
        std::vector<ULONG> found;
        for (ULONG node = 0; node < m_Types.size(); ++node) {
            if (IsEqualGUID(m_Types[node], type)) found.push_back(node);
        }
        return found;
    }

    const FrontCallees* m_Previous = nullptr;
    sim::pnp::Driver* m_Driver = nullptr;
    sim::usb::Port* m_Port = nullptr;
    sim::pnp::DeviceNode* m_Node = nullptr;
    bool m_Added = false;
    std::unique_ptr<KsFilterClient> m_Filter;
    std::vector<GUID> m_Types;
};

// Every event-carrying node subscribed, as the mixer does; counts per node.
class Subscriptions {
public:
    Subscriptions(KsFilterClient& filter, ULONG nodes) : m_Events(nodes), m_Registrations(nodes) {
        for (ULONG node = 0; node < nodes; ++node) {
            KeInitializeEvent(&m_Events[node], NotificationEvent, FALSE);
            // Nodes without the event (the mux) refuse the subscription.
            filter.SubscribeControlChange(node, &m_Events[node], &m_Registrations[node]);
        }
        m_Filter = &filter;
    }
    ~Subscriptions() {
        for (auto& registration : m_Registrations) {
            if (registration) m_Filter->DisableEvent(registration);
        }
    }
    bool Subscribed(ULONG node) const { return static_cast<bool>(m_Registrations[node]); }
    // Events per node since the subscription.
    std::vector<ULONG> Counts() const {
        std::vector<ULONG> counts;
        for (const auto& registration : m_Registrations) counts.push_back(KsFilterClient::EventCount(registration));
        return counts;
    }

private:
    std::vector<KEVENT> m_Events;
    std::vector<std::shared_ptr<KSEVENTDATA>> m_Registrations;
    KsFilterClient* m_Filter = nullptr;
};

std::vector<ULONG> OnlyAt(size_t nodes, ULONG node) {
    std::vector<ULONG> counts(nodes, 0);
    counts[node] = 1;
    return counts;
}

const char* const kDevices[] = {"uac1", "uac1-klq864"};

TEST_F(TopologyProperties, LevelsAndSwitchesPerChannelAfterBasicSupport) {
    for (const char* device : kDevices) {
        SCOPED_TRACE(device);
        Plug(device);
        const std::vector<ULONG> volumes = NodesOf(KSNODETYPE_VOLUME);
        ASSERT_FALSE(volumes.empty());
        for (ULONG node : volumes) {
            Support support;
            ASSERT_EQ(m_Filter->NodeBasicSupport(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, &support),
                      STATUS_SUCCESS);
            EXPECT_EQ(support.accessFlags, 0x203u);
            ASSERT_TRUE(support.described && support.hasMembers);
            EXPECT_TRUE(IsEqualGUID(support.description.PropTypeSet.Set, KSPROPTYPESETID_General));
            EXPECT_EQ(support.description.PropTypeSet.Id, static_cast<ULONG>(VT_I4));
            EXPECT_EQ(support.header.MembersFlags, static_cast<ULONG>(KSPROPERTY_MEMBER_STEPPEDRANGES));
            EXPECT_EQ(support.header.Flags, static_cast<ULONG>(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL));
            const ULONG channels = static_cast<ULONG>(support.ranges.size());
            ASSERT_GE(channels, 1u);
            EXPECT_EQ(support.description.DescriptionSize, 56 + 16 * channels);
            // Distinct values per channel, each on the channel's own step.
            for (ULONG c = 0; c < channels; ++c) {
                const KSPROPERTY_STEPPING_LONG& range = support.ranges[c];
                ASSERT_LT(range.Bounds.SignedMinimum, range.Bounds.SignedMaximum);
                const LONG value = range.Bounds.SignedMaximum - static_cast<LONG>((c + 1) * range.SteppingDelta * 4);
                EXPECT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node,
                                                    static_cast<LONG>(c), value),
                          STATUS_SUCCESS);
            }
            for (ULONG c = 0; c < channels; ++c) {
                const KSPROPERTY_STEPPING_LONG& range = support.ranges[c];
                LONG value = 0;
                ASSERT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node,
                                                    static_cast<LONG>(c), &value),
                          STATUS_SUCCESS);
                EXPECT_EQ(value, range.Bounds.SignedMaximum - static_cast<LONG>((c + 1) * range.SteppingDelta * 4));
            }
            // A channel the control does not show is refused, not read; so is -1 outside basic support.
            LONG value = 0;
            for (LONG channel : {static_cast<LONG>(channels), -1}) {
                EXPECT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, channel,
                                                    &value),
                          STATUS_INVALID_PARAMETER);
                EXPECT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, channel, 0),
                          STATUS_INVALID_PARAMETER);
            }
        }
        for (ULONG node : NodesOf(KSNODETYPE_MUTE)) {
            Support support;
            ASSERT_EQ(m_Filter->NodeBasicSupport(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, node, &support),
                      STATUS_SUCCESS);
            EXPECT_EQ(support.description.PropTypeSet.Id, static_cast<ULONG>(VT_BOOL));
            ASSERT_FALSE(support.ranges.empty());
            EXPECT_EQ(support.ranges[0].Bounds.SignedMaximum, 1);
            // Any non-zero value mutes; the answer is 1 in a whole 32-bit value.
            ASSERT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, node, 0, 0x100),
                      STATUS_SUCCESS);
            ULONG answer = 0xFFFFFFFF;
            ULONG_PTR returned = 0;
            ASSERT_EQ(m_Filter->ChannelProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, node, 0,
                                                &answer, sizeof(answer), &returned),
                      STATUS_SUCCESS);
            EXPECT_EQ(answer, 1u);
            EXPECT_EQ(returned, sizeof(ULONG));
        }
        Unplug();
    }
}

TEST_F(TopologyProperties, BasicSupportLadderAndShortBuffers) {
    Plug("uac1");
    const ULONG node = NodesOf(KSNODETYPE_VOLUME).back();
    Support support;
    ASSERT_EQ(m_Filter->NodeBasicSupport(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, &support),
              STATUS_SUCCESS);
    const ULONG full = support.description.DescriptionSize;
    struct Case {
        ULONG flags;
        ULONG valueSize;
        NTSTATUS status;
        ULONG_PTR returned;
    };
    const Case cases[] = {
        {KSPROPERTY_TYPE_BASICSUPPORT, 2, STATUS_BUFFER_TOO_SMALL, 0},
        {KSPROPERTY_TYPE_BASICSUPPORT, 8, STATUS_SUCCESS, 4},
        {KSPROPERTY_TYPE_BASICSUPPORT, 40, STATUS_SUCCESS, 40},
        {KSPROPERTY_TYPE_BASICSUPPORT, full - 1, STATUS_SUCCESS, 40},
        {KSPROPERTY_TYPE_BASICSUPPORT, full + 8, STATUS_SUCCESS, full},
        {KSPROPERTY_TYPE_GET, 3, STATUS_INVALID_PARAMETER, 0},
        {KSPROPERTY_TYPE_SET, 0, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << " size " << c.valueSize);
        std::vector<UCHAR> value(c.valueSize, 0);
        ULONG_PTR returned = 0;
        EXPECT_EQ(m_Filter->ChannelProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, c.flags, node, -1,
                                            value.data(), c.valueSize, &returned),
                  c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(returned, c.returned);
        }
        if (c.returned == 40) {
            KSPROPERTY_DESCRIPTION description;
            std::memcpy(&description, value.data(), sizeof(description));
            EXPECT_EQ(description.MembersListCount, 1u);
            EXPECT_EQ(description.DescriptionSize, full);
        }
    }
    // Without the channel word the instance is too short for a value.
    LONG value = 0;
    EXPECT_EQ(m_Filter->NodeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_GET, node, &value,
                                     sizeof(value)),
              STATUS_INVALID_PARAMETER);
}

TEST_F(TopologyProperties, PrivateLevelSetRaisesExactlyOneEvent) {
    Plug("uac1");
    const ULONG node = NodesOf(KSNODETYPE_VOLUME).back();
    Subscriptions events(*m_Filter, static_cast<ULONG>(m_Types.size()));
    ASSERT_TRUE(events.Subscribed(node));
    // The standard property raises nothing by itself.
    ASSERT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, 0, -10 * kDb),
              STATUS_SUCCESS);
    sim::machine::RunFor(50 * kMs);
    EXPECT_EQ(events.Counts(), std::vector<ULONG>(m_Types.size(), 0));
    ASSERT_EQ(m_Filter->SetChannelValue(PrivateDriverPropSet, PrivateDriverPropLevelWithEvent, node, 0, -12 * kDb),
              STATUS_SUCCESS);
    sim::machine::RunFor(50 * kMs);
    EXPECT_EQ(events.Counts(), OnlyAt(m_Types.size(), node));
    LONG value = 0;
    ASSERT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, node, 0, &value),
              STATUS_SUCCESS);
    EXPECT_EQ(value, -12 * kDb);
    // The private set is set-only.
    EXPECT_NE(m_Filter->GetChannelValue(PrivateDriverPropSet, PrivateDriverPropLevelWithEvent, node, 0, &value),
              STATUS_SUCCESS);
}

TEST_F(TopologyProperties, DeviceChangeReachesTheSubscriberOfItsNode) {
    for (const char* device : kDevices) {
        SCOPED_TRACE(device);
        Plug(device);
        auto events = std::make_unique<Subscriptions>(*m_Filter, static_cast<ULONG>(m_Types.size()));
        // The front panel mutes the playback feature unit (2) and says so on the interrupt endpoint.
        ASSERT_TRUE(Audio().ChangeFromDevice(2, USB_AUDIO_FU_MUTE_CONTROL, 0, 1));
        sim::machine::RunFor(200 * kMs);
        const std::vector<ULONG> counts = events->Counts();
        ULONG total = 0;
        for (ULONG count : counts) total += count;
        // The unit announces each of its controls once (its mute and its volume); nothing else.
        EXPECT_EQ(total, 2u);
        ULONG announced = 0;
        for (ULONG node : NodesOf(KSNODETYPE_MUTE)) {
            if (counts[node] == 0) continue;
            ++announced;
            EXPECT_EQ(counts[node], 1u);
            LONG muted = 0;
            ASSERT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, node, 0, &muted),
                      STATUS_SUCCESS);
            EXPECT_EQ(muted, 1) << "mute node " << node;
        }
        EXPECT_EQ(announced, 1u);
        for (ULONG node : NodesOf(KSNODETYPE_MUX)) EXPECT_EQ(counts[node], 0u);
        events.reset();
        Unplug();
    }
}

TEST_F(TopologyProperties, PropertySetsPersistAcrossReplug) {
    for (const char* device : kDevices) {
        SCOPED_TRACE(device);
        Plug(device);
        const ULONG volume = NodesOf(KSNODETYPE_VOLUME).back();
        const ULONG mute = NodesOf(KSNODETYPE_MUTE).back();
        const ULONG mux = NodesOf(KSNODETYPE_MUX).front();
        Support support;
        ASSERT_EQ(m_Filter->NodeBasicSupport(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, volume, &support),
                  STATUS_SUCCESS);
        const LONG level = support.ranges.back().Bounds.SignedMinimum + static_cast<LONG>(support.ranges.back().SteppingDelta);
        const LONG last = static_cast<LONG>(support.ranges.size()) - 1;
        ASSERT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, volume, last, level),
                  STATUS_SUCCESS);
        ASSERT_EQ(m_Filter->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, mute, 0, 1), STATUS_SUCCESS);
        ULONG input = 2;
        ASSERT_EQ(m_Filter->NodeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_SET, mux,
                                         &input, sizeof(input)),
                  STATUS_SUCCESS);
        input = 0;
        ASSERT_EQ(m_Filter->NodeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, KSPROPERTY_TYPE_GET, mux,
                                         &input, sizeof(input)),
                  STATUS_SUCCESS);
        EXPECT_EQ(input, 2u);

        Replug(device);
        LONG value = 0;
        ASSERT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, volume, last, &value),
                  STATUS_SUCCESS);
        EXPECT_EQ(value, level);
        ASSERT_EQ(m_Filter->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, mute, 0, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 1);
        Unplug();
    }
}

TEST_F(TopologyProperties, FilterVersionJacksAndEndpointRecords) {
    // The plain device's terminals describe no jacks; the vendor device's output terminal does.
    for (const auto& [device, expectJacks] : {std::pair{"uac2-vendor", true}, std::pair{"uac1", false}}) {
        SCOPED_TRACE(device);
        Plug(device);
        KSPROPERTY version{};
        version.Set = PrivateDriverPropSet;
        version.Id = PrivateDriverPropVersion;
        version.Flags = KSPROPERTY_TYPE_GET;
        ULONG answer = 0;
        ASSERT_EQ(m_Filter->Property(&version, sizeof(version), &answer, sizeof(answer)), STATUS_SUCCESS);
        EXPECT_EQ(answer, PrivateDriverInterfaceVersion);

        ULONG pins = 0;
        ASSERT_EQ(m_Filter->PinCount(&pins), STATUS_SUCCESS);
        auto pinRequest = [](const GUID& set, ULONG id, ULONG flags, ULONG pin) {
            KSP_PIN request{};
            request.Property.Set = set;
            request.Property.Id = id;
            request.Property.Flags = flags;
            request.PinId = pin;
            return request;
        };
        ULONG withJacks = 0;
        for (ULONG pin = 0; pin < pins; ++pin) {
            SCOPED_TRACE(pin);
            KSP_PIN record = pinRequest(EndpointRecordPropSet, 1, KSPROPERTY_TYPE_GET, pin);
            std::vector<UCHAR> bytes;
            ASSERT_EQ(m_Filter->PropertyBytes(&record, sizeof(record), &bytes), STATUS_SUCCESS);
            EXPECT_EQ(bytes.size(), 32u);
            UCHAR shortRecord[31];
            EXPECT_EQ(m_Filter->Property(&record, sizeof(record), shortRecord, sizeof(shortRecord)), STATUS_BUFFER_TOO_SMALL);

            KSP_PIN jack = pinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, pin);
            const NTSTATUS status = m_Filter->PropertyBytes(&jack, sizeof(jack), &bytes);
            if (status == STATUS_INVALID_DEVICE_REQUEST) continue;  // a pin without jacks
            ASSERT_EQ(status, STATUS_SUCCESS);
            ++withJacks;
            KSMULTIPLE_ITEM head;
            std::memcpy(&head, bytes.data(), sizeof(head));
            ASSERT_GE(head.Count, 1u);
            EXPECT_EQ(head.Size, 8 + 28 * head.Count);
            EXPECT_EQ(bytes.size(), head.Size);
            // The private id answers the same bytes; the second version 8 bytes per jack.
            std::vector<UCHAR> same;
            KSP_PIN privateJack = pinRequest(PrivateDriverPropSet, PrivateDriverPropJackDescription, KSPROPERTY_TYPE_GET, pin);
            ASSERT_EQ(m_Filter->PropertyBytes(&privateJack, sizeof(privateJack), &same), STATUS_SUCCESS);
            EXPECT_EQ(same, bytes);
            KSP_PIN jack2 = pinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, KSPROPERTY_TYPE_GET, pin);
            ASSERT_EQ(m_Filter->PropertyBytes(&jack2, sizeof(jack2), &bytes), STATUS_SUCCESS);
            EXPECT_EQ(bytes.size(), 8 + 8 * head.Count);
            std::vector<UCHAR> tooSmall(head.Size - 1);
            EXPECT_EQ(m_Filter->Property(&jack, sizeof(jack), tooSmall.data(), static_cast<ULONG>(tooSmall.size())),
                      STATUS_BUFFER_TOO_SMALL);
        }
        // Pins of terminals without jacks refuse the jack properties.
        EXPECT_EQ(withJacks > 0, expectJacks);
        if (expectJacks) {
            Unplug();
            continue;
        }
        // A pin the filter does not have, and a request without the pin word.
        KSP_PIN missing = pinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, pins);
        std::vector<UCHAR> bytes;
        EXPECT_EQ(m_Filter->PropertyBytes(&missing, sizeof(missing), &bytes), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(m_Filter->Property(&missing, sizeof(KSPROPERTY), nullptr, 0), STATUS_INVALID_DEVICE_REQUEST);
        // Basic support of a pin property: 40 bytes, GET only, no value type.
        KSP_PIN basic = pinRequest(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_BASICSUPPORT, 0);
        KSPROPERTY_DESCRIPTION description{};
        ULONG_PTR returned = 0;
        ASSERT_EQ(m_Filter->Property(&basic, sizeof(basic), &description, sizeof(description), &returned), STATUS_SUCCESS);
        EXPECT_EQ(returned, sizeof(description));
        EXPECT_EQ(description.AccessFlags, 0x201u);
        EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, GUID_NULL));
    }
}

}  // namespace
