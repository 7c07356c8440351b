// The compressed tensor record, its byte form, and compression on raw float32 arrays.
// Python-free and torch-free: the trainer's relays and the Python bindings both build on it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/carrowel/compression/sign_scale.hpp"

namespace korvane::carrowel {

// One tensor as sign bits plus one binary16 scale per group of `group_size` elements.
struct CompressedTensor {
  std::vector<std::uint16_t> scales;  // binary16 bit patterns, group 0 first
  std::vector<std::uint8_t> signs;    // bit i%8 of byte i/8 set when element i >= 0
  std::vector<std::int64_t> shape;    // outermost first; empty for a scalar
  long long group_size = 64;
  bool is_backward = false;           // gradient (true) or activation (false)

  // Payload bytes: 2 per scale plus the sign bytes.
  std::uint64_t size_bytes() const noexcept;
  // Product of `shape` (1 for a scalar). OverflowError when it does not fit 64 bits.
  long long num_elements() const;
  // float32 size over payload size. ZeroDivisionError when the payload is empty.
  double compression_ratio() const;

  // The byte form: u32 shape_len, u64 dims, u32 group_size, u8 is_backward, u32 scale count,
  // binary16 scales, u32 sign byte count, sign bytes; all little-endian. ValueError when a
  // field does not fit (negative dimension, group_size or a length beyond 32 bits).
  std::string to_bytes() const;
  // Parses the byte form; bytes after the signs block are ignored. ValueError when the data
  // ends inside any field or block, or when the dimensions are beyond what a tensor can be.
  static CompressedTensor from_bytes(std::string_view data);
  static CompressedTensor from_bytes(const std::uint8_t* data, std::size_t size);

  friend bool operator==(const CompressedTensor&, const CompressedTensor&) = default;
};

namespace compression {

// ZeroDivisionError for 0, ValueError when negative or beyond the byte format's 32 bits.
void check_group_size(long long group_size);

// Compresses n float32 values taken in row-major order of `shape` (n must be its product).
CompressedTensor compress_values(const float* values, std::uint64_t n, std::vector<std::int64_t> shape,
                                 long long group_size, bool is_backward, KernelPath path = best_path());

// Elements without a sign byte come back as 0 * scale. A record may leave at most this many
// uncovered, so that a few header bytes cannot make us allocate and fill gigabytes.
inline constexpr std::uint64_t kMaxUncoveredElements = std::uint64_t{1} << 24;

// Checks that `c` can be expanded and returns its element count: a positive group size,
// no negative dimension, a scale count that fits the groups (equal, one scale for all, or
// one group using the first scale), and a bounded number of elements without sign bytes.
std::uint64_t check_decompressible(const CompressedTensor& c);
// Writes the n = check_decompressible(c) values of `c` to `out`.
void decompress_values(const CompressedTensor& c, std::uint64_t n, float* out, KernelPath path = best_path()) noexcept;

}  // namespace compression
}  // namespace korvane::carrowel
