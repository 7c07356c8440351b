// The element types a boundary message can carry, as numbered on the wire. The numbers
// are part of the byte format: never renumber, only add.
#pragma once
#include <cstdint>
#include <optional>

namespace korvane::carrowel::compression {

enum class ElementType : std::uint8_t {
  float32 = 0,
  float64 = 1,
  float16 = 2,
  bfloat16 = 3,
  uint8 = 4,
  int8 = 5,
  int16 = 6,
  int32 = 7,
  int64 = 8,
  boolean = 9,
};

inline constexpr std::uint8_t kElementTypeCount = 10;

inline std::optional<ElementType> element_type_from_wire(std::uint8_t code) noexcept {
  if (code >= kElementTypeCount) return std::nullopt;
  return static_cast<ElementType>(code);
}

inline constexpr bool is_floating(ElementType t) noexcept {
  return t == ElementType::float32 || t == ElementType::float64 || t == ElementType::float16 ||
         t == ElementType::bfloat16;
}

inline constexpr unsigned element_size(ElementType t) noexcept {
  switch (t) {
    case ElementType::float64:
    case ElementType::int64: return 8;
    case ElementType::float32:
    case ElementType::int32: return 4;
    case ElementType::float16:
    case ElementType::bfloat16:
    case ElementType::int16: return 2;
    case ElementType::uint8:
    case ElementType::int8:
    case ElementType::boolean: return 1;
  }
  return 1;
}

// The tensor library's spelling, for error messages.
inline constexpr const char* element_type_name(ElementType t) noexcept {
  switch (t) {
    case ElementType::float32: return "float32";
    case ElementType::float64: return "float64";
    case ElementType::float16: return "float16";
    case ElementType::bfloat16: return "bfloat16";
    case ElementType::uint8: return "uint8";
    case ElementType::int8: return "int8";
    case ElementType::int16: return "int16";
    case ElementType::int32: return "int32";
    case ElementType::int64: return "int64";
    case ElementType::boolean: return "bool";
  }
  return "?";
}

}  // namespace korvane::carrowel::compression
