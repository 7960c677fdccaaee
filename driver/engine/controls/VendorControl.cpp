#include "driver/engine/controls/VendorControl.h"

#include "driver/engine/controls/ControlPersistence.h"
#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/interfaces/UnitInterface.h"

namespace {

constexpr ULONG ChangedFlag = 0;
constexpr ULONG LatchFlag = 1;

}  // namespace

VendorControlNode::VendorControlNode(PUNKNOWN UnknownOuter, ULONG Id)
    : AudioNode(UnknownOuter, Id, NodeKindCode(NodeKind::Vendor)),
      m_NameGuid{},
      m_ParameterCount(0),
      m_Enable(0),
      m_Mutex(),
      m_SettingsDevice(nullptr),
      m_Unit(nullptr),
      m_ControlSelector(0),
      m_PendingFlags{0, 0},
      m_PublishedEnable(0),
      m_SpinLock(0),
      m_Initialised(0),
      m_StreamFormat{} {
    KeInitializeSpinLock(&m_SpinLock);
}

NTSTATUS VendorControlNode::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {
        {IID_VendorControl, static_cast<VendorControl*>(this)},
        {IID_ProcessingStage, static_cast<ProcessingStage*>(this)},
    };
    const bool own = IsEqualGUID(InterfaceId, IID_VendorControl) || IsEqualGUID(InterfaceId, IID_ProcessingStage);
    if (Interface != nullptr && own) return AnswerQuery(InterfaceId, Interface, answers);
    return AudioNode::NonDelegatingQueryInterface(InterfaceId, Interface);
}

void VendorControlNode::RaisePendingFlag(ULONG Index) {
    InterlockedCompareExchange(&m_PendingFlags[Index & 1], 1, 0);
}

BOOLEAN VendorControlNode::TakePendingFlag(ULONG Index) {
    return InterlockedCompareExchange(&m_PendingFlags[Index & 1], 0, 1) == 1;
}

void VendorControlNode::PublishEnable() { InterlockedExchange(&m_PublishedEnable, m_Enable); }

void VendorControlNode::StoreEnable() {
    WriteControlValue(m_SettingsDevice, GetId(), &m_Enable, sizeof(m_Enable));
}

STDMETHODIMP VendorControlNode::GetNameGuid(GUID* Name) {
    if (Name == nullptr) return STATUS_INVALID_PARAMETER;
    *Name = m_NameGuid;
    return STATUS_SUCCESS;
}

STDMETHODIMP VendorControlNode::SetEnable(UCHAR Enable) {
    PAGED_CODE();
    m_Mutex.Lock();
    FeatureUnitChannels* unit = nullptr;
    NTSTATUS status = QueryUnitInterface(m_Unit, IID_FeatureUnitChannels, &unit);
    if (NT_SUCCESS(status)) {
        status = unit->SetCur(m_ControlSelector, 0, Enable);
        unit->Release();
        if (NT_SUCCESS(status)) {
            m_Enable = Enable;
            PublishEnable();
            StoreEnable();
        }
        // The data path re-reads the switch whatever the device answered; the flags go up after
        // the value, so a data path that takes a flag reads the value that raised it.
        RaisePendingFlag(ChangedFlag);
        RaisePendingFlag(LatchFlag);
    }
    m_Mutex.Unlock();
    return status;
}

STDMETHODIMP VendorControlNode::GetEnable(PUCHAR Enable) {
    PAGED_CODE();
    if (Enable == nullptr) return STATUS_INVALID_PARAMETER;
    m_Mutex.Lock();
    *Enable = m_Enable;
    m_Mutex.Unlock();
    return STATUS_SUCCESS;
}

STDMETHODIMP VendorControlNode::GetParameterCount(PULONG Count) {
    if (Count == nullptr) return STATUS_INVALID_PARAMETER;
    *Count = m_ParameterCount;
    return STATUS_SUCCESS;
}

STDMETHODIMP VendorControlNode::GetParameters(ULONG First, ULONG Count, PLONG Values) {
    UNREFERENCED_PARAMETER(First);
    UNREFERENCED_PARAMETER(Count);
    UNREFERENCED_PARAMETER(Values);
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP VendorControlNode::SetParameters(ULONG First, ULONG Count, const LONG* Values) {
    UNREFERENCED_PARAMETER(First);
    UNREFERENCED_PARAMETER(Count);
    UNREFERENCED_PARAMETER(Values);
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP VendorControlNode::GetParameterInfo(ULONG Index, PULONG Info) {
    UNREFERENCED_PARAMETER(Index);
    UNREFERENCED_PARAMETER(Info);
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP VendorControlNode::Init(ULONG SourceId) {
    PAGED_CODE();
    const ULONG source = SourceId;
    return AudioNode::SetSources(1, &source);
}

NTSTATUS VendorControlNode::InitVendor(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice) {
    PAGED_CODE();
    if (FeatureUnit == nullptr) return STATUS_INVALID_PARAMETER;
    m_Unit = FeatureUnit;
    m_ControlSelector = ControlSelector;
    FeatureUnitChannels* unit = nullptr;
    NTSTATUS status = QueryUnitInterface(m_Unit, IID_FeatureUnitChannels, &unit);
    if (!NT_SUCCESS(status)) return status;
    InterlockedExchange(&m_PendingFlags[ChangedFlag], 0);
    InterlockedExchange(&m_PendingFlags[LatchFlag], 0);
    m_SettingsDevice = SettingsDevice;
    m_Initialised = 1;

    UCHAR value = 0;
    UCHAR current = 0;
    if (NT_SUCCESS(unit->GetCur(m_ControlSelector, 0, &current))) value = current;
    unit->Release();
    ReadControlValue(m_SettingsDevice, GetId(), &value, sizeof(value));
    m_Enable = value;
    PublishEnable();
    return Init(0);
}

NTSTATUS VendorControlNode::ApplyValues() {
    PAGED_CODE();
    return SetEnable(m_Enable);
}

NTSTATUS VendorControlNode::RefreshValues() {
    PAGED_CODE();
    m_Mutex.Lock();
    FeatureUnitChannels* unit = nullptr;
    NTSTATUS status = QueryUnitInterface(m_Unit, IID_FeatureUnitChannels, &unit);
    if (NT_SUCCESS(status)) {
        UCHAR value = 0;
        status = unit->GetCur(m_ControlSelector, 0, &value);
        unit->Release();
        if (NT_SUCCESS(status)) {
            // A refresh after an unrelated status interrupt must not restart the effect's switch.
            const bool changed = value != m_Enable;
            m_Enable = value;
            PublishEnable();
            StoreEnable();
            if (changed) RaisePendingFlag(ChangedFlag);
        }
    }
    m_Mutex.Unlock();
    return status;
}

STDMETHODIMP VendorControlNode::Reserved1() { return STATUS_SUCCESS; }

STDMETHODIMP VendorControlNode::Reserved2() { return STATUS_SUCCESS; }

STDMETHODIMP VendorControlNode::SetFormat(const WAVEFORMATEXTENSIBLE* Format) {
    if (Format != nullptr) m_StreamFormat = *Format;
    return STATUS_SUCCESS;
}

STDMETHODIMP VendorControlNode::Reserved3() { return STATUS_SUCCESS; }

STDMETHODIMP VendorControlNode::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    return STATUS_SUCCESS;
}

STDMETHODIMP VendorControlNode::Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    UNREFERENCED_PARAMETER(Format);
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(Frames);
    return STATUS_SUCCESS;
}
