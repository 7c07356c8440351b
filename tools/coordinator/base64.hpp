// Standard base64 (RFC 4648, '+' and '/'), as JSON bodies carry bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::coordinator {

std::string base64_encode(std::string_view bytes);
// Padding is optional; nullopt on any character outside the alphabet or a misplaced '='.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace korvane::coordinator
