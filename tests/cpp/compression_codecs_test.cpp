// The codec loops: hand-worked layouts, the half-step bound against the decoded scale, the
// values no codec may silently lose, and the plain and AVX2 builds held to identical bytes.
#include "korvane/carrowel/compression/codec_kernels.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "korvane/carrowel/compression/half.hpp"

using namespace korvane::carrowel;
using namespace korvane::carrowel::compression;

namespace {
constexpr Codec kCoded[] = {Codec::int8, Codec::int4, Codec::int2, Codec::int2_hadamard, Codec::int2_hadamard_rms,
                            Codec::bf16, Codec::fp16, Codec::fp32};

struct Coded {
  std::vector<std::uint8_t> bytes;
  std::optional<EncodeFault> fault;
};

Coded encode(Codec codec, const std::vector<float>& x, KernelPath path = best_path()) {
  const std::uint64_t g = default_group_size(codec);
  Coded c;
  c.bytes.assign(*coded_payload_size(codec, x.size(), g), 0xee);
  c.fault = encode_values(codec, x.data(), x.size(), g, c.bytes.data(), path);
  return c;
}

std::vector<float> decode(Codec codec, const std::vector<std::uint8_t>& bytes, std::size_t n,
                          KernelPath path = best_path()) {
  std::vector<float> out(n);
  decode_values(codec, bytes.data(), n, default_group_size(codec), out.data(), path);
  return out;
}

float scale_of(const std::vector<std::uint8_t>& bytes, std::size_t group) {
  return half_to_float(static_cast<std::uint16_t>(bytes[2 * group] | bytes[2 * group + 1] << 8));
}

// The decoded step of a group: the distance between neighbouring levels.
float step_of(Codec codec, float scale) {
  switch (codec) {
    case Codec::int8: return scale / 127.0f;
    case Codec::int4: return scale / 7.0f;
    default: return scale / 1.5f;
  }
}

std::vector<float> normal_values(std::mt19937& rng, std::size_t n, float spread) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> exponent(-spread, spread);
  std::vector<float> v(n);
  for (auto& x : v) x = normal(rng) * std::exp2(exponent(rng));
  return v;
}
}  // namespace

TEST(Codecs, NamesAndNumbers) {
  for (Codec c : kAllCodecs) {
    EXPECT_EQ(parse_codec(codec_name(c)), c);
    EXPECT_EQ(codec_from_wire(static_cast<std::uint8_t>(c)), c);
  }
  EXPECT_EQ(parse_codec("INT8"), std::nullopt);
  EXPECT_EQ(parse_codec(""), std::nullopt);
  EXPECT_EQ(codec_from_wire(9), std::nullopt);
  // Bits per element with the scales: int2 at a 128 group stays under 1/15 of float32.
  EXPECT_LE(8.0 * *coded_payload_size(Codec::int2, 128 * 1000, 128) / (128 * 1000), 32.0 / 15);
  EXPECT_EQ(*coded_payload_size(Codec::int4, 65, 64), 4u + 33u);
  EXPECT_EQ(*coded_payload_size(Codec::int2_hadamard, 129, 128), 4u + 64u);  // whole groups
  EXPECT_EQ(coded_payload_size(Codec::int8, std::uint64_t{1} << 62, 64), std::nullopt);
}

TEST(Codecs, HandWorkedLayouts) {
  std::vector<float> x(64, 0.0f);
  x[0] = -7.0f, x[1] = 7.0f, x[2] = 3.0f, x[3] = -1.0f;
  Coded c = encode(Codec::int4, x);
  ASSERT_FALSE(c.fault);
  EXPECT_EQ(scale_of(c.bytes, 0), 7.0f);
  EXPECT_EQ(c.bytes[2], 0x79);  // -7 low nibble (0x9), 7 high
  EXPECT_EQ(c.bytes[3], 0xf3);  // 3, then -1
  EXPECT_EQ(decode(Codec::int4, c.bytes, 4), (std::vector<float>{-7.0f, 7.0f, 3.0f, -1.0f}));

  c = encode(Codec::int8, {-127.0f, 1.0f, 0.5f, 64.0f});
  EXPECT_EQ(scale_of(c.bytes, 0), 127.0f);
  EXPECT_EQ(std::vector<std::uint8_t>(c.bytes.begin() + 2, c.bytes.end()),
            (std::vector<std::uint8_t>{0x81, 0x01, 0x00, 0x40}));  // 0.5 rounds to even

  // Levels -1.5, -0.5, 0.5, 1.5 (times scale / 1.5) are codes 0..3, element 4i + k at bits 2k.
  c = encode(Codec::int2, {-1.5f, -0.5f, 0.5f, 1.5f, 1.5f});
  EXPECT_EQ(c.bytes[2], 0xe4);
  EXPECT_EQ(c.bytes[3], 0x03);  // bits past the last element are 0
  EXPECT_EQ(decode(Codec::int2, c.bytes, 5), (std::vector<float>{-1.5f, -0.5f, 0.5f, 1.5f, 1.5f}));

  // A group of zeros has scale 0 and comes back as zeros (int2: as 0 * level).
  for (Codec codec : {Codec::int8, Codec::int4, Codec::int2, Codec::int2_hadamard, Codec::int2_hadamard_rms}) {
    c = encode(codec, std::vector<float>(70, 0.0f));
    ASSERT_FALSE(c.fault);
    for (float v : decode(codec, c.bytes, 70)) EXPECT_EQ(v, 0.0f) << codec_name(codec);
  }
}

TEST(Codecs, EveryElementWithinHalfAStepOfTheDecodedScale) {
  std::mt19937 rng(3);
  for (Codec codec : {Codec::int8, Codec::int4, Codec::int2}) {
    const std::uint64_t g = default_group_size(codec);
    for (std::size_t n : {1u, 7u, 64u, 127u, 128u, 1000u, 4099u}) {
      const std::vector<float> x = normal_values(rng, n, 20.0f);  // magnitudes 2^-20 to 2^20, clipped below
      std::vector<float> in(x);
      for (auto& v : in) v = std::fmax(std::fmin(v, 60000.0f), -60000.0f);
      Coded c = encode(codec, in);
      ASSERT_FALSE(c.fault) << codec_name(codec);
      const std::vector<float> y = decode(codec, c.bytes, n);
      for (std::size_t i = 0; i < n; ++i) {
        const float step = step_of(codec, scale_of(c.bytes, i / g));
        EXPECT_LE(std::fabs(in[i] - y[i]), step / 2 * (1 + 1e-6f) + 1e-30f)
            << codec_name(codec) << " n=" << n << " element " << i << ": " << in[i] << " -> " << y[i];
      }
    }
  }
}

TEST(Codecs, TheRotationKeepsTheErrorOfItsGroup) {
  // After the orthonormal rotation each group's error is that of int2 in the rotated
  // coordinates: at most half a step per coordinate, so sqrt(g) / 2 steps in length.
  std::mt19937 rng(5);
  std::vector<float> x = normal_values(rng, 128 * 6 + 50, 2.0f);
  x[3] = 300.0f;  // an outlier: spread over its group instead of flattening it
  Coded c = encode(Codec::int2_hadamard, x);
  ASSERT_FALSE(c.fault);
  const std::vector<float> y = decode(Codec::int2_hadamard, c.bytes, x.size());
  for (std::size_t grp = 0; grp * 128 < x.size(); ++grp) {
    double err = 0;
    for (std::size_t i = grp * 128; i < std::min(x.size(), grp * 128 + 128); ++i) err += std::pow(x[i] - y[i], 2);
    const float step = scale_of(c.bytes, grp) / 1.5f;
    EXPECT_LE(std::sqrt(err), std::sqrt(128.0) * step / 2 * 1.001) << "group " << grp;
  }
  // Against plain int2, the outlier's group keeps far more of its small elements.
  Coded plain = encode(Codec::int2, x);
  const std::vector<float> z = decode(Codec::int2, plain.bytes, x.size());
  double rotated = 0, flat = 0;
  for (std::size_t i = 0; i < 128; ++i) {
    if (i == 3) continue;
    rotated += std::pow(x[i] - y[i], 2);
    flat += std::pow(x[i] - z[i], 2);
  }
  EXPECT_LT(rotated, flat);
}

TEST(Codecs, TheRmsScaleTradesTheTailsForASmallerMeanError) {
  std::mt19937 rng(9);
  std::vector<float> x = normal_values(rng, 128 * 40, 0.0f);
  auto squared_error = [&](Codec codec) {
    const Coded c = encode(codec, x);
    EXPECT_FALSE(c.fault);
    const std::vector<float> y = decode(codec, c.bytes, x.size());
    double e = 0;
    for (std::size_t i = 0; i < x.size(); ++i) e += std::pow(x[i] - y[i], 2);
    return e / x.size();
  };
  const double rms = squared_error(Codec::int2_hadamard_rms), absmax = squared_error(Codec::int2_hadamard);
  EXPECT_LT(rms, 0.8 * absmax);
  EXPECT_LT(rms, 0.15);  // near the 0.1175 of the least-squares 4 levels of a unit normal
  // Its scale is never above the largest magnitude: a group the rotation makes flat (one
  // element alone) is coded as by int2-hadamard.
  x.assign(128, 0.0f);
  x[5] = 3.0f;
  EXPECT_EQ(encode(Codec::int2_hadamard_rms, x).bytes, encode(Codec::int2_hadamard, x).bytes);
}

TEST(Codecs, FloatCodecsRoundToNearestAndKeepWhatTheyCan) {
  const std::vector<float> x = {1.0f, -2.5f, 0.1f, 65504.0f, 1e-8f, -0.0f, INFINITY, -INFINITY, std::nanf("")};
  EXPECT_EQ(decode(Codec::fp32, encode(Codec::fp32, x).bytes, x.size())[1], -2.5f);
  const std::vector<float> h = decode(Codec::fp16, encode(Codec::fp16, x).bytes, x.size());
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(h[i], half_to_float(float_to_half(x[i]))) << i;
  EXPECT_TRUE(std::isnan(h[8]));
  const std::vector<float> b = decode(Codec::bf16, encode(Codec::bf16, x).bytes, x.size());
  EXPECT_EQ(b[2], std::bit_cast<float>(0x3dcd0000u));  // 0.1 rounds up to nearest
  EXPECT_EQ(b[6], INFINITY);
  EXPECT_TRUE(std::isnan(b[8]));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(b[5]), 0x80000000u);
  // Rounding carries into the exponent: the largest float below 2 becomes 2.
  EXPECT_EQ(decode(Codec::bf16, encode(Codec::bf16, {std::nextafter(2.0f, 0.0f)}).bytes, 1)[0], 2.0f);
}

TEST(Codecs, ValuesACodecCannotCarryAreFaultsNamingTheElementOrGroup) {
  for (KernelPath path : {KernelPath::scalar, KernelPath::avx2}) {
    for (Codec codec : {Codec::int8, Codec::int4, Codec::int2, Codec::int2_hadamard, Codec::int2_hadamard_rms}) {
      std::vector<float> x(300, 1.0f);
      x[200] = std::nanf("");
      auto f = encode(codec, x, path).fault;
      ASSERT_TRUE(f) << codec_name(codec);
      EXPECT_EQ(f->kind, EncodeFault::Kind::non_finite);
      EXPECT_EQ(f->index, 200u);
      x[200] = -INFINITY;
      EXPECT_EQ(encode(codec, x, path).fault->index, 200u);
      x[200] = 65504.0f;  // binary16's largest: still a scale
      EXPECT_FALSE(encode(codec, x, path).fault) << codec_name(codec);
      // The rotation spreads a group's largest element over it: only a larger one is out of range.
      x[200] = needs_power_of_two_group(codec) ? -1e6f : -65505.0f;
      f = encode(codec, x, path).fault;
      ASSERT_TRUE(f);
      EXPECT_EQ(f->kind, EncodeFault::Kind::group_out_of_range);
      EXPECT_EQ(f->index, 200 / default_group_size(codec));
    }
    std::vector<float> x(20, 1.0f);
    x[13] = 65520.0f;  // rounds to infinity in binary16
    auto f = encode(Codec::fp16, x, path).fault;
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, EncodeFault::Kind::element_out_of_range);
    EXPECT_EQ(f->index, 13u);
    x[13] = 65519.0f;  // rounds to 65504
    EXPECT_FALSE(encode(Codec::fp16, x, path).fault);
    x[13] = 1e30f;
    EXPECT_FALSE(encode(Codec::bf16, x, path).fault);
  }
}

TEST(Codecs, PlainAndAvx2GiveIdenticalBytesAndValues) {
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2+F16C on this CPU";
  std::mt19937 rng(11);
  for (Codec codec : kCoded) {
    for (std::size_t n : {0u, 1u, 31u, 33u, 63u, 64u, 65u, 100u, 127u, 129u, 255u, 1000u, 5000u}) {
      std::vector<float> x = normal_values(rng, n, 6.0f);
      const Coded a = encode(codec, x, KernelPath::scalar), b = encode(codec, x, KernelPath::avx2);
      ASSERT_EQ(a.fault.has_value(), b.fault.has_value());
      EXPECT_EQ(a.bytes, b.bytes) << codec_name(codec) << " n=" << n;
      const std::vector<float> da = decode(codec, a.bytes, n, KernelPath::scalar);
      const std::vector<float> db = decode(codec, a.bytes, n, KernelPath::avx2);
      EXPECT_TRUE(n == 0 || std::memcmp(da.data(), db.data(), 4 * n) == 0) << codec_name(codec) << " n=" << n;
    }
    // Any payload decodes the same on both paths, garbage included.
    std::vector<std::uint8_t> junk(*coded_payload_size(codec, 777, default_group_size(codec)));
    for (auto& v : junk) v = static_cast<std::uint8_t>(rng());
    const auto da = decode(codec, junk, 777, KernelPath::scalar), db = decode(codec, junk, 777, KernelPath::avx2);
    EXPECT_EQ(0, std::memcmp(da.data(), db.data(), 4 * 777)) << codec_name(codec);
  }
}
