#include "driver/engine/models/R7T5OutputTerminal.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/interfaces/EndpointType.h"
#include "driver/engine/models/R7T5AudioHal.h"

namespace {

constexpr ULONG OutputSourceOffset = 7;
constexpr ULONG SettingNameChars = 16;

constexpr ULONG Speaker = EndpointTypeCode(EndpointType::Speaker);
constexpr ULONG Headphones = EndpointTypeCode(EndpointType::Headphones);
constexpr ULONG Spdif = EndpointTypeCode(EndpointType::Spdif);

// What the device needs per output type: register 2 whole, bit 1 of register 1 (analog outputs
// on), bit 15 of register 0 (S/PDIF out).
struct TypeRegisters {
    ULONG Type;
    USHORT Register2;
    USHORT Register1Bit1;
    USHORT Register0Bit15;
};
constexpr TypeRegisters TypeRegisterTable[] = {
    {Speaker, 0xE000, 0x0002, 0x0000},
    {Headphones, 0xFFE0, 0x0002, 0x0000},
    {Spdif, 0xE7F8, 0x0000, 0x8000},
};

// Jack records of the types: words not set are 0 (3.5 mm jacks and an optical one, at the rear).
constexpr ULONG JackConnection35mm = 1;
constexpr ULONG JackConnectionOptical = 5;
constexpr ULONG JackRear = 1;
constexpr JackRecord SpeakerJacks[R7T5SpeakerJacks] = {
    {0x3, 0x00FF00, JackConnection35mm, JackRear, 0, 0, 0, 0, 0},
    {0xC, 0xFF8000, JackConnection35mm, JackRear, 0, 0, 0, 0, 0},
    {0x30, 0x000000, JackConnection35mm, JackRear, 0, 0, 0, 0, 0},
};
constexpr JackRecord HeadphoneJack = {0x3, 0x00FF00, JackConnection35mm, JackRear, 0, 0, 0, 0, 0};
constexpr JackRecord SpdifJack = {0x3, 0x000000, JackConnectionOptical, JackRear, 0, 0, 0, 0, 0};

// The records of a type; null and 0 for a type without jacks.
const JackRecord* JacksOfType(ULONG Type, PULONG Count) {
    switch (Type) {
    case Speaker: *Count = R7T5SpeakerJacks; return SpeakerJacks;
    case Headphones: *Count = 1; return &HeadphoneJack;
    case Spdif: *Count = 1; return &SpdifJack;
    default: *Count = 0; return nullptr;
    }
}

}  // namespace

R7T5OutputTerminal::R7T5OutputTerminal(PUNKNOWN UnknownOuter, ULONG Id)
    : OutputTerminal(UnknownOuter, Id), m_pHal(nullptr) {}

NTSTATUS R7T5OutputTerminal::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal,
                                  UCHAR SupportSpdifOut, UCHAR SupportHPOut) {
    PAGED_CODE();
    // The device's own output-type requests are not used: the registers switch the type.
    ULONG types[3] = {Speaker};
    const USHORT codes[3] = {};
    ULONG count = 1;
    if (SupportHPOut != 0) types[count++] = Headphones;
    if (SupportSpdifOut != 0) types[count++] = Spdif;
    SetTypes(types, codes, count);
    m_pHal = Hal != nullptr ? static_cast<R7T5AudioHal*>(Hal) : nullptr;
    const NTSTATUS status = OutputTerminal::Init(Descriptor, Hal, ControlHal);
    if (NT_SUCCESS(status)) WriteTypeRegisters(CurrentType());
    return status;
}

void R7T5OutputTerminal::WriteTypeRegisters(ULONG Type) {
    PAGED_CODE();
    if (m_pHal == nullptr) return;
    for (const TypeRegisters& row : TypeRegisterTable) {
        if (row.Type != Type) continue;
        m_pHal->WriteDeviceRegister(2, row.Register2, 0xFFFF);
        m_pHal->WriteDeviceRegister(1, row.Register1Bit1, 0x0002);
        m_pHal->WriteDeviceRegister(0, row.Register0Bit15, 0x8000);
        return;
    }
}

NTSTATUS R7T5OutputTerminal::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || GetDescriptor() == nullptr) return STATUS_INVALID_PARAMETER;
    m_Id = GetTerminalId();
    m_Kind = Uac1OutputTerminalSubtype;
    const ULONG source = GetDescriptor()[OutputSourceOffset];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) return status;

    // A stored type the terminal does not offer (a switch changed since, an edited value) would
    // name no connector: the speaker type stands instead.
    ULONG stored = Speaker;
    WCHAR name[SettingNameChars];
    TypeSettingName(name, SettingNameChars);
    AccessSettingBinary(Hal->GetDeviceObject(), SettingMode::Read, &stored, sizeof(stored), name);
    SetCurrentType(IsListedType(stored) ? stored : Speaker);
    ULONG types[TerminalMaxTypes] = {};
    ULONG count = 0;
    while (TypeAt(count, &types[count])) ++count;
    return CreateTypeControls(Hal, types, count, R7T5Tag, true);
}

NTSTATUS R7T5OutputTerminal::SelectType(ULONG Type) {
    PAGED_CODE();
    if (!IsListedType(Type)) return STATUS_UNSUCCESSFUL;
    SetCurrentType(Type);
    WriteTypeRegisters(Type);
    if (GetHal() != nullptr) StoreCurrentType();
    return STATUS_SUCCESS;
}

NTSTATUS R7T5OutputTerminal::GetJackCount(PULONG Count, ULONG Index) {
    ULONG type = 0;
    if (Count == nullptr || !TypeAt(Index, &type)) return STATUS_INVALID_PARAMETER;
    JacksOfType(type, Count);
    return STATUS_SUCCESS;
}

NTSTATUS R7T5OutputTerminal::GetJackDescriptions(ULONG ByteSize, PVOID Buffer, ULONG Index) {
    PAGED_CODE();
    ULONG type = 0;
    if (ByteSize == 0 || Buffer == nullptr || !TypeAt(Index, &type)) return STATUS_INVALID_PARAMETER;
    ULONG count = 0;
    const JackRecord* records = JacksOfType(type, &count);
    // A caller that cannot take every record of the type learns so instead of an empty success.
    if (records == nullptr || ByteSize < count * sizeof(JackRecord)) return STATUS_INVALID_PARAMETER;
    ULONG connect = 0;
    if (GetHal() != nullptr) {
        AccessSettingBinary(GetHal()->GetDeviceObject(), SettingMode::Read, &connect, sizeof(connect),
                            SettingName::SetJackConnect);
    }
    auto* out = static_cast<JackRecord*>(Buffer);
    for (ULONG i = 0; i < count; ++i) {
        JackRecord record = records[i];
        record.IsConnected = connect != 0 || type == CurrentType() ? 1 : 0;
        RtlCopyMemory(&out[i], &record, sizeof(record));
    }
    return STATUS_SUCCESS;
}

NTSTATUS R7T5OutputTerminal::HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Word0);
    UNREFERENCED_PARAMETER(Word1);
    AudioNode* last = nullptr;
    ULONG position = 0;
    while (AudioNode* connector = FindControlOfKind(NodeKindCode(NodeKind::OutputConnector), &position)) {
        connector->RefreshValues();
        last = connector;
    }
    if (last == nullptr) return STATUS_UNSUCCESSFUL;
    if (ControlId != nullptr) *ControlId = last->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS AddR7T5OutputTerminal(Uac1AudioHal& Hal, const UCHAR* Descriptor) {
    PAGED_CODE();
    auto& hal = static_cast<R7T5AudioHal&>(Hal);
    auto* unit = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5OutputTerminal(nullptr, Hal.UnitCount());
    if (unit == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    unit->NonDelegatingAddRef();
    AdapterCommon* common = static_cast<AdapterCommon*>(&hal);
    const R7T5Switches& switches = hal.Switches();
    NTSTATUS status = unit->Init(Descriptor, common, common, switches.SupportSpdifOut, switches.SupportHPOut);
    if (NT_SUCCESS(status)) status = Hal.AddUnit(static_cast<UnitNode*>(unit));
    unit->NonDelegatingRelease();
    return status;
}
