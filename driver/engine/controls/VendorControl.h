// The vendor control: one switch of a feature unit beyond the class-defined controls, carried to
// the device through FeatureUnitChannels (channel 0) and stored under the control value name. It
// is also the base of the host-side effect controls, which give it a name GUID and parameters and
// replace its processing stage; the two pending flags tell their data path that the switch
// changed.
#pragma once

#include "driver/engine/interfaces/AudioNode.h"
#include "driver/engine/base/KernelMutex.h"
#include "driver/engine/interfaces/ProcessingStage.h"

#include <win/kernel.h>
#include <win/mmreg.h>
#include <win/unknown.h>

// {34480E1C-F752-41EE-81AE-70174C8FB3B3}
DEFINE_GUID(IID_VendorControl, 0x34480E1C, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3);

// The words VendorControl::GetParameterInfo answers for one parameter.
constexpr ULONG VendorParameterInfoWords = 3;

class VendorControl : public IUnknown {
public:
    // Operations in table order. Every null out pointer answers STATUS_INVALID_PARAMETER.

    // The topology node's name.
    STDMETHOD(GetNameGuid)(GUID* Name) PURE;
    STDMETHOD(SetEnable)(UCHAR Enable) PURE;
    STDMETHOD(GetEnable)(PUCHAR Enable) PURE;
    STDMETHOD(GetParameterCount)(PULONG Count) PURE;
    // Count parameters from First on.
    STDMETHOD(GetParameters)(ULONG First, ULONG Count, PLONG Values) PURE;
    STDMETHOD(SetParameters)(ULONG First, ULONG Count, const LONG* Values) PURE;
    // VendorParameterInfoWords words for parameter Index.
    STDMETHOD(GetParameterInfo)(ULONG Index, PULONG Info) PURE;
    // One source SourceId.
    STDMETHOD(Init)(ULONG SourceId) PURE;

protected:
    ~VendorControl() = default;
};

class VendorControlNode : public VendorControl, public AudioNode, public ProcessingStage {
public:
    DECLARE_KERNEL_UNKNOWN();

    // All-zero name GUID and no parameters.
    VendorControlNode(PUNKNOWN UnknownOuter, ULONG Id);

    // VendorControl.
    STDMETHODIMP GetNameGuid(GUID* Name) override;
    // Under the control's mutex: the unit sets the switch; both pending flags are raised whatever
    // the device answered; only when it accepted is the value kept and stored. The device's answer
    // is the result.
    STDMETHODIMP SetEnable(UCHAR Enable) override;
    STDMETHODIMP GetEnable(PUCHAR Enable) override;
    STDMETHODIMP GetParameterCount(PULONG Count) override;
    // This class has no parameters: STATUS_INVALID_PARAMETER.
    STDMETHODIMP GetParameters(ULONG First, ULONG Count, PLONG Values) override;
    STDMETHODIMP SetParameters(ULONG First, ULONG Count, const LONG* Values) override;
    STDMETHODIMP GetParameterInfo(ULONG Index, PULONG Info) override;
    STDMETHODIMP Init(ULONG SourceId) override;

    // The device's current value with the stored one over it; source 0. FeatureUnit: not
    // referenced (it owns this control); a unit without FeatureUnitChannels fails with the query's
    // status.
    NTSTATUS InitVendor(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    // AudioNode: sends the cached value; reads it back from the device (the changed flag is raised
    // only when the value changed).
    NTSTATUS ApplyValues() override;
    NTSTATUS RefreshValues() override;

    // ProcessingStage: keeps the format; processing does nothing. All answer success.
    STDMETHODIMP Reserved1() override;
    STDMETHODIMP Reserved2() override;
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
    STDMETHODIMP Reserved3() override;
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;

    // Index 0: the changed flag, 1: the latch flag.
    LONG GetPendingFlag(ULONG Index) const { return ReadNoFence(&m_PendingFlags[Index & 1]); }

protected:
    // Raises pending flag Index (0 -> 1; a raised flag stays raised).
    void RaisePendingFlag(ULONG Index);
    // Clears pending flag Index; answers TRUE when it was raised. Safe at DISPATCH_LEVEL.
    BOOLEAN TakePendingFlag(ULONG Index);
    void StoreEnable();
    // Copies the enable byte where the data path reads it (PublishedEnable).
    void PublishEnable();
    // The enable byte as the data path may read it at any IRQL while the value changes.
    LONG PublishedEnable() const { return ReadAcquire(&m_PublishedEnable); }

    GUID m_NameGuid;                 // zero for this class
    ULONG m_ParameterCount;          // 0 for this class
    UCHAR m_Enable;
    KernelMutex m_Mutex;             // serialises the enable value
    PDEVICE_OBJECT m_SettingsDevice; // the device object AccessSetting takes
    PUNKNOWN m_Unit;                 // the feature unit, not referenced
    ULONG m_ControlSelector;
    LONG volatile m_PendingFlags[2]; // changed only by compare-exchange
    LONG volatile m_PublishedEnable; // m_Enable for the data path
    KSPIN_LOCK m_SpinLock;           // for the effect controls' data path
    LONG m_Initialised;              // 1 once initialised
    WAVEFORMATEXTENSIBLE m_StreamFormat;
};
