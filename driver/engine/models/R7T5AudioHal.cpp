#include "driver/engine/models/R7T5AudioHal.h"

#include "driver/engine/base/Settings.h"
#include "driver/engine/models/R7T5ConfigRewrite.h"
#include "driver/engine/models/R7T5PlaybackStream.h"
#include "driver/engine/models/R7T5Units.h"

namespace {

// HID class requests to interface 3.
constexpr USHORT HidInterface = 3;
constexpr UCHAR HidSetReport = 0x09;
constexpr UCHAR HidGetReport = 0x01;
constexpr USHORT HidOutputReport = 0x0200;
constexpr USHORT HidInputReport = 0x0100;
constexpr UCHAR RegisterWriteCommand = 0x20;
constexpr ULONG RegisterWriteBytes = 4;
constexpr ULONG StatusReportBytes = 3;
constexpr UCHAR StatusBit4 = 0x10;
// Request block: the URB, then room for its data.
constexpr ULONG RequestDataBytes = 8;
constexpr ULONG RequestBlockBytes = R7T5RequestBytes + RequestDataBytes;
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) <= R7T5RequestBytes);

// Variant bytes: vendor request 0x81 to "other", wIndex 9 (A) and 8 (B).
constexpr UCHAR VariantRequest = 0x81;
constexpr USHORT VariantAIndex = 9;
constexpr USHORT VariantBIndex = 8;
constexpr UCHAR VariantBMask = 0x63;
constexpr UCHAR VariantA = 0x9F;
constexpr UCHAR VariantB = 0x03;
constexpr ULONG VariantTag = 'temp';

constexpr DeviceRegister InitialRegisters[R7T5RegisterCount] = {
    {0x2004, 2}, {0x3002, 2}, {0xF800, 2}, {0x143F, 2}, {0x0000, 2}, {0x3000, 2},
};
constexpr USHORT RestoreFlag = 0x2;
constexpr USHORT PendingFlag = 0x1;

constexpr ULONG DefaultCapabilities = 0x3FE08F;

NTSTATUS QueryTransport(PUNKNOWN Outer, UsbTransport** Transport) {
    *Transport = nullptr;
    if (Outer == nullptr) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = Outer->QueryInterface(IID_UsbTransport, reinterpret_cast<PVOID*>(Transport));
    if (!NT_SUCCESS(status)) *Transport = nullptr;
    return NT_SUCCESS(status) && *Transport == nullptr ? STATUS_UNSUCCESSFUL : status;
}

// One HID class request to interface 3 in Block (RequestBlockBytes); the data sits after the URB.
NTSTATUS SendHidRequest(UsbTransport* Transport, PUCHAR Block, bool In, UCHAR Request, USHORT Value, ULONG Length,
                        PULONG Received) {
    auto* urb = reinterpret_cast<PURB>(Block);
    PUCHAR data = Block + R7T5RequestBytes;
    RtlZeroMemory(urb, R7T5RequestBytes);
    UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          In ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, Request, Value, HidInterface,
                          data, nullptr, Length, nullptr);
    const NTSTATUS status = Transport->SubmitUrbSync(urb);
    if (Received != nullptr) *Received = NT_SUCCESS(status) ? urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
    return status;
}

// The model's walk: its own pool tag, no UAC 1.0 device rules, a dangling source fails, and the
// render engines get the model's stages once the streams stand.
NTSTATUS AfterR7T5Streams(Uac1AudioHal& Hal) { return static_cast<R7T5AudioHal&>(Hal).AddRenderStages(); }

// Render interfaces get the model's stream, which writes the device's registers at Open.
UsbAudioStream* NewR7T5RenderStream(Uac1AudioHal& Hal, ULONG Interface, ULONG TerminalControlId) {
    UNREFERENCED_PARAMETER(Hal);
    auto* stream = new (NonPagedPoolNx, R7T5Tag) R7T5PlaybackStream(nullptr, Interface, TerminalControlId);
    if (stream != nullptr) stream->NonDelegatingAddRef();
    return stream;
}

NTSTATUS StartR7T5RenderWorker(Uac1AudioHal& Hal, UsbAudioStream* Stream) {
    auto& hal = static_cast<R7T5AudioHal&>(Hal);
    return static_cast<R7T5PlaybackStream*>(Stream)->StartWorker(StreamDirectionRender,
                                                                 static_cast<AdapterCommon*>(&hal), &hal);
}

constexpr Uac1WalkPolicy R7T5Policy = {
    .PoolTag = R7T5Tag,
    .UseUac1Quirks = false,
    .DanglingSourceFails = true,
    .AddUnit = AddR7T5Unit,
    .NewRenderStream = NewR7T5RenderStream,
    .StartRenderWorker = StartR7T5RenderWorker,
    .AfterStreams = AfterR7T5Streams,
    .RewriteBeforeCreation = nullptr,
    .ShapeRenderFormat = nullptr,
};

}  // namespace

NTSTATUS CreateR7T5AudioHalObject(PUNKNOWN* Unknown, PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId) {
    return NewKernelObject<R7T5AudioHal>(Unknown, UnknownOuter, NonPagedPoolNx, R7T5Tag, VendorId, ProductId);
}

R7T5AudioHal::R7T5AudioHal(PUNKNOWN UnknownOuter, USHORT VendorId, USHORT ProductId)
    : Uac1AudioHal(UnknownOuter, VendorId, ProductId),
      m_RegisterShadow{},
      m_PollEnabled(0),
      m_PollRunning(0),
      m_Switches(R7T5DefaultSwitches),
      m_pFormatPolicy(nullptr),
      m_pLineMonitor(nullptr),
      m_PollState(0) {
    KeInitializeTimerEx(&m_PollTimer, SynchronizationTimer);
    RtlCopyMemory(m_RegisterShadow, InitialRegisters, sizeof(m_RegisterShadow));
}

R7T5AudioHal::~R7T5AudioHal() {
    PAGED_CODE();
    Stop();
    if (m_pFormatPolicy != nullptr) {
        m_pFormatPolicy->Release();
        m_pFormatPolicy = nullptr;
    }
}

const Uac1WalkPolicy& R7T5AudioHal::WalkPolicy() const { return R7T5Policy; }

// ---------------------------------------------------------------------------------------------
// Registers

NTSTATUS R7T5AudioHal::WriteDeviceRegister(ULONG Register, USHORT Value, USHORT Mask) {
    PAGED_CODE();
    // Stream open, terminal type and LEDs write different bits of the same registers: the word is
    // computed from the shadow and the shadow updated under one lock, so no writer loses another's
    // bits.
    m_RegisterLock.Lock();
    const NTSTATUS status = WriteRegisterLocked(Register, Value, Mask);
    m_RegisterLock.Unlock();
    return status;
}

NTSTATUS R7T5AudioHal::WriteRegisterLocked(ULONG Register, USHORT Value, USHORT Mask) {
    PAGED_CODE();
    if (Register >= R7T5RegisterCount) return STATUS_UNSUCCESSFUL;
    if (Mask == 0) return STATUS_SUCCESS;
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(status)) return status;
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, RequestBlockBytes, R7T5Tag));
    if (block == nullptr) {
        transport->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DeviceRegister& shadow = m_RegisterShadow[Register];
    const USHORT word = Mask == 0xFFFF ? Value : static_cast<USHORT>((shadow.Value & ~Mask) | (Value & Mask));
    PUCHAR data = block + R7T5RequestBytes;
    data[0] = RegisterWriteCommand;
    data[1] = static_cast<UCHAR>(word & 0xFF);
    data[2] = static_cast<UCHAR>(word >> 8);
    data[3] = static_cast<UCHAR>(Register);
    status = SendHidRequest(transport, block, false, HidSetReport, HidOutputReport, RegisterWriteBytes, nullptr);
    if (NT_SUCCESS(status)) {
        shadow.Value = word;
        shadow.Flags &= ~PendingFlag;
    }
    ExFreePoolWithTag(block, R7T5Tag);
    transport->Release();
    return status;
}

NTSTATUS R7T5AudioHal::RestoreDeviceState() {
    PAGED_CODE();
    // The whole restore holds the register lock: the shadow it writes back in full is the one a
    // concurrent writer (LED switch, terminal type, stream open) updates, so that writer's bits
    // reach the device either before the restore reads them or after it has written.
    m_RegisterLock.Lock();
    WriteRegisterLocked(5, 0x0000, 0x3000);
    LARGE_INTEGER delay;
    delay.QuadPart = -10000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    WriteRegisterLocked(5, 0x3000, 0x3000);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG r = 0; r < 5 && NT_SUCCESS(status); ++r) {
        if ((m_RegisterShadow[r].Flags & RestoreFlag) == 0) continue;
        status = WriteRegisterLocked(r, m_RegisterShadow[r].Value, 0xFFFF);
    }
    m_RegisterLock.Unlock();
    return status;
}

// ---------------------------------------------------------------------------------------------
// Identify

NTSTATUS R7T5AudioHal::ReadVariant(UsbTransport* Transport, PURB Urb, USHORT Index, PUCHAR Byte) {
    PAGED_CODE();
    PUCHAR data = reinterpret_cast<PUCHAR>(Urb) + R7T5RequestBytes;
    RtlZeroMemory(Urb, R7T5RequestBytes);
    data[0] = 0;
    UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_OTHER, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, VariantRequest, 0, Index, data, nullptr,
                          1, nullptr);
    const NTSTATUS status = Transport->SubmitUrbSync(Urb);
    *Byte = NT_SUCCESS(status) && Urb->UrbControlVendorClassRequest.TransferBufferLength >= 1 ? data[0] : 0;
    return status;
}

void R7T5AudioHal::ReadSwitches() {
    PAGED_CODE();
    struct Named {
        PCWSTR Name;
        UCHAR* Field;
    };
    R7T5Switches& s = m_Switches;
    const Named names[] = {
        {KV_WIDE("DisableMicInAAUnit"), &s.DisableMicInAAUnit},
        {KV_WIDE("DisableLineInAAUnit"), &s.DisableLineInAAUnit},
        {KV_WIDE("DisableMicInRecUnit"), &s.DisableMicInRecUnit},
        {KV_WIDE("DisableLineInRecUnit"), &s.DisableLineInRecUnit},
        {KV_WIDE("DisableStereoMixRecUnit"), &s.DisableStereoMixRecUnit},
        {KV_WIDE("DisableLineInTerminal"), &s.DisableLineInTerminal},
        {KV_WIDE("DisableMicInTerminal"), &s.DisableMicInTerminal},
        {KV_WIDE("DisableSpdifInTerminal"), &s.DisableSpdifInTerminal},
        {KV_WIDE("SupportHPOut"), &s.SupportHPOut},
        {KV_WIDE("SupportSpdifOut"), &s.SupportSpdifOut},
        {KV_WIDE("Disable2ChOutSupported"), &s.Disable2ChOutSupported},
        {KV_WIDE("Disable4ChOutSupported"), &s.Disable4ChOutSupported},
        {KV_WIDE("Disable6ChOutSupported"), &s.Disable6ChOutSupported},
        {KV_WIDE("Disable8ChOutSupported"), &s.Disable8ChOutSupported},
    };
    const PDEVICE_OBJECT device = GetDeviceObject();
    for (const Named& n : names) {
        ULONG value = *n.Field;  // an absent value keeps the default
        AccessSettingBinary(device, SettingMode::Read, &value, sizeof(value), n.Name);
        *n.Field = static_cast<UCHAR>(value & 0xFF);
    }
}

void R7T5AudioHal::ApplyQuirks(UCHAR A, UCHAR B) {
    PAGED_CODE();
    R7T5Switches& s = m_Switches;
    const bool variant = A == VariantA && B == VariantB;
    auto noOutputTypes = [&] { s.SupportHPOut = s.SupportSpdifOut = 0; };
    if (m_VendorId == R7T5PollVendorId && m_ProductId == R7T5PollProductId && variant) {
        s.DisableLineInRecUnit = s.DisableStereoMixRecUnit = s.DisableSpdifInTerminal = 1;
        s.Disable4ChOutSupported = s.Disable8ChOutSupported = 1;
        noOutputTypes();
        m_PollEnabled = 1;
        m_RegisterShadow[1].Value = 0x3032;
        m_EndpointInfo.Capabilities = 0x3E0084;
    } else if (m_VendorId == 0x5131 && m_ProductId == 0x001C && variant) {
        s.DisableStereoMixRecUnit = s.DisableSpdifInTerminal = 1;
        s.Disable2ChOutSupported = s.Disable4ChOutSupported = s.Disable8ChOutSupported = 1;
        noOutputTypes();
        m_EndpointInfo.Capabilities = 0;
    } else if (m_VendorId == 0x28DA && m_ProductId == 0x268E) {
        s.DisableLineInTerminal = s.DisableSpdifInTerminal = 1;
        noOutputTypes();
        m_EndpointInfo.Capabilities = 0x3E09F;
    } else if (m_VendorId == 0xA5E7 && m_ProductId == 0x0053) {
        if (variant) {
            s.Disable8ChOutSupported = s.DisableLineInTerminal = s.DisableSpdifInTerminal = 1;
            noOutputTypes();
        }
    } else if (A == VariantA && B == VariantB) {
        s.Disable8ChOutSupported = 1;
    }
    if (s.Disable2ChOutSupported != 0) noOutputTypes();
}

NTSTATUS R7T5AudioHal::Identify() {
    PAGED_CODE();
    RtlCopyMemory(m_RegisterShadow, InitialRegisters, sizeof(m_RegisterShadow));
    UsbTransport* transport = nullptr;
    NTSTATUS status = QueryTransport(GetOuterUnknown(), &transport);
    if (!NT_SUCCESS(status)) return status;

    UCHAR a = 0;
    UCHAR b = 0;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, RequestBlockBytes, VariantTag));
    if (urb != nullptr) {
        ReadVariant(transport, urb, VariantAIndex, &a);  // its status tells nothing the second does not
        status = ReadVariant(transport, urb, VariantBIndex, &b);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(urb, VariantTag);
            transport->Release();
            return status;
        }
        b &= VariantBMask;
    }
    m_Switches = R7T5DefaultSwitches;
    ReadSwitches();
    m_EndpointInfo = {};
    m_EndpointInfo.Capabilities = DefaultCapabilities;
    ApplyQuirks(a, b);

    status = RebuildConfigDescriptor(&m_Switches, transport->GetConfigurationDescriptor());
    if (NT_SUCCESS(status)) status = FindControlInterface();
    if (NT_SUCCESS(status)) status = FindStreamingInterfaces();
    if (NT_SUCCESS(status)) status = RestoreDeviceState();
    if (urb != nullptr) ExFreePoolWithTag(urb, VariantTag);
    transport->Release();
    return status;
}

NTSTATUS R7T5AudioHal::AddRenderStages() {
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG engines = GetStreamEngineCount();
    const bool guard = m_VendorId == R7T5PollVendorId && m_ProductId == R7T5PollProductId;
    const bool swap = m_VendorId != 0x28DA && m_ProductId != 0x268E && m_Switches.Disable8ChOutSupported == 0;
    for (ULONG pass = 0; pass < 2; ++pass) {
        if ((pass == 0 && !guard) || (pass == 1 && !swap)) continue;
        for (ULONG i = 0; i < engines; ++i) {
            StreamEngine* engine = nullptr;
            if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || engine->GetDirection() != StreamDirectionRender) continue;
            if (pass == 0) {
                auto* policy = new (NonPagedPoolNx, R7T5Tag) FormatPolicy(nullptr);
                if (policy != nullptr) {
                    policy->NonDelegatingAddRef();
                    status = policy->ResetMode();
                    if (NT_SUCCESS(status)) status = engine->AddProcessingStage(policy);
                    if (NT_SUCCESS(status)) {
                        // With several render engines the HAL keeps the last guard; the one it
                        // held before is let go, not leaked.
                        if (m_pFormatPolicy != nullptr) m_pFormatPolicy->Release();
                        policy->AddRef();
                        m_pFormatPolicy = policy;
                    }
                    policy->Release();
                }
            } else {
                auto* stage = new (NonPagedPoolNx, R7T5Tag) ChannelSwapPolicy(nullptr);
                if (stage != nullptr) {
                    stage->NonDelegatingAddRef();
                    status = engine->AddProcessingStage(stage);
                    stage->Release();
                }
            }
            engine->AllocateWorkBuffers();
        }
    }
    return status;
}

// ---------------------------------------------------------------------------------------------
// Miniports

NTSTATUS R7T5AudioHal::InstallRenamedEngine(StreamEngine* Engine, ULONG UnitId, PCWSTR PreviousName) {
    PAGED_CODE();
    // The terminal is announced again: every engine installs its wave subdevice anew.
    const NTSTATUS announced = NotifyUnitChange(UnitId);
    if (NT_SUCCESS(announced)) return announced;
    // The engine must not stay removed: install it again, and report the failure so the type
    // change is undone. The name of the new type goes with it.
    if (PreviousName != nullptr) Engine->SetName(PreviousName);
    Engine->InstallMiniport(m_DeviceObject, nullptr, static_cast<AdapterCommon*>(this));
    return announced;
}

// ---------------------------------------------------------------------------------------------
// Poll

NTSTATUS R7T5AudioHal::Start() {
    PAGED_CODE();
    // A poll from an earlier Start (running or ended by a failed read) stays until Stop.
    if (m_PollEnabled == 0 || m_PollRunning != 0) return STATUS_SUCCESS;
    const NTSTATUS status = StartHalThread(R7T5PollThread, R7T5PollPriority);
    if (NT_SUCCESS(status)) m_PollRunning = 1;
    return status;
}

NTSTATUS R7T5AudioHal::Stop() {
    PAGED_CODE();
    if (m_PollRunning == 0) return STATUS_SUCCESS;
    EndHalThread();
    m_PollRunning = 0;
    return STATUS_SUCCESS;
}

void R7T5AudioHal::R7T5PollThread(PVOID StartContext) {
    auto* hal = static_cast<R7T5AudioHal*>(StartContext);
    const PUNKNOWN adapter = hal->GetOuterUnknown();
    hal->RunPoll();
    adapter->Release();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

R7T5LineMonitorUnit* R7T5AudioHal::LineMonitor() {
    PAGED_CODE();
    UnitNode* unit = nullptr;
    if (m_pLineMonitor == nullptr || !NT_SUCCESS(FindUnit(R7T5LineMonitorId, &unit))) return nullptr;
    return unit == static_cast<UnitNode*>(m_pLineMonitor) ? m_pLineMonitor : nullptr;
}

void R7T5AudioHal::ForceLineMonitorMute(UCHAR Flag) {
    PAGED_CODE();
    R7T5LineMonitorUnit* unit = LineMonitor();
    if (unit != nullptr) unit->SetForcedMute(Flag);  // a refused request changes no mode
}

void R7T5AudioHal::DecidePoll(const UCHAR* History) {
    PAGED_CODE();
    ULONG clear = 0;
    for (ULONG i = 0; i < R7T5PollHistory; ++i) clear += History[i];
    R7T5GuardMode mode;
    if (clear == 0 && m_PollState != 0) {
        mode = R7T5GuardMode::Pass;
    } else if (clear == R7T5PollHistory && m_PollState != 2) {
        mode = R7T5GuardMode::Silence;
    } else if (clear != 0 && clear != R7T5PollHistory && m_PollState == 0) {
        mode = R7T5GuardMode::QuarterGain;
    } else {
        return;
    }
    m_PollState = static_cast<ULONG>(mode);
    ForceLineMonitorMute(mode == R7T5GuardMode::Pass ? 1 : 0);
    m_pFormatPolicy->SetMode(static_cast<ULONG>(mode));
}

bool R7T5AudioHal::ReadReport(PURB Urb, PUCHAR Report) {
    PAGED_CODE();
    UsbTransport* transport = nullptr;
    if (!NT_SUCCESS(QueryTransport(GetOuterUnknown(), &transport))) return false;
    ULONG received = 0;
    const NTSTATUS status = SendHidRequest(transport, reinterpret_cast<PUCHAR>(Urb), true, HidGetReport, HidInputReport,
                                           StatusReportBytes, &received);
    transport->Release();
    if (!NT_SUCCESS(status) || received < 1) return false;
    *Report = reinterpret_cast<PUCHAR>(Urb)[R7T5RequestBytes];
    return true;
}

void R7T5AudioHal::RunPoll() {
    PAGED_CODE();
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, RequestBlockBytes, R7T5Tag));
    UCHAR report = 0;
    if (urb == nullptr || !ReadReport(urb, &report)) {
        if (urb != nullptr) ExFreePoolWithTag(urb, R7T5Tag);
        KeSetEvent(&m_ThreadDoneEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    // 1: bit 4 clear at that reading.
    UCHAR history[R7T5PollHistory] = {};
    history[0] = (report & StatusBit4) == 0 ? 1 : 0;
    ULONG next = 1;
    // The poll goes on from the mode the guard is in (a restart after D3 or a PnP stop finds it
    // where the last poll left it): a silenced guard is released by 30 set readings as before.
    m_PollState = m_pFormatPolicy != nullptr ? m_pFormatPolicy->Mode() : 0;
    if (m_PollState > static_cast<ULONG>(R7T5GuardMode::Silence)) m_PollState = 0;

    LARGE_INTEGER due;
    KeQuerySystemTime(&due);
    due.QuadPart += R7T5PollPeriod;
    KeSetTimerEx(&m_PollTimer, due, static_cast<LONG>(R7T5PollPeriod / 10000), nullptr);

    // The line monitor follows the guard: kept muted in pass mode, free while playback is guarded.
    if (m_pFormatPolicy != nullptr) ForceLineMonitorMute(m_PollState == 0 ? 1 : 0);

    PVOID waits[] = {&m_PollTimer, &m_StopEvent};
    for (;;) {
        const NTSTATUS woke = KeWaitForMultipleObjects(2, waits, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        if (woke != STATUS_WAIT_0) break;
        if (!ReadReport(urb, &report)) break;
        history[next] = (report & StatusBit4) != 0 ? 0 : 1;
        next = (next + 1) % R7T5PollHistory;
        if (m_pFormatPolicy != nullptr) DecidePoll(history);
    }
    KeCancelTimer(&m_PollTimer);
    ExFreePoolWithTag(urb, R7T5Tag);
    KeSetEvent(&m_ThreadDoneEvent, IO_NO_INCREMENT, FALSE);
}
