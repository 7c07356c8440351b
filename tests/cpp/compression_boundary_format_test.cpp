// The boundary message byte form: what it writes, that it reads back, and that no
// truncated, inflated or inconsistent body gets past the parser.
#include "korvane/carrowel/compression/boundary_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "korvane/carrowel/compression/compressed_tensor.hpp"
#include "korvane/common/errors.hpp"

using namespace korvane;
using namespace korvane::carrowel;
using namespace korvane::carrowel::compression;

namespace {
std::string write(const BoundaryHeader& h, const std::vector<OutgoingEntry>& entries) {
  std::string out(boundary_size(h, entries), '\0');
  write_boundary(h, entries, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

struct Sample {
  std::vector<float> floats = {1.0f, -2.0f, 0.25f, 3.0f, -0.5f, 7.0f};
  std::vector<std::int64_t> ids = {0, -1, std::numeric_limits<std::int64_t>::max(), 42};
  std::vector<std::uint8_t> mask = {1, 0, 1};

  std::vector<OutgoingEntry> entries(bool keys) const {
    std::vector<OutgoingEntry> e(4);
    e[0] = {keys ? "hidden" : "", EntryForm::coded, ElementType::float32, {2, 3}, floats.data(), 6};
    e[1] = {keys ? "none" : "", EntryForm::none, ElementType::float32, {}, nullptr, 0};
    e[2] = {keys ? "ids" : "", EntryForm::raw, ElementType::int64, {4}, ids.data(), 4};
    e[3] = {keys ? "mask" : "", EntryForm::raw, ElementType::boolean, {1, 3}, mask.data(), 3};
    return e;
  }
};

void expect_malformed(const std::string& body, const std::string& words = "") {
  try {
    parse_boundary(body);
    ADD_FAILURE() << "parsed: " << body.size() << " bytes";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
  }
}
}  // namespace

TEST(BoundaryFormat, WritesAndReadsEveryStructureAndCodec) {
  Sample s;
  for (Codec codec : kAllCodecs) {
    for (Structure st : {Structure::tuple, Structure::list, Structure::dict}) {
      const BoundaryHeader h{codec, true, st};
      const std::string body = write(h, s.entries(st == Structure::dict));
      ASSERT_TRUE(is_boundary_message(body));
      const ParsedBoundary m = parse_boundary(body);
      EXPECT_EQ(m.header.codec, codec);
      EXPECT_TRUE(m.header.is_backward);
      EXPECT_EQ(m.header.structure, st);
      ASSERT_EQ(m.entries.size(), 4u);
      EXPECT_EQ(m.entries[0].shape, (std::vector<std::int64_t>{2, 3}));
      EXPECT_EQ(m.entries[0].group_size, default_group_size(codec));
      EXPECT_EQ(m.entries[1].form, EntryForm::none);
      EXPECT_EQ(m.entries[2].dtype, ElementType::int64);
      EXPECT_EQ(0, std::memcmp(m.entries[2].payload, s.ids.data(), 32));
      EXPECT_EQ(m.entries[3].shape, (std::vector<std::int64_t>{1, 3}));
      if (st == Structure::dict) {
        EXPECT_EQ(m.entries[2].key, "ids");
      }
      std::vector<float> out(6);
      decode_entry(codec, m.entries[0], out.data());
      if (codec == Codec::fp32 || codec == Codec::bf16 || codec == Codec::fp16) {
        EXPECT_EQ(out, s.floats);
      } else if (codec == Codec::sign) {
        EXPECT_EQ(out, (std::vector<float>{7, -7, 7, 7, -7, 7}));
      }
    }
  }
}

TEST(BoundaryFormat, NoValidSignRecordLooksLikeAMessage) {
  // A record's first four bytes are its dimension count; the magic read that way asks for
  // more dimensions than a 64 MiB body holds, so the record parser refuses it too.
  std::uint32_t as_count;
  std::memcpy(&as_count, kBoundaryMagic, 4);
  EXPECT_GT(std::uint64_t{as_count} * 8, std::uint64_t{64} << 20);
  Sample s;
  const std::string body = write({Codec::int8, false, Structure::tensor}, {s.entries(false)[0]});
  EXPECT_THROW(CompressedTensor::from_bytes(body), ValueError);
  CompressedTensor record;
  record.shape = {4};
  record.scales = {0x3c00};
  record.signs = {0x0f};
  EXPECT_FALSE(is_boundary_message(record.to_bytes()));
}

TEST(BoundaryFormat, EveryTruncationAndTrailingByteIsRefused) {
  Sample s;
  for (Codec codec : {Codec::sign, Codec::int4, Codec::fp16}) {
    const std::string body = write({codec, false, Structure::dict}, s.entries(true));
    for (std::size_t len = 0; len < body.size(); ++len) expect_malformed(body.substr(0, len));
    expect_malformed(body + '\0', "follow the last entry");
  }
}

TEST(BoundaryFormat, HostileFieldsAreRefusedBeforeAnyAllocation) {
  Sample s;
  const std::string good = write({Codec::int8, false, Structure::tuple}, s.entries(false));
  auto patched = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
    std::string b = good;
    std::memcpy(b.data() + at, bytes.data(), bytes.size());
    return b;
  };
  expect_malformed(patched(4, {2}), "version");
  expect_malformed(patched(5, {9}), "unknown codec");
  expect_malformed(patched(6, {2}), "flags");
  expect_malformed(patched(7, {4}), "structure");
  expect_malformed(patched(8, {0xff, 0xff, 0xff, 0xff}), "entries announced");
  expect_malformed(patched(8, {5, 0, 0, 0}), "ends inside");
  // Entry 0 starts at 12: form, dtype, ndim, dims...
  expect_malformed(patched(12, {3}), "unknown form");
  expect_malformed(patched(13, {10}), "unknown element type");
  expect_malformed(patched(13, {8}), "travel raw");  // int64 elements in a coded entry
  expect_malformed(patched(14, {0xff, 0xff, 0xff, 0x7f}), "dimensions in");
  expect_malformed(patched(18, {0, 0, 0, 0, 0, 0, 0, 0x80}), "beyond any tensor size");
  expect_malformed(patched(18, {0, 0, 0, 0, 0, 0, 0, 0x40}), "too large for a tensor");
  expect_malformed(patched(18, {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0}), "its shape needs");
  expect_malformed(patched(34, {65, 0, 0, 0}), "does not suit");
  expect_malformed(patched(34, {0, 0, 0, 0}), "does not suit");
  expect_malformed(patched(38, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), "its shape needs");

  // A bool element other than 0 or 1, and a duplicate of nothing else: the last byte is the mask's.
  std::string bad_bool = good;
  bad_bool.back() = 2;
  expect_malformed(bad_bool, "neither 0 nor 1");

  // A single-tensor message holds exactly one entry.
  std::string single = write({Codec::int8, false, Structure::tensor}, {s.entries(false)[2]});
  single[8] = 2;
  expect_malformed(single, "single-tensor");
}

TEST(BoundaryFormat, ZeroSizedAndScalarTensors) {
  float one = 3.0f;
  std::vector<OutgoingEntry> e(2);
  e[0] = {"", EntryForm::coded, ElementType::float32, {}, &one, 1};
  e[1] = {"", EntryForm::coded, ElementType::float32, {5, 0, std::int64_t{1} << 40}, nullptr, 0};
  for (Codec codec : kAllCodecs) {
    const std::string body = write({codec, false, Structure::list}, e);  // the entries view it
    const ParsedBoundary m = parse_boundary(body);
    EXPECT_EQ(m.entries[0].numel, 1u);
    EXPECT_EQ(m.entries[1].numel, 0u);
    EXPECT_EQ(m.entries[1].payload_size, 0u);
    float out = 0;
    decode_entry(codec, m.entries[0], &out);
    EXPECT_NEAR(out, 3.0f, codec == Codec::int2_hadamard || codec == Codec::int2 ? 1.0f : 0.02f) << codec_name(codec);
  }
}

TEST(BoundaryFormat, UnrepresentableValuesAreErrorsNamingTheCodecAndTheEntry) {
  std::vector<float> big = {1.0f, 70000.0f};
  std::vector<OutgoingEntry> e(1);
  e[0] = {"acts", EntryForm::coded, ElementType::float32, {2}, big.data(), 2};
  for (Codec codec : {Codec::int8, Codec::int4, Codec::fp16}) {
    try {
      write({codec, false, Structure::dict}, e);
      ADD_FAILURE() << codec_name(codec);
    } catch (const ValueError& err) {
      const std::string what = err.what();
      EXPECT_NE(what.find(std::string("the ") + codec_name(codec) + " codec"), std::string::npos) << what;
      EXPECT_NE(what.find("entry 'acts'"), std::string::npos) << what;
      EXPECT_NE(what.find("65504"), std::string::npos) << what;
    }
  }
  EXPECT_NO_THROW(write({Codec::bf16, false, Structure::dict}, e));
  EXPECT_NO_THROW(write({Codec::sign, false, Structure::dict}, e));  // sign keeps its infinite scale
}
