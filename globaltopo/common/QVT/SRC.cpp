// Integer-factor rate changer: third-order low-pass filters run forward and backward.
#include "globaltopo/common/QVT/SRC.h"

#include "driver/signal/SignalLibrary.h"

namespace {

struct SrcCoefficients {
    float b[4];
    float a[4];
};

// Third-order low-pass filters by factor (index factor - 1); larger factors use the last row.
constexpr SrcCoefficients kSrcCoefficients[] = {
    {.b = {0.1666667f, 0.5f, 0.5f, 0.1666667f}, .a = {1.0f, 0.0f, 0.3333333f, 0.0f}},
    {.b = {0.06385592f, 0.1915678f, 0.1915678f, 0.06385592f}, .a = {1.0f, -0.9657797f, 0.5826442f, -0.1060171f}},
    {.b = {0.03168934f, 0.09506803f, 0.09506803f, 0.03168934f}, .a = {1.0f, -1.459029f, 0.910369f, -0.1978252f}},
};
constexpr LONG kCoefficientRows = sizeof(kSrcCoefficients) / sizeof(kSrcCoefficients[0]);

}  // namespace

CSrc::CSrc() {
    m_OutputRateHz = 0;
    m_InputRateHz = 0;
    m_Direction = 0;
    m_nSrcFactor = 1;
    for (LONG i = 0; i < kWorkFloats; ++i) m_Work[i] = 0.0f;
}

void CSrc::Init(LONG outputRateHz, LONG inputRateHz) {
    m_OutputRateHz = outputRateHz;
    m_InputRateHz = inputRateHz;
    if (inputRateHz > outputRateHz) {
        m_Direction = 1;
        m_nSrcFactor = inputRateHz / outputRateHz;
    } else if (inputRateHz < outputRateHz) {
        m_Direction = -1;
        m_nSrcFactor = outputRateHz / inputRateHz;
    } else {
        m_Direction = 0;
        m_nSrcFactor = 1;
    }
    LONG row = m_nSrcFactor - 1;
    if (row < 0) row = 0;
    if (row >= kCoefficientRows) row = kCoefficientRows - 1;
    const SrcCoefficients& c = kSrcCoefficients[row];
    m_DownFilter.SetCoefficients(c.b, 4, c.a, 4);
    m_UpFilter.SetCoefficients(c.b, 4, c.a, 4);
}

void CSrc::Downsample(float* out, const float* in, LONG len) {
    QVT_ASSERT((len % m_nSrcFactor) == 0);
    QVT_ASSERT(len <= (EachChannelSampleCntMax));
    m_DownFilter.Process(m_Work, in, len);
    const LONG outLen = len / m_nSrcFactor;
    for (LONG i = 0; i < outLen; ++i) out[i] = m_Work[i * m_nSrcFactor];
}

void CSrc::Upsample(float* out, const float* in, LONG len) {
    const LONG outLen = len * m_nSrcFactor;
    QVT_ASSERT(outLen <= (EachChannelSampleCntMax * 4));
    ZeroFloat(m_Work, outLen);
    for (LONG i = 0; i < len; ++i) m_Work[i * m_nSrcFactor] = in[i];
    m_UpFilter.Process(out, m_Work, outLen);
    MulConstFloatInPlace(static_cast<float>(m_nSrcFactor), out, outLen);
}
