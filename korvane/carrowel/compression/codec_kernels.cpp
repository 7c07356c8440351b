// Dispatch of the codec loops (codec_kernels.inc) to their plain or AVX2+F16C build.
#include "korvane/carrowel/compression/codec_kernels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "korvane/carrowel/compression/half.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANE_CODEC_AVX2 1
#include <immintrin.h>
#endif

static_assert(std::endian::native == std::endian::little, "the codec payloads are read and written in place");

namespace korvane::carrowel::compression {

namespace {
// The fixed +-1 factors applied before the rotation: bits of a xorshift generator with a
// fixed seed, so that no input pattern lines up with the Hadamard rows by construction.
const float* hadamard_signs() {
  static const std::array<float, kMaxCodecGroup> signs = [] {
    std::array<float, kMaxCodecGroup> s{};
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    for (auto& v : s) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      v = (state >> 63) ? -1.0f : 1.0f;
    }
    return s;
  }();
  return signs.data();
}

namespace plain {
#define KV_TARGET
#include "korvane/carrowel/compression/codec_kernels.inc"
#undef KV_TARGET
}  // namespace plain

#ifdef KORVANE_CODEC_AVX2
namespace avx2 {
#define KV_TARGET __attribute__((target("avx2,f16c")))
#define KV_AVX2 1
#include "korvane/carrowel/compression/codec_kernels.inc"
#undef KV_AVX2
#undef KV_TARGET
}  // namespace avx2
#endif
}  // namespace

bool valid_codec_group(Codec codec, std::uint64_t group_size) noexcept {
  if (!is_grouped(codec)) return true;
  if (group_size == 0 || group_size % 8 != 0 || group_size > kMaxCodecGroup) return false;
  return !needs_power_of_two_group(codec) || std::has_single_bit(group_size);
}

std::optional<EncodeFault> encode_values(Codec codec, const float* x, std::uint64_t n, std::uint64_t group_size,
                                         std::uint8_t* out, KernelPath path) noexcept {
#ifdef KORVANE_CODEC_AVX2
  if (path == KernelPath::avx2 && avx2_supported()) return avx2::encode(codec, x, n, group_size, out);
#endif
  (void)path;
  return plain::encode(codec, x, n, group_size, out);
}

void decode_values(Codec codec, const std::uint8_t* payload, std::uint64_t n, std::uint64_t group_size, float* out,
                   KernelPath path) noexcept {
#ifdef KORVANE_CODEC_AVX2
  if (path == KernelPath::avx2 && avx2_supported()) return avx2::decode(codec, payload, n, group_size, out);
#endif
  (void)path;
  plain::decode(codec, payload, n, group_size, out);
}

}  // namespace korvane::carrowel::compression
