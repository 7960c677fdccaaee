// What the two conversion chains share: format checks, the rate stages chosen from the pair of
// rates, and their creation, reset and teardown. A chain is a format stage followed by up to two
// rate stages; down-sampling by 2 or 4 comes before the 147:160 stage, up-sampling after it.
#pragma once

#include "driver/signal/DspFormatConvert.h"
#include "driver/signal/DspSrc441To48.h"
#include "driver/signal/DspSrcBase.h"

enum class DspRateStep : UCHAR { None, X2Up, X2Down, X4Up, X4Down, F441Up, F441Down };

struct DspRatePlan {
    DspRateStep first;
    DspRateStep second;
};

// The rate stages from inRate to outRate, in chain order; false for a rate outside 44100, 48000,
// 88200, 96000, 176400, 192000 Hz.
bool DspChooseRateStages(ULONG inRateHz, ULONG outRateHz, DspRatePlan* plan);

class CDspSrcChain {
public:
    static constexpr LONG kMaxStages = 3;

    CDspSrcChain(const CDspSrcChain&) = delete;
    CDspSrcChain& operator=(const CDspSrcChain&) = delete;

    const WAVEFORMATEXTENSIBLE& InFormat() const { return m_InFormat; }
    const WAVEFORMATEXTENSIBLE& OutFormat() const { return m_OutFormat; }
    // Stage slot 0..2 (null when absent): the format stage first, then the rate stages.
    CDspSrcBase* Stage(LONG slot) const { return (slot >= 0 && slot < kMaxStages) ? m_Stages[slot] : nullptr; }
    bool IsReady() const { return m_Ready != 0; }
    // True after a successful SetFormat, until the next one fails.
    bool HasFormat() const { return m_FormatValid != 0; }

protected:
    CDspSrcChain();
    // Destroys the 147:160, ratio-4 and ratio-2 stages; the derived chain has already destroyed
    // its work buffer and format stage.
    ~CDspSrcChain();

    // Creates and initialises the three rate stages; false on the first failure (the caller
    // tears down).
    bool CreateRateStages();
    void DestroyRateStages();
    // Resets the ratio-2, ratio-4 and 147:160 stages, then the format stage.
    bool ResetStages(CDspFormatConvert* formatStage);
    // Checks, stores and chooses the stages. `method` names the caller in messages;
    // `formatStageMessage` is the text for a refusal by the format stage. Byte-identical formats
    // get no stage when `identicalRunsNothing`. Answers the stage count (0..3), or -1 after a
    // refusal, which leaves the chain without a usable format.
    LONG ApplyFormat(const WAVEFORMATEXTENSIBLE& inFormat, const WAVEFORMATEXTENSIBLE& outFormat,
                     CDspFormatConvert* formatStage, const char* method, const char* formatStageMessage,
                     bool requireSameChannels, bool identicalRunsNothing);

    WAVEFORMATEXTENSIBLE m_InFormat;
    WAVEFORMATEXTENSIBLE m_OutFormat;
    CDspSrcX2* m_pSrcX2;
    CDspSrcX4* m_pSrcX4;
    CDspSrc441To48* m_pSrc441To48;
    float* m_ResultPlanes[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];  // where the float result is read
    UCHAR m_Ready;
    UCHAR m_FormatValid;
    CDspSrcBase* m_Stages[kMaxStages];

private:
    bool CheckFormats(const WAVEFORMATEXTENSIBLE& in, const WAVEFORMATEXTENSIBLE& out, const char* method,
                      bool requireSameChannels) const;
    CDspSrcBase* RateStage(DspRateStep step);
};
