// The headphone virtualisation effect as the effect control drives it: an application object
// (block framework plus engine) and two parameter sets, one for headphone listening and one for
// loudspeakers with cross-talk cancellation. Works in place on eight float channel planes; planes
// 0 and 1 carry the stereo result. No lock of its own: the owner serialises the calls.
#pragma once

#include <win/mmreg.h>
#include <win/ntdef.h>

#include "globaltopo/common/QVT/AudioApp.h"
#include "globaltopo/common/QVT/headphonefir.h"

// The block framework running the headphone engine as its block process.
class CHeadphoneApp : public CAudioApp, public CHeadphoneFir {
public:
    static constexpr LONG kDefaultRateHz = 44100;
    static constexpr LONG kDefaultInputs = 6;
    static constexpr LONG kDefaultOutputs = 2;

    CHeadphoneApp();

    // The engine's plan and the framework's buffers are all in place.
    bool IsUsable() const { return IsReady() && IsConfigured(); }

protected:
    void ProcessInternal(float** out, LONG nOut, float** in, LONG nIn, LONG len) override;
    void Reset() override;
};

class CHeadphoneEffect {
public:
    static constexpr LONG kPlanes = 8;

    CHeadphoneEffect();
    virtual ~CHeadphoneEffect();
    CHeadphoneEffect(const CHeadphoneEffect&) = delete;
    CHeadphoneEffect& operator=(const CHeadphoneEffect&) = delete;

    // Reconfigures the application for this rate and channel count (eight inputs) and resets the
    // engine: 1, or -1 without an application. A rate the application cannot run (176.4 and
    // 192 kHz among them) leaves it unusable, so Process gives the down-mix.
    LONG SetFormat(const WAVEFORMATEXTENSIBLE& format);
    // In place on eight planes of `frames` frames: enabled, the virtualised signal (one block of
    // latency); otherwise, or without a usable application, the stereo down-mix.
    void Process(float* const* planes, LONG frames);

    void SetEnable(ULONG enable);
    void SetCtcMode(LONG mode);
    // Codes 0..4 stand for 5, 10, 15, 20, 30 degrees; other values are degrees.
    void SetCtcAngle(ULONG code);
    void SetHeadphoneRoom(ULONG room);
    void SetHeadphoneAngle(ULONG angle);
    void SetHeadphoneFamily(ULONG family);
    void SetSpeakerRoom(ULONG room);
    void SetSpeakerAngle(ULONG angle);
    void SetSpeakerFamily(ULONG family);
    LONG GetHeadphoneRoom() const { return m_HeadphoneRoom; }
    LONG GetHeadphoneFamily() const { return m_HeadphoneFamily; }
    LONG GetSpeakerRoom() const { return m_SpeakerRoom; }
    LONG GetSpeakerFamily() const { return m_SpeakerFamily; }

    // From now on a room or family change only records the new values: the owner claims the
    // spare filter bank (ClaimFilterBank, kept away from a running Process) and builds the
    // filters of the current values into it (BuildClaimedFilters, passive level); the next
    // Process fades to them. Before, a change switches the filters at once.
    void FadeFilterChanges() { m_FadeFilterChanges = true; }
    bool ClaimFilterBank();
    void BuildClaimedFilters();

    // Filter-set id of a family flag and an angle code (0..3 or 25, 30, 35, 40; 31); -1 for others.
    static LONG GetFilterSetId(LONG familyFlag, LONG angle);

    // Null when the application could not be made.
    const CHeadphoneApp* App() const { return m_pApp; }

private:
    void ApplyCtcAngle();
    void ApplyHeadphoneSet();
    void ApplySpeakerSet();
    void ApplyRoomAndSet(LONG room, LONG setId);

    CHeadphoneApp* m_pApp;  // owned
    LONG m_CtcMode;         // 0: headphone set, CTC off; otherwise loudspeaker set with CTC
    LONG m_Enabled;
    LONG m_SpeakerRoom;     // room code 0..2
    LONG m_HeadphoneRoom;
    LONG m_SpeakerAngle;    // angle code
    LONG m_HeadphoneAngle;
    LONG m_CtcAngle;        // degrees
    LONG m_SpeakerFamily;
    LONG m_HeadphoneFamily;
    bool m_FadeFilterChanges;
};
