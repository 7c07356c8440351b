// IEEE 754 binary16 conversions in plain integer arithmetic, so that the result never
// depends on the FPU mode (flush-to-zero, rounding) or on the CPU having F16C. The
// results match what F16C's vcvtps2ph (round-to-nearest-even) and vcvtph2ps produce, bit
// for bit, so the scalar and SIMD compression paths agree.
#pragma once
#include <cstdint>

namespace korvane::carrowel::compression {

// Round to nearest, ties to even; magnitudes from 65520 up become infinity; a NaN stays a
// NaN with the same sign, the quiet bit set and the top 9 payload bits kept.
std::uint16_t float_to_half(float value) noexcept;
// Same rules, rounding the double once (no double rounding through float).
std::uint16_t double_to_half(double value) noexcept;
// Exact; a signalling NaN comes back quiet, as the hardware conversion does.
float half_to_float(std::uint16_t bits) noexcept;

}  // namespace korvane::carrowel::compression
