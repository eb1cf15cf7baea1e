#include "core/backup/bit_encoder.h"

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using backupmedia::BitReader;
using backupmedia::BitWriter;
using container_test::CodeOf;

TEST(BitEncoder, PacksFieldsLeastSignificantBitFirst) {
  const struct {
    std::vector<std::pair<uint64_t, uint32_t>> fields;  // value, width
    std::vector<uint8_t> expected;
  } cases[] = {
      {{{5, 3}, {3, 2}}, {0x1D}},
      {{{0, 4}, {0xABC, 12}}, {0xC0, 0xAB}},
      {{{1, 1}, {0xFF, 8}, {1, 1}}, {0xFF, 0x03}},
      {{{0x1FF, 4}}, {0x0F}},  // only the low bits are written
      {{{~uint64_t{0}, 0}, {1, 1}}, {0x01}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record(c.expected.size(), 0xEE);  // the writer zero-fills
    BitWriter writer(record.data(), static_cast<uint32_t>(record.size()));
    for (auto [value, width] : c.fields) writer.Encode(value, width);
    EXPECT_EQ(record, c.expected);
  }
}

TEST(BitEncoder, FieldsPastCapacityFailAndChangeNothing) {
  std::vector<uint8_t> record(2);
  BitWriter writer(record.data(), 2);
  writer.Encode(0x7F, 7);
  EXPECT_EQ(CodeOf([&] { writer.Encode(0x3FF, 10); }), Common::kErrInvalidUsage);
  EXPECT_EQ(CodeOf([&] { writer.Encode(0, 65); }), Common::kErrInvalidUsage);
  EXPECT_EQ(writer.Position(), 7u);
  EXPECT_EQ(record, (std::vector<uint8_t>{0x7F, 0x00}));
  writer.Encode(0x1FF, 9);  // exactly up to the capacity
  EXPECT_EQ(CodeOf([&] { writer.Encode(0, 1); }), Common::kErrInvalidUsage);
  writer.Encode(0, 0);  // a zero-width field still fits
  EXPECT_EQ(writer.Position(), 16u);

  BitReader reader(record.data(), 2);
  EXPECT_EQ(reader.Decode(12), 0xFFFu);
  EXPECT_EQ(CodeOf([&] { reader.Decode(5); }), Common::kErrCorrupted);
  EXPECT_EQ(reader.Position(), 12u);
  EXPECT_EQ(reader.Decode(4), 0xFu);
  EXPECT_EQ(CodeOf([&] { reader.Decode(1); }), Common::kErrCorrupted);
}

// Fields of every width 0..64 at every alignment read back; padding stays zero.
TEST(BitEncoder, RandomFieldSequencesReadBack) {
  std::mt19937_64 random(zyk_test::TestSeed());
  for (uint64_t round = 0; round < zyk_test::Scaled(2000, 50); ++round) {
    std::vector<std::pair<uint64_t, uint32_t>> fields;
    uint32_t bits = 0;
    for (uint32_t width = random() % 65; bits + width <= 800; width = random() % 65) {
      fields.emplace_back(width < 64 ? random() & ((uint64_t{1} << width) - 1) : random(), width);
      bits += width;
    }
    std::vector<uint8_t> record((bits + 7) / 8);
    BitWriter writer(record.data(), static_cast<uint32_t>(record.size()));
    for (auto [value, width] : fields) writer.Encode(value, width);
    BitReader reader(record.data(), static_cast<uint32_t>(record.size()));
    for (auto [value, width] : fields) ASSERT_EQ(reader.Decode(width), value) << "width " << width;
    if (bits % 8 != 0) {
      EXPECT_EQ(record.back() >> (bits % 8), 0);
    }
  }
}

}  // namespace
