#include "driver/engine/models/R7T5SpdifRecordUnit.h"

#include "driver/engine/hal/AudioHal.h"
#include "driver/engine/models/R7T5Stages.h"
#include "driver/engine/uac1/Uac1UnitRequest.h"

namespace {

constexpr ULONG MuteSelector = static_cast<ULONG>(FeatureSelector::Mute);

}  // namespace

R7T5SpdifMuteControl::R7T5SpdifMuteControl(PUNKNOWN UnknownOuter, ULONG Id) : SelectorMuteControl(UnknownOuter, Id) {}

NTSTATUS R7T5SpdifMuteControl::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    if (IsEqualGUID(InterfaceId, IID_ProcessingStage)) {
        const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
        return AnswerQuery(InterfaceId, Interface, answers);
    }
    return SelectorMuteControl::NonDelegatingQueryInterface(InterfaceId, Interface);
}

NTSTATUS R7T5SpdifMuteControl::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Runs at DISPATCH_LEVEL on the data path: resident data only, no lock.
    if (Format == nullptr || Data == nullptr || m_Values == nullptr || m_Values[0] == 0) return STATUS_SUCCESS;
    const ULONG input = GetSelectorInput();
    if (input == 0 || GetSelection() != input) return STATUS_SUCCESS;
    SilenceProcessingBlock(Format, Data, Frames);
    return STATUS_SUCCESS;
}

NTSTATUS R7T5SpdifRecordUnit::Init(const UCHAR* Descriptor, AdapterCommon* Hal, AdapterCommon* ControlHal) {
    return InitWithoutExtension(Descriptor, Hal, ControlHal);
}

NTSTATUS R7T5SpdifRecordUnit::CreateControls(AdapterCommon* Hal) {
    PAGED_CODE();
    NTSTATUS status = TakeIdAndSource(Hal);
    if (!NT_SUCCESS(status) || !HasControl(MuteSelector)) return status;
    auto* mute = new (ExDefaultNonPagedPoolType, R7T5Tag) R7T5SpdifMuteControl(nullptr, Hal->GetNodeCount());
    if (mute == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    mute->NonDelegatingAddRef();
    return AdoptControl(Hal, mute, mute->InitFeatureSwitch(AsUnit(), MuteSelector, Hal->GetDeviceObject()));
}
