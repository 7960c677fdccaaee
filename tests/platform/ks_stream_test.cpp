// The kernel-streaming side of the port-class library under the audio stack client: filters found
// by category and read through the pin and topology sets, node properties and events through the
// miniport's automation tables, pins created against their ranges and instance limits, KSSTATE
// stepped one state at a time, and audio moved sample-exact through a stream's cyclic buffer by
// position. A small adapter linked into the test plays the miniports; its "device" consumes and
// produces 5 ms of audio per tick at the stream's position.
#include <gtest/gtest.h>

#include <sim/audio_stack.h>
#include <sim/io.h>
#include <sim/machine.h>
#include <sim/pnp.h>
#include <sim/portcls.h>
#include <sim/registry.h>
#include <win/ksmedia.h>
#include <win/portcls.h>

#include "test_objects.h"

#include "support/bugcheck.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

using portcls_test::LiveObjects;
using portcls_test::TestObject;

using sim::hosts::KsFilterClient;
using sim::hosts::KsPinClient;

std::vector<std::string> g_stateLog;
std::vector<UCHAR> g_deviceReceived;  // what render streams consumed, in order
ULONG g_captureCounter = 0;           // the next 16-bit value the capture "device" produces
LONG g_volume = 0;

// {0B5C2E0A-7F11-4C5B-9E3C-6A1D2B3C4D5E}: a property the test's node answers with a bad handler.
DEFINE_GUID(kTestSet, 0x0B5C2E0A, 0x7F11, 0x4C5B, 0x9E, 0x3C, 0x6A, 0x1D, 0x2B, 0x3C, 0x4D, 0x5E);


// ---- descriptors ----

KSDATARANGE_AUDIO MakeRange() {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = 2;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 16;
    range.MinimumSampleFrequency = 44100;
    range.MaximumSampleFrequency = 48000;
    return range;
}
KSDATARANGE_AUDIO g_range = MakeRange();
PKSDATARANGE g_ranges[] = {&g_range.DataRange};
KSDATARANGE g_bridgeRange{{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                           KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE g_bridgeRanges[] = {&g_bridgeRange};
const KSPIN_INTERFACE g_streaming[] = {{{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

PCPIN_DESCRIPTOR WavePin(KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR pin{};
    pin.MaxGlobalInstanceCount = 1;
    pin.MaxFilterInstanceCount = 1;
    pin.KsPinDescriptor.InterfacesCount = 1;
    pin.KsPinDescriptor.Interfaces = g_streaming;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = g_ranges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return pin;
}
PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR pin{};
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = g_bridgeRanges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    pin.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return pin;
}

// ---- the topology miniport: one node with a level property and a change event ----

PPORTTOPOLOGY g_topologyPort = nullptr;

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST request) {
    if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) return STATUS_NOT_IMPLEMENTED;
    if (request->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        *static_cast<PLONG>(request->Value) = g_volume;
        request->ValueSize = sizeof(LONG);
        return STATUS_SUCCESS;
    }
    g_volume = *static_cast<PLONG>(request->Value);
    PPORTEVENTS events = nullptr;
    if (NT_SUCCESS(g_topologyPort->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)))) {
        GUID set = KSEVENTSETID_AudioControlChange;
        events->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0, TRUE, request->Node);
        events->Release();
    }
    return STATUS_SUCCESS;
}

// Writes eight bytes whatever the caller gave.
NTSTATUS CarelessHandler(PPCPROPERTY_REQUEST request) {
    std::memset(request->Value, 0x11, 8);
    request->ValueSize = 4;
    return STATUS_SUCCESS;
}

NTSTATUS ChangeEventHandler(PPCEVENT_REQUEST request) {
    if (request->Verb == PCEVENT_VERB_ADD) {
        PPORTEVENTS events = nullptr;
        if (NT_SUCCESS(g_topologyPort->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&events)))) {
            events->AddEventToEventList(request->EventEntry);
            events->Release();
        }
    }
    return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM g_nodeProperties[] = {
    {&KSPROPSETID_Audio, 4, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, VolumeHandler},
    {&kTestSet, 1, KSPROPERTY_TYPE_GET, CarelessHandler},
};
const PCEVENT_ITEM g_nodeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, KSEVENT_TYPE_ENABLE, ChangeEventHandler},
};
const PCAUTOMATION_TABLE g_nodeAutomation{sizeof(PCPROPERTY_ITEM), 2, g_nodeProperties, sizeof(PCMETHOD_ITEM), 0, nullptr,
                                          sizeof(PCEVENT_ITEM), 1, g_nodeEvents, 0};

class TestTopology final : public TestObject<IMiniportTopology> {
public:
    TestTopology() {
        m_pins[0] = BridgePin(KSPIN_DATAFLOW_IN);
        m_pins[1] = BridgePin(KSPIN_DATAFLOW_OUT);
        m_node = PCNODE_DESCRIPTOR{0, &g_nodeAutomation, &KSCATEGORY_AUDIO, nullptr};
        m_description = PCFILTER_DESCRIPTOR{0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, m_pins, sizeof(PCNODE_DESCRIPTOR),
                                            1, &m_node, 2, m_connections, 2, m_categories};
    }
    ~TestTopology() override {
        if (g_topologyPort != nullptr) g_topologyPort->Release();
        g_topologyPort = nullptr;
    }
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
            *out = static_cast<IMiniportTopology*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_description;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
        g_topologyPort = port;
        port->AddRef();
        return STATUS_SUCCESS;
    }

private:
    PCPIN_DESCRIPTOR m_pins[2];
    PCNODE_DESCRIPTOR m_node;
    PCCONNECTION_DESCRIPTOR m_connections[2] = {{PCFILTER_NODE, 0, 0, 1}, {0, 0, PCFILTER_NODE, 1}};
    GUID m_categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
    PCFILTER_DESCRIPTOR m_description;
};

// ---- the wave-cyclic miniport and its stream ----

class TestStream final : public TestObject<IMiniportWaveCyclicStream, IDmaChannel> {
public:
    TestStream(PPORTWAVECYCLIC port, bool capture, const WAVEFORMATEX& wave) : m_port(port), m_capture(capture) {
        m_port->AddRef();
        m_tick = wave.nAvgBytesPerSec / 200;  // 5 ms
        m_buffer.assign(wave.nAvgBytesPerSec / 20, 0);
        KeInitializeSpinLock(&m_lock);
        KeInitializeTimerEx(&m_timer, NotificationTimer);
        KeInitializeDpc(&m_dpc, Tick, this);
        PcNewServiceGroup(&m_group, nullptr);
    }
    ~TestStream() override {
        KeCancelTimer(&m_timer);
        KeFlushQueuedDpcs();
        m_group->Release();
        m_port->Release();
    }
    PSERVICEGROUP Group() { return m_group; }

    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
            *out = static_cast<IMiniportWaveCyclicStream*>(this);
        } else if (IsEqualGUID(iid, IID_IDmaChannel)) {
            *out = static_cast<IDmaChannel*>(this);
        } else {
            *out = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetFormat(PKSDATAFORMAT) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG framing) override {
        *framing = m_tick * 2;
        return interval;
    }
    STDMETHODIMP SetState(KSSTATE state) override {
        static const char* names[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
        g_stateLog.push_back(names[state]);
        if (state == KSSTATE_RUN) {
            LARGE_INTEGER due;
            due.QuadPart = -50'000;
            KeSetTimerEx(&m_timer, due, 5, &m_dpc);
        } else {
            KeCancelTimer(&m_timer);
            KeFlushQueuedDpcs();
        }
        if (state == KSSTATE_STOP) m_position = 0;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetPosition(PULONG position) override {
        KIRQL old;
        KeAcquireSpinLock(&m_lock, &old);
        *position = m_position;
        KeReleaseSpinLock(&m_lock, old);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) Silence(PVOID buffer, ULONG count) override { std::memset(buffer, 0, count); }

    STDMETHODIMP AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) FreeBuffer() override {}
    STDMETHODIMP_(ULONG) TransferCount() override { return static_cast<ULONG>(m_buffer.size()); }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return static_cast<ULONG>(m_buffer.size()); }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return static_cast<ULONG>(m_buffer.size()); }
    STDMETHODIMP_(ULONG) BufferSize() override { return static_cast<ULONG>(m_buffer.size()); }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return m_buffer.data(); }
    STDMETHODIMP_(PPHYSICAL_ADDRESS) PhysicalAddress(PPHYSICAL_ADDRESS Address) override {
        *Address = PHYSICAL_ADDRESS{};
        return Address;
    }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG count) override {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeAcquireSpinLockAtDpcLevel(&m_lock);
        std::memcpy(destination, source, count);
        KeReleaseSpinLockFromDpcLevel(&m_lock);
    }
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG count) override { CopyTo(destination, source, count); }

private:
    // The "device": 5 ms of audio at the position, then the port hears of it.
    static VOID Tick(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<TestStream*>(context);
        KeAcquireSpinLockAtDpcLevel(&self->m_lock);
        for (ULONG i = 0; i < self->m_tick; ++i) {
            UCHAR& byte = self->m_buffer[(self->m_position + i) % self->m_buffer.size()];
            if (self->m_capture) {
                byte = static_cast<UCHAR>(i % 2 == 0 ? g_captureCounter & 0xFF : (g_captureCounter++ >> 8) & 0xFF);
            } else {
                g_deviceReceived.push_back(byte);
            }
        }
        self->m_position = static_cast<ULONG>((self->m_position + self->m_tick) % self->m_buffer.size());
        KeReleaseSpinLockFromDpcLevel(&self->m_lock);
        self->m_port->Notify(self->m_group);
    }

    PPORTWAVECYCLIC m_port;
    bool m_capture;
    ULONG m_tick;
    std::vector<UCHAR> m_buffer;
    KSPIN_LOCK m_lock;
    KTIMER m_timer;
    KDPC m_dpc;
    PSERVICEGROUP m_group = nullptr;
    ULONG m_position = 0;
};

class TestWave final : public TestObject<IMiniportWaveCyclic> {
public:
    explicit TestWave(bool capture) : m_captureFilter(capture) {
        m_pins[0] = WavePin(capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
        m_pins[1] = BridgePin(capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
        m_categories[1] = capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
        m_description = PCFILTER_DESCRIPTOR{0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, m_pins, sizeof(PCNODE_DESCRIPTOR),
                                            0, nullptr, 0, nullptr, 2, m_categories};
    }
    ~TestWave() override {
        if (m_port != nullptr) m_port->Release();
    }
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* out) override {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
            *out = static_cast<IMiniportWaveCyclic*>(this);
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override {
        *description = &m_description;
        return STATUS_SUCCESS;
    }
    // Proposes the range's largest layout.
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE client, PKSDATARANGE, ULONG outLength, PVOID result,
                                       PULONG resultLength) override {
        if (!IsEqualGUID(client->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return STATUS_NO_MATCH;
        std::vector<UCHAR> format = sim::hosts::WaveFormat(48000, 16, 2);
        *resultLength = static_cast<ULONG>(format.size());
        if (outLength == 0) return STATUS_BUFFER_OVERFLOW;
        if (outLength < format.size()) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(result, format.data(), format.size());
        return STATUS_SUCCESS;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override {
        m_port = port;
        port->AddRef();
        return STATUS_SUCCESS;
    }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN capture,
                           PKSDATAFORMAT format, PDMACHANNEL* dma, PSERVICEGROUP* group) override {
        EXPECT_EQ(capture != FALSE, m_captureFilter);
        WAVEFORMATEX wave;
        std::memcpy(&wave, reinterpret_cast<PUCHAR>(format) + sizeof(KSDATAFORMAT), sizeof(wave));
        auto* created = new TestStream(m_port, capture != FALSE, wave);
        *stream = created;
        created->AddRef();
        *dma = created;
        *group = created->Group();
        (*group)->AddRef();
        return STATUS_SUCCESS;
    }

private:
    bool m_captureFilter;
    PPORTWAVECYCLIC m_port = nullptr;
    PCPIN_DESCRIPTOR m_pins[2];
    GUID m_categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    PCFILTER_DESCRIPTOR m_description;
};

// ---- the adapter ----

NTSTATUS Install(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources, REFCLSID portClass, PUNKNOWN miniport,
                 PCWSTR name) {
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (NT_SUCCESS(status)) status = port->Init(fdo, irp, miniport, nullptr, resources);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, const_cast<PWSTR>(name), port);
    if (port != nullptr) port->Release();
    miniport->Release();
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    NTSTATUS status = Install(fdo, irp, resources, CLSID_PortTopology, new TestTopology(), u"Topology");
    if (NT_SUCCESS(status)) status = Install(fdo, irp, resources, CLSID_PortWaveCyclic, new TestWave(false), u"Wave");
    if (NT_SUCCESS(status)) status = Install(fdo, irp, resources, CLSID_PortWaveCyclic, new TestWave(true), u"WaveIn");
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return PcAddAdapterDevice(driver, pdo, StartDevice, 4, 0); }

NTSTATUS LinkedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

class KsStream : public testing::Test {
protected:
    void SetUp() override {
        g_stateLog.clear();
        g_deviceReceived.clear();
        g_captureCounter = 0;
        ASSERT_EQ(sim::pnp::LoadLinkedDriver(LinkedDriverEntry, u"KvKsTest", &m_driver), STATUS_SUCCESS);
        sim::pnp::DeviceDescription description;
        description.deviceId = u"USB\\VID_0A0B&PID_0002";
        m_node = sim::pnp::CreateDevice(description);
        ASSERT_EQ(sim::pnp::AddDevice(m_driver, m_node), STATUS_SUCCESS);
        ASSERT_EQ(sim::pnp::StartDevice(m_node), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (m_node != nullptr) {
            EXPECT_EQ(sim::pnp::RemoveDevice(m_node), STATUS_SUCCESS);
            sim::pnp::DeleteDevice(m_node);
        }
        sim::pnp::UnloadDriver(m_driver);
        EXPECT_EQ(LiveObjects().load(), 0);
    }
    std::unique_ptr<KsFilterClient> OpenFilter(const GUID& category) {
        auto found = sim::hosts::FindFilters(category);
        EXPECT_EQ(found.size(), 1u);
        std::unique_ptr<KsFilterClient> filter;
        if (!found.empty()) {
            EXPECT_EQ(KsFilterClient::Open(found[0].symbolicLink, &filter), STATUS_SUCCESS);
        }
        return filter;
    }

    sim::pnp::Driver* m_driver = nullptr;
    sim::pnp::DeviceNode* m_node = nullptr;
};

TEST_F(KsStream, FiltersAreFoundByCategoryAndDescribeTheirPinsAndTopology) {
    EXPECT_EQ(sim::hosts::FindFilters(KSCATEGORY_AUDIO).size(), 3u);
    auto topology = OpenFilter(KSCATEGORY_TOPOLOGY);
    auto render = OpenFilter(KSCATEGORY_RENDER);
    ASSERT_TRUE(topology && render);
    EXPECT_EQ(sim::hosts::FindFilters(KSCATEGORY_RENDER)[0].referenceString, u"Wave");

    ULONG pins = 0;
    ASSERT_EQ(render->PinCount(&pins), STATUS_SUCCESS);
    EXPECT_EQ(pins, 2u);
    struct {
        ULONG property;
        ULONG pin;
        ULONG expected;
    } values[] = {
        {KSPROPERTY_PIN_DATAFLOW, 0, KSPIN_DATAFLOW_IN},
        {KSPROPERTY_PIN_DATAFLOW, 1, KSPIN_DATAFLOW_OUT},
        {KSPROPERTY_PIN_COMMUNICATION, 0, KSPIN_COMMUNICATION_SINK},
        {KSPROPERTY_PIN_COMMUNICATION, 1, KSPIN_COMMUNICATION_NONE},
    };
    for (const auto& v : values) {
        ULONG value = 0xFFFF;
        EXPECT_EQ(render->PinValue(v.property, v.pin, &value, sizeof(value)), STATUS_SUCCESS);
        EXPECT_EQ(value, v.expected) << "property " << v.property << " pin " << v.pin;
    }
    ULONG value = 0;
    EXPECT_EQ(render->PinValue(KSPROPERTY_PIN_DATAFLOW, 2, &value, sizeof(value)), STATUS_INVALID_PARAMETER);

    std::vector<std::vector<UCHAR>> ranges;
    ASSERT_EQ(render->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 1u);
    ASSERT_EQ(ranges[0].size(), sizeof(KSDATARANGE_AUDIO));
    EXPECT_EQ(std::memcmp(ranges[0].data(), &g_range, sizeof(g_range)), 0);
    std::vector<UCHAR> format;
    ASSERT_EQ(render->DataIntersection(0, ranges[0], &format), STATUS_SUCCESS);
    EXPECT_EQ(format, sim::hosts::WaveFormat(48000, 16, 2));

    std::vector<GUID> categories;
    std::vector<GUID> nodes;
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    ASSERT_EQ(topology->Categories(&categories), STATUS_SUCCESS);
    ASSERT_EQ(topology->Nodes(&nodes), STATUS_SUCCESS);
    ASSERT_EQ(topology->Connections(&connections), STATUS_SUCCESS);
    ASSERT_EQ(categories.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(categories[1], KSCATEGORY_TOPOLOGY));
    ASSERT_EQ(nodes.size(), 1u);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[1].ToNode, KSFILTER_NODE);
    EXPECT_EQ(connections[1].ToNodePin, 1u);

    // Names come from the media categories in the registry.
    sim::registry::SetString(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\"
                             u"{6994AD04-93EF-11D0-A3CC-00A0C9223196}",
                             u"Name", u"Audio");
    std::u16string name;
    EXPECT_EQ(render->PinName(0, &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"Audio");
}

TEST_F(KsStream, NodePropertiesReachTheHandlersAndChangesRaiseTheNodeEvent) {
    auto topology = OpenFilter(KSCATEGORY_TOPOLOGY);
    ASSERT_TRUE(topology);
    KEVENT changed;
    KeInitializeEvent(&changed, NotificationEvent, FALSE);
    std::shared_ptr<KSEVENTDATA> registration;
    ASSERT_EQ(topology->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0, &changed, &registration),
              STATUS_SUCCESS);
    std::shared_ptr<KSEVENTDATA> ignored;
    EXPECT_EQ(topology->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 1, &changed, &ignored),
              STATUS_INVALID_PARAMETER);

    KSP_NODE request{};
    request.Property.Set = KSPROPSETID_Audio;
    request.Property.Id = 4;
    request.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
    LONG level = -6 * 65536;
    EXPECT_EQ(topology->Property(&request, sizeof(request), &level, sizeof(level)), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&changed), 1);
    request.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
    level = 0;
    ULONG_PTR returned = 0;
    EXPECT_EQ(topology->Property(&request, sizeof(request), &level, sizeof(level), &returned), STATUS_SUCCESS);
    EXPECT_EQ(level, -6 * 65536);
    EXPECT_EQ(returned, sizeof(LONG));
    request.Property.Id = 5;  // no such item on the node
    EXPECT_EQ(topology->Property(&request, sizeof(request), &level, sizeof(level)), STATUS_NOT_FOUND);

    // Disabled, the event is no longer signalled.
    EXPECT_EQ(topology->DisableEvent(registration), STATUS_SUCCESS);
    KeClearEvent(&changed);
    request.Property.Id = 4;
    request.Property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
    EXPECT_EQ(topology->Property(&request, sizeof(request), &level, sizeof(level)), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&changed), 0);
}

TEST_F(KsStream, PinsAreCreatedAgainstTheirRangesAndLimits) {
    auto render = OpenFilter(KSCATEGORY_RENDER);
    ASSERT_TRUE(render);
    struct {
        ULONG pin;
        std::vector<UCHAR> format;
        NTSTATUS expected;
    } refused[] = {
        {0, sim::hosts::WaveFormat(96000, 16, 2), STATUS_NO_MATCH},  // rate outside the range
        {0, sim::hosts::WaveFormat(48000, 24, 2), STATUS_NO_MATCH},  // bits outside the range
        {0, sim::hosts::WaveFormat(48000, 16, 2, true), STATUS_NO_MATCH},
        {1, sim::hosts::WaveFormat(48000, 16, 2), STATUS_INVALID_DEVICE_REQUEST},  // a bridge pin
        {7, sim::hosts::WaveFormat(48000, 16, 2), STATUS_INVALID_PARAMETER},
    };
    for (const auto& r : refused) {
        std::unique_ptr<KsPinClient> pin;
        EXPECT_EQ(KsPinClient::Open(*render, r.pin, r.format, &pin), r.expected) << "pin " << r.pin;
    }
    // A truncated format is refused before anything reads past it.
    std::vector<UCHAR> shortFormat = sim::hosts::WaveFormat(48000, 16, 2);
    shortFormat.resize(40);
    std::unique_ptr<KsPinClient> pin;
    EXPECT_EQ(KsPinClient::Open(*render, 0, shortFormat, &pin), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(KsPinClient::Open(*render, 0, sim::hosts::WaveFormat(44100, 16, 2), &pin), STATUS_SUCCESS);
    std::unique_ptr<KsPinClient> second;
    EXPECT_EQ(KsPinClient::Open(*render, 0, sim::hosts::WaveFormat(48000, 16, 2), &second),
              STATUS_INSUFFICIENT_RESOURCES);
    KSPIN_CINSTANCES instances{};
    EXPECT_EQ(render->PinValue(KSPROPERTY_PIN_CINSTANCES, 0, &instances, sizeof(instances)), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 1u);
    EXPECT_EQ(instances.PossibleCount, 1u);

    // States change one step at a time, up and down.
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(g_stateLog, (std::vector<std::string>{"ACQUIRE", "PAUSE", "RUN", "PAUSE", "ACQUIRE", "STOP"}));
    pin.reset();
    EXPECT_EQ(KsPinClient::Open(*render, 0, sim::hosts::WaveFormat(48000, 16, 2), &second), STATUS_SUCCESS);
    // A pin closed while running is stepped down first.
    ASSERT_EQ(second->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    g_stateLog.clear();
    second.reset();
    EXPECT_EQ(g_stateLog, (std::vector<std::string>{"PAUSE", "ACQUIRE", "STOP"}));
}

TEST_F(KsStream, RenderAndCaptureMoveAudioSampleExactByPosition) {
    auto render = OpenFilter(KSCATEGORY_RENDER);
    auto capture = OpenFilter(KSCATEGORY_CAPTURE);
    ASSERT_TRUE(render && capture);
    std::unique_ptr<KsPinClient> out;
    std::unique_ptr<KsPinClient> in;
    ASSERT_EQ(KsPinClient::Open(*render, 0, sim::hosts::WaveFormat(48000, 16, 2), &out), STATUS_SUCCESS);
    ASSERT_EQ(KsPinClient::Open(*capture, 0, sim::hosts::WaveFormat(48000, 16, 2), &in), STATUS_SUCCESS);

    uint16_t next = 0;
    std::vector<UCHAR> sent;
    auto ramp = [&](UCHAR* data, size_t length) {
        for (size_t i = 0; i + 1 < length; i += 2, ++next) {
            data[i] = static_cast<UCHAR>(next & 0xFF);
            data[i + 1] = static_cast<UCHAR>(next >> 8);
        }
        sent.insert(sent.end(), data, data + length);
        return length;
    };
    sim::hosts::StreamRunStats played;
    ASSERT_EQ(out->Render(ramp, 2 * sim::machine::kSecond, &played), STATUS_SUCCESS);
    // Stopped, the device's tick no longer appends to what it received.
    ASSERT_EQ(out->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(played.positionStalls, 0u);
    EXPECT_GE(played.services, 390u);
    // 2 s at 192,000 bytes per second, within a tick of the timer.
    EXPECT_NEAR(static_cast<double>(played.positionBytes), 384000.0, 960.0);
    ASSERT_GE(sent.size(), g_deviceReceived.size());
    ASSERT_GT(g_deviceReceived.size(), 380000u);
    EXPECT_TRUE(std::equal(g_deviceReceived.begin(), g_deviceReceived.end(), sent.begin()));

    std::vector<UCHAR> captured;
    sim::hosts::StreamRunStats recorded;
    ASSERT_EQ(in->Capture([&](const UCHAR* data, size_t length) { captured.insert(captured.end(), data, data + length); },
                          sim::machine::kSecond, &recorded),
              STATUS_SUCCESS);
    ASSERT_GT(captured.size(), 190000u);
    for (size_t i = 0; i + 1 < captured.size(); i += 2) {
        ASSERT_EQ(captured[i] | (captured[i + 1] << 8), static_cast<int>((i / 2) & 0xFFFF)) << "sample " << i / 2;
    }
}

using KsStreamDeathTest = KsStream;

TEST_F(KsStreamDeathTest, AHandlerThatWritesPastTheValueStopsTheMachine) {
    auto topology = OpenFilter(KSCATEGORY_TOPOLOGY);
    ASSERT_TRUE(topology);
    KSP_NODE request{};
    request.Property.Set = kTestSet;
    request.Property.Id = 1;
    request.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
    LONG value = 0;
    EXPECT_BUGCHECK(topology->Property(&request, sizeof(request), &value, sizeof(value)), "KS_BUFFER_OVERRUN",
                    "wrote past the 4-byte value buffer");
}

}  // namespace
