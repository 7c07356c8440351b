// The hot loops of sign-and-scale compression on raw host arrays: a portable scalar path
// and an AVX2+F16C path picked at run time. Both write identical bytes for every input;
// the tests hold them to that.
//
// Rules shared by both paths:
//  - element i sets bit (i % 8) of signs[i / 8] when it is >= 0 (-0.0 included, NaN not),
//    decided from its bit pattern so that denormals-are-zero cannot change the answer;
//  - the zero filler between n and the padded length has its bits set, the high bits of
//    the last byte beyond the padded length are 0;
//  - a group's scale is its largest magnitude in binary16, the maximum taken over the
//    magnitude bit patterns, so a group holding a NaN gets the NaN with the largest
//    payload (as binary16 NaN) and the result does not depend on the order of comparison.
#pragma once
#include <cstdint>

namespace korvane::carrowel::compression {

enum class KernelPath { scalar, avx2 };

// True when this CPU runs the AVX2+F16C path.
bool avx2_supported() noexcept;
// The path compress_groups/expand_groups take when none is named: AVX2 when supported.
KernelPath best_path() noexcept;

// Writes ceil(n / group_size) scales and ceil(padded / 8) sign bytes, padded being n
// rounded up to a multiple of group_size. group_size >= 1. `path` must be supported.
void compress_groups(KernelPath path, const float* values, std::uint64_t n, std::uint64_t group_size,
                     std::uint16_t* scales, std::uint8_t* signs) noexcept;

// Writes n values: element i is the scale s of its group when bit i of `signs` is set, -s
// (its sign bit flipped, so NaN patterns come back exactly) when clear, and the product
// 0 * s when i / 8 >= sign_count (so 0 for finite s, NaN for inf). Group g takes scales[g], or
// scales[0] for every group when scale_count == 1; scale_count must cover the groups that
// hold elements (callers check that).
void expand_groups(KernelPath path, const std::uint16_t* scales, std::uint64_t scale_count,
                   const std::uint8_t* signs, std::uint64_t sign_count, std::uint64_t n,
                   std::uint64_t group_size, float* out) noexcept;

}  // namespace korvane::carrowel::compression
