// Scalar and AVX2+F16C versions of the compression loops (see sign_scale.hpp for the rules
// both follow). The AVX2 functions carry target attributes instead of a global -mavx2, so
// the rest of the library stays runnable on any x86-64 and the choice is made per call.
#include "korvane/carrowel/compression/sign_scale.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "korvane/carrowel/compression/half.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANE_HAVE_AVX2_PATH 1
#include <cpuid.h>
#include <immintrin.h>
#define KORVANE_AVX2 __attribute__((target("avx2,f16c")))
#endif

namespace korvane::carrowel::compression {

namespace {

constexpr std::uint32_t kMagnitude = 0x7fffffffu;
constexpr std::uint32_t kInfinity = 0x7f800000u;
constexpr std::uint32_t kNegativeZero = 0x80000000u;

inline std::uint32_t bits_of(float v) { return std::bit_cast<std::uint32_t>(v); }
// x >= 0 from the pattern: +0..+inf, or -0.0. NaNs and negatives (denormals too) are not.
inline bool non_negative(std::uint32_t b) { return b <= kInfinity || b == kNegativeZero; }

inline std::uint64_t group_count(std::uint64_t n, std::uint64_t group_size) {
  return n == 0 ? 0 : (n - 1) / group_size + 1;
}

// memset that accepts the null data() of an empty vector.
inline void fill_bytes(std::uint8_t* p, int value, std::uint64_t len) {
  if (len) std::memset(p, value, len);
}

// Sets bits [lo, hi) of the stream.
void set_bits(std::uint8_t* signs, std::uint64_t lo, std::uint64_t hi) {
  for (; lo < hi && (lo & 7); ++lo) signs[lo >> 3] |= static_cast<std::uint8_t>(1u << (lo & 7));
  const std::uint64_t whole_end = hi & ~std::uint64_t{7};
  if (lo < whole_end) {
    fill_bytes(signs + (lo >> 3), 0xff, (whole_end - lo) >> 3);
    lo = whole_end;
  }
  for (; lo < hi; ++lo) signs[lo >> 3] |= static_cast<std::uint8_t>(1u << (lo & 7));
}

void compress_scalar(const float* x, std::uint64_t n, std::uint64_t group_size, std::uint16_t* scales,
                     std::uint8_t* signs) {
  const std::uint64_t groups = group_count(n, group_size);
  const std::uint64_t padded = groups * group_size;
  fill_bytes(signs, 0, (padded + 7) / 8);
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    unsigned byte = 0;
    for (unsigned k = 0; k < 8; ++k) byte |= static_cast<unsigned>(non_negative(bits_of(x[i + k]))) << k;
    signs[i >> 3] = static_cast<std::uint8_t>(byte);
  }
  for (; i < n; ++i) {
    if (non_negative(bits_of(x[i]))) signs[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
  }
  set_bits(signs, n, padded);
  for (std::uint64_t g = 0; g < groups; ++g) {
    const std::uint64_t lo = g * group_size, hi = std::min(lo + group_size, n);
    std::uint32_t m = 0;
    for (std::uint64_t j = lo; j < hi; ++j) m = std::max(m, bits_of(x[j]) & kMagnitude);
    scales[g] = float_to_half(std::bit_cast<float>(m));
  }
}

// +s or -s (the sign bit flipped, NaN included) by bit i; 0 * s past the sign bytes.
inline float signed_scale(const std::uint8_t* signs, std::uint64_t sign_count, std::uint64_t i, float s) {
  const std::uint64_t byte = i >> 3;
  if (byte >= sign_count) return 0.0f * s;
  return ((signs[byte] >> (i & 7)) & 1u) ? s : -s;
}

void expand_scalar(const std::uint16_t* scales, std::uint64_t scale_count, const std::uint8_t* signs,
                   std::uint64_t sign_count, std::uint64_t n, std::uint64_t group_size, float* out) {
  const std::uint64_t groups = group_count(n, group_size);
  for (std::uint64_t g = 0; g < groups; ++g) {
    const float s = half_to_float(scales[scale_count == 1 ? 0 : g]);
    const std::uint64_t lo = g * group_size, hi = std::min(lo + group_size, n);
    for (std::uint64_t i = lo; i < hi; ++i) out[i] = signed_scale(signs, sign_count, i, s);
  }
}

#ifdef KORVANE_HAVE_AVX2_PATH
KORVANE_AVX2 inline unsigned flags8(__m256i b) {
  const __m256i inf = _mm256_set1_epi32(static_cast<int>(kInfinity));
  const __m256i negzero = _mm256_set1_epi32(static_cast<int>(kNegativeZero));
  const __m256i at_most_inf = _mm256_cmpeq_epi32(_mm256_max_epu32(b, inf), inf);
  const __m256i is_negzero = _mm256_cmpeq_epi32(b, negzero);
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(at_most_inf, is_negzero))));
}

KORVANE_AVX2 inline std::uint32_t hmax(__m256i v) {
  __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm_max_epu32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(m));
}

KORVANE_AVX2 inline std::uint16_t to_half(std::uint32_t magnitude) {
  const __m128i h = _mm_cvtps_ph(_mm_castsi128_ps(_mm_cvtsi32_si128(static_cast<int>(magnitude))),
                                 _MM_FROUND_TO_NEAREST_INT);
  return static_cast<std::uint16_t>(_mm_extract_epi16(h, 0));
}

KORVANE_AVX2 inline __m256i load8(const float* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Whole groups that are byte-aligned (group_size % 8 == 0): signs and maxima in one pass.
// K = group_size / 8, fixed at compile time for the common sizes.
template <std::uint64_t K>
KORVANE_AVX2 void fused_groups(const float* x, std::uint64_t groups, std::uint64_t k_runtime, std::uint16_t* scales,
                               std::uint8_t* signs) {
  const std::uint64_t k_count = K ? K : k_runtime;
  const __m256i magnitude = _mm256_set1_epi32(static_cast<int>(kMagnitude));
  for (std::uint64_t g = 0; g < groups; ++g) {
    const float* p = x + g * k_count * 8;
    std::uint8_t* s = signs + g * k_count;
    __m256i m = _mm256_setzero_si256();
    for (std::uint64_t k = 0; k < k_count; ++k) {
      const __m256i b = load8(p + 8 * k);
      s[k] = static_cast<std::uint8_t>(flags8(b));
      m = _mm256_max_epu32(m, _mm256_and_si256(b, magnitude));
    }
    scales[g] = to_half(hmax(m));
  }
}

KORVANE_AVX2 void compress_avx2(const float* x, std::uint64_t n, std::uint64_t group_size, std::uint16_t* scales,
                                std::uint8_t* signs) {
  const std::uint64_t groups = group_count(n, group_size);
  const std::uint64_t padded = groups * group_size;
  const std::uint64_t fused = group_size % 8 == 0 ? n / group_size : 0;
  switch (group_size) {
    case 64: fused_groups<8>(x, fused, 8, scales, signs); break;
    case 32: fused_groups<4>(x, fused, 4, scales, signs); break;
    case 128: fused_groups<16>(x, fused, 16, scales, signs); break;
    default: fused_groups<0>(x, fused, group_size / 8, scales, signs); break;
  }
  // Whatever is left: the last, partial group, or every group when they are not byte-aligned.
  std::uint64_t i = fused * group_size;
  for (; i + 8 <= n; i += 8) signs[i >> 3] = static_cast<std::uint8_t>(flags8(load8(x + i)));
  fill_bytes(signs + (i >> 3), 0, (padded + 7) / 8 - (i >> 3));
  for (; i < n; ++i) {
    if (non_negative(bits_of(x[i]))) signs[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
  }
  set_bits(signs, n, padded);

  const __m256i magnitude = _mm256_set1_epi32(static_cast<int>(kMagnitude));
  for (std::uint64_t g = fused; g < groups; ++g) {
    const std::uint64_t lo = g * group_size, hi = std::min(lo + group_size, n);
    std::uint64_t j = lo;
    __m256i mv = _mm256_setzero_si256();
    for (; j + 8 <= hi; j += 8) mv = _mm256_max_epu32(mv, _mm256_and_si256(load8(x + j), magnitude));
    std::uint32_t m = hmax(mv);
    for (; j < hi; ++j) m = std::max(m, bits_of(x[j]) & kMagnitude);
    scales[g] = to_half(m);
  }
}

// For each sign byte, the 8 lanes to XOR into a broadcast scale: the sign bit where the
// element's bit is clear. One load replaces the broadcast/compare per 8 elements.
struct alignas(32) FlipTable {
  std::uint32_t lanes[256][8];
  constexpr FlipTable() : lanes{} {
    for (unsigned b = 0; b < 256; ++b)
      for (unsigned l = 0; l < 8; ++l) lanes[b][l] = ((b >> l) & 1u) ? 0u : kNegativeZero;
  }
};
constexpr FlipTable kFlip{};

KORVANE_AVX2 inline __m256 flip_signs(__m256 scale, std::uint8_t byte) {
  return _mm256_xor_ps(scale, _mm256_load_ps(reinterpret_cast<const float*>(kFlip.lanes[byte])));
}

KORVANE_AVX2 void expand_avx2(const std::uint16_t* scales, std::uint64_t scale_count, const std::uint8_t* signs,
                              std::uint64_t sign_count, std::uint64_t n, std::uint64_t group_size, float* out) {
  const std::uint64_t groups = group_count(n, group_size);
  // Whole byte-aligned groups with all their sign bytes present: the common case, unrolled.
  std::uint64_t g0 = 0;
  if (group_size % 8 == 0) {
    const std::uint64_t k_count = group_size / 8;
    const std::uint64_t covered = std::min(n / group_size, sign_count / k_count);
    for (; g0 < covered; ++g0) {
      const __m256 sv = _mm256_set1_ps(_cvtsh_ss(scales[scale_count == 1 ? 0 : g0]));
      const std::uint8_t* s = signs + g0 * k_count;
      float* o = out + g0 * group_size;
      for (std::uint64_t k = 0; k < k_count; ++k) _mm256_storeu_ps(o + 8 * k, flip_signs(sv, s[k]));
    }
  }
  for (std::uint64_t g = g0; g < groups; ++g) {
    const float s = _cvtsh_ss(scales[scale_count == 1 ? 0 : g]);
    const __m256 sv = _mm256_set1_ps(s);
    const std::uint64_t lo = g * group_size, hi = std::min(lo + group_size, n);
    std::uint64_t i = lo;
    for (; i < hi && (i & 7); ++i) out[i] = signed_scale(signs, sign_count, i, s);
    for (; i + 8 <= hi; i += 8) {
      __m256 v;
      if ((i >> 3) < sign_count) {
        v = flip_signs(sv, signs[i >> 3]);
      } else {
        v = _mm256_mul_ps(_mm256_setzero_ps(), sv);
      }
      _mm256_storeu_ps(out + i, v);
    }
    for (; i < hi; ++i) out[i] = signed_scale(signs, sign_count, i, s);
  }
}
#endif

}  // namespace

bool avx2_supported() noexcept {
#ifdef KORVANE_HAVE_AVX2_PATH
  // F16C from CPUID leaf 1 (ECX bit 29): not every compiler's __builtin_cpu_supports knows "f16c".
  static const bool supported = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx2") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C) != 0;
  }();
  return supported;
#else
  return false;
#endif
}

KernelPath best_path() noexcept { return avx2_supported() ? KernelPath::avx2 : KernelPath::scalar; }

void compress_groups(KernelPath path, const float* values, std::uint64_t n, std::uint64_t group_size,
                     std::uint16_t* scales, std::uint8_t* signs) noexcept {
#ifdef KORVANE_HAVE_AVX2_PATH
  if (path == KernelPath::avx2 && avx2_supported()) return compress_avx2(values, n, group_size, scales, signs);
#endif
  (void)path;
  compress_scalar(values, n, group_size, scales, signs);
}

void expand_groups(KernelPath path, const std::uint16_t* scales, std::uint64_t scale_count,
                   const std::uint8_t* signs, std::uint64_t sign_count, std::uint64_t n,
                   std::uint64_t group_size, float* out) noexcept {
#ifdef KORVANE_HAVE_AVX2_PATH
  if (path == KernelPath::avx2 && avx2_supported())
    return expand_avx2(scales, scale_count, signs, sign_count, n, group_size, out);
#endif
  (void)path;
  expand_scalar(scales, scale_count, signs, sign_count, n, group_size, out);
}

}  // namespace korvane::carrowel::compression
