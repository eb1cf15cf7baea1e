#pragma once
// Bit-level fields of arbitrary width (0 to 64 bits) in a fixed byte record,
// least significant bit first. Used by the allocation tree's node encoding.
// Both cursors throw Common::Error; a failed call changes neither the position
// nor the record.

#include <cstdint>

namespace backupmedia {

class BitWriter {
 public:
  // Zero-fills the `bytes` bytes of `buffer` (not owned) and starts at bit 0.
  BitWriter(uint8_t* buffer, uint32_t bytes);

  // Appends the low `width` bits of `value`. Throws 0x0004001F when they would
  // pass the end of the record or width exceeds 64.
  void Encode(uint64_t value, uint32_t width);

  uint64_t Position() const { return position_; }
  uint64_t Capacity() const { return capacity_; }

 private:
  uint8_t* buffer_;
  uint64_t capacity_;  // bits
  uint64_t position_ = 0;
};

class BitReader {
 public:
  // Reads `buffer` (not owned, `bytes` bytes) from bit 0.
  BitReader(const uint8_t* buffer, uint32_t bytes);

  // The next `width` bits as an unsigned number (0 for width 0). Throws
  // 0x0004000D when they would pass the end of the record or width exceeds 64.
  uint64_t Decode(uint32_t width);

  uint64_t Position() const { return position_; }
  uint64_t Capacity() const { return capacity_; }

 private:
  const uint8_t* buffer_;
  uint64_t capacity_;  // bits
  uint64_t position_ = 0;
};

}  // namespace backupmedia
