// binary16 <-> binary32/64 without floating-point instructions (see half.hpp).
#include "korvane/carrowel/compression/half.hpp"

#include <bit>

namespace korvane::carrowel::compression {

namespace {
// Rounds `value >> shift` to nearest, ties to even.
template <class U>
U shift_round_even(U value, unsigned shift) {
  U kept = value >> shift;
  U rest = value & ((U{1} << shift) - 1);
  U half = U{1} << (shift - 1);
  if (rest > half || (rest == half && (kept & 1))) ++kept;
  return kept;
}
}  // namespace

std::uint16_t float_to_half(float value) noexcept {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000u);
  const std::uint32_t a = x & 0x7fffffffu;
  if (a > 0x7f800000u) return sign | 0x7e00u | ((a >> 13) & 0x3ffu);  // NaN
  if (a >= 0x477ff000u) return sign | 0x7c00u;  // 65520 and up (and inf) round to inf
  if (a >= 0x38800000u) {                       // normal binary16: rebias 127 -> 15
    return sign | static_cast<std::uint16_t>(shift_round_even<std::uint32_t>(a - 0x38000000u, 13));
  }
  if (a <= 0x33000000u) return sign;  // up to 2^-25 (a tie, to even) rounds to zero
  // Subnormal binary16: count in units of 2^-24.
  const std::uint32_t exponent = a >> 23;
  const std::uint32_t mantissa = (a & 0x7fffffu) | 0x800000u;
  return sign | static_cast<std::uint16_t>(shift_round_even<std::uint32_t>(mantissa, 126 - exponent));
}

std::uint16_t double_to_half(double value) noexcept {
  const std::uint64_t x = std::bit_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint16_t>((x >> 48) & 0x8000u);
  const std::uint64_t a = x & 0x7fffffffffffffffull;
  if (a > 0x7ff0000000000000ull) return sign | 0x7e00u | ((a >> 42) & 0x3ffu);
  if (a >= 0x40effe0000000000ull) return sign | 0x7c00u;  // 65520.0
  if (a >= 0x3f10000000000000ull) {                        // 2^-14: rebias 1023 -> 15
    return sign | static_cast<std::uint16_t>(shift_round_even<std::uint64_t>(a - 0x3f00000000000000ull, 42));
  }
  if (a <= 0x3e60000000000000ull) return sign;  // 2^-25
  const std::uint64_t exponent = a >> 52;
  const std::uint64_t mantissa = (a & 0xfffffffffffffull) | (1ull << 52);
  return sign | static_cast<std::uint16_t>(
                    shift_round_even<std::uint64_t>(mantissa, static_cast<unsigned>(1051 - exponent)));
}

float half_to_float(std::uint16_t h) noexcept {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exponent = (h >> 10) & 0x1fu;
  std::uint32_t mantissa = h & 0x3ffu;
  std::uint32_t bits;
  if (exponent == 0x1f) {
    bits = sign | 0x7f800000u | (mantissa << 13) | (mantissa ? 0x400000u : 0u);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    // Subnormal: normalise; the value is mantissa * 2^-24.
    const int lead = std::bit_width(mantissa) - 1;  // 0..9
    mantissa = (mantissa << (10 - lead)) & 0x3ffu;
    bits = sign | (static_cast<std::uint32_t>(lead + 103) << 23) | (mantissa << 13);
  }
  return std::bit_cast<float>(bits);
}

}  // namespace korvane::carrowel::compression
