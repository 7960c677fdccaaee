// Real-FFT plans (RealFftSpec): sizes, set-up in caller memory, and the library-allocated variant.
//
// Layout behind the head (tables from the next 32-byte boundary):
// bit-reversal table, the complex-FFT twiddles (in-cache records for orders up to 11, the large-order
// plan's tables above), split twiddles, merge twiddles. Sizes are computed in 64 bits; a size that
// does not fit a LONG is answered with StatusNoMemory instead of being truncated.
#include "driver/runtime/KernelMath.h"
#include "driver/signal/RealFftInternal.h"
#include "driver/signal/SignalMemory.h"

#include <win/rtl.h>

namespace {

constexpr ULONG64 kSmallSpecBytes = 168;  // head, alignment slack and reserve
constexpr ULONG64 kSpecOverhead = 192;    // head, alignment slack and table alignment
constexpr ULONG64 kTablesOffset = Align32(sizeof(RealFftSpec));
constexpr ULONG64 kMaxLongBytes = 0x7FFFFFFF;
constexpr LONG kMaxFixedKernelOrder = 3;
// The record may start up to 31 bytes into the caller's memory.
static_assert(kSmallSpecBytes >= sizeof(RealFftSpec) + 31);
static_assert(kTablesOffset + 31 <= kSpecOverhead);
constexpr LONG kMaxBuiltinSineOrder = 10;

struct SpecSizes {
    ULONG64 spec;
    ULONG64 setup;
    ULONG64 work;
};

bool IsValidFlag(LONG flag) {
    return flag == RealFftScaleForward || flag == RealFftScaleInverse || flag == RealFftScaleSqrt ||
           flag == RealFftNoScale;
}

SpecSizes SizesOf(LONG order) {
    if (order <= kMaxFixedKernelOrder) return {kSmallSpecBytes, 0, 0};
    const ULONG64 n = 1ull << order;
    const ULONG64 h = n / 2;
    const ULONG64 common = Align32(FftBitReversalBytes(h)) + 2 * Align32(2 * n) + kSpecOverhead;
    if (order <= RealFftMaxInCacheOrder) {
        const ULONG64 setup = order > kMaxBuiltinSineOrder ? Align32(n + 4) + 32 : 0;
        return {common + FftInCacheTwiddleBytes(h), setup, 0};
    }
    const FftLargeSizes large = FftLargePlanSizes(order - 1);
    return {common + large.tables, large.setup + Align32(n + 4) + 32, large.work > 0 ? large.work + 32 : 0};
}

bool FitsLong(const SpecSizes& sizes) {
    return sizes.spec <= kMaxLongBytes && sizes.setup <= kMaxLongBytes && sizes.work <= kMaxLongBytes;
}

template <typename T>
T* AlignUp32(PVOID p) {
    return reinterpret_cast<T*>((reinterpret_cast<ULONG_PTR>(p) + 31) & ~static_cast<ULONG_PTR>(31));
}

// Quarter-wave table for orders 11 and up: sin below an eighth of a turn, cos of the complement
// above it, each in double and stored as single.
FftSineTable ComputeSineTable(float* values, ULONG64 n) {
    const double step = 2.0 * 3.14159265358979323846 / static_cast<double>(n);
    for (ULONG64 k = 0; k <= n / 4; ++k) {
        values[k] = k <= n / 8 ? static_cast<float>(kmath::Sin(static_cast<double>(k) * step))
                               : static_cast<float>(kmath::Cos(static_cast<double>(n / 4 - k) * step));
    }
    return {.values = values, .step = 1, .n = n};
}

VOID BuildSplitMerge(RealFftSpec* spec, ULONG64 n, const FftSineTable& table) {
    for (ULONG64 k = 0; k < n / 4; ++k) {
        const float sine = table.QuarterSin(k);
        const float cosine = table.QuarterSin(n / 4 - k);
        spec->splitTwiddles[2 * k] = 0.5f * cosine;
        spec->splitTwiddles[2 * k + 1] = static_cast<float>(0.5 - 0.5 * static_cast<double>(sine));
        spec->mergeTwiddles[2 * k] = cosine;
        spec->mergeTwiddles[2 * k + 1] = -sine;
    }
}

VOID BuildTables(RealFftSpec* spec, LONG order, PVOID initBuf) {
    const ULONG64 n = 1ull << order;
    const ULONG64 h = n / 2;
    const FftSineTable table =
        order <= kMaxBuiltinSineOrder
            ? FftSineTable{.values = RealFftBuiltinSine, .step = 1ull << (kMaxBuiltinSineOrder - order), .n = n}
            : ComputeSineTable(AlignUp32<float>(initBuf), n);
    BYTE* area = reinterpret_cast<BYTE*>(spec) + kTablesOffset;
    spec->bitReversal = reinterpret_cast<LONG*>(area);
    FftBuildBitReversal(spec->bitReversal, h);
    area += Align32(FftBitReversalBytes(h));
    if (order <= RealFftMaxInCacheOrder) {
        spec->complexTwiddles = reinterpret_cast<float*>(area);
        FftBuildInCacheTwiddles(spec->complexTwiddles, h, table);
        area += FftInCacheTwiddleBytes(h);
    } else {
        FftBuildLargeTables(spec, order - 1, area, table);
        area += FftLargePlanSizes(order - 1).tables;
    }
    spec->splitTwiddles = reinterpret_cast<float*>(area);
    area += Align32(2 * n);
    spec->mergeTwiddles = reinterpret_cast<float*>(area);
    BuildSplitMerge(spec, n, table);
}

}  // namespace

SignalStatus RealFftGetSpecSize(LONG order, LONG flag, LONG /*hint*/, LONG* pSpecSize, LONG* pInitSize,
                                LONG* pWorkSize) {
    if (order < 0 || order > RealFftMaxOrder) return StatusBadFftOrder;
    if (pSpecSize == nullptr || pInitSize == nullptr || pWorkSize == nullptr) return StatusNullPointer;
    if (!IsValidFlag(flag)) return StatusBadFftFlag;
    const SpecSizes sizes = SizesOf(order);
    if (!FitsLong(sizes)) return StatusNoMemory;
    *pSpecSize = static_cast<LONG>(sizes.spec);
    *pInitSize = static_cast<LONG>(sizes.setup);
    *pWorkSize = static_cast<LONG>(sizes.work);
    return StatusOk;
}

SignalStatus RealFftInitSpec(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint, PVOID specMem, PVOID initBuf) {
    if (ppSpec == nullptr) return StatusNullPointer;
    if (order < 0 || order > RealFftMaxOrder) return StatusBadFftOrder;
    if (specMem == nullptr) return StatusNullPointer;
    if (!IsValidFlag(flag)) return StatusBadFftFlag;
    if (order > kMaxBuiltinSineOrder && initBuf == nullptr) return StatusNullPointer;
    const SpecSizes sizes = SizesOf(order);
    if (!FitsLong(sizes)) return StatusNoMemory;

    RealFftSpec* spec = AlignUp32<RealFftSpec>(specMem);
    RtlZeroMemory(spec, sizeof(*spec));
    const double n = static_cast<double>(1ull << order);
    float factor = 1.0f;
    if (flag == RealFftScaleSqrt) {
        factor = static_cast<float>(1.0 / kmath::Sqrt(n));
    } else if (flag == RealFftScaleForward || flag == RealFftScaleInverse) {
        factor = static_cast<float>(1.0 / n);
    }
    const bool scaling = factor != 1.0f;
    spec->order = order;
    spec->forwardScaled = scaling && (flag == RealFftScaleForward || flag == RealFftScaleSqrt);
    spec->inverseScaled = scaling && (flag == RealFftScaleInverse || flag == RealFftScaleSqrt);
    spec->factor = factor;
    spec->hint = hint;
    spec->workSize = static_cast<LONG>(sizes.work);
    if (order > kMaxFixedKernelOrder) BuildTables(spec, order, initBuf);
    spec->tag = RealFftSpecTag;
    *ppSpec = spec;
    return StatusOk;
}

SignalStatus RealFftCreateSpec_Generic(RealFftSpec** ppSpec, LONG order, LONG flag, LONG hint) {
    if (ppSpec == nullptr) return StatusNullPointer;
    LONG specSize = 0;
    LONG initSize = 0;
    LONG workSize = 0;
    const SignalStatus status = RealFftGetSpecSize(order, flag, hint, &specSize, &initSize, &workSize);
    if (status != StatusOk) return status;
    PVOID specMem = AllocAligned(specSize);
    if (specMem == nullptr) return StatusNoMemory;
    PVOID initBuf = nullptr;
    if (initSize > 0) {
        initBuf = AllocAligned(initSize);
        if (initBuf == nullptr) {
            FreeAligned(specMem);
            return StatusNoMemory;
        }
    }
    RealFftSpec* spec = nullptr;
    const SignalStatus initStatus = RealFftInitSpec(&spec, order, flag, hint, specMem, initBuf);
    FreeAligned(initBuf);
    if (initStatus != StatusOk) {
        FreeAligned(specMem);
        return initStatus;
    }
    spec->owned = 1;
    *ppSpec = spec;
    return StatusOk;
}

SignalStatus RealFftFreeSpec_Generic(RealFftSpec* spec) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->tag != RealFftSpecTag) return StatusBadTag;
    spec->tag = 0;
    if (spec->owned != 0) FreeAligned(spec);
    return StatusOk;
}
