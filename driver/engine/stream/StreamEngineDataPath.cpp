// StreamEngine: the data path. Every block a USB stream sends or receives passes the engine's
// processing stages and the objects its clients attach, in the stream's current format. PCM goes
// to the stages as float planes at full scale 1.0 (interleaved PCM -> work buffer -> planes and
// back), in chunks of at most StreamEngineChunkFrames frames; other formats reach the stages raw.
// The floating-point control word is set to flush-to-zero and round-to-nearest for each run.
//
// Resident code: ProcessBuffer runs at DISPATCH_LEVEL from the transfer paths.
#include "driver/engine/stream/StreamEngine.h"

#include "driver/signal/SignalFpu.h"
#include "driver/signal/SignalLibrary.h"

namespace {

// The caller's control word for the scope; flush-to-zero and round-to-nearest inside it. The saved
// word (control and flags) is back whichever way the scope is left.
class EngineFloatMode {
public:
    EngineFloatMode() : m_Saved(ReadMxcsr()) { WriteMxcsr((m_Saved & ~MxcsrRoundingMask) | MxcsrFlushToZero); }
    ~EngineFloatMode() { WriteMxcsr(m_Saved); }
    EngineFloatMode(const EngineFloatMode&) = delete;
    EngineFloatMode& operator=(const EngineFloatMode&) = delete;

private:
    ULONG m_Saved;
};

// PCM sample widths (container bits) the conversions know.
bool IsConvertedWidth(ULONG Bits) { return Bits == 16 || Bits == 24 || Bits == 32; }

bool IsEmpty(const PointerList* List) { return List == nullptr || List->IsEmpty(); }

NTSTATUS FromSignal(SignalStatus Status) { return Status < 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Conversions

NTSTATUS StreamEngine::PcmToFloatPlanes(const VOID* Buffer, float* const* Planes, float* WorkBuffer, ULONG Frames,
                                        const WAVEFORMATEXTENSIBLE* Format) {
    if (Buffer == nullptr || Planes == nullptr || WorkBuffer == nullptr || Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG channels = Format->Format.nChannels;
    if (channels == 0 || channels > StreamEnginePlaneCount || Frames > StreamEngineChunkFrames) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Frames == 0) return STATUS_SUCCESS;
    const LONG samples = static_cast<LONG>(channels * Frames);
    SignalStatus result = StatusOk;
    switch (Format->Format.wBitsPerSample) {
        case 16: result = ConvertInt16ToFloat(static_cast<const SHORT*>(Buffer), WorkBuffer, samples, 15); break;
        case 24:
            result = ConvertInt24ToFloat(static_cast<const UCHAR*>(Buffer), WorkBuffer, samples);
            if (result >= 0) result = DivConstFloatInPlace(8388608.0f, WorkBuffer, samples);  // 2^23
            break;
        case 32: result = ConvertInt32ToFloatScaled(static_cast<const LONG*>(Buffer), WorkBuffer, samples, 31); break;
        default: break;
    }
    if (result < 0) return FromSignal(result);
    return FromSignal(DeinterleaveFloat(WorkBuffer, static_cast<LONG>(channels), static_cast<LONG>(Frames), Planes));
}

NTSTATUS StreamEngine::FloatPlanesToPcm(PVOID Buffer, const float* const* Planes, float* WorkBuffer, ULONG Frames,
                                        const WAVEFORMATEXTENSIBLE* Format) {
    if (Buffer == nullptr || Planes == nullptr || WorkBuffer == nullptr || Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG channels = Format->Format.nChannels;
    if (channels == 0 || channels > StreamEnginePlaneCount || Frames > StreamEngineChunkFrames) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Frames == 0) return STATUS_SUCCESS;
    const LONG samples = static_cast<LONG>(channels * Frames);
    SignalStatus result = InterleaveFloat(Planes, static_cast<LONG>(channels), static_cast<LONG>(Frames), WorkBuffer);
    if (result < 0) return FromSignal(result);
    switch (Format->Format.wBitsPerSample) {
        case 16: result = ConvertFloatToInt16(WorkBuffer, static_cast<SHORT*>(Buffer), samples, 0, -15); break;
        case 24: result = ConvertFloatToInt24(WorkBuffer, static_cast<UCHAR*>(Buffer), samples, -23); break;
        case 32: result = ConvertFloatToInt32(WorkBuffer, static_cast<LONG*>(Buffer), samples, 0, -31); break;
        default: break;
    }
    return FromSignal(result);
}

// ---------------------------------------------------------------------------------------------
// The runs

NTSTATUS StreamEngine::ProcessBuffer(PVOID Buffer, ULONG ByteLength) { return RunChunks(Buffer, ByteLength, true); }

NTSTATUS StreamEngine::ProcessStages(PVOID Buffer, ULONG ByteLength) { return RunChunks(Buffer, ByteLength, false); }

NTSTATUS StreamEngine::RunChunks(PVOID Buffer, ULONG ByteLength, bool AllLists) {
    const WAVEFORMATEXTENSIBLE& format = m_CurrentWaveFormat;
    ULONG frames = 0;
    NTSTATUS status = CountFrames(ByteLength, &frames);
    if (!NT_SUCCESS(status)) return status;
    const ULONG blockAlign = format.Format.nBlockAlign;
    if (IsEmpty(m_ProcessingList) &&
        (!AllLists || (IsEmpty(m_FirstAttached) && IsEmpty(m_SecondAttached)))) {
        return STATUS_SUCCESS;
    }
    if (Buffer == nullptr && ByteLength != 0) return STATUS_INVALID_PARAMETER;

    const ULONG tag = ProcessingStageFormatTag(format);
    const bool pcm = tag == WAVE_FORMAT_PCM;
    if (pcm) {
        // The planes hold at most eight channels; the conversions read nChannels samples of
        // wBitsPerSample per frame, which must be exactly the frame the buffer advances by.
        const ULONG channels = format.Format.nChannels;
        const ULONG bits = format.Format.wBitsPerSample;
        if (channels == 0 || channels > StreamEnginePlaneCount) return STATUS_NOT_SUPPORTED;
        if (IsConvertedWidth(bits) && blockAlign != channels * (bits / 8)) return STATUS_NOT_SUPPORTED;
        if (m_WorkBuffer == nullptr) return STATUS_INVALID_DEVICE_STATE;
        for (const float* plane : m_Planes) {
            if (plane == nullptr) return STATUS_INVALID_DEVICE_STATE;
        }
    }

    EngineFloatMode floatMode;
    KIRQL oldIrql = PASSIVE_LEVEL;
    if (AllLists) KeAcquireSpinLock(&m_SpinLock, &oldIrql);

    auto* cursor = static_cast<PUCHAR>(Buffer);
    for (ULONG left = frames; left != 0 && NT_SUCCESS(status);) {
        const ULONG chunk = left < StreamEngineChunkFrames ? left : StreamEngineChunkFrames;
        if (pcm) {
            status = PcmToFloatPlanes(cursor, m_Planes, m_WorkBuffer, chunk, &format);
            if (NT_SUCCESS(status) && !IsEmpty(m_ProcessingList)) status = ProcessStagesFloat(cursor, chunk, tag);
            if (AllLists) {
                if (NT_SUCCESS(status) && !IsEmpty(m_FirstAttached)) status = ProcessFirstAttachedFloat(chunk);
                if (NT_SUCCESS(status) && !IsEmpty(m_SecondAttached)) status = ProcessSecondAttachedFloat(chunk);
            }
            // A failed stage leaves its chunk as it was.
            if (NT_SUCCESS(status)) status = FloatPlanesToPcm(cursor, m_Planes, m_WorkBuffer, chunk, &format);
        } else if (!IsEmpty(m_ProcessingList)) {
            status = ProcessStagesFloat(cursor, chunk, tag);
        }
        cursor += static_cast<SIZE_T>(blockAlign) * chunk;
        left -= chunk;
    }

    if (AllLists) KeReleaseSpinLock(&m_SpinLock, oldIrql);
    return status;
}

NTSTATUS StreamEngine::ProcessStagesFloat(PVOID Buffer, ULONG Frames, ULONG Tag) {
    PVOID data = Buffer;
    if (Tag == WAVE_FORMAT_PCM) {
        if (Frames > StreamEngineChunkFrames) return STATUS_INVALID_PARAMETER;
        data = m_Planes;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (PointerListNode* node = m_ProcessingList != nullptr ? m_ProcessingList->GetHeadPosition() : nullptr;
         node != nullptr && NT_SUCCESS(status); node = node->Next) {
        status = static_cast<ProcessingStage*>(node->Data)->Process(&m_CurrentWaveFormat, data, Frames);
    }
    return status;
}

NTSTATUS StreamEngine::ProcessFirstAttachedFloat(ULONG Frames) {
    if (Frames > StreamEngineChunkFrames) return STATUS_INVALID_PARAMETER;
    return RunAttached(AttachedList::First, m_Planes, Frames);
}

NTSTATUS StreamEngine::ProcessSecondAttachedFloat(ULONG Frames) {
    if (Frames > StreamEngineChunkFrames) return STATUS_INVALID_PARAMETER;
    return RunAttached(AttachedList::Second, m_Planes, Frames);
}

NTSTATUS StreamEngine::ProcessFirstAttached(PVOID Buffer, ULONG ByteLength) {
    return RunAttachedWhole(AttachedList::First, Buffer, ByteLength);
}

NTSTATUS StreamEngine::ProcessSecondAttached(PVOID Buffer, ULONG ByteLength) {
    return RunAttachedWhole(AttachedList::Second, Buffer, ByteLength);
}

NTSTATUS StreamEngine::RunAttachedWhole(AttachedList List, PVOID Buffer, ULONG ByteLength) {
    ULONG frames = 0;
    NTSTATUS status = CountFrames(ByteLength, &frames);
    if (!NT_SUCCESS(status)) return status;
    if (IsEmpty(AttachedListOf(List))) return STATUS_SUCCESS;
    EngineFloatMode floatMode;
    if (ProcessingStageFormatTag(m_CurrentWaveFormat) != WAVE_FORMAT_PCM) return STATUS_SUCCESS;
    return RunAttached(List, Buffer, frames);
}

NTSTATUS StreamEngine::CountFrames(ULONG ByteLength, PULONG Frames) {
    const ULONG blockAlign = m_CurrentWaveFormat.Format.nBlockAlign;
    // No current format: nothing may flow.
    if (blockAlign == 0) return STATUS_INVALID_DEVICE_STATE;
    if (ByteLength % blockAlign != 0) {
        DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", static_cast<int>(ByteLength),
                 static_cast<int>(blockAlign));
        return STATUS_UNSUCCESSFUL;
    }
    *Frames = ByteLength / blockAlign;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::RunAttached(AttachedList List, PVOID Data, ULONG Frames) {
    PointerList* list = AttachedListOf(List);
    NTSTATUS status = STATUS_SUCCESS;
    for (PointerListNode* node = list != nullptr ? list->GetHeadPosition() : nullptr;
         node != nullptr && NT_SUCCESS(status); node = node->Next) {
        auto* stage = static_cast<ProcessingStage*>(node->Data);
        status = List == AttachedList::First ? stage->Process(&m_CurrentWaveFormat, Data, Frames)
                                             : stage->Reset(&m_CurrentWaveFormat, Data, Frames);
    }
    return status;
}
