// Headphone virtualisation engine: in blocks of 512 frames it mixes the input channels into five
// source groups (L, R, C, LS, RS), convolves each with a head response per ear, adds a room tail
// convolved with the sum of all groups, and runs a cross-talk-cancellation (CTC) stage on the two
// ear signals. The convolution is uniformly partitioned: 512-sample pieces, 1024-point real FFTs,
// overlap-save. All state lives in the object; the FFT plan is the one allocation.
// Resident code: Process neither allocates nor blocks; no lock of its own.
#pragma once

#include <win/interlocked.h>
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
    // Filters prepared while the engine runs. ClaimSpareBank takes the spare bank for building
    // (false while a Process is switching to it, or another caller holds it); BuildSpareBank
    // builds the filters of SetRoomAndSet's arguments into the claimed bank (the heavy part, at
    // the caller's level) and hands it to the next Process, which switches to them and fades its
    // block from the old filters' output to the new ones'. Until then Room, SetId and the
    // partitions are the old ones; a bank built but not yet taken can be claimed and built again.
    // The owner keeps claims away from a running Process (a lock Process also holds) and has one
    // builder at a time. PrepareRoomAndSet is the two in a row; false when the claim failed.
    bool ClaimSpareBank();
    void BuildSpareBank(LONG roomCode, LONG setId);
    bool PrepareRoomAndSet(LONG roomCode, LONG setId);
    // True while prepared filters wait for the next Process.
    bool HasPreparedFilters() const { return ReadAcquire(&m_PreparedState) == PreparedReady; }
    // Cuts headCount responses of headLen samples and tailCount responses of tailLen samples (both
    // multiples of 512; at most 10 x 1024 and 2 x 7168 are used) into 512-sample pieces and keeps
    // their spectra.
    void LoadFilters(const float* head, LONG headCount, LONG headLen, const float* tail, LONG tailCount, LONG tailLen);
    // 5, 10, 15, 20 or 30 degrees select 256-tap CTC filters; any other value turns CTC off. A
    // change clears the CTC histories; the current angle again changes nothing.
    void SetCtcAngle(LONG degrees);
    // One block: nOut 2, nIn 2, 6 or 8, len 512. Planes 4 and 5 of an eight-plane input are
    // mixed with 6 and 7 in place. Prepared filters take over in this block, faded in linearly.
    void Process(float** out, LONG nOut, float** in, LONG nIn, LONG len);

    LONG Room() const { return m_Banks[m_Active].room; }
    LONG SetId() const { return m_Banks[m_Active].setId; }
    LONG HeadPartitions() const { return m_Banks[m_Active].headPartitions; }
    LONG TailPartitions() const { return m_Banks[m_Active].tailPartitions; }
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

    // One filter bank: the spectra of the head and tail pieces and what they were made from.
    struct FilterBank {
        LONG room;
        LONG setId;
        LONG headPartitions;
        LONG tailPartitions;
        float head[HeadphoneHeadResponses][kMaxHeadPartitions][kFrame];
        float tail[HeadphoneTailResponses][kMaxTailPartitions][kFrame];
    };
    // States of the spare bank.
    static constexpr LONG PreparedNone = 0;
    static constexpr LONG PreparedFilling = 1;   // PrepareRoomAndSet writes it
    static constexpr LONG PreparedReady = 2;     // waits for Process
    static constexpr LONG PreparedSwitching = 3; // Process fades to it

    void LoadPieces(FilterBank& bank, const PieceSource& head, LONG headCount, LONG headLen, const PieceSource& tail,
                    LONG tailCount, LONG tailLen);
    void LoadRoomAndSet(FilterBank& bank, LONG room, LONG setId);
    // Zero-pads 512 samples of a response to a frame and transforms it into spectrum.
    void TransformPiece(const PieceSource& source, LONG response, LONG piece, float* spectrum);
    // The ear spectra of the current block with Bank's filters, inverse-transformed into Ears.
    void Convolve(const FilterBank& bank, LONG groups, LONG h, LONG t, float (*ears)[kFrame]);
    // Re-lays the tail ring for Partitions slots with the current block's slot at 0; slots the
    // old ring did not have start silent.
    void RelayTailRing(LONG partitions);
    void RunCtc(float** out, LONG nOut);

    FilterBank m_Banks[2];
    LONG m_Active;                   // the bank Process convolves with
    volatile LONG m_PreparedState;   // of bank 1 - m_Active
    float m_FadeEars[kEars][kFrame]; // the new filters' ear signals in a switching block
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
