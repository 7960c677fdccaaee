// Headphone virtualisation engine: in blocks of 512 frames it mixes the input channels into five
// source groups (L, R, C, LS, RS), convolves each with a head response per ear, adds a room tail
// convolved with the sum of all groups, and runs a cross-talk-cancellation (CTC) stage on the two
// ear signals. The convolution is uniformly partitioned: 512-sample pieces, 1024-point real FFTs,
// overlap-save. All state lives in the object; the FFT plan is the one allocation.
// Resident code: Process neither allocates nor blocks; no lock of its own.
#pragma once

#include <win/ntdef.h>

#include "driver/signal/RealFft.h"
#include "globaltopo/common/QVT/HeadphoneFilterSets.h"
#include "globaltopo/common/QVT/QvtCommon.h"

constexpr LONG HEADPHONEFIR_N = 512;  // frames per block and samples per filter piece
constexpr LONG ROOMSIZE_UNDEFINED = -1;
constexpr LONG SPEAKERANGLE_UNDEFINED = -1;
constexpr LONG CTCANGLE_UNDEFINED = -1;

class CHeadphoneFir {
public:
    static constexpr LONG kFrame = 2 * HEADPHONEFIR_N;  // FFT length (order 10)
    static constexpr LONG kFftOrder = 10;
    static constexpr LONG kGroups = 5;
    static constexpr LONG kEars = 2;
    static constexpr LONG kInputs = 8;
    static constexpr LONG kHistoryInputs = 6;
    static constexpr LONG kMaxHeadPartitions = HeadphoneHeadLength / HEADPHONEFIR_N;
    static constexpr LONG kMaxTailPartitions = HeadphoneMaxTailLength / HEADPHONEFIR_N;
    static constexpr LONG kCtcTaps = HeadphoneCtcTaps;

    CHeadphoneFir();
    ~CHeadphoneFir();
    CHeadphoneFir(const CHeadphoneFir&) = delete;
    CHeadphoneFir& operator=(const CHeadphoneFir&) = delete;

    // False when the FFT plan could not be created; Process then writes silence.
    bool IsReady() const { return m_pFftSpec != nullptr; }

    // Clears every history (input, group and tail rings, accumulators, CTC); filters stay.
    void Reset();
    // Room code 0..2 (0 the largest room; any other code the middle one) and a set id (one outside
    // the nine selects 24); reloads the filters at once, keeping all histories.
    void SetRoomAndSet(LONG roomCode, LONG setId);
    // Internal room 1..3 and one of the nine set ids.
    void SelectFilters(LONG room, LONG setId);
    // Cuts headCount responses of headLen samples and tailCount responses of tailLen samples (both
    // multiples of 512; at most 10 x 1024 and 2 x 7168 are used) into 512-sample pieces and keeps
    // their spectra.
    void LoadFilters(const float* head, LONG headCount, LONG headLen, const float* tail, LONG tailCount, LONG tailLen);
    // 5, 10, 15, 20 or 30 degrees select 256-tap CTC filters; any other value turns CTC off. A
    // change clears the CTC histories; the current angle again changes nothing.
    void SetCtcAngle(LONG degrees);
    // One block: nOut 2, nIn 2, 6 or 8, len 512. Planes 4 and 5 of an eight-plane input are
    // mixed with 6 and 7 in place.
    void Process(float** out, LONG nOut, float** in, LONG nIn, LONG len);

    LONG Room() const { return m_Room; }
    LONG SetId() const { return m_SetId; }
    LONG HeadPartitions() const { return m_HeadPartitions; }
    LONG TailPartitions() const { return m_TailPartitions; }
    LONG CtcAngle() const { return m_CtcAngle; }
    LONG CtcLength() const { return m_CtcLength; }

private:
    // Writes samples [first, first + count) of response r.
    struct PieceSource {
        void (*read)(const PieceSource& source, LONG response, LONG first, LONG count, float* dst);
        const float* samples;  // responses one after the other, `length` samples each (array source)
        LONG length;
        LONG room;             // generated head set: room and set id; generated tail: tail set
        LONG set;
    };
    static void ReadArray(const PieceSource& source, LONG response, LONG first, LONG count, float* dst);
    static void ReadHeadSet(const PieceSource& source, LONG response, LONG first, LONG count, float* dst);
    static void ReadTailSet(const PieceSource& source, LONG response, LONG first, LONG count, float* dst);

    void LoadPieces(const PieceSource& head, LONG headCount, LONG headLen, const PieceSource& tail, LONG tailCount,
                    LONG tailLen);
    // Zero-pads 512 samples of a response to a frame and transforms it into spectrum.
    void TransformPiece(const PieceSource& source, LONG response, LONG piece, float* spectrum);
    void RunCtc(float** out, LONG nOut);

    LONG m_Room;
    LONG m_SetId;
    LONG m_HeadPartitions;
    LONG m_TailPartitions;
    float m_HeadSpectra[HeadphoneHeadResponses][kMaxHeadPartitions][kFrame];
    float m_TailSpectra[HeadphoneTailResponses][kMaxTailPartitions][kFrame];
    LONG m_CtcAngle;
    LONG m_CtcLength;
    float m_CtcSumFilter[kCtcTaps];
    float m_CtcDiffFilter[kCtcTaps];
    float m_CtcSumHistory[kCtcTaps + HEADPHONEFIR_N];   // 256 previous samples, then the block
    float m_CtcDiffHistory[kCtcTaps + HEADPHONEFIR_N];
    RealFftSpec* m_pFftSpec;  // owned: order 10, inverse scaled by 1/1024
    float m_InputHistory[kInputs][HEADPHONEFIR_N];
    float m_GroupSpectra[kGroups][kMaxHeadPartitions][kFrame];
    float m_TailInput[kMaxTailPartitions][kFrame];
    float m_Accumulators[kEars][kFrame];
    LONG m_HeadIndex;  // h: group-ring slot of the current block
    LONG m_TailIndex;  // t: tail-ring slot of the current block
};
