#include "korvane/carrowel/client/assignment_record.hpp"

#include <cmath>

#include "korvane/common/errors.hpp"
#include "korvane/common/float_format.hpp"
#include "korvane/protocol/protocol.hpp"

namespace korvane::carrowel::client {
using nlohmann::json;
namespace field = protocol::field;

namespace {

std::string quoted_text(const std::string& s) {
  const bool single = s.find('\'') == std::string::npos || s.find('"') != std::string::npos;
  const char quote = single ? '\'' : '"';
  std::string out(1, quote);
  for (unsigned char c : s) {
    if (c == '\\' || c == quote) {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static const char* hex = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out + quote;
}

long long integer_field(const json& answer, const char* key) {
  const auto it = answer.find(key);
  if (it == answer.end()) throw KeyError(key);
  if (it->is_number_integer()) return it->get<long long>();
  if (it->is_number_float()) {
    const double d = it->get<double>();
    // Only a float that is exactly an integer in range stands for one.
    if (std::isfinite(d) && d >= -9.2e18 && d <= 9.2e18 && d == double((long long)d)) return (long long)d;
  }
  throw TypeError(std::string("assignment field '") + key + "' must be an integer, got " + python_repr(*it));
}

// The Python type json.loads gives the value.
const char* python_type_name(const json& value) {
  switch (value.type()) {
    case json::value_t::null: return "NoneType";
    case json::value_t::boolean: return "bool";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "int";
    case json::value_t::number_float: return "float";
    case json::value_t::string: return "str";
    case json::value_t::array: return "list";
    case json::value_t::object: return "dict";
    default: return "bytes";
  }
}

std::optional<std::string> optional_text_field(const json& answer, const char* key) {
  const auto it = answer.find(key);
  if (it == answer.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) throw TypeError(std::string("Argument '") + key + "' has incorrect type (expected str, got " +
                    python_type_name(*it) + ")");
  return it->get<std::string>();
}

}  // namespace

std::string python_repr(const json& value) {
  switch (value.type()) {
    case json::value_t::null: return "None";
    case json::value_t::boolean: return value.get<bool>() ? "True" : "False";
    case json::value_t::number_integer: return std::to_string(value.get<long long>());
    case json::value_t::number_unsigned: return std::to_string(value.get<unsigned long long>());
    case json::value_t::number_float: return float_repr(value.get<double>());
    case json::value_t::string: return quoted_text(value.get_ref<const std::string&>());
    case json::value_t::array: {
      std::string out = "[";
      for (const auto& e : value) out += (out.size() > 1 ? ", " : "") + python_repr(e);
      return out + "]";
    }
    case json::value_t::object: {
      std::string out = "{";
      for (const auto& [k, v] : value.items()) out += (out.size() > 1 ? ", " : "") + quoted_text(k) + ": " + python_repr(v);
      return out + "}";
    }
    default: return "<binary>";
  }
}

AssignmentRecord read_assignment(const json& answer) {
  if (answer.is_null()) throw TypeError("coordinator answered null instead of an assignment");
  if (!answer.is_object()) throw TypeError("coordinator answered " + python_repr(answer) + " instead of an assignment");
  AssignmentRecord r;
  r.layer_start = integer_field(answer, field::kLayerStart);
  r.layer_end = integer_field(answer, field::kLayerEnd);
  r.pipeline_position = integer_field(answer, field::kPipelinePosition);
  r.upstream_trainer = optional_text_field(answer, field::kUpstreamTrainer);
  r.downstream_trainer = optional_text_field(answer, field::kDownstreamTrainer);
  r.layer_weights_hash = optional_text_field(answer, field::kLayerWeightsHash).value_or("");
  return r;
}

}  // namespace korvane::carrowel::client
