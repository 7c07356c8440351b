// Codec names, numbers and payload sizes.
#include "korvane/carrowel/compression/codec.hpp"

namespace korvane::carrowel {

std::optional<Codec> parse_codec(std::string_view name) noexcept {
  for (Codec c : kAllCodecs)
    if (name == codec_name(c)) return c;
  return std::nullopt;
}

const char* codec_name(Codec codec) noexcept {
  switch (codec) {
    case Codec::sign: return "sign";
    case Codec::int8: return "int8";
    case Codec::int4: return "int4";
    case Codec::bf16: return "bf16";
    case Codec::fp16: return "fp16";
    case Codec::fp32: return "fp32";
    case Codec::int2: return "int2";
    case Codec::int2_hadamard: return "int2-hadamard";
  }
  return "?";
}

std::optional<Codec> codec_from_wire(std::uint8_t code) noexcept {
  for (Codec c : kAllCodecs)
    if (static_cast<std::uint8_t>(c) == code) return c;
  return std::nullopt;
}

namespace compression {

std::uint64_t default_group_size(Codec codec) noexcept {
  switch (codec) {
    case Codec::sign:
    case Codec::int8:
    case Codec::int4: return 64;
    case Codec::int2:
    case Codec::int2_hadamard: return 128;
    default: return 0;
  }
}

bool is_grouped(Codec codec) noexcept { return default_group_size(codec) != 0; }

bool needs_power_of_two_group(Codec codec) noexcept { return codec == Codec::int2_hadamard; }

std::optional<std::uint64_t> coded_payload_size(Codec codec, std::uint64_t n, std::uint64_t group_size) noexcept {
  // n comes from a shape whose byte size fits 64 bits, so n * 4 cannot overflow.
  if (n > (std::uint64_t{1} << 61)) return std::nullopt;
  if (!is_grouped(codec)) return n * (codec == Codec::fp32 ? 4 : 2);
  if (group_size == 0) return std::nullopt;
  const std::uint64_t groups = n == 0 ? 0 : (n - 1) / group_size + 1;
  std::uint64_t padded = 0;
  if (__builtin_mul_overflow(groups, group_size, &padded)) return std::nullopt;
  const std::uint64_t scales = 2 * groups;
  switch (codec) {
    case Codec::sign: return scales + (padded + 7) / 8;
    case Codec::int8: return scales + n;
    case Codec::int4: return scales + (n + 1) / 2;
    case Codec::int2: return scales + (n + 3) / 4;
    case Codec::int2_hadamard: return scales + (padded + 3) / 4;
    default: return std::nullopt;
  }
}

}  // namespace compression
}  // namespace korvane::carrowel
