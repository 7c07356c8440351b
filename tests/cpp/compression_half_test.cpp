// binary16 conversions against an exact reference built from the 65536 half values, over
// every rounding boundary, and against the F16C instructions where the CPU has them.
#include "korvane/carrowel/compression/half.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "korvane/carrowel/compression/sign_scale.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using namespace korvane::carrowel::compression;

namespace {
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// The value of a finite half, exactly, computed from the definition.
double half_value(std::uint16_t h) {
  const int e = (h >> 10) & 0x1f, m = h & 0x3ff;
  const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return (h & 0x8000) ? -mag : mag;
}

// Positive finite halves in increasing order (bit order is value order for them).
const std::vector<double>& positive_halves() {
  static const std::vector<double> v = [] {
    std::vector<double> out;
    for (std::uint32_t h = 0; h < 0x7c00; ++h) out.push_back(half_value(static_cast<std::uint16_t>(h)));
    return out;
  }();
  return v;
}

// Nearest half by search over the table: ties to the even pattern, from 65520 up infinity.
std::uint16_t reference_to_half(double x) {
  const std::uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  const double a = std::fabs(x);
  if (a >= 65520.0) return sign | 0x7c00;
  const auto& t = positive_halves();
  auto hi = static_cast<std::uint16_t>(std::lower_bound(t.begin(), t.end(), a) - t.begin());
  if (hi == t.size()) return sign | 0x7bff;  // between 65504 and 65520
  if (hi == 0 || t[hi] == a) return sign | hi;
  const std::uint16_t lo = hi - 1;
  const double dlo = a - t[lo], dhi = t[hi] - a;
  if (dlo < dhi) return sign | lo;
  if (dhi < dlo) return sign | hi;
  return sign | ((lo & 1) ? hi : lo);
}

#if defined(__x86_64__)
__attribute__((target("f16c"))) std::uint16_t hw_to_half(float f) {
  return static_cast<std::uint16_t>(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}
__attribute__((target("f16c"))) float hw_to_float(std::uint16_t h) { return _cvtsh_ss(h); }
#endif
}  // namespace

TEST(HalfToFloat, AllPatternsMatchTheDefinition) {
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const auto hb = static_cast<std::uint16_t>(h);
    const float f = half_to_float(hb);
    const int e = (h >> 10) & 0x1f, m = h & 0x3ff;
    if (e == 0x1f && m != 0) {
      ASSERT_TRUE(std::isnan(f)) << std::hex << h;
      EXPECT_EQ(bits(f), (h & 0x8000u) << 16 | 0x7fc00000u | static_cast<std::uint32_t>(m) << 13) << std::hex << h;
    } else if (e == 0x1f) {
      EXPECT_EQ(f, (h & 0x8000) ? -INFINITY : INFINITY);
    } else {
      // Exact value, sign of zero included.
      EXPECT_EQ(bits(f), bits(static_cast<float>(half_value(hb)))) << std::hex << h;
    }
  }
}

TEST(HalfToFloat, AllPatternsMatchF16C) {
#if defined(__x86_64__)
  if (!avx2_supported()) GTEST_SKIP() << "no F16C";
  for (std::uint32_t h = 0; h < 0x10000; ++h)
    ASSERT_EQ(bits(half_to_float(static_cast<std::uint16_t>(h))), bits(hw_to_float(static_cast<std::uint16_t>(h))))
        << std::hex << h;
#else
  GTEST_SKIP() << "not x86-64";
#endif
}

TEST(FloatToHalf, EveryHalfRoundTrips) {
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    if ((h & 0x7c00) == 0x7c00 && (h & 0x3ff)) continue;  // NaN: checked on its own
    const auto hb = static_cast<std::uint16_t>(h);
    ASSERT_EQ(float_to_half(half_to_float(hb)), hb) << std::hex << h;
    ASSERT_EQ(double_to_half(half_value(hb)), hb) << std::hex << h;
  }
}

// Every boundary between two neighbouring halves: the midpoint goes to the even one, the
// floats just below and just above it to the nearer one. This covers subnormals, the
// boundary with zero, and the last step below the overflow to infinity.
TEST(FloatToHalf, EveryRoundingBoundary) {
  const auto& t = positive_halves();
  std::vector<double> steps(t.begin(), t.end());
  steps.push_back(65536.0);  // the step above 65504 rounds to infinity (pattern 0x7c00)
  for (std::size_t lo = 0; lo + 1 < steps.size(); ++lo) {
    const auto l = static_cast<std::uint16_t>(lo), h = static_cast<std::uint16_t>(lo + 1);
    const float mid = static_cast<float>((steps[lo] + steps[lo + 1]) / 2);  // exact in float
    const std::uint16_t even = (l & 1) ? h : l;
    for (float sign : {1.0f, -1.0f}) {
      const std::uint16_t s = sign < 0 ? 0x8000 : 0;
      ASSERT_EQ(float_to_half(sign * mid), s | even) << steps[lo];
      ASSERT_EQ(float_to_half(sign * std::nextafter(mid, 0.0f)), s | l) << steps[lo];
      ASSERT_EQ(float_to_half(sign * std::nextafter(mid, INFINITY)), s | h) << steps[lo];
      ASSERT_EQ(double_to_half(sign * static_cast<double>(mid)), s | even);
      ASSERT_EQ(double_to_half(sign * std::nextafter(static_cast<double>(mid), 0.0)), s | l);
      ASSERT_EQ(double_to_half(sign * std::nextafter(static_cast<double>(mid), INFINITY)), s | h);
    }
  }
}

TEST(FloatToHalf, SpecialValues) {
  EXPECT_EQ(float_to_half(0.0f), 0x0000);
  EXPECT_EQ(float_to_half(-0.0f), 0x8000);
  EXPECT_EQ(float_to_half(INFINITY), 0x7c00);
  EXPECT_EQ(float_to_half(-INFINITY), 0xfc00);
  EXPECT_EQ(float_to_half(65504.0f), 0x7bff);
  EXPECT_EQ(float_to_half(65519.99f), 0x7bff);
  EXPECT_EQ(float_to_half(65520.0f), 0x7c00);
  EXPECT_EQ(float_to_half(1e30f), 0x7c00);
  EXPECT_EQ(float_to_half(std::numeric_limits<float>::max()), 0x7c00);
  EXPECT_EQ(float_to_half(-3.0f), 0xc200);
  EXPECT_EQ(float_to_half(std::numeric_limits<float>::denorm_min()), 0x0000);
  EXPECT_EQ(float_to_half(-std::numeric_limits<float>::denorm_min()), 0x8000);
  EXPECT_EQ(float_to_half(std::ldexp(1.0f, -24)), 0x0001);  // smallest subnormal half
  EXPECT_EQ(double_to_half(1e300), 0x7c00);
  EXPECT_EQ(double_to_half(-5e-324), 0x8000);
  // NaN stays NaN, sign kept, quiet bit set, top payload bits kept.
  EXPECT_EQ(float_to_half(from_bits(0x7fc00000u)), 0x7e00);
  EXPECT_EQ(float_to_half(from_bits(0xffc00000u)), 0xfe00);
  EXPECT_EQ(float_to_half(from_bits(0x7f800001u)), 0x7e00);  // signalling, payload below the kept bits
  EXPECT_EQ(float_to_half(from_bits(0x7fa00000u)), 0x7f00);
  EXPECT_EQ(double_to_half(std::numeric_limits<double>::quiet_NaN()), 0x7e00);
}

// A double just above a half midpoint rounds up, even where rounding it to float first
// would land on the midpoint itself and then go to even.
TEST(FloatToHalf, DoubleRoundsOnce) {
  const double mid = (1.0 + (1.0 + std::ldexp(1.0, -10))) / 2;  // between 0x3c00 and 0x3c01
  const double above = mid + std::ldexp(1.0, -40);
  ASSERT_EQ(static_cast<float>(above), static_cast<float>(mid));
  EXPECT_EQ(float_to_half(static_cast<float>(above)), 0x3c00);
  EXPECT_EQ(double_to_half(above), 0x3c01);
}

TEST(FloatToHalf, SampledPatternsMatchReferenceAndF16C) {
  std::mt19937 rng(12345);
  auto r = [&] { return static_cast<std::uint32_t>(rng()); };
  std::vector<std::uint32_t> patterns;
  // Every exponent with the mantissa's low 13 bits near the rounding point and at random.
  for (std::uint32_t e = 0; e < 256; ++e) {
    for (std::uint32_t top : {0u, 1u, 0x3feu, 0x3ffu, r() & 0x3ffu, r() & 0x3ffu}) {
      for (std::uint32_t low : {0u, 1u, 0xfffu, 0x1000u, 0x1001u, 0x1fffu, r() & 0x1fffu, r() & 0x1fffu}) {
        const std::uint32_t p = e << 23 | top << 13 | low;
        patterns.push_back(p);
        patterns.push_back(p | 0x80000000u);
      }
    }
  }
  for (int i = 0; i < 200000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
  // Dense where binary16 lives (|x| in [2^-26, 2^17)), where a shift bug would show.
  std::uniform_int_distribution<std::uint32_t> near(0x32800000u, 0x48000000u);
  for (int i = 0; i < 200000; ++i) patterns.push_back(near(rng) | (r() & 0x80000000u));

  const bool hw = avx2_supported();
  for (std::uint32_t p : patterns) {
    const float f = from_bits(p);
    const std::uint16_t got = float_to_half(f);
#if defined(__x86_64__)
    if (hw) {
      ASSERT_EQ(got, hw_to_half(f)) << std::hex << p;
    }
#endif
    if (std::isnan(f)) {
      ASSERT_EQ(got & 0x7e00, 0x7e00) << std::hex << p;
      ASSERT_EQ(got & 0x8000, (p >> 16) & 0x8000);
    } else {
      ASSERT_EQ(got, reference_to_half(f)) << std::hex << p;
    }
  }
  (void)hw;
}
