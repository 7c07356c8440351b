// The byte form of a boundary message: the value one micro-batch sends across a stage
// boundary (a tensor, or a tuple, list or dict of tensors with None entries) in one codec.
// A single floating tensor in the sign codec travels as the bare compressed tensor record
// instead (compressed_tensor.hpp); everything else in this form. All integers little-endian.
//
//   magic        4  "KVBM": read as a record's shape_len it announces over 10^9 dimensions,
//                   far more than any body can hold, so no valid record starts this way
//   version      1  1
//   codec        1  the codec's wire number (codec.hpp)
//   flags        1  bit 0: a gradient; the other bits 0
//   structure    1  0 one tensor, 1 tuple, 2 list, 3 dict
//   count        4  entries (1 for one tensor)
//   then per entry:
//     key        4 + len   u32 length and UTF-8 bytes (dict only)
//     form       1  0 None, 1 coded with the message's codec (floating tensors), 2 raw
//                   (the elements as they are: integer and bool tensors); None ends here
//     dtype      1  the sender's element type (element_type.hpp)
//     ndim       4  dimensions, then 8 bytes each, outermost first
//     group_size 4  elements per scale (coded with a grouped codec), else 0
//     length     8  payload bytes, exactly what the codec needs for the shape (codec_kernels.hpp;
//                   sign: the scales, then the sign bytes of compressed_tensor.hpp)
//     payload
// Nothing may follow the last entry.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/carrowel/compression/codec.hpp"
#include "korvane/carrowel/compression/element_type.hpp"

namespace korvane::carrowel::compression {

inline constexpr char kBoundaryMagic[4] = {'K', 'V', 'B', 'M'};
inline constexpr std::uint8_t kBoundaryVersion = 1;

enum class Structure : std::uint8_t { tensor = 0, tuple = 1, list = 2, dict = 3 };
enum class EntryForm : std::uint8_t { none = 0, coded = 1, raw = 2 };

struct BoundaryHeader {
  Codec codec = Codec::sign;
  bool is_backward = false;
  Structure structure = Structure::tensor;
};

// One entry to send, over host memory the caller keeps alive: float32 values for a coded
// entry, the elements in `dtype` for a raw one.
struct OutgoingEntry {
  std::string key;
  EntryForm form = EntryForm::none;
  ElementType dtype = ElementType::float32;
  std::vector<std::int64_t> shape;
  const void* data = nullptr;
  std::uint64_t numel = 0;
};

// A parsed entry: a view into the body it came from.
struct IncomingEntry {
  std::string_view key;
  EntryForm form = EntryForm::none;
  ElementType dtype = ElementType::float32;
  std::vector<std::int64_t> shape;
  std::uint64_t numel = 0;
  std::uint64_t group_size = 0;
  const std::uint8_t* payload = nullptr;
  std::uint64_t payload_size = 0;
};

struct ParsedBoundary {
  BoundaryHeader header;
  std::vector<IncomingEntry> entries;
};

// Whether the body starts with the magic (else it is a bare compressed tensor record).
bool is_boundary_message(std::string_view body) noexcept;

// The message's size in bytes. ValueError when a field does not fit the format.
std::uint64_t boundary_size(const BoundaryHeader& header, const std::vector<OutgoingEntry>& entries);
// Writes exactly boundary_size() bytes. ValueError naming the codec when a value cannot be
// represented in it (codec.hpp); `out` then holds garbage.
void write_boundary(const BoundaryHeader& header, const std::vector<OutgoingEntry>& entries, std::uint8_t* out);

// Parses and checks the whole message before anything is allocated for its tensors: every
// length against the bytes that remain, the shapes against what a tensor can hold, each
// payload's length against its codec, bool elements 0 or 1. ValueError otherwise.
ParsedBoundary parse_boundary(std::string_view body);

// Writes the numel float32 values of a coded entry.
void decode_entry(Codec codec, const IncomingEntry& entry, float* out);

}  // namespace korvane::carrowel::compression
