// The processing stages the R7T5 model puts into its render engines.
//
// FormatPolicy: the playback guard the R7T5 poll switches between pass (0), quarter gain (1) and
// silence (2); PCM only.
// ChannelSwapPolicy: exchanges the last two channel pairs of 8-channel PCM playback (planes 4, 5
// with 6, 7), the device's order for those pairs.
#pragma once

#include "driver/engine/base/KernelUnknown.h"
#include "driver/engine/interfaces/ProcessingStage.h"

// "R7T5": the stages, the model's units and its request buffers (non-paged).
constexpr ULONG R7T5Tag = '5T7R';

enum class R7T5GuardMode : ULONG { Pass = 0, QuarterGain = 1, Silence = 2 };

// The stage side of the R7T5 controls that also act on the stream in software: only Process is
// their own; the operations the engine never calls and the format and reset, which they need not
// follow, answer as the data path expects.
class R7T5ControlStage : public ProcessingStage {
public:
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    STDMETHODIMP Reserved3() override { return STATUS_SUCCESS; }
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }

protected:
    ~R7T5ControlStage() = default;
};

class R7T5StageBase : public ProcessingStage, public CKernelUnknown {
public:
    DECLARE_KERNEL_UNKNOWN();
    explicit R7T5StageBase(PUNKNOWN UnknownOuter) : CKernelUnknown(UnknownOuter) {}

    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
    STDMETHODIMP Reserved3() override { return STATUS_SUCCESS; }
};

class FormatPolicy : public R7T5StageBase {
public:
    explicit FormatPolicy(PUNKNOWN UnknownOuter) : R7T5StageBase(UnknownOuter), m_Mode(0) {}

    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    // The stream stopped: the mode stays what the poll set.
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
    // Back to pass before the stage joins an engine.
    NTSTATUS ResetMode() {
        SetMode(static_cast<ULONG>(R7T5GuardMode::Pass));
        return STATUS_SUCCESS;
    }
    // Only the poll sets the mode; the data path reads it without a lock (one 32-bit store).
    void SetMode(ULONG Mode) { InterlockedExchange(reinterpret_cast<volatile LONG*>(&m_Mode), static_cast<LONG>(Mode)); }
    ULONG Mode() const { return ReadNoFence(&m_Mode); }

private:
    volatile ULONG m_Mode;
};

class ChannelSwapPolicy : public R7T5StageBase {
public:
    explicit ChannelSwapPolicy(PUNKNOWN UnknownOuter) : R7T5StageBase(UnknownOuter) {}

    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
};
