#include "driver/engine/models/R7T5Units.h"

#include "driver/engine/interfaces/ControlInterfaces.h"
#include "driver/engine/models/R7T5LedSwitch.h"
#include "driver/engine/models/R7T5OutputTerminal.h"
#include "driver/engine/models/R7T5RecordUnit53.h"
#include "driver/engine/models/R7T5SpdifRecordUnit.h"
#include "driver/engine/models/R7T5AudioHal.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/uac1/Uac1AudioHal.h"
#include "driver/engine/uac1/Uac1MixerUnit.h"
#include "driver/engine/uac1/Uac1SelectorUnit.h"
#include "driver/engine/uac1/Uac1Terminals.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG VolumeSelector = static_cast<ULONG>(FeatureSelector::Volume);
constexpr SHORT DeviceSilence = static_cast<SHORT>(-32768);
constexpr LONG MasterResolution = 0x4000;   // 0.25 dB
constexpr LONG ScaledResolution = 0x18000;  // 1.5 dB

struct MasterRow {
    SHORT Real;    // A_k, 1/256 dB
    SHORT Device;  // B_k, 1/256 dB
};
// clang-format off
constexpr MasterRow MasterTable[] = {
    {0, 0},         {-62, -256},     {-128, -512},    {-192, -768},    {-263, -1024},   {-331, -1280},
    {-402, -1536},  {-477, -1792},   {-556, -2048},   {-638, -2304},   {-717, -2560},   {-804, -2816},
    {-894, -3072},  {-989, -3328},   {-1088, -3584},  {-1188, -3840},  {-1298, -4096},  {-1411, -4352},
    {-1529, -4608}, {-1657, -4864},  {-1785, -5120},  {-1920, -5376},  {-2082, -5632},  {-2240, -5888},
    {-2420, -6144}, {-2612, -6400},  {-2816, -6656},  {-3072, -6912},  {-3303, -7168},  {-3584, -7424},
    {-3917, -7680}, {-4301, -7936},  {-4788, -8192},  {-5402, -8448},  {-6221, -8704},  {-7578, -8960},
    {-8500, -9216}, {-8832, -9728},  {-32768, -9728},
};
// clang-format on
constexpr ULONG MasterRows = sizeof(MasterTable) / sizeof(MasterTable[0]);
static_assert(MasterRows == 39);

LONG Clamp32(LONGLONG Value) {
    if (Value > 0x7FFFFFFFll) return 0x7FFFFFFF;
    if (Value < -0x7FFFFFFFll) return -0x7FFFFFFF;
    return static_cast<LONG>(Value);
}

// Raw device value (1/256 dB) through the master table's GetRange rule: the first row whose B is
// below Raw; Next gives A_k instead of A_(k-1).
LONG MasterRangeOfDevice(SHORT Raw, bool Next) {
    for (ULONG k = 1; k < MasterRows; ++k) {
        if (Raw > MasterTable[k].Device) return static_cast<LONG>(MasterTable[Next ? k : k - 1].Real) * 256;
    }
    return static_cast<LONG>(Raw) * 256;
}

}  // namespace

LONG R7T5MasterLevelOfDevice(SHORT Raw) {
    if (Raw == DeviceSilence) return LevelSilence;
    for (ULONG k = 1; k < MasterRows; ++k) {
        if (Raw > MasterTable[k].Device) return static_cast<LONG>(MasterTable[k - 1].Real) * 256;
        if (Raw == MasterTable[k].Real) return static_cast<LONG>(MasterTable[k].Device) * 256;
    }
    return static_cast<LONG>(Raw) * 256;
}

SHORT R7T5MasterDeviceOfLevel(LONG Level) {
    if (Level == LevelSilence) return DeviceSilence;
    const LONG h = Level >> 8;
    // Above 0 dB the table has no row before the first: the device's top step.
    if (h > MasterTable[0].Real) return MasterTable[0].Device;
    for (ULONG k = 0; k < MasterRows; ++k) {
        if (h == MasterTable[k].Real) return MasterTable[k].Device;
        if (k + 1 < MasterRows && h > MasterTable[k + 1].Real) return MasterTable[k].Device;
    }
    return MasterTable[MasterRows - 1].Device;
}

LONG R7T5ScaledLevelOfDevice(R7T5Scale Scale, LONG Device) {
    if (Device == LevelSilence) return Device;
    const LONGLONG v = Device;
    if (v >= 0) return Clamp32(3 * v);
    return Clamp32(Scale == R7T5Scale::Monitor ? 3 * v / 2 : 3 * v / 8);
}

LONG R7T5ScaledDeviceOfLevel(R7T5Scale Scale, LONG Level) {
    if (Level == LevelSilence) return Level;
    const LONGLONG v = Level;
    if (v >= 0) return Clamp32(v / 3);
    return Clamp32(Scale == R7T5Scale::Monitor ? 2 * v / 3 : 8 * v / 3);
}

NTSTATUS R7T5MasterUnit::GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) {
    PAGED_CODE();
    if (ControlSelector != VolumeSelector) return FeatureUnit::GetCur(ControlSelector, Channel, Value);
    LONG device = 0;
    const NTSTATUS status = FeatureUnit::GetCur(ControlSelector, Channel, &device);
    if (NT_SUCCESS(status)) *Value = R7T5MasterLevelOfDevice(static_cast<SHORT>(device / 256));
    return status;
}

NTSTATUS R7T5MasterUnit::SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) {
    PAGED_CODE();
    if (ControlSelector != VolumeSelector) return FeatureUnit::SetCur(ControlSelector, Channel, Value);
    const SHORT device = R7T5MasterDeviceOfLevel(Value);
    return FeatureUnit::SetCur(ControlSelector, Channel, device == DeviceSilence ? LevelSilence : device * 256);
}

NTSTATUS R7T5MasterUnit::GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    PAGED_CODE();
    LONG max = 0, min = 0, res = 0;
    const NTSTATUS status = FeatureUnit::GetRange(ControlSelector, &max, &min, &res);
    if (!NT_SUCCESS(status)) return status;
    *Maximum = MasterRangeOfDevice(static_cast<SHORT>(max / 256), false);
    *Minimum = MasterRangeOfDevice(static_cast<SHORT>(min / 256), true);
    *Resolution = MasterResolution;
    return STATUS_SUCCESS;
}

NTSTATUS R7T5ScaledUnit::GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) {
    PAGED_CODE();
    const NTSTATUS status = FeatureUnit::GetCur(ControlSelector, Channel, Value);
    if (NT_SUCCESS(status) && ControlSelector == VolumeSelector) *Value = R7T5ScaledLevelOfDevice(m_Scale, *Value);
    return status;
}

NTSTATUS R7T5ScaledUnit::SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) {
    PAGED_CODE();
    if (ControlSelector == VolumeSelector) Value = R7T5ScaledDeviceOfLevel(m_Scale, Value);
    return FeatureUnit::SetCur(ControlSelector, Channel, Value);
}

NTSTATUS R7T5ScaledUnit::GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) {
    PAGED_CODE();
    LONG max = 0, min = 0, res = 0;
    const NTSTATUS status = FeatureUnit::GetRange(ControlSelector, &max, &min, &res);
    if (!NT_SUCCESS(status) || ControlSelector != VolumeSelector) {
        if (NT_SUCCESS(status)) *Maximum = max, *Minimum = min, *Resolution = res;
        return status;
    }
    const USHORT mask = m_Scale == R7T5Scale::Monitor ? 0xFFF0 : 0xFF00;
    const LONG rawMax = static_cast<SHORT>(static_cast<USHORT>(max / 256) & mask);
    *Maximum = R7T5ScaledLevelOfDevice(m_Scale, rawMax * 256);
    *Minimum = R7T5ScaledLevelOfDevice(m_Scale, min);
    *Resolution = ScaledResolution;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Line monitor

namespace {

constexpr ULONG MuteSelector = static_cast<ULONG>(FeatureSelector::Mute);

}  // namespace

NTSTATUS R7T5LineMonitorUnit::GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) {
    PAGED_CODE();
    if (ControlSelector != MuteSelector) return R7T5MonitorUnit::GetCur(ControlSelector, Channel, Value);
    if (Channel != 0 || Value == nullptr) return STATUS_INVALID_PARAMETER;
    m_MuteLock.Lock();
    const NTSTATUS status = R7T5MonitorUnit::GetCur(ControlSelector, Channel, Value);
    if (NT_SUCCESS(status) && m_ForcedMute == 0) m_UserMute = *Value;
    m_MuteLock.Unlock();
    return status;
}

NTSTATUS R7T5LineMonitorUnit::SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (ControlSelector != MuteSelector) return R7T5MonitorUnit::SetCur(ControlSelector, Channel, Value);
    if (Channel != 0) return STATUS_INVALID_PARAMETER;
    m_MuteLock.Lock();
    m_UserMute = Value;
    const NTSTATUS status = SendMute(ControlSelector);
    m_MuteLock.Unlock();
    return status;
}

NTSTATUS R7T5LineMonitorUnit::SetForcedMute(UCHAR Flag) {
    PAGED_CODE();
    m_MuteLock.Lock();
    m_ForcedMute = Flag;
    const NTSTATUS status = SendMute(MuteSelector);
    m_MuteLock.Unlock();
    return status;
}

UCHAR R7T5LineMonitorUnit::ReadMuteFlag(const UCHAR* Flag) {
    PAGED_CODE();
    m_MuteLock.Lock();
    const UCHAR value = *Flag;
    m_MuteLock.Unlock();
    return value;
}

NTSTATUS R7T5LineMonitorUnit::SendMute(ULONG ControlSelector) {
    PAGED_CODE();
    return R7T5MonitorUnit::SetCur(ControlSelector, 0, static_cast<UCHAR>(m_UserMute | m_ForcedMute));
}

// ---------------------------------------------------------------------------------------------
// Record selector

namespace {

constexpr ULONG SelectorUnitIdOffset = 3;
constexpr ULONG SelectorPinsOffset = 4;
constexpr ULONG SelectorSourcesOffset = 5;

// The device's selector code of a record source.
UCHAR RecordSourceCode(UCHAR Source) {
    switch (Source) {
    case 8: return 1;
    case 15: return 2;
    case 16: return 3;
    case 2: return 4;
    default: return 0;
    }
}

}  // namespace

NTSTATUS R7T5SelectorUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    if (Hal == nullptr || !IsSelectorDescriptor()) return STATUS_INVALID_PARAMETER;
    // Bounded by the descriptor check: bNrInPins source ids lie inside bLength.
    const UCHAR* descriptor = GetDescriptor();
    for (ULONG pin = 0; pin < descriptor[SelectorPinsOffset]; ++pin) {
        m_Codes[pin] = RecordSourceCode(descriptor[SelectorSourcesOffset + pin]);
    }
    NTSTATUS status = SelectorUnit::CreateControls(Hal);
    if (NT_SUCCESS(status)) status = SetSelected(1);
    return status;
}

NTSTATUS R7T5SelectorUnit::GetSelected(PULONG Selection) {
    PAGED_CODE();
    if (Selection == nullptr || !IsSelectorDescriptor()) return STATUS_INVALID_PARAMETER;
    ULONG code = 0;
    NTSTATUS status = SelectorUnit::GetSelected(&code);
    if (!NT_SUCCESS(status)) return status;
    const ULONG pins = GetDescriptor()[SelectorPinsOffset];
    for (ULONG pin = 0; pin < pins; ++pin) {
        if (m_Codes[pin] == code) {
            *Selection = pin + 1;
            return STATUS_SUCCESS;
        }
    }
    *Selection = 1;
    return SetSelected(1);
}

NTSTATUS R7T5SelectorUnit::SetSelected(ULONG Input) {
    PAGED_CODE();
    if (!IsSelectorDescriptor() || Input < 1 || Input > GetDescriptor()[SelectorPinsOffset]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR code = m_Codes[Input - 1];
    const Uac1UnitRequest request = {URB_FUNCTION_CLASS_INTERFACE, FALSE, Uac1SetCur, 0,
                                     GetDescriptor()[SelectorUnitIdOffset]};
    return SendUac1UnitRequest(GetHal(), request, &code, 1);
}

R7T5InputTerminal::R7T5InputTerminal(PUNKNOWN UnknownOuter, ULONG Id) : ModelInputTerminal(UnknownOuter, Id, R7T5Tag) {}

NTSTATUS AddR7T5Unit(Uac1AudioHal& Hal, UCHAR Subtype, const UCHAR* Descriptor) {
    PAGED_CODE();
    const UCHAR id = Descriptor[3];
    switch (Subtype) {
    case Uac1InputTerminalSubtype: return AddNewUnit<R7T5InputTerminal>(Hal, Descriptor);
    case Uac1OutputTerminalSubtype:
        if (id == 3) return AddR7T5OutputTerminal(Hal, Descriptor);
        return AddNewUnit<OutputTerminal>(Hal, Descriptor);
    case Uac1MixerUnitSubtype: return AddNewUnit<MixerUnit>(Hal, Descriptor);
    case Uac1SelectorUnitSubtype: return AddNewUnit<R7T5SelectorUnit>(Hal, Descriptor);
    case Uac1FeatureUnitSubtype:
        if (id == 13) return AddNewUnit<R7T5MasterUnit>(Hal, Descriptor);
        if (id == 16) return AddNewUnit<R7T5SpdifRecordUnit>(Hal, Descriptor);
        if (id == 11 && Hal.VendorId() == R7T5PollVendorId && Hal.ProductId() == R7T5PollProductId) {
            R7T5LineMonitorUnit* unit = nullptr;
            const NTSTATUS status = AddNewUnit<R7T5LineMonitorUnit>(Hal, Descriptor, &unit);
            // The walk policy is the R7T5 HAL's own, so Hal is one.
            if (NT_SUCCESS(status)) static_cast<R7T5AudioHal&>(Hal).KeepLineMonitor(unit);
            return status;
        }
        if (id == 9 || id == 11) return AddNewUnit<R7T5MonitorUnit>(Hal, Descriptor);
        if (id == 2 || id == 8 || id == 15) {
            if (Hal.VendorId() == 0xA5E7 && Hal.ProductId() == 0x0053) return AddNewUnit<R7T5RecordUnit53>(Hal, Descriptor);
            if (Hal.VendorId() == 0x28DA && Hal.ProductId() == 0x268E) return AddNewUnit<R7T5RecordUnit268E>(Hal, Descriptor);
            return AddNewUnit<R7T5RecordUnit>(Hal, Descriptor);
        }
        return AddNewUnit<FeatureUnit>(Hal, Descriptor);
    default: return STATUS_UNSUCCESSFUL;
    }
}
