#include "tools/coordinator/join_terms.hpp"

#include <stdexcept>

#include "korvane/protocol/protocol.hpp"

namespace korvane::coordinator {

CodecPair default_codecs() { return {protocol::kDefaultCodec, protocol::kDefaultCodec}; }

bool known_codec(std::string_view name) {
  for (const char* known : protocol::kCodecNames)
    if (name == known) return true;
  return false;
}

std::string describe(const CodecPair& pair) { return "activation=" + pair.activation + " gradient=" + pair.gradient; }

std::vector<std::size_t> pipeline_order(const std::vector<std::optional<std::int64_t>>& pins) {
  const std::size_t n = pins.size();
  constexpr std::size_t kFree = static_cast<std::size_t>(-1);
  std::vector<std::size_t> order(n, kFree);
  for (std::size_t i = 0; i < n; ++i) {
    if (!pins[i]) continue;
    const auto p = *pins[i];
    if (p < 0 || static_cast<std::size_t>(p) >= n || order[static_cast<std::size_t>(p)] != kFree)
      throw std::invalid_argument("pipeline_order: a pin out of range or taken twice");
    order[static_cast<std::size_t>(p)] = i;
  }
  std::size_t next = 0;  // the first free position
  for (std::size_t i = 0; i < n; ++i) {
    if (pins[i]) continue;
    while (order[next] != kFree) ++next;
    order[next] = i;
  }
  return order;
}

}  // namespace korvane::coordinator
