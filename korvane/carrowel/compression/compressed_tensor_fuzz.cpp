// libFuzzer target over the compressed tensor record's byte parser. Whatever the bytes,
// from_bytes either throws the library's error or returns a record that writes back to
// the same bytes it was read from, and that expands without reading past its blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "korvane/carrowel/compression/compressed_tensor.hpp"
#include "korvane/common/errors.hpp"

namespace kv = korvane::carrowel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kv::CompressedTensor c;
  try {
    c = kv::CompressedTensor::from_bytes(data, size);
  } catch (const korvane::Error&) {
    return 0;
  }
  // The record round-trips: to_bytes gives back the bytes that were parsed (anything
  // after the signs block is ignored), but for is_backward, whose nonzero bytes all read as 1.
  std::string again;
  try {
    again = c.to_bytes();
  } catch (const korvane::Error&) {
    std::abort();  // parsed, so every field fits the format
  }
  if (again.size() > size) std::abort();
  const std::size_t flag_at = 4 + 8 * c.shape.size() + 4;
  for (std::size_t i = 0; i < again.size(); ++i) {
    const auto b = static_cast<std::uint8_t>(again[i]);
    if (i == flag_at ? b != (data[i] != 0) : b != data[i]) std::abort();
  }
  if (kv::CompressedTensor::from_bytes(again) != c) std::abort();

  std::uint64_t n = 0;
  try {
    n = kv::compression::check_decompressible(c);
  } catch (const korvane::Error&) {
    return 0;
  }
  if (n > (std::uint64_t{1} << 20)) return 0;  // a valid record of a big tensor: too slow to expand here
  std::vector<float> out(n);
  kv::compression::decompress_values(c, n, out.data());
  return 0;
}
