// The driver's elementary math against the host's math library, over the ranges its callers use
// and beyond, in units in the last place.
#include "driver/runtime/KernelMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Distance in representable doubles; NaNs count as equal to each other.
uint64_t UlpDistance(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return 0;
    if (a == b) return 0;
    if (std::isnan(a) || std::isnan(b)) return UINT64_MAX;
    auto ordered = [](double x) {
        int64_t i;
        std::memcpy(&i, &x, sizeof i);
        return i < 0 ? INT64_MIN - i : i;
    };
    int64_t ia = ordered(a), ib = ordered(b);
    return ia > ib ? static_cast<uint64_t>(ia - ib) : static_cast<uint64_t>(ib - ia);
}

struct Sweep {
    const char* name;
    double (*ours)(double);
    double (*host)(double);
    double from;
    double to;
    uint64_t maxUlps;
};

TEST(KernelMath, OneArgumentFunctionsMatchTheHostLibrary) {
    const Sweep sweeps[] = {
        {"sin small", kmath::Sin, [](double x) { return std::sin(x); }, -4.0, 4.0, 1},
        {"sin wide", kmath::Sin, [](double x) { return std::sin(x); }, -1.0e5, 1.0e5, 1},
        {"sin tiny", kmath::Sin, [](double x) { return std::sin(x); }, -1.0e-6, 1.0e-6, 1},
        {"cos small", kmath::Cos, [](double x) { return std::cos(x); }, -4.0, 4.0, 1},
        {"cos wide", kmath::Cos, [](double x) { return std::cos(x); }, -1.0e5, 1.0e5, 1},
        {"exp", kmath::Exp, [](double x) { return std::exp(x); }, -700.0, 700.0, 1},
        {"exp near zero", kmath::Exp, [](double x) { return std::exp(x); }, -1.0e-3, 1.0e-3, 1},
        {"exp unit", kmath::Exp, [](double x) { return std::exp(x); }, -2.0, 2.0, 1},
        {"sqrt", kmath::Sqrt, [](double x) { return std::sqrt(x); }, 0.0, 1.0e6, 0},
    };
    constexpr int kSteps = 40000;
    for (const Sweep& s : sweeps) {
        uint64_t worst = 0;
        double worstAt = 0;
        for (int i = 0; i <= kSteps; ++i) {
            // An irrational stride keeps the points off any grid the reduction could favour.
            double t = std::fmod(i * 0.6180339887498949, 1.0);
            double x = s.from + (s.to - s.from) * t;
            uint64_t d = UlpDistance(s.ours(x), s.host(x));
            if (d > worst) {
                worst = d;
                worstAt = x;
            }
        }
        EXPECT_LE(worst, s.maxUlps) << s.name << " worst at " << worstAt;
    }
}

TEST(KernelMath, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double args[] = {0.0, -0.0, inf, -inf, nan, 1.0e-310, 709.78, 709.8, -745.0, -746.0, 1.0e300, 1.5707963267948966};
    for (double x : args) {
        EXPECT_LE(UlpDistance(kmath::Exp(x), std::exp(x)), 1u) << "exp " << x;
        if (std::fabs(x) < 1.0e9 || !std::isfinite(x)) {
            EXPECT_LE(UlpDistance(kmath::Sin(x), std::sin(x)), 1u) << "sin " << x;
            EXPECT_LE(UlpDistance(kmath::Cos(x), std::cos(x)), 1u) << "cos " << x;
        }
        EXPECT_EQ(UlpDistance(kmath::Sqrt(x), std::sqrt(x)), 0u) << "sqrt " << x;
    }
    EXPECT_EQ(std::signbit(kmath::Sin(-0.0)), true);
}

TEST(KernelMath, PowMatchesTheHostLibrary) {
    struct Case {
        double x, y;
        uint64_t maxUlps;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        // Integer exponents, as the headphone filters use them.
        {0.7, 3, 1}, {0.97, 200, 1}, {-0.5, 7, 1}, {-1.5, 8, 1}, {1.0001, 100000, 1}, {3.0, -5, 1},
        {0.2, 440, 1}, {10.0, 308, 1}, {10.0, 309, 0}, {2.0, -1074, 0}, {-2.0, 1023, 0},
        // Other exponents.
        {2.0, 0.5, 4}, {10.0, -1.25, 4}, {0.3, 2.7, 4}, {1.5, 100.5, 16}, {123.0, 0.001, 4},
        // Special cases.
        {0.0, 3, 0}, {-0.0, 3, 0}, {-0.0, -3, 0}, {0.0, -2, 0}, {-2.0, 0.5, 0}, {inf, 2, 0}, {-inf, 3, 0},
        {-inf, -3, 0}, {0.5, inf, 0}, {2.0, -inf, 0}, {-1.0, inf, 0}, {1.0, std::nan(""), 0}, {std::nan(""), 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_LE(UlpDistance(kmath::Pow(c.x, c.y), std::pow(c.x, c.y)), c.maxUlps) << c.x << " ^ " << c.y;
    }
    for (int k = -60; k <= 60; ++k) {
        for (double x : {0.3, 0.999, 1.7, -2.3}) {
            EXPECT_LE(UlpDistance(kmath::Pow(x, k), std::pow(x, k)), 1u) << x << " ^ " << k;
        }
    }
}

TEST(KernelMath, LroundRoundsHalfAwayFromZero) {
    const double args[] = {0.0, 0.49999999999999994, 0.5, 1.5, 2.5, -0.5, -2.5, -2.4999, 1234567.5,
                           4503599627370495.5, 4503599627370497.0, -9.0e18, 9.2e18};
    for (double x : args) EXPECT_EQ(kmath::Lround(x), std::lround(x)) << x;
    EXPECT_EQ(kmath::Lround(1.0e19), INT64_MIN);
    EXPECT_EQ(kmath::Lround(std::nan("")), INT64_MIN);
}

}  // namespace
