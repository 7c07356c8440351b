#include "korvane/common/float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace korvane {

std::string float_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, size_t(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exp10 = std::atoi(std::string(sci.substr(e + 1)).c_str());
  if (digits == "0") exp10 = 0;  // zero: positional "0.0"

  if (exp10 >= -4 && exp10 < 16) {
    if (exp10 >= 0) {
      const size_t int_len = size_t(exp10) + 1;
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out += digits.substr(0, int_len);
        out += '.';
        out += digits.substr(int_len);
      }
    } else {
      out += "0.";
      out.append(size_t(-exp10 - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  char ebuf[16];
  std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
  out += ebuf;
  return out;
}

std::string float_fixed(double v, int digits) {
  if (std::isnan(v)) return "nan";  // glibc would write "-nan" for a negative NaN
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  if (n >= 0 && size_t(n) < sizeof buf) return std::string(buf, size_t(n));
  std::string big(size_t(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), "%.*f", digits, v);
  big.resize(size_t(n));
  return big;
}

std::optional<double> parse_float(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  // Python accepts only the bare words for the special values, not "nan(...)".
  if (text.find('(') != std::string_view::npos) return std::nullopt;
  double v = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow reads as infinity and underflow as zero, as in Python; from_chars leaves v alone.
    v = std::strtod(std::string(text).c_str(), nullptr);
  } else if (res.ec != std::errc()) {
    return std::nullopt;
  }
  if (res.ptr != text.data() + text.size()) return std::nullopt;
  return negative ? -v : v;
}

std::string with_thousands(long long n) {
  std::string digits = std::to_string(n < 0 ? -(unsigned long long)n : (unsigned long long)n);
  std::string out;
  const size_t lead = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
  out += digits.substr(0, lead);
  for (size_t i = lead; i < digits.size(); i += 3) {
    out += ',';
    out += digits.substr(i, 3);
  }
  return n < 0 ? "-" + out : out;
}

}  // namespace korvane
