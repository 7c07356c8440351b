// The terms a member may set at its join beyond the plain protocol: the codecs of the
// task's relay bodies, and the pipeline position it asks for.
//
// Codecs. The first member of a run fixes the task's pair (activations, gradients); a
// member that asks for another pair is refused, so no member of a run can receive bytes
// in a codec it did not agree to. A join that names no codec asks for the plain sign
// record in both directions.
//
// Stages. A member may pin a position; the others fill the free positions in join order.
// Plain functions over plain data, so the registry and its tests share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::coordinator {

struct CodecPair {
  std::string activation;
  std::string gradient;
  bool operator==(const CodecPair&) const = default;
};

// The pair a join asks for when it names none.
CodecPair default_codecs();
// One of the codec names the protocol knows.
bool known_codec(std::string_view name);
// "activation=A gradient=G", for error texts and logs.
std::string describe(const CodecPair& pair);

// The pipeline order of a forming run's members, given the position each pinned
// (nullopt: none): result[p] is the index (join order) of the member at position p.
// Needs pins.size() == stages, every pin below `stages` and no pin twice.
std::vector<std::size_t> pipeline_order(const std::vector<std::optional<std::int64_t>>& pins);

}  // namespace korvane::coordinator
