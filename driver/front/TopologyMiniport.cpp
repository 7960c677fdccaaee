#include "driver/front/TopologyMiniport.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/controls/VendorControl.h"
#include "driver/engine/interfaces/TerminalInfo.h"
#include "driver/front/DriverDispatch.h"
#include "driver/front/InterfaceRef.h"
#include "driver/front/TopologyProperties.h"

namespace {

// Names of the nodes whose kind carries a fixed one.
// {BAE3AD68-0CB6-4A9A-94B5-0BB628C41D7A}
DEFINE_GUID(NodeNameDeviceLevel, 0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A);
// KSAUDFNAME_BASS, KSAUDFNAME_MIDRANGE, KSAUDFNAME_TREBLE
DEFINE_GUID(NodeNameBass, 0x185FEDE0, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DEFINE_GUID(NodeNameMid, 0xA2CBE478, 0xAE84, 0x49A1, 0x8B, 0x72, 0x4A, 0xD0, 0x9B, 0x78, 0xED, 0x34);
DEFINE_GUID(NodeNameTreble, 0x185FEDE1, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
// {0D18F5A4-5721-4A07-92E5-843099FA8FDB}
DEFINE_GUID(NodeNameTerminalType, 0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB);
// {FDA49636-C86D-4E91-A707-A1252E3F19E6}
DEFINE_GUID(NodeNameDeviceSwitch, 0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6);
// {DB357A6F-C4B1-4390-8C07-CBDFA9D5C047}
DEFINE_GUID(NodeNameStoredSwitch, 0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47);

// Pin names by terminal type.
// {12C15946-BA58-42C1-9F11-8341E2198622}, {017D895C-7AE7-4F4D-B78C-CD1FFC0CE776}
DEFINE_GUID(PinNameSpdifOut, 0x12C15946, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22);
DEFINE_GUID(PinNameSpdifIn, 0x017D895C, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76);
// {387BFC03-E7EF-4901-86E0-35B7C32B00EF}, {21FBB329-1A4A-48DA-A076-2318A3C59B26}
DEFINE_GUID(PinNameHdmi, 0x387BFC03, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF);
DEFINE_GUID(PinNameDisplayPort, 0x21FBB329, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26);
// {5F4BB488-A646-408A-9265-8647F9C374D4}, {8C5716E6-C984-492E-A2FB-1385F2D0F3C9}
DEFINE_GUID(PinNameAux, 0x5F4BB488, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4);
DEFINE_GUID(PinNameStereoMix, 0x8C5716E6, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9);
// The category of a stereo-mix pin on systems older than 0x06000000.
DEFINE_GUID(PinCategoryLegacyStereoMix, 0x00DFF077, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);

constexpr ULONG NotFound = MAXULONG;
constexpr ULONG NtDdiVista = 0x06000000;
constexpr ULONG SettingNameChars = 49;

// Terminal types (the endpoint types of connectors).
enum : ULONG {
    TerminalStream = 0, TerminalSpeaker, TerminalHeadphones, TerminalSpdif, TerminalHdmi, TerminalDisplayPort,
    TerminalLine, TerminalMic, TerminalAux, TerminalCd, TerminalVideo, TerminalFrontMic, TerminalTelephone,
    TerminalHandset, TerminalHeadset, TerminalSpeakerphone, TerminalStereoMix, TerminalFrontHeadphones,
};

const GUID* const PinCategories[] = {
    &KSCATEGORY_AUDIO,           &KSNODETYPE_SPEAKER,          &KSNODETYPE_HEADPHONES,
    &KSNODETYPE_SPDIF_INTERFACE, &KSNODETYPE_HDMI_INTERFACE,   &KSNODETYPE_DISPLAYPORT_INTERFACE,
    &KSNODETYPE_LINE_CONNECTOR,  &KSNODETYPE_MICROPHONE,       &KSNODETYPE_ANALOG_CONNECTOR,
    &KSNODETYPE_CD_PLAYER,       &KSNODETYPE_VIDEO_DISC_AUDIO, &KSNODETYPE_DESKTOP_MICROPHONE,
    &KSNODETYPE_TELEPHONE,       &KSNODETYPE_HANDSET,          &KSNODETYPE_HEADSET,
    &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, &KSNODETYPE_ANALOG_CONNECTOR, &KSNODETYPE_HEADPHONES,
};
static_assert(sizeof(PinCategories) / sizeof(PinCategories[0]) == TerminalFrontHeadphones + 1);

// Node type and fixed name of a control kind; Type null for a kind without node.
struct NodeKindRow {
    ULONG Kind;
    const GUID* Type;
    const GUID* Name;
};
const NodeKindRow NodeKinds[] = {
    {NodeKindCode(NodeKind::Mute), &KSNODETYPE_MUTE, nullptr},
    {NodeKindCode(NodeKind::Volume), &KSNODETYPE_VOLUME, nullptr},
    {NodeKindCode(NodeKind::Mixer), &KSNODETYPE_SUM, nullptr},
    {NodeKindCode(NodeKind::AutomaticGain), &KSNODETYPE_AGC, nullptr},
    {NodeKindCode(NodeKind::Loudness), &KSNODETYPE_LOUDNESS, nullptr},
    {NodeKindCode(NodeKind::DeviceLevel), &KSNODETYPE_DEV_SPECIFIC, &NodeNameDeviceLevel},
    {NodeKindCode(NodeKind::Bass), &KSNODETYPE_TONE, &NodeNameBass},
    {NodeKindCode(NodeKind::Mid), &KSNODETYPE_TONE, &NodeNameMid},
    {NodeKindCode(NodeKind::Treble), &KSNODETYPE_TONE, &NodeNameTreble},
    {NodeKindCode(NodeKind::TerminalType), &KSNODETYPE_DEV_SPECIFIC, &NodeNameTerminalType},
    {NodeKindCode(NodeKind::DeviceSwitch), &KSNODETYPE_DEV_SPECIFIC, &NodeNameDeviceSwitch},
    {NodeKindCode(NodeKind::StoredSwitch), &KSNODETYPE_DEV_SPECIFIC, &NodeNameStoredSwitch},
};

// The one data range of every bridge pin.
KSDATARANGE BridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                            KSDATAFORMAT_SPECIFIER_NONE}};
PKSDATARANGE BridgeRanges[] = {&BridgeRange};
static_assert(sizeof(KSDATARANGE) == 64);

const GUID FilterCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, GUID_KLEnumPrivateInterface};

template <class T>
T* AllocatePagedZero(SIZE_T Count) {
    if (Count == 0 || Count > MAXULONG / sizeof(T)) return nullptr;
    auto* block = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, Count * sizeof(T), TopologyTag));
    if (block != nullptr) RtlZeroMemory(block, Count * sizeof(T));
    return block;
}

template <class T>
void FreePaged(T*& Block) {
    if (Block != nullptr) ExFreePoolWithTag(Block, TopologyTag);
    Block = nullptr;
}

ULONG HashId(ULONG Id, ULONG Slots) { return (Id * 0x9E3779B1u) & (Slots - 1); }

// Reads a control's id, kind and sources into Entry, which keeps the control referenced.
NTSTATUS FillEntry(TopologyEntry* Entry, AudioNode* Control) {
    Control->AddRef();
    Entry->Control = Control;
    Entry->Id = Control->GetId();
    Entry->Kind = Control->GetNodeKind();
    ULONG count = Control->GetSourceCount();
    if (count == 0) return STATUS_SUCCESS;
    Entry->Sources = AllocatePagedZero<ULONG>(count);
    if (Entry->Sources == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = Control->GetSources(&count, Entry->Sources);
    Entry->SourceCount = NT_SUCCESS(status) ? count : 0;
    return status;
}

}  // namespace

NTSTATUS CreateTopologyMiniport(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN UnknownOuter, POOL_TYPE PoolType) {
    return NewKernelObject<TopologyMiniport>(Unknown, UnknownOuter, PoolType, TopologyTag);
}

TopologyMiniport::TopologyMiniport(PUNKNOWN UnknownOuter)
    : CKernelUnknown(UnknownOuter),
      m_Port(nullptr),
      m_PortEvents(nullptr),
      m_Adapter(nullptr),
      m_ChangeRegistration(nullptr),
      m_Name(nullptr),
      m_PowerState(PowerDeviceD0),
      m_PinEntries(nullptr),
      m_PinCount(0),
      m_NodeEntries(nullptr),
      m_NodeCount(0),
      m_ConnectionList(nullptr),
      m_ConnectionCount(0),
      m_ConnectionCapacity(0),
      m_NodeIndex(nullptr),
      m_PinIndex(nullptr),
      m_IndexSlots(0),
      m_Filter(nullptr),
      m_PinDescriptors(nullptr),
      m_NodeDescriptors(nullptr),
      m_Connections(nullptr) {}

TopologyMiniport::~TopologyMiniport() {
    // No event may start once the callback is gone, so it goes first.
    if (m_ChangeRegistration != nullptr && m_Adapter != nullptr) m_Adapter->UnregisterChangeCallback(m_ChangeRegistration);
    m_ChangeRegistration = nullptr;
    ReleaseDescriptors();
    FreePaged(m_ConnectionList);
    FreePaged(m_NodeIndex);
    FreePaged(m_PinIndex);
    FreeEntries(m_NodeEntries, m_NodeCount);
    FreeEntries(m_PinEntries, m_PinCount);
}

void TopologyMiniport::FreeEntries(TopologyEntry* Entries, ULONG Count) {
    if (Entries == nullptr) return;
    for (ULONG index = 0; index < Count; ++index) {
        FreePaged(Entries[index].Sources);
        if (Entries[index].Control != nullptr) Entries[index].Control->Release();
    }
    ExFreePoolWithTag(Entries, TopologyTag);
}

void TopologyMiniport::ReleaseDescriptors() {
    FreePaged(m_Connections);
    FreePaged(m_NodeDescriptors);
    FreePaged(m_PinDescriptors);
    FreePaged(m_Filter);
    FreePaged(m_Name);
    m_PortEvents = nullptr;
    m_Port = nullptr;
    if (m_Adapter != nullptr) m_Adapter->Release();
    m_Adapter = nullptr;
}

NTSTATUS TopologyMiniport::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_IMiniport, static_cast<IMiniportTopology*>(this)},
        {IID_IMiniportTopology, static_cast<IMiniportTopology*>(this)},
        {IID_SubdeviceInfo, static_cast<SubdeviceInfo*>(this)},
        {IID_IPowerNotify, static_cast<IPowerNotify*>(this)},
    };
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS TopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
    if (Description == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Filter == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    *Description = m_Filter;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS TopologyMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST, PPORTTOPOLOGY Port) {
    PAGED_CODE();
    if (Port == nullptr || UnknownAdapter == nullptr) return STATUS_INVALID_PARAMETER;
    if (m_Filter != nullptr || m_Port != nullptr) return STATUS_INVALID_DEVICE_STATE;
    // Not referenced: the port holds this miniport from its Init until it goes, so it outlives
    // it, and a counted reference back would keep a port whose subdevice never got registered
    // (and with it this miniport and the adapter) alive for good.
    m_Port = Port;

    NTSTATUS status = UnknownAdapter->QueryInterface(IID_AdapterCommon, reinterpret_cast<PVOID*>(&m_Adapter));
    if (NT_SUCCESS(status) && m_Adapter == nullptr) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) status = BuildPinList();
    if (NT_SUCCESS(status)) status = BuildNodeList();
    if (NT_SUCCESS(status)) status = BuildIdIndex();
    if (NT_SUCCESS(status)) {
        m_Filter = AllocatePagedZero<PCFILTER_DESCRIPTOR>(1);
        if (m_Filter == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) status = BuildPinDescriptors();
    if (NT_SUCCESS(status)) status = BuildNodeDescriptors();
    if (NT_SUCCESS(status)) status = BuildConnections();
    if (NT_SUCCESS(status)) {
        m_Filter->Version = 0;
        m_Filter->AutomationTable = TopologyFilterAutomation();
        m_Filter->PinSize = sizeof(PCPIN_DESCRIPTOR);
        m_Filter->PinCount = m_PinCount;
        m_Filter->Pins = m_PinDescriptors;
        m_Filter->NodeSize = sizeof(PCNODE_DESCRIPTOR);
        m_Filter->NodeCount = m_NodeCount;
        m_Filter->Nodes = m_NodeDescriptors;
        m_Filter->ConnectionCount = m_ConnectionCount;
        m_Filter->Connections = m_Connections;
        m_Filter->CategoryCount = sizeof(FilterCategories) / sizeof(FilterCategories[0]);
        m_Filter->Categories = FilterCategories;
        m_Name = AllocatePagedZero<WCHAR>(TopologyNameChars);
        if (m_Name == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        status = RtlStringCchPrintfW(m_Name, TopologyNameChars, KV_WIDE("%s%s"), KV_WIDE("Global"), KV_WIDE("Topo"));
    }
    if (NT_SUCCESS(status)) status = m_Port->QueryInterface(IID_IPortEvents, reinterpret_cast<PVOID*>(&m_PortEvents));
    if (NT_SUCCESS(status) && m_PortEvents == nullptr) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) m_PortEvents->Release();  // the port's own interface, kept as m_Port is
    if (NT_SUCCESS(status)) status = m_Adapter->RegisterChangeCallback(ChangeCallback, this, &m_ChangeRegistration);
    if (!NT_SUCCESS(status)) {
        // Everything taken is released here, once; the entries stay for the destructor.
        m_ChangeRegistration = nullptr;
        ReleaseDescriptors();
    }
    return status;
}

NTSTATUS TopologyMiniport::BuildPinList() {
    const ULONG count = m_Adapter->GetNodeCount();
    if (count == 0) return STATUS_SUCCESS;
    m_PinEntries = AllocatePagedZero<TopologyEntry>(count);
    if (m_PinEntries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Stream connectors come first, in reverse node-list order; the others follow in node-list
    // order. Collected in two passes so the array holds the final order.
    for (ULONG pass = 0; pass < 2; ++pass) {
        for (ULONG step = 0; step < count; ++step) {
            const ULONG index = pass == 0 ? count - 1 - step : step;
            AudioNode* node = nullptr;  // no reference of its own
            if (!NT_SUCCESS(m_Adapter->GetNode(index, &node)) || node == nullptr) continue;
            const ULONG kind = node->GetNodeKind();
            if (kind != NodeKindCode(NodeKind::InputConnector) && kind != NodeKindCode(NodeKind::OutputConnector)) {
                continue;
            }
            InterfaceRef<TerminalInfo> terminal;
            if (!NT_SUCCESS(node->QueryInterface(IID_TerminalInfo, terminal.ReceiveVoid())) || !terminal) continue;
            ULONG type = MAXULONG;
            if (!NT_SUCCESS(terminal->GetTerminalType(&type))) continue;
            if ((type == TerminalStream) != (pass == 0)) continue;
            TopologyEntry* entry = &m_PinEntries[m_PinCount++];
            entry->TerminalType = type;
            NTSTATUS status = FillEntry(entry, node);
            if (!NT_SUCCESS(status)) return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildNodeList() {
    const ULONG count = m_Adapter->GetNodeCount();
    if (count == 0) return STATUS_SUCCESS;
    m_NodeEntries = AllocatePagedZero<TopologyEntry>(count);
    if (m_NodeEntries == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Node 0 is the last control of the HAL's list.
    for (ULONG step = 0; step < count; ++step) {
        AudioNode* node = nullptr;  // no reference of its own
        if (!NT_SUCCESS(m_Adapter->GetNode(count - 1 - step, &node)) || node == nullptr) continue;
        const ULONG kind = node->GetNodeKind();
        if (kind == NodeKindCode(NodeKind::InputConnector) || kind == NodeKindCode(NodeKind::OutputConnector) ||
            kind == NodeKindCode(NodeKind::SampleRate)) {
            continue;
        }
        NTSTATUS status = FillEntry(&m_NodeEntries[m_NodeCount++], node);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildIdIndex() {
    const ULONG entries = m_PinCount > m_NodeCount ? m_PinCount : m_NodeCount;
    m_IndexSlots = 16;
    while (m_IndexSlots < 2 * entries) m_IndexSlots *= 2;
    m_NodeIndex = AllocatePagedZero<ULONG>(m_IndexSlots);
    m_PinIndex = AllocatePagedZero<ULONG>(m_IndexSlots);
    if (m_NodeIndex == nullptr || m_PinIndex == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    struct Table {
        PULONG Index;
        const TopologyEntry* Entries;
        ULONG Count;
    };
    const Table tables[] = {{m_NodeIndex, m_NodeEntries, m_NodeCount}, {m_PinIndex, m_PinEntries, m_PinCount}};
    for (const Table& table : tables) {
        for (ULONG number = 0; number < table.Count; ++number) {
            const ULONG id = table.Entries[number].Id;
            for (ULONG slot = HashId(id, m_IndexSlots);; slot = (slot + 1) & (m_IndexSlots - 1)) {
                if (table.Index[slot] == 0) {
                    table.Index[slot] = number + 1;
                    break;
                }
                if (table.Entries[table.Index[slot] - 1].Id == id) break;  // the first keeps it
            }
        }
    }
    return STATUS_SUCCESS;
}

ULONG TopologyMiniport::FindNode(ULONG Id) const {
    if (m_NodeIndex == nullptr) return NotFound;
    for (ULONG slot = HashId(Id, m_IndexSlots); m_NodeIndex[slot] != 0; slot = (slot + 1) & (m_IndexSlots - 1)) {
        if (m_NodeEntries[m_NodeIndex[slot] - 1].Id == Id) return m_NodeIndex[slot] - 1;
    }
    return NotFound;
}

ULONG TopologyMiniport::FindPin(ULONG Id) const {
    if (m_PinIndex == nullptr) return NotFound;
    for (ULONG slot = HashId(Id, m_IndexSlots); m_PinIndex[slot] != 0; slot = (slot + 1) & (m_IndexSlots - 1)) {
        if (m_PinEntries[m_PinIndex[slot] - 1].Id == Id) return m_PinIndex[slot] - 1;
    }
    return NotFound;
}

NTSTATUS TopologyMiniport::ReadPinName(TopologyEntry* Pin, ULONG PinNumber, PCWSTR BaseName, bool Indexed) {
    WCHAR valueName[SettingNameChars] = {};
    NTSTATUS status = Indexed ? RtlStringCchPrintfW(valueName, SettingNameChars, KV_WIDE("%s_%02d"), BaseName, PinNumber)
                              : RtlStringCchPrintfW(valueName, SettingNameChars, KV_WIDE("%s"), BaseName);
    if (NT_SUCCESS(status)) {
        GUID name = {};
        status = AccessSettingBinary(m_Adapter->GetDeviceObject(), SettingMode::Read, &name, sizeof(name), valueName);
        if (NT_SUCCESS(status)) {
            Pin->Name = name;
            Pin->HasName = TRUE;
        }
    }
    return status;
}

NTSTATUS TopologyMiniport::BuildPinDescriptors() {
    if (m_PinCount == 0) return STATUS_SUCCESS;
    m_PinDescriptors = AllocatePagedZero<PCPIN_DESCRIPTOR>(m_PinCount);
    if (m_PinDescriptors == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    const BOOLEAN vista = RtlIsNtDdiVersionAvailable(NtDdiVista);
    for (ULONG number = 0; number < m_PinCount; ++number) {
        TopologyEntry* pin = &m_PinEntries[number];
        const ULONG type = pin->TerminalType;
        if (type > TerminalFrontHeadphones) return STATUS_INVALID_PARAMETER;  // "Rec" and unknown types
        const bool output = pin->Kind == NodeKindCode(NodeKind::OutputConnector);
        const GUID* category = PinCategories[type];
        const GUID* fixedName = nullptr;
        switch (type) {
        case TerminalSpdif:
            if (output ? !NT_SUCCESS(ReadPinName(pin, number, SettingName::SpdifOutName, false))
                       : !NT_SUCCESS(ReadPinName(pin, number, SettingName::SpdifInName, true))) {
                fixedName = output ? &PinNameSpdifOut : &PinNameSpdifIn;
            }
            break;
        case TerminalHdmi: fixedName = &PinNameHdmi; break;
        case TerminalDisplayPort: fixedName = &PinNameDisplayPort; break;
        case TerminalLine:
            if (!output) ReadPinName(pin, number, SettingName::LineInName, true);
            break;
        case TerminalAux:
            if (vista) fixedName = &PinNameAux;
            break;
        case TerminalStereoMix:
            if (vista) {
                fixedName = &PinNameStereoMix;
            } else {
                category = &PinCategoryLegacyStereoMix;
            }
            break;
        default: break;
        }
        if (fixedName != nullptr) {
            pin->Name = *fixedName;
            pin->HasName = TRUE;
        }
        KSPIN_DESCRIPTOR& ks = m_PinDescriptors[number].KsPinDescriptor;
        ks.DataRangesCount = 1;
        ks.DataRanges = BridgeRanges;
        ks.DataFlow = output ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        ks.Communication = KSPIN_COMMUNICATION_NONE;
        ks.Category = category;
        ks.Name = pin->HasName ? &pin->Name : nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildNodeDescriptors() {
    if (m_NodeCount == 0) return STATUS_SUCCESS;
    m_NodeDescriptors = AllocatePagedZero<PCNODE_DESCRIPTOR>(m_NodeCount);
    if (m_NodeDescriptors == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG number = 0; number < m_NodeCount; ++number) {
        TopologyEntry* node = &m_NodeEntries[number];
        PCNODE_DESCRIPTOR& descriptor = m_NodeDescriptors[number];
        descriptor.AutomationTable = TopologyNodeAutomation(node->Kind, node->SourceCount);
        if (node->Kind == NodeKindCode(NodeKind::Selector)) {
            descriptor.Type = node->SourceCount >= 2 ? &KSNODETYPE_MUX : &KSNODETYPE_DEV_SPECIFIC;
            descriptor.Name = node->SourceCount >= 2 ? nullptr : &KSNODETYPE_DEV_SPECIFIC;
            continue;
        }
        if (node->Kind == NodeKindCode(NodeKind::Vendor)) {
            InterfaceRef<VendorControl> vendor;
            NTSTATUS status = node->Control->QueryInterface(IID_VendorControl, vendor.ReceiveVoid());
            if (NT_SUCCESS(status) && !vendor) status = STATUS_INVALID_PARAMETER;
            if (NT_SUCCESS(status)) status = vendor->GetNameGuid(&node->Name);
            if (!NT_SUCCESS(status)) return status;
            node->HasName = TRUE;
            descriptor.Type = &KSNODETYPE_DEV_SPECIFIC;
            descriptor.Name = &node->Name;
            continue;
        }
        const NodeKindRow* row = nullptr;
        for (const NodeKindRow& candidate : NodeKinds) {
            if (candidate.Kind == node->Kind) row = &candidate;
        }
        if (row == nullptr) return STATUS_INVALID_PARAMETER;
        descriptor.Type = row->Type;
        descriptor.Name = row->Name;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::AddConnection(ULONG FromNode, ULONG FromNodePin, ULONG ToNode, ULONG ToNodePin) {
    // Every node is walked once, so each connection arrives once; no search for duplicates.
    if (m_ConnectionCount == m_ConnectionCapacity) {
        const ULONG capacity = m_ConnectionCapacity == 0 ? 16 : m_ConnectionCapacity * 2;
        if (capacity < m_ConnectionCapacity) return STATUS_INSUFFICIENT_RESOURCES;
        auto* grown = AllocatePagedZero<PCCONNECTION_DESCRIPTOR>(capacity);
        if (grown == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        if (m_ConnectionCount != 0) {
            RtlCopyMemory(grown, m_ConnectionList, m_ConnectionCount * sizeof(PCCONNECTION_DESCRIPTOR));
        }
        FreePaged(m_ConnectionList);
        m_ConnectionList = grown;
        m_ConnectionCapacity = capacity;
    }
    m_ConnectionList[m_ConnectionCount++] = PCCONNECTION_DESCRIPTOR{FromNode, FromNodePin, ToNode, ToNodePin};
    return STATUS_SUCCESS;
}

// The backward walk from node Root over its sources, depth first, adding each input's connection
// after the walk above it. It runs on an explicit stack (the graph comes from the device, and a
// deep chain must not exhaust the kernel stack); every node is walked once, and a source that is
// already on the walk's path is a cycle, which fails the filter. A source the device left
// undescribed (AudioNodeNoSource) gives no connection; any other unknown id fails the filter
// once the walk is done.
NTSTATUS TopologyMiniport::WalkFrom(ULONG Root) {
    if (m_NodeEntries[Root].WalkState == 2) return STATUS_SUCCESS;
    if (m_NodeEntries[Root].WalkState == 1) return STATUS_UNSUCCESSFUL;
    struct Frame {
        ULONG Node;
        ULONG Next;       // the input being handled
        BOOLEAN Waiting;  // the walk above input Next is on the stack
    };
    Frame* stack = AllocatePagedZero<Frame>(m_NodeCount);
    if (stack == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG depth = 0;
    stack[depth++] = Frame{Root, 0, FALSE};
    m_NodeEntries[Root].WalkState = 1;
    while (depth != 0 && result != STATUS_INSUFFICIENT_RESOURCES) {
        Frame& frame = stack[depth - 1];
        TopologyEntry& node = m_NodeEntries[frame.Node];
        NTSTATUS status = STATUS_SUCCESS;
        if (node.SourceCount == 0) {
            // A node without sources is fed by the pin of its own id.
            const ULONG pin = FindPin(node.Id);
            status = pin == NotFound ? STATUS_UNSUCCESSFUL : AddConnection(KSFILTER_NODE, pin, frame.Node, 1);
            frame.Next = node.SourceCount;
        } else if (frame.Next < node.SourceCount) {
            const ULONG id = node.Sources[frame.Next];
            const ULONG upstream = id == AudioNodeNoSource ? NotFound : FindNode(id);
            if (frame.Waiting || (upstream != NotFound && m_NodeEntries[upstream].WalkState == 2)) {
                frame.Waiting = FALSE;
                status = AddConnection(upstream, 0, frame.Node, frame.Next + 1);
                ++frame.Next;
            } else if (upstream != NotFound && m_NodeEntries[upstream].WalkState == 1) {
                status = STATUS_UNSUCCESSFUL;  // a cycle
                ++frame.Next;
            } else if (upstream != NotFound) {
                frame.Waiting = TRUE;
                m_NodeEntries[upstream].WalkState = 1;
                stack[depth++] = Frame{upstream, 0, FALSE};
                continue;
            } else {
                if (id != AudioNodeNoSource) {
                    const ULONG pin = FindPin(id);
                    status = pin == NotFound ? STATUS_UNSUCCESSFUL
                                             : AddConnection(KSFILTER_NODE, pin, frame.Node, frame.Next + 1);
                }
                ++frame.Next;
            }
            if (frame.Next < node.SourceCount) {
                if (NT_SUCCESS(result)) result = status;
                continue;
            }
        }
        if (NT_SUCCESS(result)) result = status;
        if (frame.Next >= node.SourceCount) {
            node.WalkState = 2;
            --depth;
        }
    }
    FreePaged(stack);
    return result;
}

NTSTATUS TopologyMiniport::BuildConnections() {
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG number = 0; number < m_PinCount && result != STATUS_INSUFFICIENT_RESOURCES; ++number) {
        const TopologyEntry& pin = m_PinEntries[number];
        if (pin.Kind != NodeKindCode(NodeKind::OutputConnector)) continue;
        if (pin.SourceCount == 0 || pin.Sources[0] == AudioNodeNoSource) continue;  // nothing feeds it
        const ULONG id = pin.Sources[0];
        NTSTATUS status;
        const ULONG node = FindNode(id);
        if (node != NotFound) {
            status = WalkFrom(node);
            const NTSTATUS added = AddConnection(node, 0, KSFILTER_NODE, number);
            if (NT_SUCCESS(status)) status = added;
        } else {
            const ULONG source = FindPin(id);
            status = source == NotFound ? STATUS_UNSUCCESSFUL : AddConnection(KSFILTER_NODE, source, KSFILTER_NODE, number);
        }
        if (NT_SUCCESS(result)) result = status;
    }
    if (!NT_SUCCESS(result) || m_ConnectionCount == 0) return result;
    // The descriptor lists the most recently added connection first.
    m_Connections = AllocatePagedZero<PCCONNECTION_DESCRIPTOR>(m_ConnectionCount);
    if (m_Connections == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG index = 0; index < m_ConnectionCount; ++index) {
        m_Connections[index] = m_ConnectionList[m_ConnectionCount - 1 - index];
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::MapNodeToPin(PULONG Value) {
    if (Value == nullptr) return STATUS_INVALID_PARAMETER;
    const ULONG id = *Value;
    *Value = 0;
    const ULONG pin = FindPin(id);
    if (pin == NotFound) return STATUS_UNSUCCESSFUL;
    *Value = pin;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::GetName(PWSTR* Name) {
    if (Name == nullptr) return STATUS_INVALID_PARAMETER;
    *Name = m_Name;
    return STATUS_SUCCESS;
}

void TopologyMiniport::PowerChangeNotify(POWER_STATE NewState) {
    const ULONG state = NewState.DeviceState;
    if (state != m_PowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3) m_PowerState = state;
}

void TopologyMiniport::ChangeCallback(PVOID Context, PVOID Argument1, PVOID) {
    auto* self = static_cast<TopologyMiniport*>(Context);
    const auto* record = static_cast<const ControlChangeRecord*>(Argument1);
    if (self == nullptr || record == nullptr || self->m_PortEvents == nullptr) return;
    if (record->Kind != ControlChangeValue || record->Count != 1) return;
    const ULONG node = self->FindNode(record->ControlId);
    if (node == NotFound) return;  // pins and ids without node raise nothing
    self->RaiseControlChange(node);
}

void TopologyMiniport::RaiseControlChange(ULONG Number) {
    if (m_PortEvents == nullptr) return;
    GUID set = KSEVENTSETID_AudioControlChange;
    m_PortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, MAXULONG, TRUE, Number);
}
