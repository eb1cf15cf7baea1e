// The allocation tree's node encoding from arbitrary records, and the bit
// cursors under it. A record that decodes must re-encode into a record of the
// same size that decodes to the same entries; the bit reader must either give
// a value of the asked width and advance by it, or throw and stay put.

#include <vector>

#include "core/backup/bit_encoder.h"
#include "core/backup/container_tree.h"
#include "core/common/error.h"
#include "fuzz/fuzz_targets.h"

namespace zyk_fuzz {
namespace {

using backupmedia::BitReader;
using backupmedia::BitWriter;
using backupmedia::Extent;

// Reads fields of the widths the input's own bytes give (65 is one past the
// largest width) up to the first refusal, and writes the values back with a BitWriter: the bits read
// must come out again in the same places.
void CheckBitCursors(const uint8_t* data, size_t size) {
  BitReader reader(data, static_cast<uint32_t>(size));
  std::vector<uint8_t> copy(size);
  BitWriter writer(copy.data(), static_cast<uint32_t>(size));
  for (size_t i = 0; i < size; ++i) {
    uint32_t width = data[i] % 66;
    uint64_t before = reader.Position();
    bool fits = width <= 64 && before + width <= reader.Capacity();
    try {
      uint64_t value = reader.Decode(width);
      FUZZ_CHECK(fits);
      FUZZ_CHECK(width == 64 || value >> width == 0);
      FUZZ_CHECK(reader.Position() == before + width);
      writer.Encode(value, width);
    } catch (const Common::Error&) {
      FUZZ_CHECK(!fits);
      FUZZ_CHECK(reader.Position() == before);
      break;  // throwing is slow; one refusal per input is enough
    }
  }
  uint64_t bits = reader.Position();
  for (uint64_t bit = 0; bit < bits; ++bit) FUZZ_CHECK(((data[bit / 8] ^ copy[bit / 8]) >> (bit % 8) & 1) == 0);
}

void CheckNodeRoundTrip(const uint8_t* record, size_t size) {
  std::vector<Extent> entries;
  try {
    entries = backupmedia::DecodeNode(record, static_cast<uint32_t>(size));
  } catch (const Common::Error& error) {
    FUZZ_CHECK(error.Code() == Common::kErrCorrupted);
    return;
  }
  std::vector<uint8_t> encoded(size);
  backupmedia::EncodeNode(entries, encoded.data(), static_cast<uint32_t>(size));  // must not throw
  FUZZ_CHECK(backupmedia::DecodeNode(encoded.data(), static_cast<uint32_t>(size)) == entries);
  FUZZ_CHECK(backupmedia::GetNodeSize(entries, static_cast<uint32_t>(size)) == 1);
}

}  // namespace

int TreeNode(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  CheckBitCursors(data, size);
  CheckNodeRoundTrip(data, size);
  return 0;
}

}  // namespace zyk_fuzz
