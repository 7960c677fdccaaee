// Polyphase tables of the 44.1 kHz <-> 48 kHz rate stage (tools/srcgen designs them). Row p is the
// filter of phase p; tap 0 meets the newest input sample. Every row sums to 1.
#pragma once

constexpr int kSrc441To48UpPhases = 160;   // 147 inputs -> 160 outputs
constexpr int kSrc441To48UpTaps = 20;
constexpr int kSrc441To48DownPhases = 147;  // 160 inputs -> 147 outputs
constexpr int kSrc441To48DownTaps = 24;

extern const float g_Src441To48UpTaps[kSrc441To48UpPhases][kSrc441To48UpTaps];
extern const float g_Src441To48DownTaps[kSrc441To48DownPhases][kSrc441To48DownTaps];
