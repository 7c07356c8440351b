// The byte form of CompressedTensor: exact bytes, round trips, and data that is cut short,
// hostile or does not fit.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "korvane/carrowel/compression/compressed_tensor.hpp"
#include "korvane/common/errors.hpp"

using namespace korvane;
using namespace korvane::carrowel;

namespace {
std::string le32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}
std::string le64(std::uint64_t v) { return le32(static_cast<std::uint32_t>(v)) + le32(static_cast<std::uint32_t>(v >> 32)); }
const std::string kFalse(1, '\0');  // an is_backward byte (a "\x00" literal would be empty)
}  // namespace

TEST(ByteForm, TwoByThreeActivationIsFortyThreeBytes) {
  const std::vector<float> v = {1.5f, -2.0f, 0.0f, -0.0f, 0.25f, -1.0f};
  const auto c = compression::compress_values(v.data(), v.size(), {2, 3}, 64, false);
  const std::string want = le32(2) + le64(2) + le64(3) + le32(64) + std::string(1, '\0') + le32(1) +
                           std::string("\x00\x40", 2) /* 2.0 */ + le32(8) +
                           std::string("\xdd\xff\xff\xff\xff\xff\xff\xff", 8);
  ASSERT_EQ(want.size(), 43u);
  EXPECT_EQ(c.to_bytes(), want);
  EXPECT_EQ(CompressedTensor::from_bytes(want), c);
  EXPECT_EQ(c.num_elements(), 6);
  EXPECT_EQ(c.size_bytes(), 10u);
  EXPECT_DOUBLE_EQ(c.compression_ratio(), 2.4);
}

TEST(ByteForm, ScalarAndEmptyRecords) {
  CompressedTensor scalar{{0x3c00}, {0xff}, {}, 64, true};
  EXPECT_EQ(scalar.num_elements(), 1);
  EXPECT_EQ(scalar.to_bytes(), le32(0) + le32(64) + "\x01" + le32(1) + std::string("\x00\x3c", 2) + le32(1) + "\xff");

  CompressedTensor empty{{}, {}, {3, 0, 5}, 64, false};
  EXPECT_EQ(empty.num_elements(), 0);
  EXPECT_EQ(empty.size_bytes(), 0u);
  EXPECT_THROW(empty.compression_ratio(), ZeroDivisionError);
  const std::string b = empty.to_bytes();
  EXPECT_EQ(b.size(), 17u + 8 * 3);
  EXPECT_EQ(CompressedTensor::from_bytes(b), empty);
}

TEST(ByteForm, RatioOfFullGroups) {
  const std::vector<float> v(64 * 10, 1.0f);
  const auto c = compression::compress_values(v.data(), v.size(), {10, 64}, 64, false);
  EXPECT_EQ(c.size_bytes(), 100u);
  EXPECT_DOUBLE_EQ(c.compression_ratio(), 25.6);
}

TEST(ByteForm, RandomRecordsRoundTrip) {
  std::mt19937 rng(5);
  for (int i = 0; i < 200; ++i) {
    CompressedTensor c;
    c.shape.resize(rng() % 5);
    for (auto& d : c.shape) d = rng() % 7;
    c.scales.resize(rng() % 40);
    for (auto& s : c.scales) s = static_cast<std::uint16_t>(rng());  // NaN patterns too
    c.signs.resize(rng() % 70);
    for (auto& s : c.signs) s = static_cast<std::uint8_t>(rng());
    c.group_size = rng() % 200;
    c.is_backward = rng() & 1;
    ASSERT_EQ(CompressedTensor::from_bytes(c.to_bytes()), c);
  }
}

TEST(ByteForm, ReadingIsLenientOnlyWhereTheFormatSays) {
  std::string b = CompressedTensor{{0x4000}, {0x0e}, {4}, 4, false}.to_bytes();
  b[8 + 4 + 4] = '\x02';  // any non-zero is_backward byte means true
  EXPECT_TRUE(CompressedTensor::from_bytes(b).is_backward);
  const auto parsed = CompressedTensor::from_bytes(b + "trailing bytes");
  EXPECT_EQ(parsed.signs, std::vector<std::uint8_t>{0x0e});
  EXPECT_EQ(parsed.shape, std::vector<std::int64_t>{4});
}

// Every prefix of a valid body fails: inside the fixed fields, and inside the scales or
// signs blocks, which would otherwise come back shorter than announced.
TEST(ByteForm, EveryTruncationIsAnError) {
  const std::string b = CompressedTensor{{0x4000, 0x3c00, 0x0001}, {1, 2, 3, 4, 5}, {2, 6}, 4, true}.to_bytes();
  for (std::size_t len = 0; len < b.size(); ++len)
    EXPECT_THROW(CompressedTensor::from_bytes(b.substr(0, len)), ValueError) << len;
  EXPECT_NO_THROW(CompressedTensor::from_bytes(b));
}

TEST(ByteForm, ErrorsNameWhatIsMissing) {
  try {
    CompressedTensor::from_bytes(std::string(3, '\0'));
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("shape_len"), std::string::npos) << e.what();
  }
  const std::string b = CompressedTensor{{0x4000, 0x3c00}, {1, 2}, {8}, 4, false}.to_bytes();
  try {
    CompressedTensor::from_bytes(b.substr(0, b.size() - 1));
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("signs block is cut short"), std::string::npos) << e.what();
  }
}

// Length fields near 2^32 with almost no data behind them: each must fail before memory is
// reserved for the claim (under ASan an attempt to allocate that much aborts the test).
TEST(ByteForm, HostileLengthsFailWithoutAllocating) {
  EXPECT_THROW(CompressedTensor::from_bytes(le32(0xffffffffu) + le64(1)), ValueError);
  const std::string head = le32(1) + le64(4) + le32(4) + kFalse;
  EXPECT_THROW(CompressedTensor::from_bytes(head + le32(0xffffffffu) + std::string("\x00\x40", 2)), ValueError);
  EXPECT_THROW(CompressedTensor::from_bytes(head + le32(0x80000000u) + std::string("\x00\x40", 2)), ValueError);
  EXPECT_THROW(CompressedTensor::from_bytes(head + le32(0) + le32(0xffffffffu) + "\xff"), ValueError);
  // Dimensions whose product overflows, and one beyond any tensor size.
  EXPECT_THROW(CompressedTensor::from_bytes(le32(2) + le64(1ull << 32) + le64(1ull << 32) + le32(4) + kFalse +
                                            le32(0) + le32(0)),
               ValueError);
  EXPECT_THROW(CompressedTensor::from_bytes(le32(1) + le64(1ull << 63) + le32(4) + kFalse + le32(0) + le32(0)),
               ValueError);
  // A zero dimension makes the product 0 however large the others are.
  const auto zero = CompressedTensor::from_bytes(le32(3) + le64(1ull << 40) + le64(1ull << 40) + le64(0) + le32(4) +
                                                 kFalse + le32(0) + le32(0));
  EXPECT_EQ(zero.num_elements(), 0);
}

TEST(ByteForm, WritingRejectsFieldsThatDoNotFit) {
  CompressedTensor c{{0x3c00}, {0xff}, {3, -1}, 64, false};
  EXPECT_THROW(c.to_bytes(), ValueError);
  c.shape = {3};
  c.group_size = -1;
  EXPECT_THROW(c.to_bytes(), ValueError);
  c.group_size = 1ll << 32;
  EXPECT_THROW(c.to_bytes(), ValueError);
  c.group_size = 0xffffffffll;
  EXPECT_EQ(CompressedTensor::from_bytes(c.to_bytes()).group_size, 0xffffffffll);
}
