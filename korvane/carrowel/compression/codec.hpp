// The codecs a boundary tensor can cross with, their names and wire numbers, and what a
// coded tensor's payload holds.
//
//   sign          1 bit per element + one binary16 scale per 64 (the record of compressed_tensor.hpp)
//   int8, int4    block quantisation: one binary16 scale per 64, values q * scale / 127 (int8) or
//                 / 7 (int4), q rounded to nearest, int4 packed two per byte (low nibble first)
//   int2          4 levels (+-0.5, +-1.5) * scale / 1.5, one binary16 scale per 128: 2.125 bits per element
//   int2-hadamard int2 after a fixed sign flip and an orthonormal Hadamard rotation of each
//                 group of 128, undone on decoding: an outlier is spread over its group
//   bf16, fp16    each element rounded to nearest even; fp32 the float32 bits
//
// The quantising codecs take the group's largest magnitude rounded up to binary16 as its
// scale, so no element lands beyond the outermost level: every element comes back within
// half a step. A NaN or infinite element, or a group whose largest magnitude is beyond
// binary16's range (65504), cannot be represented: encoding fails with an error naming the
// codec. fp16 fails on a finite element beyond 65504 and carries NaN and infinities as they
// are; bf16 and fp32 carry every value. sign keeps its own rules (an infinite scale).
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane::carrowel {

// The enumerators' values are the codec's number on the wire.
enum class Codec : std::uint8_t { sign = 0, int8 = 1, int4 = 2, bf16 = 3, fp16 = 4, fp32 = 5, int2 = 6, int2_hadamard = 7 };

inline constexpr Codec kAllCodecs[] = {Codec::sign, Codec::int8, Codec::int4,          Codec::bf16,
                                       Codec::fp16, Codec::fp32, Codec::int2, Codec::int2_hadamard};

std::optional<Codec> parse_codec(std::string_view name) noexcept;
const char* codec_name(Codec codec) noexcept;
std::optional<Codec> codec_from_wire(std::uint8_t code) noexcept;

namespace compression {

// Elements per binary16 scale as encoded; 0 for the float codecs, which have no groups.
std::uint64_t default_group_size(Codec codec) noexcept;
// Whether a coded record of this codec holds a scale per group.
bool is_grouped(Codec codec) noexcept;
// Whether the group size must be a power of two (the rotation works on whole groups).
bool needs_power_of_two_group(Codec codec) noexcept;

// Payload bytes of n elements coded in groups of `group_size` (ignored by the float codecs);
// nullopt when that would not fit 64 bits.
std::optional<std::uint64_t> coded_payload_size(Codec codec, std::uint64_t n, std::uint64_t group_size) noexcept;

}  // namespace compression
}  // namespace korvane::carrowel
