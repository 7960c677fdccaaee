// Headphone virtualisation engine: partitioned FFT convolution with head responses and a room
// tail, then cross-talk cancellation.
#include "globaltopo/common/QVT/headphonefir.h"

#include "driver/signal/SignalLibrary.h"

namespace {

constexpr float kEarGain = 2.0f;
constexpr float kSurroundDirect = 0.871f;
constexpr float kSurroundCross = 0.49f;
// Input channel of each group (L, R, C, LS, RS); with six or eight inputs L and R also take x3.
constexpr LONG kGroupChannel[CHeadphoneFir::kGroups] = {0, 1, 2, 4, 5};

// acc += a x b for packed spectra of CHeadphoneFir::kFrame floats: DC and Nyquist as reals,
// the bins between as complex pairs.
void MulAddPacked(float* acc, const float* a, const float* b) {
    acc[0] += a[0] * b[0];
    acc[1] += a[1] * b[1];
    for (LONG i = 2; i < CHeadphoneFir::kFrame; i += 2) {
        const float ar = a[i], ai = a[i + 1], br = b[i], bi = b[i + 1];
        acc[i] += ar * br - ai * bi;
        acc[i + 1] += ar * bi + ai * br;
    }
}

void ZeroFloats(float* dst, LONG count) { RtlZeroMemory(dst, static_cast<SIZE_T>(count) * sizeof(float)); }

LONG Smaller(LONG a, LONG b) { return a < b ? a : b; }

}  // namespace

CHeadphoneFir::CHeadphoneFir() {
    m_pFftSpec = nullptr;
    if (RealFftCreateSpec(&m_pFftSpec, kFftOrder, RealFftScaleInverse, 0) != StatusOk) m_pFftSpec = nullptr;
    for (FilterBank& bank : m_Banks) {
        bank.room = ROOMSIZE_UNDEFINED;
        bank.setId = SPEAKERANGLE_UNDEFINED;
        bank.headPartitions = -1;
        bank.tailPartitions = -1;
    }
    m_Active = 0;
    m_PreparedState = PreparedNone;
    m_CtcAngle = CTCANGLE_UNDEFINED;
    m_CtcLength = 1;
    ZeroFloats(m_CtcSumFilter, kCtcTaps);
    ZeroFloats(m_CtcDiffFilter, kCtcTaps);
    Reset();
    SelectFilters(1, 29);
    SetCtcAngle(0);
}

CHeadphoneFir::~CHeadphoneFir() {
    // The plan came from the library, so it goes back through the library.
    if (m_pFftSpec != nullptr) RealFftFreeSpec(m_pFftSpec);
    m_pFftSpec = nullptr;
}

void CHeadphoneFir::Reset() {
    ZeroFloats(&m_InputHistory[0][0], kInputs * HEADPHONEFIR_N);
    ZeroFloats(&m_GroupSpectra[0][0][0], kGroups * kMaxHeadPartitions * kFrame);
    ZeroFloats(&m_TailInput[0][0], kMaxTailPartitions * kFrame);
    ZeroFloats(&m_Accumulators[0][0], kEars * kFrame);
    ZeroFloats(m_CtcSumHistory, kCtcTaps + HEADPHONEFIR_N);
    ZeroFloats(m_CtcDiffHistory, kCtcTaps + HEADPHONEFIR_N);
    m_HeadIndex = 0;
    m_TailIndex = 0;
}

namespace {

// Room code 0..2 to the internal room (0 the largest; any other code the middle one), and a set
// id outside the nine to 24.
void MapRoomAndSet(LONG roomCode, LONG* room, LONG* setId) {
    *room = 2;
    if (roomCode == 0) *room = 3;
    else if (roomCode == 2) *room = 1;
    if (HeadphoneSetIndex(*setId) < 0) *setId = 24;
}

}  // namespace

void CHeadphoneFir::SetRoomAndSet(LONG roomCode, LONG setId) {
    LONG room = 0;
    MapRoomAndSet(roomCode, &room, &setId);
    SelectFilters(room, setId);
}

void CHeadphoneFir::SelectFilters(LONG room, LONG setId) {
    FilterBank& bank = m_Banks[m_Active];
    LoadRoomAndSet(bank, room, setId);
    // The ring positions stay; they only have to name slots that exist.
    if (bank.headPartitions > 0) m_HeadIndex %= bank.headPartitions;
    if (bank.tailPartitions > 0) m_TailIndex %= bank.tailPartitions;
}

void CHeadphoneFir::LoadRoomAndSet(FilterBank& bank, LONG room, LONG setId) {
    bank.room = room;
    bank.setId = setId;
    LONG tailLength = 0;
    const LONG tailSet = HeadphoneTailSet(room, setId, &tailLength);
    const PieceSource head{.read = ReadHeadSet, .samples = nullptr, .length = HeadphoneHeadLength, .room = room, .set = setId};
    const PieceSource tail{.read = ReadTailSet, .samples = nullptr, .length = tailLength, .room = room, .set = tailSet};
    LoadPieces(bank, head, HeadphoneHeadResponses, HeadphoneHeadLength, tail, HeadphoneTailResponses, tailLength);
}

bool CHeadphoneFir::ClaimSpareBank() {
    // Free, or prepared and not yet taken; a bank a Process is switching to is in use.
    if (InterlockedCompareExchange(&m_PreparedState, PreparedFilling, PreparedNone) == PreparedNone) return true;
    return InterlockedCompareExchange(&m_PreparedState, PreparedFilling, PreparedReady) == PreparedReady;
}

void CHeadphoneFir::BuildSpareBank(LONG roomCode, LONG setId) {
    if (ReadAcquire(&m_PreparedState) != PreparedFilling) return;
    LONG room = 0;
    MapRoomAndSet(roomCode, &room, &setId);
    LoadRoomAndSet(m_Banks[1 - m_Active], room, setId);
    InterlockedExchange(&m_PreparedState, PreparedReady);
}

bool CHeadphoneFir::PrepareRoomAndSet(LONG roomCode, LONG setId) {
    if (!ClaimSpareBank()) return false;
    BuildSpareBank(roomCode, setId);
    return true;
}

void CHeadphoneFir::LoadFilters(const float* head, LONG headCount, LONG headLen, const float* tail, LONG tailCount,
                                LONG tailLen) {
    const PieceSource headSource{.read = ReadArray, .samples = head, .length = headLen, .room = 0, .set = 0};
    const PieceSource tailSource{.read = ReadArray, .samples = tail, .length = tailLen, .room = 0, .set = 0};
    FilterBank& bank = m_Banks[m_Active];
    LoadPieces(bank, headSource, headCount, headLen, tailSource, tailCount, tailLen);
    if (bank.headPartitions > 0) m_HeadIndex %= bank.headPartitions;
    if (bank.tailPartitions > 0) m_TailIndex %= bank.tailPartitions;
}

void CHeadphoneFir::ReadArray(const PieceSource& source, LONG response, LONG first, LONG count, float* dst) {
    CopyFloat(source.samples + static_cast<SIZE_T>(response) * source.length + first, dst, count);
}

void CHeadphoneFir::ReadHeadSet(const PieceSource& source, LONG response, LONG first, LONG count, float* dst) {
    HeadphoneHeadSamples(source.room, source.set, response, first, count, dst);
}

void CHeadphoneFir::ReadTailSet(const PieceSource& source, LONG response, LONG first, LONG count, float* dst) {
    HeadphoneTailSamples(source.set, response, first, count, dst);
}

void CHeadphoneFir::LoadPieces(FilterBank& bank, const PieceSource& head, LONG headCount, LONG headLen,
                               const PieceSource& tail, LONG tailCount, LONG tailLen) {
    QVT_ASSERT(headLen % HEADPHONEFIR_N == 0);
    QVT_ASSERT(tailLen % HEADPHONEFIR_N == 0);
    // Only what the spectra arrays hold is taken.
    headCount = Smaller(headCount, HeadphoneHeadResponses);
    tailCount = Smaller(tailCount, HeadphoneTailResponses);
    bank.headPartitions = Smaller(headLen / HEADPHONEFIR_N, kMaxHeadPartitions);
    bank.tailPartitions = Smaller(tailLen / HEADPHONEFIR_N, kMaxTailPartitions);
    ZeroFloats(&bank.head[0][0][0], HeadphoneHeadResponses * kMaxHeadPartitions * kFrame);
    ZeroFloats(&bank.tail[0][0][0], HeadphoneTailResponses * kMaxTailPartitions * kFrame);
    for (LONG r = 0; r < headCount; ++r) {
        for (LONG k = 0; k < bank.headPartitions; ++k) TransformPiece(head, r, k, bank.head[r][k]);
    }
    for (LONG r = 0; r < tailCount; ++r) {
        for (LONG k = 0; k < bank.tailPartitions; ++k) TransformPiece(tail, r, k, bank.tail[r][k]);
    }
}

void CHeadphoneFir::TransformPiece(const PieceSource& source, LONG response, LONG piece, float* spectrum) {
    source.read(source, response, piece * HEADPHONEFIR_N, HEADPHONEFIR_N, spectrum);
    ZeroFloats(spectrum + HEADPHONEFIR_N, HEADPHONEFIR_N);
    if (m_pFftSpec == nullptr) {
        ZeroFloats(spectrum, kFrame);
        return;
    }
    RealFftForwardInPlace(spectrum, m_pFftSpec, nullptr);
}

void CHeadphoneFir::SetCtcAngle(LONG degrees) {
    if (degrees == m_CtcAngle) return;
    m_CtcAngle = degrees;
    ZeroFloats(m_CtcSumFilter, kCtcTaps);
    ZeroFloats(m_CtcDiffFilter, kCtcTaps);
    const LONG angle = HeadphoneCtcAngleIndex(degrees);
    if (angle >= 0) {
        m_CtcLength = kCtcTaps;
        for (LONG j = 0; j < kCtcTaps; ++j) {
            const float a = HeadphoneCtcTap(angle, 0, j);
            const float b = HeadphoneCtcTap(angle, 1, j);
            m_CtcSumFilter[j] = a + b;
            m_CtcDiffFilter[j] = a - b;
        }
    } else {
        m_CtcLength = 1;
        m_CtcSumFilter[0] = 1.0f;
        m_CtcDiffFilter[0] = 1.0f;
    }
    ZeroFloats(m_CtcSumHistory, kCtcTaps + HEADPHONEFIR_N);
    ZeroFloats(m_CtcDiffHistory, kCtcTaps + HEADPHONEFIR_N);
}

void CHeadphoneFir::Process(float** out, LONG nOut, float** in, LONG nIn, LONG len) {
    QVT_ASSERT(CheckNumOutChans(nOut));
    QVT_ASSERT(CheckNumInChans(nIn));
    QVT_ASSERT(CheckDataLen(len));
    (void)len;
    const FilterBank& active = m_Banks[m_Active];
    if (m_pFftSpec == nullptr || active.headPartitions < 1 || active.tailPartitions < 1) {
        for (LONG c = 0; c < Smaller(nOut, kEars); ++c) ZeroFloats(out[c], HEADPHONEFIR_N);
        return;
    }
    const bool stereo = (nIn == 2);
    const LONG groups = stereo ? 2 : kGroups;
    const LONG h = m_HeadIndex;
    const LONG t = m_TailIndex;

    // Tail input: the group spectra of two blocks ago, still in slot h, summed.
    float* tailInput = m_TailInput[t];
    CopyFloat(m_GroupSpectra[0][h], tailInput, kFrame);
    for (LONG g = 1; g < groups; ++g) AddFloat(tailInput, m_GroupSpectra[g][h], tailInput, kFrame);

    // Rear pair into the surround pair.
    if (nIn == 8) {
        float* p4 = in[4];
        float* p5 = in[5];
        const float* p6 = in[6];
        const float* p7 = in[7];
        for (LONG i = 0; i < HEADPHONEFIR_N; ++i) {
            const float s4 = p4[i], s5 = p5[i];
            p4[i] = kSurroundDirect * s4 + kSurroundCross * s5 + p6[i];
            p5[i] = kSurroundCross * s4 + kSurroundDirect * s5 + p7[i];
        }
    }

    // Group frames: previous block then current block, transformed into slot h.
    for (LONG g = 0; g < groups; ++g) {
        float* frame = m_GroupSpectra[g][h];
        const LONG channel = kGroupChannel[g];
        if (stereo || g >= 2) {
            CopyFloat(m_InputHistory[channel], frame, HEADPHONEFIR_N);
            CopyFloat(in[channel], frame + HEADPHONEFIR_N, HEADPHONEFIR_N);
        } else {
            // The LFE (x3) goes to both sides.
            AddFloat(m_InputHistory[channel], m_InputHistory[3], frame, HEADPHONEFIR_N);
            AddFloat(in[channel], in[3], frame + HEADPHONEFIR_N, HEADPHONEFIR_N);
        }
    }
    const LONG kept = stereo ? 2 : kHistoryInputs;
    for (LONG c = 0; c < kept; ++c) CopyFloat(in[c], m_InputHistory[c], HEADPHONEFIR_N);
    for (LONG g = 0; g < groups; ++g) RealFftForwardInPlace(m_GroupSpectra[g][h], m_pFftSpec, nullptr);

    Convolve(active, groups, h, t, m_Accumulators);
    LONG tailSlot = t;
    if (InterlockedCompareExchange(&m_PreparedState, PreparedSwitching, PreparedReady) == PreparedReady) {
        // Prepared filters: the same block through them, and the block's output fades from the old
        // filters' ear signals to the new ones'. The head ring keeps its geometry (the head length
        // is fixed); the tail ring takes the new tail's.
        const FilterBank& next = m_Banks[1 - m_Active];
        if (next.headPartitions == active.headPartitions && next.tailPartitions >= 1) {
            if (next.tailPartitions != active.tailPartitions) {
                RelayTailRing(next.tailPartitions);
                tailSlot = 0;
            }
            Convolve(next, groups, h, tailSlot, m_FadeEars);
            const float step = 1.0f / static_cast<float>(HEADPHONEFIR_N);
            for (LONG e = 0; e < kEars; ++e) {
                float* old = m_Accumulators[e] + HEADPHONEFIR_N;
                const float* fresh = m_FadeEars[e] + HEADPHONEFIR_N;
                for (LONG i = 0; i < HEADPHONEFIR_N; ++i) {
                    const float w = static_cast<float>(i + 1) * step;
                    old[i] = (1.0f - w) * old[i] + w * fresh[i];
                }
            }
            m_Active = 1 - m_Active;
        }
        InterlockedExchange(&m_PreparedState, PreparedNone);
    }
    const FilterBank& now = m_Banks[m_Active];
    m_HeadIndex = (h - 1 + now.headPartitions) % now.headPartitions;
    m_TailIndex = (tailSlot - 1 + now.tailPartitions) % now.tailPartitions;
    RunCtc(out, nOut);
}

void CHeadphoneFir::Convolve(const FilterBank& bank, LONG groups, LONG h, LONG t, float (*ears)[kFrame]) {
    // Head pieces against the last P_h frames, tail pieces against the last P_t tail inputs.
    ZeroFloats(&ears[0][0], kEars * kFrame);
    for (LONG k = 0; k < bank.headPartitions; ++k) {
        const LONG j = (h + k) % bank.headPartitions;
        for (LONG g = 0; g < groups; ++g) {
            for (LONG e = 0; e < kEars; ++e) MulAddPacked(ears[e], m_GroupSpectra[g][j], bank.head[2 * g + e][k]);
        }
    }
    for (LONG k = 0; k < bank.tailPartitions; ++k) {
        const LONG j = (t + k) % bank.tailPartitions;
        for (LONG e = 0; e < kEars; ++e) MulAddPacked(ears[e], m_TailInput[j], bank.tail[e][k]);
    }
    // Overlap-save: the second half of each inverse is the block's ear signal.
    for (LONG e = 0; e < kEars; ++e) RealFftInverseInPlace(ears[e], m_pFftSpec, nullptr);
}

void CHeadphoneFir::RelayTailRing(LONG partitions) {
    // Slot (t + k) mod P holds the tail input of k blocks ago: rotate the ring so that age k sits
    // in slot k (three reversals, in place), then keep the ages the new ring has room for.
    const LONG count = m_Banks[m_Active].tailPartitions;
    const LONG t = m_TailIndex;
    auto reverse = [this](LONG first, LONG last) {
        for (; first < last; ++first, --last) {
            float* a = m_TailInput[first];
            float* b = m_TailInput[last];
            for (LONG i = 0; i < kFrame; ++i) {
                const float swap = a[i];
                a[i] = b[i];
                b[i] = swap;
            }
        }
    };
    reverse(0, t - 1);
    reverse(t, count - 1);
    reverse(0, count - 1);
    for (LONG slot = count; slot < partitions; ++slot) ZeroFloats(m_TailInput[slot], kFrame);
}

void CHeadphoneFir::RunCtc(float** out, LONG nOut) {
    const float* left = m_Accumulators[0] + HEADPHONEFIR_N;
    const float* right = m_Accumulators[1] + HEADPHONEFIR_N;
    float* sum = m_CtcSumHistory + kCtcTaps;
    float* diff = m_CtcDiffHistory + kCtcTaps;
    for (LONG i = 0; i < HEADPHONEFIR_N; ++i) {
        const float l = kEarGain * left[i];
        const float r = kEarGain * right[i];
        sum[i] = l + r;
        diff[i] = l - r;
    }
    float* out0 = out[0];
    float* out1 = (nOut > 1) ? out[1] : nullptr;
    for (LONG m = 0; m < HEADPHONEFIR_N; ++m) {
        float ys = 0.0f;
        float yd = 0.0f;
        for (LONG j = 0; j < m_CtcLength; ++j) {
            ys += m_CtcSumFilter[j] * sum[m - j];
            yd += m_CtcDiffFilter[j] * diff[m - j];
        }
        out0[m] = 0.5f * (ys + yd);
        if (out1 != nullptr) out1[m] = 0.5f * (ys - yd);
    }
    // The last 256 samples become the history of the next block.
    MoveFloat(m_CtcSumHistory + HEADPHONEFIR_N, m_CtcSumHistory, kCtcTaps);
    MoveFloat(m_CtcDiffHistory + HEADPHONEFIR_N, m_CtcDiffHistory, kCtcTaps);
}
