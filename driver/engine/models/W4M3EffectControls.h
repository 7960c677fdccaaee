// The W4M3 effect controls: vendor switches of the W4M3 feature unit whose effect the driver
// computes on the render stream's float planes. Each is the unit's VendorControl (the host switches
// it, the device learns the state through SET_CUR) and a ProcessingStage of the engines whose path
// holds the unit. Switching between the effect and a plain stereo down-mix crossfades within one
// block: the old result fades out over 2 ms-units, the new one fades in over the next two. A
// fade starts only when the switch the stage follows really changes.
//
// The render stream ends in one stereo pair, so every chain of these stages down-mixes exactly
// once: the room stage leaves the planes to a headphone stage after it while the room effect is
// off, and when it writes its stereo room mix it clears the planes beyond the pair, so that the
// next stage's down-mix adds nothing a second time.
//
// The crossfade state lives in m_Initialised: 1 steady, 2 switching on, 3 switching off.
#pragma once

#include "driver/engine/controls/VendorControl.h"

class CDspDelayLines;
class CDspPeakLimiter;
class CDspNonInterleaveSrc;
class CHeadphoneEffect;

// Pool tags as they read in a pool dump: "DoHP" planes, delay network and chains, "ZYNE" limiters
// and the headphone effect.
constexpr ULONG W4M3PlaneTag = 'PHoD';
constexpr ULONG W4M3EffectTag = 'ENYZ';

// Crossfade states.
constexpr LONG W4M3FadeSteady = 1;
constexpr LONG W4M3FadeOn = 2;
constexpr LONG W4M3FadeOff = 3;

// Eight zero-filled float planes of Frames frames each, in one block of non-paged pool ("DoHP").
struct W4M3Planes {
    float* Plane[ProcessingStageMaxPlanes];
    ULONG Frames;

    static W4M3Planes* Create(ULONG Frames);
    static void Destroy(W4M3Planes*& Planes);
    float* const* Pointers() { return Plane; }
};

// The weights of the new result and of the dry set at frame Position of a fade: state W4M3FadeOn
// fades Dry out and the result in, W4M3FadeOff the result out and Dry in, each half over 2 * Unit
// frames; any other state is the result alone.
struct W4M3FadeGains {
    float Result;
    float Dry;
};
W4M3FadeGains W4M3FadeGainsAt(LONG State, ULONG Position, ULONG Unit);

// Result x g.Result + Dry x g.Dry, reading only the side whose weight is not 0.
inline float W4M3Mix(const W4M3FadeGains& G, float Result, float Dry) {
    if (G.Dry == 0.0f) return G.Result * Result;
    if (G.Result == 0.0f) return G.Dry * Dry;
    return G.Result * Result + G.Dry * Dry;
}

// Crossfades planes 0 and 1 of Result with Dry over one block (W4M3FadeGainsAt from frame 0); a
// block shorter than 4 * Unit ends the fade where it stands.
void W4M3Crossfade(LONG State, float* const* Result, const float* const* Dry, ULONG Frames, ULONG Unit);

// Runs Frames frames of InPlanes through Chain into OutPlanes (room OutRoomFrames frames per
// plane), optionally resetting the chain first; *Produced is the frames written. Output never
// passes OutRoomFrames; the loop ends when the input is used up, the room is full or a call makes
// no progress (input the chain could not take is dropped). A zero count, a null chain or plane
// array, or no room: STATUS_INVALID_PARAMETER.
NTSTATUS RunSrcChain(CDspNonInterleaveSrc* Chain, ULONG Frames, PULONG Produced, const float* const* InPlanes,
                     float* const* OutPlanes, ULONG OutRoomFrames, bool ResetFirst);

// What the two effect controls share: the dry and wet planes, the two limiters, the stream format
// and the lock around their data path.
class W4M3EffectControl : public VendorControlNode {
public:
    W4M3EffectControl(PUNKNOWN UnknownOuter, ULONG Id);
    // Frees the planes and the limiters.
    ~W4M3EffectControl() override;

    // ProcessingStage: the operation after SetFormat resets both limiters.
    STDMETHODIMP Reserved3() override;

    LONG CrossfadeState() const { return ReadNoFence(&m_Initialised); }
    // The switch the data path follows: taken from the enable value with the pending flags.
    LONG LatchedEnable() const { return ReadNoFence(&m_LatchedEnable); }

protected:
    // Holds the control's spin lock as an in-stack queued lock at any IRQL up to DISPATCH_LEVEL.
    class DataPathLock {
    public:
        explicit DataPathLock(PKSPIN_LOCK Lock);
        ~DataPathLock();
        DataPathLock(const DataPathLock&) = delete;
        DataPathLock& operator=(const DataPathLock&) = delete;

    private:
        KLOCK_QUEUE_HANDLE m_Handle;
        bool m_AtDispatch;
    };

    // Dry and wet planes of PlaneFrames frames; false on an allocation failure.
    bool CreatePlanes(ULONG PlaneFrames);
    // One limiter (tag "ZYNE"): mode 0, Gain, ceiling 1.0; null on a failure.
    static CDspPeakLimiter* CreateLimiter(float Gain);
    void ResetLimiters();
    bool LimitersReady() const;
    static bool IsPcm(const WAVEFORMATEXTENSIBLE& Format);
    void SetFadeState(LONG State) { InterlockedExchange(&m_Initialised, State); }
    // Sets the latched switch to Enable; starts the fade towards it when it differs from the
    // switch in force, so a redundant or unchanged value leaves the output alone.
    bool LatchSwitch(LONG Enable);

    W4M3Planes* m_pDry;
    W4M3Planes* m_pWet;
    CDspPeakLimiter* m_pWetLimiter;
    CDspPeakLimiter* m_pDryLimiter;
    LONG volatile m_LatchedEnable;
};

class CHeadphoneEffectControl;

// {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}
DEFINE_GUID(W4M3DelayEffectName, 0xAC02E636, 0xCB62, 0x42EF, 0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13);

// The room effect: the delay network turns 5.1 or 7.1 into a stereo room mix. It follows only the
// host's switching (the latch flag); other channel counts stay dry, stereo passes. Its fade runs
// over 4 ms whatever the block size, across as many blocks as it takes.
class CDelayEffectControl : public W4M3EffectControl {
public:
    CDelayEffectControl(PUNKNOWN UnknownOuter, ULONG Id);
    ~CDelayEffectControl() override;

    // The vendor initialisation is the result; without memory for an effect object the control
    // still exists and passes the stream through.
    NTSTATUS InitEffect(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;

    // The headphone stage that runs after this one on the same unit (referenced): while it
    // down-mixes a format, this stage leaves that format's planes to it when the effect is off.
    void SetDownmixAfter(CHeadphoneEffectControl* Headphone);

private:
    // Copies the enable value into the latched enable when the host latched a change; true when
    // that started a fade.
    bool ApplyPendingValue();
    bool Ready() const;

    CDspDelayLines* m_pDelay;
    CHeadphoneEffectControl* m_pDownmixAfter;
    ULONG m_FadePosition;  // frames of the running fade already played
};

// {C7600B33-1AA6-4383-918D-30D848BBAD3E}
DEFINE_GUID(W4M3HeadphoneEffectName, 0xC7600B33, 0x1AA6, 0x4383, 0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E);

// Parameters of the headphone control.
constexpr ULONG W4M3HeadphoneRoomParameter = 0;    // room code 0..2
constexpr ULONG W4M3HeadphoneFamilyParameter = 1;  // filter-family flag
constexpr ULONG W4M3HeadphoneParameterCount = 2;
constexpr LONG W4M3HeadphoneRoomCodes = 3;

// Headphone virtualisation. The stream goes through an input chain to the effect's internal rate
// (44.1 or 48 kHz), through the effect, and back through an output chain; a FIFO makes each block
// leave with exactly the frames it came with.
class CHeadphoneEffectControl : public W4M3EffectControl {
public:
    // Frames the output chain may write in one block: room for a block at four times the rate
    // plus what the chain still holds.
    static constexpr ULONG StagingFrames = 1024;
    static constexpr ULONG FifoFrames = ProcessingStageMaxFrames;

    CHeadphoneEffectControl(PUNKNOWN UnknownOuter, ULONG Id);
    ~CHeadphoneEffectControl() override;

    // As CDelayEffectControl::InitEffect; also applies the defaults and the stored parameters.
    NTSTATUS InitEffect(PUNKNOWN FeatureUnit, ULONG ControlSelector, PDEVICE_OBJECT SettingsDevice);

    // VendorControl: parameter 0 the room code, 1 the filter-family flag. The effect builds the new
    // filters at once (passive level) and fades to them with the next block.
    STDMETHODIMP GetParameters(ULONG First, ULONG Count, PLONG Values) override;
    STDMETHODIMP SetParameters(ULONG First, ULONG Count, const LONG* Values) override;

    STDMETHODIMP SetFormat(const WAVEFORMATEXTENSIBLE* Format) override;
    STDMETHODIMP Process(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;
    STDMETHODIMP Reset(const WAVEFORMATEXTENSIBLE* Format, PVOID Data, ULONG Frames) override;

    // True when a block of Format and Frames goes through the effect or its dry down-mix, that is
    // when it leaves as one stereo pair in planes 0 and 1.
    bool DownmixesBlock(const WAVEFORMATEXTENSIBLE& Format, ULONG Frames) const;

    ULONG InternalRate() const { return m_InternalRate; }
    ULONG FifoCount() const { return m_FifoCount; }
    // False after a format the chains refused: the stream then passes through.
    bool ChainsReady() const { return m_ChainsReady; }
    const CHeadphoneEffect* Effect() const { return m_pEffect; }

private:
    // Both family flags and the room of the current mode set to the values, where they differ.
    void ApplyParameters(LONG Room, LONG Family);
    NTSTATUS ParameterBaseName(PWSTR Buffer, size_t Chars);
    void ReadStoredParameters();
    void WriteParameter(ULONG Index);
    // Frames of the staging planes, after the FIFO's frames, to exactly Frames frames of Out.
    void DeliverFrames(float* const* Out, ULONG Channels, ULONG Produced, ULONG Frames);

    CHeadphoneEffect* m_pEffect;
    CDspNonInterleaveSrc* m_pInputChain;
    CDspNonInterleaveSrc* m_pOutputChain;
    W4M3Planes* m_pFifo;
    W4M3Planes* m_pStaging;
    ULONG m_FifoCount;
    ULONG m_InternalRate;
    bool m_ChainsReady;
    LONG m_CtcMode;
    WAVEFORMATEXTENSIBLE m_EffectFormat;
    WAVEFORMATEXTENSIBLE m_InternalFormat;
    WAVEFORMATEXTENSIBLE m_StreamFloatFormat;
    LONG m_Parameters[W4M3HeadphoneParameterCount];  // under m_SpinLock once initialised
};
