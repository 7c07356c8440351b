// libFuzzer target over the boundary message parser. Whatever the bytes, parse_boundary
// either throws the library's error or returns entries whose payloads lie inside the input
// and match their shapes, and every coded entry decodes without reading past its payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "korvane/carrowel/compression/boundary_format.hpp"
#include "korvane/common/errors.hpp"

namespace kc = korvane::carrowel::compression;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kc::ParsedBoundary m;
  try {
    m = kc::parse_boundary(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const korvane::Error&) {
    return 0;
  }
  if (!kc::is_boundary_message(std::string_view(reinterpret_cast<const char*>(data), size))) std::abort();
  for (const kc::IncomingEntry& e : m.entries) {
    if (e.form == kc::EntryForm::none) continue;
    if (e.payload < data || e.payload + e.payload_size > data + size) std::abort();
    if (e.form == kc::EntryForm::raw) {
      if (e.payload_size != e.numel * kc::element_size(e.dtype)) std::abort();
      continue;
    }
    if (e.numel > (std::uint64_t{1} << 20)) continue;  // valid but too slow to expand here
    std::vector<float> out(e.numel);
    kc::decode_entry(m.header.codec, e, out.data());
  }
  return 0;
}
