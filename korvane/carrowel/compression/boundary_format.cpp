// Writing, parsing and checking boundary messages (see boundary_format.hpp).
#include "korvane/carrowel/compression/boundary_format.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "korvane/carrowel/compression/codec_kernels.hpp"
#include "korvane/carrowel/compression/sign_scale.hpp"
#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"

namespace korvane::carrowel::compression {

namespace {
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kHeaderSize = 12;

std::uint64_t group_of(Codec codec, EntryForm form) { return form == EntryForm::coded ? default_group_size(codec) : 0; }

std::uint64_t payload_of(Codec codec, const OutgoingEntry& e) {
  if (e.form == EntryForm::raw) return e.numel * element_size(e.dtype);
  return *coded_payload_size(codec, e.numel, default_group_size(codec));
}

std::uint64_t entry_size(Codec codec, Structure s, const OutgoingEntry& e) {
  std::uint64_t size = (s == Structure::dict ? 4 + e.key.size() : 0) + 1;
  if (e.form == EntryForm::none) return size;
  return size + 1 + 4 + 8 * e.shape.size() + 4 + 8 + payload_of(codec, e);
}

void put(std::uint8_t*& at, std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) *at++ = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string entry_name(Structure s, std::size_t index, std::string_view key) {
  switch (s) {
    case Structure::tensor: return "the tensor";
    case Structure::dict: return "entry '" + std::string(key) + "'";
    default: return "entry " + std::to_string(index);
  }
}

[[noreturn]] void fault_error(Codec codec, const EncodeFault& f, const std::string& where) {
  const std::string name = codec_name(codec);
  switch (f.kind) {
    case EncodeFault::Kind::non_finite:
      throw ValueError("the " + name + " codec cannot carry element " + std::to_string(f.index) + " of " + where +
                       " (" + float_repr(f.value) + "): it has no code for NaN or infinity");
    case EncodeFault::Kind::element_out_of_range:
      throw ValueError("the " + name + " codec cannot carry element " + std::to_string(f.index) + " of " + where +
                       " (" + float_repr(f.value) + "): beyond binary16's range (65504)");
    case EncodeFault::Kind::group_out_of_range:
      throw ValueError("the " + name + " codec cannot carry group " + std::to_string(f.index) + " of " + where +
                       ": its largest magnitude " +
                       (codec == Codec::int2_hadamard ? "after the rotation " : std::string()) + "(" +
                       float_repr(f.value) + ") is beyond binary16's range (65504), the range of its scale");
  }
  throw ValueError("unreachable");
}

void write_coded(Codec codec, const OutgoingEntry& e, std::uint8_t* out, const std::string& where) {
  const auto* x = static_cast<const float*>(e.data);
  const std::uint64_t g = default_group_size(codec);
  if (codec == Codec::sign) {
    // The record's scales and sign bytes, as compress_values lays them out.
    const std::uint64_t groups = e.numel == 0 ? 0 : (e.numel - 1) / g + 1;
    std::vector<std::uint16_t> scales(groups);
    compress_groups(best_path(), x, e.numel, g, scales.data(), out + 2 * groups);
    if (groups) std::memcpy(out, scales.data(), 2 * groups);
    return;
  }
  if (auto fault = encode_values(codec, x, e.numel, g, out)) fault_error(codec, *fault, where);
}

class Reader {
 public:
  explicit Reader(std::string_view body)
      : data_(reinterpret_cast<const std::uint8_t*>(body.data())), size_(body.size()) {}
  std::uint64_t remaining() const { return size_ - at_; }

  std::uint64_t fixed(unsigned width, const std::string& field) {
    if (remaining() < width)
      fail("the message ends inside " + field + " (" + std::to_string(width) + " bytes needed at offset " +
           std::to_string(at_) + ", " + std::to_string(remaining()) + " left)");
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{data_[at_ + i]} << (8 * i);
    at_ += width;
    return v;
  }
  const std::uint8_t* block(std::uint64_t bytes, const std::string& what) {
    if (remaining() < bytes)
      fail(what + " announces " + std::to_string(bytes) + " bytes at offset " + std::to_string(at_) + ", only " +
           std::to_string(remaining()) + " left");
    const std::uint8_t* p = data_ + at_;
    at_ += bytes;
    return p;
  }
  [[noreturn]] static void fail(const std::string& why) { throw ValueError("malformed boundary message: " + why); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Element count of a shape whose storage a tensor of `item` bytes per element can hold:
// the nonzero dimensions' product in bytes must fit 63 bits, as the tensor library needs.
std::uint64_t checked_numel(const std::vector<std::int64_t>& shape, unsigned item, const std::string& where) {
  std::int64_t bytes = item, n = 1;
  bool empty = false;
  for (std::int64_t d : shape) {
    if (d == 0) {
      empty = true;
      continue;
    }
    if (__builtin_mul_overflow(bytes, d, &bytes) || __builtin_mul_overflow(n, d, &n))
      Reader::fail(where + ": the shape is too large for a tensor");
  }
  return empty ? 0 : static_cast<std::uint64_t>(n);
}
}  // namespace

bool is_boundary_message(std::string_view body) noexcept {
  return body.size() >= 4 && std::memcmp(body.data(), kBoundaryMagic, 4) == 0;
}

std::uint64_t boundary_size(const BoundaryHeader& header, const std::vector<OutgoingEntry>& entries) {
  if (entries.size() > kU32Max) throw ValueError("encode_boundary: more entries than fit in 32 bits");
  if (header.structure == Structure::tensor && entries.size() != 1)
    throw ValueError("encode_boundary: a single-tensor message holds one entry");
  std::uint64_t size = kHeaderSize;
  for (const OutgoingEntry& e : entries) {
    if (e.key.size() > kU32Max) throw ValueError("encode_boundary: a key is longer than 32 bits can count");
    if (e.shape.size() > kU32Max) throw ValueError("encode_boundary: more dimensions than fit in 32 bits");
    if (e.form == EntryForm::coded && !is_floating(e.dtype))
      throw ValueError("encode_boundary: only floating tensors are coded");
    size += entry_size(header.codec, header.structure, e);
  }
  return size;
}

void write_boundary(const BoundaryHeader& header, const std::vector<OutgoingEntry>& entries, std::uint8_t* out) {
  std::uint8_t* at = out;
  std::memcpy(at, kBoundaryMagic, 4);
  at += 4;
  put(at, kBoundaryVersion, 1);
  put(at, static_cast<std::uint8_t>(header.codec), 1);
  put(at, header.is_backward ? 1 : 0, 1);
  put(at, static_cast<std::uint8_t>(header.structure), 1);
  put(at, entries.size(), 4);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const OutgoingEntry& e = entries[i];
    if (header.structure == Structure::dict) {
      put(at, e.key.size(), 4);
      if (!e.key.empty()) std::memcpy(at, e.key.data(), e.key.size());
      at += e.key.size();
    }
    put(at, static_cast<std::uint8_t>(e.form), 1);
    if (e.form == EntryForm::none) continue;
    put(at, static_cast<std::uint8_t>(e.dtype), 1);
    put(at, e.shape.size(), 4);
    for (std::int64_t d : e.shape) put(at, static_cast<std::uint64_t>(d), 8);
    put(at, group_of(header.codec, e.form), 4);
    const std::uint64_t payload = payload_of(header.codec, e);
    put(at, payload, 8);
    if (e.form == EntryForm::raw) {
      if (payload) std::memcpy(at, e.data, payload);
    } else {
      write_coded(header.codec, e, at, entry_name(header.structure, i, e.key));
    }
    at += payload;
  }
}

ParsedBoundary parse_boundary(std::string_view body) {
  if (!is_boundary_message(body)) Reader::fail("it does not start with the boundary message magic");
  Reader r(body);
  r.block(4, "the magic");
  ParsedBoundary m;
  const auto version = r.fixed(1, "the version");
  if (version != kBoundaryVersion)
    Reader::fail("format version " + std::to_string(version) + ", this build reads " +
                 std::to_string(kBoundaryVersion));
  const auto codec_code = static_cast<std::uint8_t>(r.fixed(1, "the codec"));
  const auto codec = codec_from_wire(codec_code);
  if (!codec) Reader::fail("unknown codec number " + std::to_string(codec_code));
  m.header.codec = *codec;
  const auto flags = r.fixed(1, "the flags");
  if (flags > 1) Reader::fail("unknown flags " + std::to_string(flags));
  m.header.is_backward = flags == 1;
  const auto structure = r.fixed(1, "the structure");
  if (structure > 3) Reader::fail("unknown structure " + std::to_string(structure));
  m.header.structure = static_cast<Structure>(structure);
  const std::uint64_t count = r.fixed(4, "the entry count");
  if (m.header.structure == Structure::tensor && count != 1)
    Reader::fail("a single-tensor message announces " + std::to_string(count) + " entries");
  if (count > r.remaining()) Reader::fail(std::to_string(count) + " entries announced in " +
                                          std::to_string(r.remaining()) + " bytes");
  m.entries.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    IncomingEntry e;
    const std::string where = "entry " + std::to_string(i);
    if (m.header.structure == Structure::dict) {
      const std::uint64_t len = r.fixed(4, "the key length of " + where);
      e.key = std::string_view(reinterpret_cast<const char*>(r.block(len, "the key of " + where)), len);
    }
    const auto form = r.fixed(1, "the form of " + where);
    if (form > 2) Reader::fail(where + " has unknown form " + std::to_string(form));
    e.form = static_cast<EntryForm>(form);
    if (e.form == EntryForm::none) {
      m.entries.push_back(e);
      continue;
    }
    const auto dtype_code = static_cast<std::uint8_t>(r.fixed(1, "the element type of " + where));
    const auto dtype = element_type_from_wire(dtype_code);
    if (!dtype) Reader::fail(where + " has unknown element type " + std::to_string(dtype_code));
    e.dtype = *dtype;
    if (e.form == EntryForm::coded && !is_floating(e.dtype))
      Reader::fail(where + " codes " + element_type_name(e.dtype) + " elements, which travel raw");
    const std::uint64_t ndim = r.fixed(4, "the dimension count of " + where);
    if (ndim > r.remaining() / 8) Reader::fail(where + " announces " + std::to_string(ndim) + " dimensions in " +
                                               std::to_string(r.remaining()) + " bytes");
    e.shape.reserve(ndim);
    for (std::uint64_t d = 0; d < ndim; ++d) {
      const std::uint64_t v = r.fixed(8, "a dimension of " + where);
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        Reader::fail("dimension " + std::to_string(d) + " of " + where + " is beyond any tensor size");
      e.shape.push_back(static_cast<std::int64_t>(v));
    }
    // Decoded coded entries are float32 (or the sender's 2-byte type); 8 bytes bounds them all.
    e.numel = checked_numel(e.shape, e.form == EntryForm::raw ? element_size(e.dtype) : 8, where);
    e.group_size = r.fixed(4, "the group size of " + where);
    std::uint64_t expected = 0;
    if (e.form == EntryForm::raw) {
      if (e.group_size != 0) Reader::fail(where + " is raw but has group size " + std::to_string(e.group_size));
      expected = e.numel * element_size(e.dtype);
    } else {
      const bool grouped = is_grouped(m.header.codec);
      const bool valid = m.header.codec == Codec::sign ? e.group_size != 0
                                                       : (grouped ? valid_codec_group(m.header.codec, e.group_size)
                                                                  : e.group_size == 0);
      if (!valid)
        Reader::fail(where + ": group size " + std::to_string(e.group_size) + " does not suit the " +
                     codec_name(m.header.codec) + " codec");
      const auto size = coded_payload_size(m.header.codec, e.numel, e.group_size);
      if (!size) Reader::fail(where + ": the payload size does not fit 64 bits");
      expected = *size;
    }
    e.payload_size = r.fixed(8, "the payload length of " + where);
    if (e.payload_size != expected)
      Reader::fail(where + " has a payload of " + std::to_string(e.payload_size) + " bytes, its shape needs " +
                   std::to_string(expected));
    e.payload = r.block(e.payload_size, "the payload of " + where);
    if (e.dtype == ElementType::boolean && e.form == EntryForm::raw) {
      for (std::uint64_t k = 0; k < e.payload_size; ++k)
        if (e.payload[k] > 1) Reader::fail(where + " holds a bool element that is neither 0 nor 1");
    }
    m.entries.push_back(e);
  }
  if (r.remaining() != 0) Reader::fail(std::to_string(r.remaining()) + " bytes follow the last entry");
  return m;
}

void decode_entry(Codec codec, const IncomingEntry& e, float* out) {
  if (codec != Codec::sign) return decode_values(codec, e.payload, e.numel, e.group_size, out);
  const std::uint64_t groups = e.numel == 0 ? 0 : (e.numel - 1) / e.group_size + 1;
  std::vector<std::uint16_t> scales(groups);
  if (groups) std::memcpy(scales.data(), e.payload, 2 * groups);
  expand_groups(best_path(), scales.data(), groups, e.payload + 2 * groups, e.payload_size - 2 * groups, e.numel,
                e.group_size, out);
}

}  // namespace korvane::carrowel::compression
