#include "core/backup/bit_encoder.h"

#include <cstdint>
#include <utility>
#include <vector>

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

}  // namespace
