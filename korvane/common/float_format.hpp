// Floating-point text in the forms Python prints, from one place.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// Shortest text that reads back as the same double, as Python's repr(float) writes it:
// 2.0, 2.302585092994046, 1e-05, 1.5e+16, -0.0, inf, -inf, nan.
std::string float_repr(double v);

// Fixed-point with `digits` digits after the point, as Python's format(v, ".Nf").
std::string float_fixed(double v, int digits);

// Parses a decimal number the way Python's float() does for the forms float_repr writes
// (also "infinity", "+1.5", surrounding blanks). nullopt when the text is not a number.
std::optional<double> parse_float(std::string_view text);

// Decimal integer with commas as thousands separators (2,362,368), as format(n, ",").
std::string with_thousands(long long n);

}  // namespace korvane
