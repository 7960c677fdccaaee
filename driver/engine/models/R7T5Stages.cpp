#include "driver/engine/models/R7T5Stages.h"

#include "driver/signal/SignalLibrary.h"

namespace {
constexpr USHORT PcmTag = 1;
constexpr float QuarterGain = 0.25f;
}  // namespace

NTSTATUS R7T5StageBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) {
    const KernelInterface answers[] = {{IID_ProcessingStage, static_cast<ProcessingStage*>(this)}};
    return AnswerQuery(InterfaceId, Interface, answers);
}

NTSTATUS FormatPolicy::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) {
    // Without planes there is nothing this stage can touch.
    if (Format == nullptr || Data == nullptr || ProcessingStageFormatTag(*Format) != PcmTag) return STATUS_SUCCESS;
    const ULONG mode = m_Mode;
    if (mode != static_cast<ULONG>(R7T5GuardMode::QuarterGain) && mode != static_cast<ULONG>(R7T5GuardMode::Silence)) {
        return STATUS_SUCCESS;
    }
    float* const* planes = static_cast<float* const*>(Data);
    const ULONG channels = Format->Format.nChannels < ProcessingStageMaxPlanes ? Format->Format.nChannels
                                                                                : ProcessingStageMaxPlanes;
    const ULONG frames = Frames < ProcessingStageMaxFrames ? Frames : ProcessingStageMaxFrames;
    for (ULONG c = 0; c < channels; ++c) {
        if (planes[c] == nullptr) continue;
        if (mode == static_cast<ULONG>(R7T5GuardMode::QuarterGain)) {
            MulConstFloatInPlace(QuarterGain, planes[c], static_cast<LONG>(frames));
        } else {
            ZeroFloat(planes[c], static_cast<LONG>(frames));
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ChannelSwapPolicy::Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG) {
    if (Format == nullptr || Data == nullptr || ProcessingStageFormatTag(*Format) != PcmTag ||
        Format->Format.nChannels != 8) {
        return STATUS_SUCCESS;
    }
    // The engine fills and drains its planes through this array, so exchanging the pointers moves
    // the pairs for the rest of the block.
    float** planes = static_cast<float**>(Data);
    float* swap = planes[4];
    planes[4] = planes[6];
    planes[6] = swap;
    swap = planes[5];
    planes[5] = planes[7];
    planes[7] = swap;
    return STATUS_SUCCESS;
}
