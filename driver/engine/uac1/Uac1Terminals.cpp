#include "driver/engine/uac1/Uac1Terminals.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/controls/ConnectorControl.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/base/Settings.h"
#include "driver/engine/controls/TerminalTypeControl.h"
#include "driver/engine/controls/TerminalTypeList.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

// Terminal descriptor offsets.
constexpr ULONG TerminalTypeOffset = 4;
constexpr ULONG OutputSourceOffset = 7;
// Fields the terminals read: through wTerminalType, and bSourceID of an output terminal.
constexpr ULONG InputTerminalMinimumBytes = 6;
constexpr ULONG OutputTerminalMinimumBytes = 8;

constexpr USHORT UsbStreamingTerminal = 0x0101;

// Vendor requests of the terminals.
constexpr UCHAR OutputTypeCountRequest = 0x86;
constexpr UCHAR TerminalCurRequest = 0x81;
constexpr USHORT OutputTypeValue = 0x0800;
constexpr USHORT JackTableValue = 0x02FF;
constexpr USHORT JackPresenceValue = 0x0200;
constexpr ULONG JackTableFirstRead = 9;
constexpr ULONG JackPresenceBytes = 6;

constexpr ULONG JackColors[16] = {0,        0,        0x808080, 0x0000FF, 0x00FF00, 0xFF0000, 0xFF8000, 0xFFFF00,
                                  0x800080, 0xFF0080, 0,        0,        0,        0,        0xFFFFFF, 0};

ULONG InputTypeOfCode(USHORT Code) {
    if (Code == UsbStreamingTerminal) return EndpointTypeCode(EndpointType::Stream);
    if (Code >= 0x0201 && Code <= 0x0206) return EndpointTypeCode(EndpointType::Mic);
    if (Code == 0x0401) return EndpointTypeCode(EndpointType::HandSet);
    if (Code == 0x0402) return EndpointTypeCode(EndpointType::HeadSet);
    if (Code >= 0x0403 && Code <= 0x0405) return EndpointTypeCode(EndpointType::Speakerphone);
    if (Code == 0x0603) return EndpointTypeCode(EndpointType::Line);
    if (Code == 0x0605) return EndpointTypeCode(EndpointType::Spdif);
    return EndpointTypeCode(EndpointType::Aux);
}

void FreeJacks(JackRecord** Records) {
    if (*Records != nullptr) ExFreePoolWithTag(*Records, Uac1UnitTag);
    *Records = nullptr;
}

}  // namespace

JackRecord Uac1JackRecordOfDevice(ULONG ChannelMapping, ULONG Configuration) {
    JackRecord record = {};
    record.ChannelMapping = ChannelMapping;
    record.Color = JackColors[(Configuration >> 12) & 0xF];
    record.ConnectionType = (Configuration >> 16) & 0xFF;
    record.GeoLocation = (Configuration >> 24) & 0xF;
    record.GenLocation = Configuration >> 28;
    const bool detects = (Configuration & 0x0F00) == 0;
    record.Reserved = detects ? 1 : 0;
    record.IsConnected = detects ? 0 : 1;
    return record;
}

ULONG Uac1OutputTypeOfCode(USHORT Code, bool StreamingIsStream) {
    switch (Code) {
        case UsbStreamingTerminal:
            return StreamingIsStream ? EndpointTypeCode(EndpointType::Stream) : EndpointTypeCode(EndpointType::Speaker);
        case 0x0302: return EndpointTypeCode(EndpointType::Headphones);
        case 0x0401: return EndpointTypeCode(EndpointType::HandSet);
        case 0x0402: return EndpointTypeCode(EndpointType::HeadSet);
        case 0x0601:
        case 0x0603: return EndpointTypeCode(EndpointType::Line);
        case 0x0605: return EndpointTypeCode(EndpointType::Spdif);
        default: return EndpointTypeCode(EndpointType::Speaker);
    }
}

// ---- Uac1TerminalBase ----

Uac1TerminalBase::Uac1TerminalBase(PUNKNOWN UnknownOuter, ULONG Id) : UnitNode(UnknownOuter, Id) {}

NTSTATUS Uac1TerminalBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    NTSTATUS status = UnitNode::NonDelegatingQueryInterface(InterfaceId, Interface);
    if (NT_SUCCESS(status) || !IsEqualGUID(InterfaceId, IID_TerminalInfo)) return status;
    const KernelInterface answers[] = {{IID_TerminalInfo, static_cast<TerminalInfo*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS Uac1TerminalBase::GetPinRecord(EndpointInfo* Record) {
    UNREFERENCED_PARAMETER(Record);
    return STATUS_NOT_IMPLEMENTED;
}

USHORT Uac1TerminalBase::GetUsbTerminalType() const { return ReadLe16(GetDescriptor() + TerminalTypeOffset); }

NTSTATUS Uac1TerminalBase::InitTerminal(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal,
                                        UCHAR Subtype, ULONG MinimumLength) {
    PAGED_CODE();
    if (Hal == nullptr || ControlHal == nullptr || !IsUac1UnitDescriptor(Descriptor, Subtype, MinimumLength)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = KeepDescriptor(Descriptor, Hal);
    if (NT_SUCCESS(status)) status = CreateControls(ControlHal);
    if (NT_SUCCESS(status)) status = ChainControls();
    return status;
}

NTSTATUS Uac1TerminalBase::VendorRequest(BOOLEAN In, UCHAR Request, USHORT Value, PVOID Buffer, ULONG Length,
                                         PULONG Received) {
    const Uac1UnitRequest request = {URB_FUNCTION_VENDOR_INTERFACE, In, Request, Value, GetTerminalId()};
    return SendUac1UnitRequest(GetHal(), request, Buffer, Length, Received);
}

NTSTATUS Uac1TerminalBase::TerminalRequest(BOOLEAN In, TerminalRequestKind Kind, USHORT Value, PVOID Buffer,
                                           ULONG Length, PULONG Received) {
    return VendorRequest(In, Kind == TerminalRequestKind::Range ? OutputTypeCountRequest : TerminalCurRequest, Value,
                         Buffer, Length, Received);
}

bool Uac1TerminalBase::HasJacks() const { return GetUsbTerminalType() != UsbStreamingTerminal; }

JackRecord Uac1TerminalBase::JackRecordOf(ULONG ChannelMapping, ULONG Configuration) const {
    return Uac1JackRecordOfDevice(ChannelMapping, Configuration);
}

NTSTATUS Uac1TerminalBase::ReadJackTable(PULONG Count, JackRecord** Records) {
    *Count = 0;
    *Records = nullptr;
    UCHAR head[JackTableFirstRead] = {};
    ULONG received = 0;
    NTSTATUS status =
        TerminalRequest(TRUE, TerminalRequestKind::Current, JackTableValue, head, sizeof(head), &received);
    if (!NT_SUCCESS(status) && JackTableRequired()) return status;
    if (!NT_SUCCESS(status) || received < 1 || head[0] == 0) return STATUS_SUCCESS;
    const ULONG announced = head[0];
    const ULONG length = announced * Uac1DeviceJackBytes + 1;
    auto* table = static_cast<PUCHAR>(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, length, Uac1UnitTag));
    if (table == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(table, length);
    status = TerminalRequest(TRUE, TerminalRequestKind::Current, JackTableValue, table, length, &received);
    if (!NT_SUCCESS(status) && JackTableRequired()) {
        ExFreePoolWithTag(table, Uac1UnitTag);
        return status;
    }
    // Only whole records that arrived are taken.
    const ULONG arrived = NT_SUCCESS(status) && received > 0 ? (received - 1) / Uac1DeviceJackBytes : 0;
    const ULONG count = arrived < announced ? arrived : announced;
    status = STATUS_SUCCESS;
    if (count != 0) {
        auto* records = static_cast<JackRecord*>(
            ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, count * sizeof(JackRecord), Uac1UnitTag));
        if (records == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            for (ULONG i = 0; i < count; ++i) {
                const UCHAR* device = table + 1 + i * Uac1DeviceJackBytes;
                records[i] = JackRecordOf(ReadLe32(device), ReadLe32(device + 4));
            }
            *Records = records;
            *Count = count;
        }
    }
    ExFreePoolWithTag(table, Uac1UnitTag);
    return status;
}

NTSTATUS Uac1TerminalBase::DescribeJacks(JackRecord* Records, ULONG Count, PVOID Buffer) {
    UCHAR presence[JackPresenceBytes] = {};
    NTSTATUS status =
        TerminalRequest(TRUE, TerminalRequestKind::Current, JackPresenceValue, presence, sizeof(presence));
    const ULONG mask = NT_SUCCESS(status) ? ReadLe32(presence + 1) : 0;
    auto* out = static_cast<JackRecord*>(Buffer);
    for (ULONG i = 0; i < Count; ++i) {
        JackRecord record = Records[i];
        if ((record.ChannelMapping & mask) != 0) {
            record.IsConnected = 1;
        } else if (record.Reserved == 0) {
            // No presence detection: always connected, whatever the mask read answered.
            record.IsConnected = 1;
            status = STATUS_SUCCESS;
        } else {
            record.IsConnected = 0;
        }
        RtlCopyMemory(&out[i], &record, sizeof(record));
    }
    return status;
}

AudioNode* Uac1TerminalBase::FindControlOfKind(ULONG Kind, ULONG* Position) {
    ULONG count = 0;
    if (!NT_SUCCESS(GetControlCount(&count))) return nullptr;
    for (ULONG i = Position != nullptr ? *Position : 0; i < count; ++i) {
        AudioNode* control = nullptr;
        if (NT_SUCCESS(GetControl(i, &control)) && control->GetNodeKind() == Kind) {
            if (Position != nullptr) *Position = i + 1;
            return control;
        }
    }
    return nullptr;
}

// ---- InputTerminal ----

InputTerminal::InputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : Uac1TerminalBase(UnknownOuter, Id), m_JackCount(0), m_JackRecords(nullptr) {}

InputTerminal::~InputTerminal() { FreeJacks(&m_JackRecords); }

NTSTATUS InputTerminal::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitTerminal(Descriptor, Hal, ControlHal, Uac1InputTerminalSubtype, InputTerminalMinimumBytes);
}

NTSTATUS InputTerminal::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    m_Id = GetTerminalId();
    m_Kind = Uac1InputTerminalSubtype;
    const USHORT code = GetUsbTerminalType();
    if (HasJacks()) {
        FreeJacks(&m_JackRecords);
        m_JackCount = 0;
        NTSTATUS status = ReadJackTable(&m_JackCount, &m_JackRecords);
        if (!NT_SUCCESS(status)) return status;
    }
    auto* connector = new (ExDefaultNonPagedPoolType, Uac1UnitTag) InputConnectorControl(nullptr, Hal->GetNodeCount());
    if (connector == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    connector->NonDelegatingAddRef();
    EndpointInfo record = {};
    NTSTATUS status = Hal->GetEndpointCaps(1, PinEndpointTypeOf(code), &record);
    if (NT_SUCCESS(status)) status = connector->InitInputConnector(AsUnit(), &record);
    if (NT_SUCCESS(status)) status = static_cast<AudioHal*>(Hal)->AddNode(connector);
    if (NT_SUCCESS(status)) status = AddControl(connector);
    connector->Release();
    return status;
}

bool InputTerminal::HasJackTypes() const {
    const USHORT code = GetUsbTerminalType();
    return (code >= 0x0201 && code <= 0x0206) || (code >= 0x0401 && code <= 0x0405) || code == 0x0601 ||
           code == 0x0603 || code == 0x0605;
}

ULONG InputTerminal::InputTypeOf(USHORT Code) const { return InputTypeOfCode(Code); }

ULONG InputTerminal::PinEndpointTypeOf(USHORT Code) const { return EndpointTypeOfInputTerminal(Code); }

NTSTATUS InputTerminal::GetTerminalType(PULONG Type) {
    if (Type == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    *Type = InputTypeOf(GetUsbTerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetTypeCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetTypeList(PULONG Types) { return GetTerminalType(Types); }

NTSTATUS InputTerminal::SelectType(ULONG Type) {
    ULONG own = 0;
    if (!NT_SUCCESS(GetTerminalType(&own)) || Type != own) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetJackCount(PULONG Count, ULONG Index) {
    UNREFERENCED_PARAMETER(Index);
    if (Count == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = HasJackTypes() ? m_JackCount : 0;
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Index);
    if (Buffer == nullptr || ByteSize == 0 || GetDescriptor() == nullptr || !HasJacks() || m_JackCount == 0 ||
        m_JackCount * sizeof(JackRecord) > ByteSize) {
        return STATUS_INVALID_PARAMETER;
    }
    return DescribeJacks(m_JackRecords, m_JackCount, Buffer);
}

NTSTATUS InputTerminal::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    AudioNode* connector = FindControlOfKind(NodeKindCode(NodeKind::InputConnector));
    if (connector == nullptr) return STATUS_UNSUCCESSFUL;
    if (ControlId != nullptr) *ControlId = connector->GetId();
    return connector->RefreshValues();
}

// ---- OutputTerminal ----

OutputTerminal::OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : Uac1TerminalBase(UnknownOuter, Id), m_CurrentType(0), m_TypeCount(0), m_Types{}, m_Codes{}, m_JackCounts{},
      m_JackRecords{} {}

OutputTerminal::~OutputTerminal() {
    for (JackRecord*& records : m_JackRecords) FreeJacks(&records);
}

NTSTATUS OutputTerminal::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitTerminal(Descriptor, Hal, ControlHal, Uac1OutputTerminalSubtype, OutputTerminalMinimumBytes);
}

ULONG OutputTerminal::IndexOfType(ULONG Type) const {
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        if (m_Types[i] == Type) return i;
    }
    return m_TypeCount;
}

NTSTATUS OutputTerminal::ReadCurrentCode(PUSHORT Code) {
    UCHAR answer[2] = {};
    NTSTATUS status = TerminalRequest(TRUE, TerminalRequestKind::Current, OutputTypeValue, answer, sizeof(answer));
    if (NT_SUCCESS(status)) *Code = ReadLe16(answer);
    return status;
}

NTSTATUS OutputTerminal::SelectCode(USHORT Code) {
    UCHAR bytes[2] = {static_cast<UCHAR>(Code), static_cast<UCHAR>(Code >> 8)};
    return TerminalRequest(FALSE, TerminalRequestKind::Current, OutputTypeValue, bytes, sizeof(bytes));
}

void OutputTerminal::TypeSettingName(PWSTR Name, ULONG Chars) const {
    // "%s%02d" of the terminal id.
    ULONG at = 0;
    for (PCWSTR p = SettingName::UACUnit; *p != 0 && at + 4 < Chars; ++p) Name[at++] = *p;
    const ULONG id = GetTerminalId();
    if (id >= 100) Name[at++] = static_cast<WCHAR>(KV_WIDE('0') + id / 100);
    Name[at++] = static_cast<WCHAR>(KV_WIDE('0') + id / 10 % 10);
    Name[at++] = static_cast<WCHAR>(KV_WIDE('0') + id % 10);
    Name[at] = 0;
}

void OutputTerminal::StoreCurrentType() {
    WCHAR name[16];
    TypeSettingName(name, 16);
    ULONG type = m_CurrentType;
    AccessSettingBinary(GetHal()->GetDeviceObject(), SettingMode::Write, &type, sizeof(type), name);
}

ULONG OutputTerminal::TypesOffered(ULONG Announced) const {
    // The controls hold at most TerminalMaxTypes types; later entries are not offered.
    return Announced < TerminalMaxTypes ? Announced : TerminalMaxTypes;
}

ULONG OutputTerminal::ListedTypeOf(USHORT Code) const { return Uac1OutputTypeOfCode(Code, false); }

void OutputTerminal::SetTypes(const ULONG* Types, const USHORT* Codes, ULONG Count) {
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        FreeJacks(&m_JackRecords[i]);
        m_JackCounts[i] = 0;
    }
    m_TypeCount = Count < TerminalMaxTypes ? Count : TerminalMaxTypes;
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        m_Types[i] = Types[i];
        m_Codes[i] = Codes[i];
    }
    m_CurrentType = m_TypeCount != 0 ? m_Types[0] : 0;
}

bool OutputTerminal::TypeAt(ULONG Index, PULONG Type) const {
    if (Index >= m_TypeCount) return false;
    *Type = m_Types[Index];
    return true;
}

NTSTATUS OutputTerminal::ReadTypes() {
    UCHAR countBytes[2] = {};
    ULONG announced = 0;
    if (NT_SUCCESS(TerminalRequest(TRUE, TerminalRequestKind::Range, OutputTypeValue, countBytes, sizeof(countBytes)))) {
        announced = ReadLe16(countBytes);
    }
    m_TypeCount = 0;
    const ULONG wanted = TypesOffered(announced);
    if (wanted >= 2) {
        UCHAR table[2 + Uac1OutputTypeEntryBytes * TerminalMaxTypes] = {};
        ULONG received = 0;
        NTSTATUS status = TerminalRequest(TRUE, TerminalRequestKind::Range, OutputTypeValue, table,
                                          2 + Uac1OutputTypeEntryBytes * wanted, &received);
        if (!NT_SUCCESS(status)) return status;
        const ULONG arrived = received >= 2 ? (received - 2) / Uac1OutputTypeEntryBytes : 0;
        m_TypeCount = arrived < wanted ? arrived : wanted;
        for (ULONG i = 0; i < m_TypeCount; ++i) {
            m_Codes[i] = ReadLe16(table + 2 + i * Uac1OutputTypeEntryBytes);
            m_Types[i] = ListedTypeOf(m_Codes[i]);
        }
    }
    if (m_TypeCount == 0) {
        m_TypeCount = 1;
        m_Codes[0] = GetUsbTerminalType();
        m_Types[0] = ListedTypeOf(m_Codes[0]);
    }
    for (ULONG i = 0; i < m_TypeCount; ++i) {
        if (m_TypeCount > 1) SelectCode(m_Codes[i]);  // a refusal leaves the jacks of the current type
        FreeJacks(&m_JackRecords[i]);
        m_JackCounts[i] = 0;
        NTSTATUS status = ReadJackTable(&m_JackCounts[i], &m_JackRecords[i]);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    const UCHAR* d = GetDescriptor();
    m_Id = GetTerminalId();
    m_Kind = Uac1OutputTerminalSubtype;
    const ULONG source = d[OutputSourceOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;
    const PDEVICE_OBJECT device = Hal->GetDeviceObject();

    ULONG type = Uac1OutputTypeOfCode(GetUsbTerminalType(), true);
    WCHAR name[16];
    TypeSettingName(name, 16);
    AccessSettingBinary(device, SettingMode::Read, &type, sizeof(type), name);
    ULONG byDevice = 0;
    AccessSettingBinary(device, SettingMode::Read, &byDevice, sizeof(byDevice), SettingName::InitOtTypeBySel);

    if (!HasJacks()) {
        m_TypeCount = 1;
        m_Types[0] = type;
        m_Codes[0] = GetUsbTerminalType();
        m_CurrentType = type;
    } else {
        USHORT code = 0;
        const bool read = NT_SUCCESS(ReadCurrentCode(&code));
        m_CurrentType = read && byDevice != 0 ? Uac1OutputTypeOfCode(code, false) : type;
        status = ReadTypes();
        if (!NT_SUCCESS(status)) return status;
        // A stored or reported type the terminal does not offer would name no connector.
        if (IndexOfType(m_CurrentType) == m_TypeCount) m_CurrentType = m_Types[0];
        if (m_TypeCount > 1) SelectCode(m_Codes[IndexOfType(m_CurrentType)]);
    }

    return CreateTypeControls(Hal, m_Types, m_TypeCount, Uac1UnitTag, false);
}

NTSTATUS OutputTerminal::CreateTypeControls(AdapterCommon* Hal, const ULONG* Types, ULONG Count, ULONG PoolTag,
                                            bool TypeControlOptional) {
    PAGED_CODE();
    auto* hal = static_cast<AudioHal*>(Hal);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < Count; ++i) {
        auto* connector = new (ExDefaultNonPagedPoolType, PoolTag) OutputConnectorControl(nullptr, Hal->GetNodeCount());
        if (connector == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        connector->NonDelegatingAddRef();
        connector->SetTypeIndex(i);
        EndpointInfo record = {};
        status = Hal->GetEndpointCaps(0, Types[i], &record);
        if (NT_SUCCESS(status)) status = connector->InitOutputConnector(AsUnit(), &record);
        if (NT_SUCCESS(status)) status = hal->AddNode(connector);
        if (NT_SUCCESS(status)) status = AddControl(connector);
        connector->Release();
        if (!NT_SUCCESS(status)) return status;
    }
    if (Count < 2) return STATUS_SUCCESS;

    auto* typeControl = new (ExDefaultNonPagedPoolType, PoolTag) TerminalTypeControlNode(nullptr, Hal->GetNodeCount());
    if (typeControl == nullptr) return TypeControlOptional ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    typeControl->NonDelegatingAddRef();
    status = typeControl->InitTerminalType(AsUnit(), Hal->GetDeviceObject(), Hal);
    if (NT_SUCCESS(status)) status = hal->AddNode(typeControl);
    if (NT_SUCCESS(status)) status = AddControl(typeControl);
    typeControl->Release();
    return status;
}

NTSTATUS OutputTerminal::GetTerminalType(PULONG Type) {
    if (Type == nullptr) return STATUS_INVALID_PARAMETER;
    *Type = m_CurrentType;
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetTypeCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = m_TypeCount;
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetTypeList(PULONG Types) { return CopyTypeList(Types, m_Types, m_TypeCount); }

NTSTATUS OutputTerminal::SelectType(ULONG Type) {
    PAGED_CODE();
    if (Type == m_CurrentType) return STATUS_SUCCESS;
    const ULONG index = IndexOfType(Type);
    if (index == m_TypeCount || GetHal() == nullptr) return STATUS_UNSUCCESSFUL;
    m_CurrentType = Type;
    SelectCode(m_Codes[index]);  // the device's answer is not examined
    StoreCurrentType();
    RefreshKind(NodeKindCode(NodeKind::OutputConnector), false, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetJackCount(PULONG Count, ULONG Index) {
    if (Count == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    if (!HasJacks()) {
        *Count = 0;
        return STATUS_SUCCESS;
    }
    if (Index >= m_TypeCount) return STATUS_INVALID_PARAMETER;
    *Count = m_JackCounts[Index];
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) {
    PAGED_CODE();
    if (Buffer == nullptr || ByteSize == 0 || Index >= m_TypeCount || GetDescriptor() == nullptr || !HasJacks() ||
        m_JackCounts[Index] == 0 || m_JackCounts[Index] * sizeof(JackRecord) > ByteSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_Types[Index] == m_CurrentType) return DescribeJacks(m_JackRecords[Index], m_JackCounts[Index], Buffer);
    ULONG connect = 0;
    AccessSettingBinary(GetHal()->GetDeviceObject(), SettingMode::Read, &connect, sizeof(connect),
                        SettingName::SetJackConnect);
    auto* out = static_cast<JackRecord*>(Buffer);
    for (ULONG i = 0; i < m_JackCounts[Index]; ++i) {
        JackRecord record = m_JackRecords[Index][i];
        record.IsConnected = connect != 0 ? 1 : 0;
        RtlCopyMemory(&out[i], &record, sizeof(record));
    }
    return STATUS_SUCCESS;
}

void OutputTerminal::RefreshKind(ULONG Kind, bool FirstOnly, PULONG Refreshed) {
    ULONG position = 0;
    while (AudioNode* control = FindControlOfKind(Kind, &position)) {
        control->RefreshValues();
        if (Refreshed != nullptr) ++*Refreshed;
        if (FirstOnly) return;
    }
}

NTSTATUS OutputTerminal::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    if (GetDescriptor() == nullptr) return STATUS_UNSUCCESSFUL;
    USHORT code = 0;
    const NTSTATUS status = ReadCurrentCode(&code);
    if (NT_SUCCESS(status)) {
        const ULONG type = Uac1OutputTypeOfCode(code, false);
        if (type == m_CurrentType) return STATUS_SUCCESS;
        // A type outside the list has no connector to follow it.
        if (IndexOfType(type) != m_TypeCount) {
            m_CurrentType = type;
            StoreCurrentType();
        }
    }
    ULONG refreshed = 0;
    RefreshKind(NodeKindCode(NodeKind::TerminalType), true, &refreshed);
    RefreshKind(NodeKindCode(NodeKind::OutputConnector), false, &refreshed);
    if (ControlId != nullptr) GetOutputControlId(ControlId);
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
    return refreshed != 0 ? STATUS_SUCCESS : status;
}
