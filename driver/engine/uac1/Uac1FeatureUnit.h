// FeatureUnit: the unit object of a UAC 1.0 FEATURE_UNIT descriptor. It creates one control per
// feature control the descriptor declares and encodes the class requests those controls send
// through FeatureUnitChannels (one-byte values) and FeatureUnitRanges (1/65536 dB values).
//
// Vendor controls (selector 0x80 + n) are described by an extension block that Init reads from the
// unit's memory (GET_MEM); a device that refuses it simply has none.
//
// Channel indexes count from 0 over the channels that carry a control. A control on one channel
// only is addressed there (the master channel, or channel 1 when the master does not carry it);
// otherwise index i is logical channel i + 1, with the surround pairs 5/7 and 6/8 swapped into the
// device's order when the unit has the channel swapped to.
#pragma once

#include "driver/engine/interfaces/FeatureUnitInterfaces.h"
#include "driver/engine/hal/UnitNode.h"

#include <win/kernel.h>

// Feature control selectors.
enum class FeatureSelector : ULONG {
    Mute = 1,
    Volume = 2,
    Bass = 3,
    Mid = 4,
    Treble = 5,
    GraphicEqualizer = 6,
    AutomaticGain = 7,
    Delay = 8,
    BassBoost = 9,
    Loudness = 10,
    VendorFlag = 0x80,  // bit 7: a vendor control described by the extension block
};

// Offsets of the extension block read with GET_MEM.
constexpr ULONG FeatureExtensionLengthOffset = 16;  // u16 block length
constexpr ULONG FeatureExtensionEntrySizeOffset = 18;
constexpr ULONG FeatureExtensionEntriesOffset = 19;
constexpr ULONG FeatureExtensionEntrySize = 2;

// The standard-control layout of a FEATURE_UNIT descriptor, for the feature units that read it.
// Whether Descriptor (Length bytes kept) is one, with at least the master's controls.
bool IsUac1FeatureDescriptor(const UCHAR* Descriptor, ULONG Length);
// Logical channels of a descriptor IsUac1FeatureDescriptor accepts (master not counted).
ULONG Uac1FeatureDescriptorChannels(const UCHAR* Descriptor, ULONG Length);
// Whether standard selector ControlSelector (1 to 16) is set for Channel (0: master) of such a
// descriptor; false for a channel past its channels.
bool Uac1FeatureDeclares(const UCHAR* Descriptor, ULONG Length, ULONG ControlSelector, ULONG Channel);

class FeatureUnit : public FeatureUnitChannels, public FeatureUnitRanges, public UnitNode {
public:
    DECLARE_KERNEL_UNKNOWN();

    FeatureUnit(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the extension block.
    ~FeatureUnit() override;

    // Descriptor: a FEATURE_UNIT whose bLength bytes the caller has bounded; it must hold the
    // master entry and iFeature (bControlSize 1 or more), else STATUS_INVALID_PARAMETER. Keeps the
    // descriptor, reads the extension block (never fails on it), creates the controls on
    // ControlHal's node list and chains them.
    NTSTATUS Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);

    // Does the master or any channel entry declare the selector.
    bool HasControl(ULONG ControlSelector) const;

    // FeatureUnitChannels.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PUCHAR Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, UCHAR Value) override;
    // Both interfaces: the channels 1 to N whose entry declares the selector; 1 when only the
    // master does; 0 with STATUS_UNSUCCESSFUL when none does. STATUS_INVALID_PARAMETER for a null
    // Count, no descriptor, or a vendor selector without extension block.
    STDMETHODIMP GetChannelCount(ULONG ControlSelector, PULONG Count) override;
    // Unit id and kind from the descriptor, its one source, then the controls in selector order.
    // Without a Mute control: STATUS_INSUFFICIENT_RESOURCES.
    STDMETHODIMP CreateControls(AdapterCommon* Hal) override;

    // FeatureUnitRanges. Two-byte device values (volume, vendor) are 1/256 dB, one-byte values
    // (bass, mid, treble) 1/4 dB; values sent are saturated to what the device field holds.
    STDMETHODIMP GetCur(ULONG ControlSelector, ULONG Channel, PLONG Value) override;
    STDMETHODIMP SetCur(ULONG ControlSelector, ULONG Channel, LONG Value) override;
    STDMETHODIMP GetRange(ULONG ControlSelector, PLONG Maximum, PLONG Minimum, PLONG Resolution) override;

    // UnitNode: a feature unit's status word names no control of its own; the HAL refreshes and
    // announces every control of the unit. Does nothing and succeeds.
    NTSTATUS HandleStatusInterrupt(ULONG Word0, ULONG Word1, PULONG ControlId) override;

    // The unit as its controls reach it.
    PUNKNOWN AsUnit() { return static_cast<AudioNode*>(this); }
    bool HasExtension() const { return m_pExtension != nullptr; }

protected:
    // Init of the model units that carry no vendor controls: the same checks and steps, without the
    // extension block's request.
    NTSTATUS InitWithoutExtension(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal);
    // CreateControls with the controls allocated under PoolTag.
    NTSTATUS CreateControlsWithTag(AdapterCommon* Hal, ULONG PoolTag);
    // The first step of every CreateControls: the unit's id and kind from the kept descriptor and
    // its one source (bSourceID). STATUS_INVALID_PARAMETER without a HAL or a feature descriptor.
    NTSTATUS TakeIdAndSource(AdapterCommon* Hal);
    // Makes and initialises the control of vendor selector ControlSelector (pool tag PoolTag) and
    // hands out its creation reference in *Created, also when its initialisation failed (the
    // result); no memory: null and STATUS_INSUFFICIENT_RESOURCES, and the unit goes on without it.
    // This class makes a plain VendorControlNode.
    virtual NTSTATUS NewVendorControl(ULONG ControlSelector, ULONG ControlId, ULONG PoolTag,
                                      PDEVICE_OBJECT SettingsDevice, AudioNode** Created);

private:
    NTSTATUS InitUnit(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal, bool ReadsExtension);
    bool IsFeatureDescriptor() const;
    // Logical channels of the descriptor (master not counted).
    ULONG DescriptorChannels() const;
    // Logical channels of the extension block (master not counted); 0 without one.
    ULONG ExtensionChannels() const;
    // Does entry Channel (0 the master) declare the selector.
    bool Declares(ULONG ControlSelector, ULONG Channel) const;
    // Channel index to the channel number the request carries.
    NTSTATUS ChannelNumber(ULONG ControlSelector, ULONG Index, PUCHAR Number);
    void ReadExtension(AdapterCommon* Hal);
    NTSTATUS Request(ULONG ControlSelector, UCHAR Code, UCHAR Channel, PVOID Buffer, ULONG Length);

    PUCHAR m_pExtension;       // non-paged "UA10", m_ExtensionLength bytes; null without one
    ULONG m_ExtensionLength;
};
