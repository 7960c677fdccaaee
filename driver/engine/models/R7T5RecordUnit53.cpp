#include "driver/engine/models/R7T5RecordUnit53.h"

#include "driver/engine/controls/LevelControls.h"
#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/models/R7T5Stages.h"

namespace {

constexpr ULONG MuteSelector = static_cast<ULONG>(FeatureSelector::Mute);
constexpr ULONG VolumeSelector = static_cast<ULONG>(FeatureSelector::Volume);

}  // namespace

R7T5SoftMuteControl::R7T5SoftMuteControl(PUNKNOWN UnknownOuter, ULONG Id) : MuteControl(UnknownOuter, Id) {}

NTSTATUS R7T5SoftMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage)) {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return MuteControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS R7T5SoftMuteControl::SetValue(ULONG Channel, UCHAR Value) {
    PAGED_CODE();
    if (Channel >= m_ChannelCount) return STATUS_INVALID_PARAMETER;
    m_Values[Channel] = Value;
    StoreValue(Channel);
    return STATUS_SUCCESS;
}

NTSTATUS R7T5SoftMuteControl::RefreshValues() { return STATUS_SUCCESS; }

NTSTATUS R7T5SoftMuteControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_Values == nullptr || m_Values[0] == 0) return STATUS_SUCCESS;
    SilenceProcessingBlock(Format, Data, Frames);
    return STATUS_SUCCESS;
}

NTSTATUS R7T5RecordUnit53::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitWithoutExtension(Descriptor, Hal, ControlHal);
}

NTSTATUS R7T5RecordUnit53::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    NTSTATUS status = TakeIdAndSource(Hal);
    if (!NT_SUCCESS(status)) return status;
    const PDEVICE_OBJECT device = Hal->GetDeviceObject();
    if (HasControl(MuteSelector)) {
        auto* mute = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5SoftMuteControl(nullptr, Hal->GetNodeCount());
        if (mute == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        mute->NonDelegatingAddRef();
        status = AdoptControl(Hal, mute, mute->InitFeatureSwitch(AsUnit(), MuteSelector, device));
        if (!NT_SUCCESS(status)) return status;
    }
    if (HasControl(VolumeSelector)) {
        auto* volume = new (ExDefaultNonPagedPoolType, R7T5Tag) VolumeControl(nullptr, Hal->GetNodeCount());
        if (volume == nullptr) return status;
        volume->NonDelegatingAddRef();
        status = AdoptControl(Hal, volume, volume->InitFeatureLevel(AsUnit(), VolumeSelector, device));
    }
    return status;
}
