// Compression and decompression loops: hand-worked cases, a direct reference of the rules,
// and the scalar and AVX2 paths held to identical bytes over many random inputs.
#include "korvane/carrowel/compression/compressed_tensor.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "korvane/carrowel/compression/half.hpp"
#include "korvane/carrowel/compression/sign_scale.hpp"
#include "korvane/common/errors.hpp"

using namespace korvane;
using namespace korvane::carrowel;
using namespace korvane::carrowel::compression;

namespace {
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

CompressedTensor compress(const std::vector<float>& v, long long group_size, KernelPath path = best_path()) {
  return compress_values(v.data(), v.size(), {static_cast<std::int64_t>(v.size())}, group_size, false, path);
}

std::vector<float> decompress(const CompressedTensor& c, KernelPath path = best_path()) {
  const std::uint64_t n = check_decompressible(c);
  std::vector<float> out(n);
  decompress_values(c, n, out.data(), path);
  return out;
}

std::vector<std::uint32_t> bit_patterns(const std::vector<float>& v) {
  std::vector<std::uint32_t> out;
  for (float f : v) out.push_back(bits(f));
  return out;
}

// A mix of ordinary values and every kind of special one.
std::vector<float> hostile_values(std::mt19937& rng, std::size_t n) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, from_bits(0x7fc00000u), from_bits(0xffc00001u),
                            from_bits(0x7f800001u), from_bits(0x7fbfffffu), 1e-40f, -1e-40f,
                            std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
                            65504.0f, 65519.0f, 65520.0f, -70000.0f, 3e38f, -3e38f, 6e-8f, 2.98e-8f, 1.0f, -1.0f};
  std::vector<float> v(n);
  for (auto& x : v) {
    const unsigned pick = rng() % 16;
    if (pick < 10) x = normal(rng);
    else if (pick < 14) x = specials[rng() % std::size(specials)];
    else x = from_bits(static_cast<std::uint32_t>(rng()));
  }
  return v;
}

// The rules written out one element at a time (for inputs without NaN).
void reference_compress(const std::vector<float>& v, std::uint64_t g, std::vector<std::uint16_t>& scales,
                        std::vector<std::uint8_t>& signs) {
  const std::uint64_t groups = (v.size() + g - 1) / g, padded = groups * g;
  scales.assign(groups, 0);
  signs.assign((padded + 7) / 8, 0);
  for (std::uint64_t i = 0; i < padded; ++i) {
    const float x = i < v.size() ? v[i] : 0.0f;
    if (!std::isnan(x) && (x >= 0.0f || (x == 0.0f))) signs[i / 8] |= 1u << (i % 8);
  }
  for (std::uint64_t k = 0; k < groups; ++k) {
    float m = 0.0f;
    for (std::uint64_t i = k * g; i < std::min<std::uint64_t>((k + 1) * g, v.size()); ++i) m = std::max(m, std::fabs(v[i]));
    scales[k] = float_to_half(m);
  }
}
}  // namespace

TEST(Compress, HandWorkedCases) {
  // -3, 1, 0, 2 in one group of 4: scale 3.0, bits 1..3 set.
  auto c = compress({-3.0f, 1.0f, 0.0f, 2.0f}, 4);
  EXPECT_EQ(c.scales, std::vector<std::uint16_t>{0x4200});
  EXPECT_EQ(c.signs, std::vector<std::uint8_t>{0x0e});
  EXPECT_EQ(decompress(c), (std::vector<float>{-3.0f, 3.0f, 3.0f, 3.0f}));

  // 100 elements in groups of 64: 2 scales, 16 sign bytes, filler bits 100..127 set.
  std::vector<float> v(100, -1.0f);
  v[70] = -9.0f;
  v[10] = 5.0f;
  c = compress(v, 64);
  ASSERT_EQ(c.scales.size(), 2u);
  ASSERT_EQ(c.signs.size(), 16u);
  EXPECT_EQ(c.scales[0], float_to_half(5.0f));
  EXPECT_EQ(c.scales[1], float_to_half(9.0f));
  EXPECT_EQ(c.signs[1], 0x04);  // element 10
  EXPECT_EQ(c.signs[12], 0xf0);  // elements 96..99 negative, 100..103 filler
  EXPECT_EQ(c.signs[13], 0xff);
  EXPECT_EQ(c.signs[15], 0xff);

  // Exactly 64 elements: no filler.
  c = compress(std::vector<float>(64, -2.0f), 64);
  EXPECT_EQ(c.scales.size(), 1u);
  EXPECT_EQ(c.signs, std::vector<std::uint8_t>(8, 0x00));

  // group_size 12: elements 8 (group 0) and 12 (group 1) share byte 1, at bits 0 and 4.
  std::vector<float> w(24, -1.0f);
  w[8] = 1.0f;
  w[12] = 1.0f;
  c = compress(w, 12);
  EXPECT_EQ(c.signs, (std::vector<std::uint8_t>{0x00, 0x11, 0x00}));

  // One element: 63 filler bits, the high bits of the last byte are filler too.
  c = compress({-0.5f}, 64);
  EXPECT_EQ(c.signs, (std::vector<std::uint8_t>{0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  // 5 elements in groups of 3: padded 6, the two bits past it stay 0.
  c = compress({-1.0f, -1.0f, -1.0f, -1.0f, -1.0f}, 3);
  EXPECT_EQ(c.signs, std::vector<std::uint8_t>{0x20});
}

TEST(Compress, SignAndScaleSpecialValues) {
  for (KernelPath path : {KernelPath::scalar, KernelPath::avx2}) {
    // -0.0 counts as non-negative, NaN does not, negative denormals are negative.
    std::vector<float> v = {-0.0f, from_bits(0x7fc00000u), -1e-40f, 1e-40f, -INFINITY, INFINITY, 0.0f, -0.0f};
    auto c = compress(v, 8, path);
    EXPECT_EQ(c.signs, std::vector<std::uint8_t>{0b11101001});
    // A NaN anywhere in a group makes its scale NaN; infinity and overflow give infinity.
    EXPECT_EQ(c.scales[0] & 0x7e00, 0x7e00);
    EXPECT_EQ(compress({1.0f, -70000.0f}, 2, path).scales[0], 0x7c00);
    EXPECT_EQ(compress({0.0f, -0.0f, 0.0f}, 2, path).scales, (std::vector<std::uint16_t>{0, 0}));
    // A group of zeros decompresses to +0.0 (sign bit set, scale 0).
    EXPECT_EQ(bit_patterns(decompress(compress({0.0f, -0.0f}, 2, path), path)), (std::vector<std::uint32_t>{0, 0}));
    EXPECT_EQ(decompress(compress({-70000.0f, 1.0f}, 2, path), path), (std::vector<float>{-INFINITY, INFINITY}));
  }
}

TEST(Compress, ScalarAndAvx2GiveIdenticalBytes) {
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2+F16C on this CPU";
  std::mt19937 rng(7);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 140; ++n) sizes.push_back(n);
  for (std::size_t n : {255u, 256u, 257u, 1000u, 4097u, 65539u}) sizes.push_back(n);
  for (long long g : {1, 2, 3, 7, 8, 12, 16, 24, 32, 40, 64, 100, 128, 1000}) {
    for (std::size_t n : sizes) {
      const auto v = hostile_values(rng, n);
      const auto a = compress(v, g, KernelPath::scalar), b = compress(v, g, KernelPath::avx2);
      ASSERT_EQ(a.scales, b.scales) << "n=" << n << " g=" << g;
      ASSERT_EQ(a.signs, b.signs) << "n=" << n << " g=" << g;
      // Against the rules themselves where no NaN makes the maximum ambiguous.
      bool nan = false;
      for (float x : v) nan = nan || std::isnan(x);
      std::vector<std::uint16_t> rs;
      std::vector<std::uint8_t> rb;
      reference_compress(v, static_cast<std::uint64_t>(g), rs, rb);
      ASSERT_EQ(a.signs, rb) << "n=" << n << " g=" << g;
      if (!nan) {
        ASSERT_EQ(a.scales, rs) << "n=" << n << " g=" << g;
      }
    }
  }
}

TEST(Decompress, ScalarAndAvx2GiveIdenticalBytes) {
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2+F16C on this CPU";
  std::mt19937 rng(11);
  for (long long g : {1, 3, 8, 12, 64, 100}) {
    for (std::size_t n : {0u, 1u, 5u, 8u, 63u, 64u, 65u, 100u, 129u, 1000u, 4099u}) {
      CompressedTensor c;
      c.shape = {static_cast<std::int64_t>(n)};
      c.group_size = g;
      const std::size_t groups = (n + g - 1) / g;
      // Full, single-scale and short-signed records, scales of every kind of bit pattern.
      for (int variant = 0; variant < 4; ++variant) {
        c.scales.resize(variant == 1 ? 1 : groups);
        for (auto& s : c.scales) s = static_cast<std::uint16_t>(rng());
        if (variant == 2 && !c.scales.empty()) c.scales[0] = 0x7c00;
        std::size_t sign_bytes = (groups * g + 7) / 8;
        if (variant == 3) sign_bytes = sign_bytes / 3;
        c.signs.resize(sign_bytes);
        for (auto& b : c.signs) b = static_cast<std::uint8_t>(rng());
        if (n > 0 && c.scales.empty()) continue;
        const auto a = decompress(c, KernelPath::scalar), b = decompress(c, KernelPath::avx2);
        for (std::size_t i = 0; i < n; ++i)
          ASSERT_EQ(bits(a[i]), bits(b[i])) << "i=" << i << " n=" << n << " g=" << g << " variant=" << variant;
        for (std::size_t i = 0; i < n; ++i) {
          const float s = half_to_float(c.scales[c.scales.size() == 1 ? 0 : i / g]);
          const float want = i / 8 < c.signs.size() ? ((c.signs[i / 8] >> (i % 8)) & 1 ? s : -s) : 0.0f * s;
          ASSERT_TRUE(bits(a[i]) == bits(want) || (std::isnan(a[i]) && std::isnan(want))) << i;
        }
      }
    }
  }
}

TEST(Decompress, RoundTripGivesSignTimesGroupScale) {
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 10.0f);
  std::vector<float> v(1000);
  for (auto& x : v) x = normal(rng);
  for (long long g : {1, 12, 64}) {
    const auto out = decompress(compress(v, g));
    for (std::size_t i = 0; i < v.size(); ++i) {
      float m = 0;
      for (std::size_t j = i / g * g; j < std::min<std::size_t>(v.size(), (i / g + 1) * g); ++j) m = std::max(m, std::fabs(v[j]));
      const float s = half_to_float(float_to_half(m));
      ASSERT_EQ(out[i], v[i] >= 0 ? s : -s) << i;
    }
  }
}

TEST(Decompress, ScaleCountBroadcasting) {
  CompressedTensor c;
  c.shape = {2, 4};
  c.group_size = 4;
  c.signs = {0xff};
  c.scales = {0x3c00};  // one scale serves every group
  EXPECT_EQ(decompress(c), std::vector<float>(8, 1.0f));
  c.scales = {0x3c00, 0x4000, 0x4200};  // three scales for two groups
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.scales = {};
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.shape = {3};  // a single group uses only the first scale
  c.scales = {0x4000, 0x4200, 0x4400};
  EXPECT_EQ(decompress(c), std::vector<float>(3, 2.0f));
  c.scales = {};
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.shape = {0};  // no groups: no scale, or one, is fine; more cannot broadcast
  EXPECT_TRUE(decompress(c).empty());
  c.scales = {0x3c00};
  EXPECT_TRUE(decompress(c).empty());
  c.scales = {0x3c00, 0x3c00};
  EXPECT_THROW(check_decompressible(c), ValueError);
}

TEST(Decompress, MissingSignBytesGiveZeroTimesScale) {
  CompressedTensor c;
  c.shape = {16};
  c.group_size = 4;
  c.scales = {0x4000, 0xc000, 0x7c00, 0xc000};  // 2, -2, inf, -2
  c.signs = {0x0f};
  const auto out = decompress(c);
  EXPECT_EQ(out[0], 2.0f);
  EXPECT_EQ(out[4], 2.0f);                // -1 * -2
  EXPECT_TRUE(std::isnan(out[8]));        // 0 * inf
  EXPECT_EQ(bits(out[12]), bits(-0.0f));  // 0 * -2
}

TEST(Decompress, RejectsRecordsItCannotServe) {
  CompressedTensor c;
  c.shape = {4};
  c.scales = {0x3c00};
  c.signs = {0xff};
  c.group_size = 0;
  EXPECT_THROW(check_decompressible(c), ZeroDivisionError);
  c.group_size = -4;
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.group_size = 4;
  c.shape = {-1, -4};  // positive product, still not a shape
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.shape = {std::int64_t{1} << 32, std::int64_t{1} << 32};
  EXPECT_THROW(check_decompressible(c), OverflowError);
  // A few header bytes claiming a petabyte of zeros (one scale broadcasts to every group).
  c.shape = {std::int64_t{1} << 50};
  EXPECT_THROW(check_decompressible(c), ValueError);
  c.shape = {static_cast<std::int64_t>(kMaxUncoveredElements + 8)};  // within the allowance
  EXPECT_EQ(check_decompressible(c), kMaxUncoveredElements + 8);
}

TEST(Compress, GroupSizeMustBePositiveAndFitTheFormat) {
  const std::vector<float> v(10, 1.0f);
  EXPECT_THROW(compress(v, 0), ZeroDivisionError);
  EXPECT_THROW(compress(v, -3), ValueError);
  EXPECT_THROW(compress(v, 1ll << 32), ValueError);
  EXPECT_THROW(compress_values(v.data(), v.size(), {3, 4}, 4, false), ValueError);  // shape and count disagree
  const auto c = compress_values(v.data(), 0, {0, 5}, 64, true);
  EXPECT_TRUE(c.scales.empty());
  EXPECT_TRUE(c.signs.empty());
  EXPECT_TRUE(c.is_backward);
}
