// The coding loops of the codecs other than sign, on raw host arrays: float32 in, wire
// bytes out, and back. Built twice, plain and for AVX2+F16C, picked at run time as the
// sign loops are; both give identical bytes and values.
//
// Payload of a grouped codec: the binary16 scales (2 bytes each, little-endian, group 0
// first), then the codes: int8 one byte per element; int4 two's complement nibbles, element
// 2i in the low nibble of byte i; int2 level codes 0..3 (value (2c - 3) * step / 2), element
// 4i + k in bits 2k..2k+1 of byte i; int2-hadamard as int2 over the rotated groups, the last
// one padded with zeros to a whole group. Code bits past the last element are 0. The float
// codecs' payload is the elements, little-endian.
#pragma once
#include <cstdint>
#include <optional>

#include "korvane/carrowel/compression/codec.hpp"
#include "korvane/carrowel/compression/sign_scale.hpp"

namespace korvane::carrowel::compression {

// The largest group a grouped codec other than sign takes (decoding keeps one group on the stack).
inline constexpr std::uint64_t kMaxCodecGroup = 4096;

// What made encoding fail: a non-finite element, a finite element beyond binary16's range
// (fp16), or a group whose largest magnitude (after the rotation, for int2-hadamard) is.
struct EncodeFault {
  enum class Kind { non_finite, element_out_of_range, group_out_of_range } kind;
  std::uint64_t index;  // the element, or the group
  float value;
};

// Whether `group_size` suits the codec: a multiple of 8 up to kMaxCodecGroup, a power of two
// for int2-hadamard. Always true for the float codecs, which ignore it.
bool valid_codec_group(Codec codec, std::uint64_t group_size) noexcept;

// Writes coded_payload_size(codec, n, group_size) bytes to `out` (not for sign). The group
// size must be valid for the codec.
std::optional<EncodeFault> encode_values(Codec codec, const float* x, std::uint64_t n, std::uint64_t group_size,
                                         std::uint8_t* out, KernelPath path = best_path()) noexcept;

// Reads a payload of that size and writes n float32 values.
void decode_values(Codec codec, const std::uint8_t* payload, std::uint64_t n, std::uint64_t group_size, float* out,
                   KernelPath path = best_path()) noexcept;

}  // namespace korvane::carrowel::compression
