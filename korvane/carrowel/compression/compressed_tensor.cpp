// The record's derived values, its byte form (byte-exact and little-endian on every host),
// and the checks that keep hostile or hand-made records from faulting.
#include "korvane/carrowel/compression/compressed_tensor.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {

namespace {
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// Zero-aware product: any zero dimension gives 0 however large the others are.
std::optional<long long> product(const std::vector<std::int64_t>& shape) {
  for (std::int64_t d : shape)
    if (d == 0) return 0;
  long long n = 1;
  for (std::int64_t d : shape)
    if (__builtin_mul_overflow(n, d, &n)) return std::nullopt;
  return n;
}

void put_u32(std::string& out, std::size_t& at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at++] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put_u64(std::string& out, std::size_t& at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[at++] = static_cast<char>((v >> (8 * i)) & 0xff);
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t remaining() const { return size_ - at_; }
  std::size_t offset() const { return at_; }

  std::uint64_t fixed(unsigned width, const char* field) {
    if (remaining() < width) {
      throw ValueError("CompressedTensor.from_bytes: data ends inside " + std::string(field) + " (needs " +
                       std::to_string(width) + " bytes at offset " + std::to_string(at_) + ", " +
                       std::to_string(remaining()) + " left)");
    }
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{data_[at_ + i]} << (8 * i);
    at_ += width;
    return v;
  }

  // A block whose length came from the data: checked before anything is allocated for it.
  const std::uint8_t* block(std::uint64_t bytes, const char* what, std::uint64_t count, const char* unit) {
    if (remaining() < bytes) {
      throw ValueError("CompressedTensor.from_bytes: " + std::string(what) + " block is cut short: " +
                       std::to_string(count) + " " + unit + " (" + std::to_string(bytes) +
                       " bytes) announced at offset " + std::to_string(at_) + ", " + std::to_string(remaining()) +
                       " bytes left");
    }
    const std::uint8_t* p = data_ + at_;
    at_ += bytes;
    return p;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};
}  // namespace

std::uint64_t CompressedTensor::size_bytes() const noexcept { return 2 * scales.size() + signs.size(); }

long long CompressedTensor::num_elements() const {
  auto n = product(shape);
  if (!n) throw OverflowError("CompressedTensor: the element count of this shape does not fit in 64 bits");
  return *n;
}

double CompressedTensor::compression_ratio() const {
  const std::uint64_t payload = size_bytes();
  if (payload == 0) throw ZeroDivisionError("compression_ratio: the record holds no payload (size_bytes() is 0)");
  return static_cast<double>(num_elements()) * 4.0 / static_cast<double>(payload);
}

std::string CompressedTensor::to_bytes() const {
  if (shape.size() > kU32Max) throw ValueError("to_bytes: shape has more dimensions than fit in 32 bits");
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] < 0)
      throw ValueError("to_bytes: dimension " + std::to_string(i) + " of shape is negative (" +
                       std::to_string(shape[i]) + ")");
  }
  if (group_size < 0 || static_cast<unsigned long long>(group_size) > kU32Max)
    throw ValueError("to_bytes: group_size " + std::to_string(group_size) + " does not fit in unsigned 32 bits");
  if (scales.size() > kU32Max) throw ValueError("to_bytes: more scales than fit in 32 bits");
  if (signs.size() > kU32Max) throw ValueError("to_bytes: more sign bytes than fit in 32 bits");

  std::string out(17 + 8 * shape.size() + 2 * scales.size() + signs.size(), '\0');
  std::size_t at = 0;
  put_u32(out, at, static_cast<std::uint32_t>(shape.size()));
  for (std::int64_t d : shape) put_u64(out, at, static_cast<std::uint64_t>(d));
  put_u32(out, at, static_cast<std::uint32_t>(group_size));
  out[at++] = is_backward ? '\x01' : '\x00';
  put_u32(out, at, static_cast<std::uint32_t>(scales.size()));
  if constexpr (std::endian::native == std::endian::little) {
    if (!scales.empty()) std::memcpy(out.data() + at, scales.data(), 2 * scales.size());
    at += 2 * scales.size();
  } else {
    for (std::uint16_t s : scales) {
      out[at++] = static_cast<char>(s & 0xff);
      out[at++] = static_cast<char>(s >> 8);
    }
  }
  put_u32(out, at, static_cast<std::uint32_t>(signs.size()));
  if (!signs.empty()) std::memcpy(out.data() + at, signs.data(), signs.size());
  return out;
}

CompressedTensor CompressedTensor::from_bytes(std::string_view data) {
  return from_bytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

CompressedTensor CompressedTensor::from_bytes(const std::uint8_t* data, std::size_t size) {
  Reader r(data, size);
  CompressedTensor c;
  const std::uint64_t shape_len = r.fixed(4, "shape_len");
  if (r.remaining() / 8 < shape_len) {
    throw ValueError("CompressedTensor.from_bytes: data ends inside the dimensions (" + std::to_string(shape_len) +
                     " announced, room for " + std::to_string(r.remaining() / 8) + ")");
  }
  c.shape.reserve(shape_len);
  for (std::uint64_t i = 0; i < shape_len; ++i) {
    const std::uint64_t d = r.fixed(8, "a dimension");
    if (d > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      throw ValueError("CompressedTensor.from_bytes: dimension " + std::to_string(i) + " (" + std::to_string(d) +
                       ") is beyond the largest tensor size");
    c.shape.push_back(static_cast<std::int64_t>(d));
  }
  if (!product(c.shape))
    throw ValueError("CompressedTensor.from_bytes: the element count of the shape does not fit in 64 bits");
  c.group_size = static_cast<long long>(r.fixed(4, "group_size"));
  c.is_backward = r.fixed(1, "is_backward") != 0;

  const std::uint64_t scale_count = r.fixed(4, "scales_len");
  const std::uint8_t* scale_bytes = r.block(2 * scale_count, "scales", scale_count, "scales");
  c.scales.resize(scale_count);
  for (std::uint64_t i = 0; i < scale_count; ++i)
    c.scales[i] = static_cast<std::uint16_t>(scale_bytes[2 * i] | (scale_bytes[2 * i + 1] << 8));

  const std::uint64_t sign_count = r.fixed(4, "signs_len");
  const std::uint8_t* sign_bytes = r.block(sign_count, "signs", sign_count, "sign bytes");
  c.signs.assign(sign_bytes, sign_bytes + sign_count);
  return c;
}

namespace compression {

void check_group_size(long long group_size) {
  if (group_size == 0) throw ZeroDivisionError("group_size must be a positive integer, got 0");
  if (group_size < 0) throw ValueError("group_size must be a positive integer, got " + std::to_string(group_size));
  if (static_cast<unsigned long long>(group_size) > kU32Max)
    throw ValueError("group_size " + std::to_string(group_size) + " does not fit the byte form's 32 bits");
}

CompressedTensor compress_values(const float* values, std::uint64_t n, std::vector<std::int64_t> shape,
                                 long long group_size, bool is_backward, KernelPath path) {
  check_group_size(group_size);
  CompressedTensor c;
  c.shape = std::move(shape);
  auto expected = product(c.shape);
  if (!expected || *expected < 0 || static_cast<std::uint64_t>(*expected) != n)
    throw ValueError("compress: shape does not match the element count " + std::to_string(n));
  const auto g = static_cast<std::uint64_t>(group_size);
  const std::uint64_t groups = n == 0 ? 0 : (n - 1) / g + 1;
  c.scales.resize(groups);
  c.signs.resize((groups * g + 7) / 8);
  c.group_size = group_size;
  c.is_backward = is_backward;
  compress_groups(path, values, n, g, c.scales.data(), c.signs.data());
  return c;
}

std::uint64_t check_decompressible(const CompressedTensor& c) {
  if (c.group_size == 0) throw ZeroDivisionError("decompress: the record's group_size is 0");
  if (c.group_size < 0)
    throw ValueError("decompress: the record's group_size must be positive, got " + std::to_string(c.group_size));
  for (std::int64_t d : c.shape)
    if (d < 0) throw ValueError("decompress: the record's shape has a negative dimension (" + std::to_string(d) + ")");
  const auto n = static_cast<std::uint64_t>(c.num_elements());
  // A tensor's storage is sized from every dimension but the zero ones, in bytes: a shape
  // with a zero dimension holds no element, yet the others must still multiply in range.
  std::int64_t bytes = sizeof(float);
  for (std::int64_t d : c.shape)
    if (d != 0 && __builtin_mul_overflow(bytes, d, &bytes))
      throw ValueError("decompress: the record's shape is too large for a tensor: its dimensions multiply beyond "
                       "64 bits");
  const auto g = static_cast<std::uint64_t>(c.group_size);
  const std::uint64_t groups = n == 0 ? 0 : (n - 1) / g + 1;
  const std::uint64_t s = c.scales.size();
  if (!(s == groups || s == 1 || groups == 1) || (groups == 1 && s == 0)) {
    throw ValueError("decompress: " + std::to_string(s) + " scales cannot serve " + std::to_string(groups) +
                     " groups (" + std::to_string(n) + " elements in groups of " + std::to_string(g) + ")");
  }
  const std::uint64_t covered = std::min<std::uint64_t>(n, 8 * static_cast<std::uint64_t>(c.signs.size()));
  if (n - covered > kMaxUncoveredElements) {
    throw ValueError("decompress: the record claims " + std::to_string(n) + " elements but its " +
                     std::to_string(c.signs.size()) + " sign bytes cover only " + std::to_string(covered));
  }
  return n;
}

void decompress_values(const CompressedTensor& c, std::uint64_t n, float* out, KernelPath path) noexcept {
  expand_groups(path, c.scales.data(), c.scales.size(), c.signs.data(), c.signs.size(), n,
                static_cast<std::uint64_t>(c.group_size), out);
}

}  // namespace compression
}  // namespace korvane::carrowel
