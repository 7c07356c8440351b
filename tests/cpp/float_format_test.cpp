#include "korvane/common/float_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <cstring>
#include <random>

using namespace korvane;

TEST(FloatRepr, MatchesPythonForms) {
  EXPECT_EQ(float_repr(2.0), "2.0");
  EXPECT_EQ(float_repr(2.5), "2.5");
  EXPECT_EQ(float_repr(2.302585092994046), "2.302585092994046");
  EXPECT_EQ(float_repr(0.0001), "0.0001");
  EXPECT_EQ(float_repr(0.00001), "1e-05");
  EXPECT_EQ(float_repr(1.5e16), "1.5e+16");
  EXPECT_EQ(float_repr(1e16), "1e+16");
  EXPECT_EQ(float_repr(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(float_repr(1234567890123456.0), "1234567890123456.0");
  EXPECT_EQ(float_repr(0.0), "0.0");
  EXPECT_EQ(float_repr(-0.0), "-0.0");
  EXPECT_EQ(float_repr(-1.25e-7), "-1.25e-07");
  EXPECT_EQ(float_repr(1e300), "1e+300");
  EXPECT_EQ(float_repr(5e-324), "5e-324");
  EXPECT_EQ(float_repr(0.1), "0.1");
  EXPECT_EQ(float_repr(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_repr(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(float_repr(std::nan("")), "nan");
  EXPECT_EQ(float_repr(-std::nan("")), "nan");
}

TEST(FloatRepr, RoundTripsThroughParse) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    auto back = parse_float(float_repr(v));
    ASSERT_TRUE(back.has_value()) << float_repr(v);
    if (std::isnan(v)) {
      EXPECT_TRUE(std::isnan(*back));
    } else {
      uint64_t got;
      std::memcpy(&got, &*back, sizeof got);
      EXPECT_EQ(got, bits) << float_repr(v);
    }
  }
}

TEST(ParseFloat, AcceptsPythonFormsAndRejectsOthers) {
  EXPECT_EQ(parse_float("2.5"), 2.5);
  EXPECT_EQ(parse_float(" 1e-05 "), 1e-05);
  EXPECT_EQ(parse_float("+3"), 3.0);
  EXPECT_EQ(parse_float("-inf"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_float("Infinity"), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(*parse_float("nan")));
  EXPECT_EQ(parse_float("1e999"), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::signbit(*parse_float("-0.0")));
  for (const char* bad : {"", " ", "abc", "1.5x", "--1", "+-1", "0x10", "nan(1)", "1,5", "1 2"})
    EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(FloatFixed, FormatsLikePython) {
  EXPECT_EQ(float_fixed(2.302585, 4), "2.3026");
  EXPECT_EQ(float_fixed(0.0, 4), "0.0000");
  EXPECT_EQ(float_fixed(25.6, 1), "25.6");
  EXPECT_EQ(float_fixed(0.125, 2), "0.12");  // exact binary value rounds half to even
  EXPECT_EQ(float_fixed(-std::nan(""), 4), "nan");
  EXPECT_EQ(float_fixed(-std::numeric_limits<double>::infinity(), 1), "-inf");
}

TEST(WithThousands, GroupsDigits) {
  EXPECT_EQ(with_thousands(2362368), "2,362,368");
  EXPECT_EQ(with_thousands(0), "0");
  EXPECT_EQ(with_thousands(999), "999");
  EXPECT_EQ(with_thousands(1000), "1,000");
  EXPECT_EQ(with_thousands(-1234567), "-1,234,567");
}
