#include "core/backup/bit_encoder.h"

#include <cstring>

#include "core/common/error.h"

namespace backupmedia {

BitWriter::BitWriter(uint8_t* buffer, uint32_t bytes) : buffer_(buffer), capacity_(uint64_t{bytes} * 8) {
  if (bytes != 0) std::memset(buffer_, 0, bytes);
}

void BitWriter::Encode(uint64_t value, uint32_t width) {
  if (width > 64 || position_ + width > capacity_)
    throw Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("Encode"));
  if (width == 0) return;
  if (width < 64) value &= (uint64_t{1} << width) - 1;
  uint64_t byte = position_ / 8;
  uint32_t shift = position_ % 8;
  uint32_t left = width;
  if (shift != 0) {
    uint32_t take = 8 - shift < left ? 8 - shift : left;
    buffer_[byte] |= static_cast<uint8_t>((value & ((1u << take) - 1)) << shift);
    value = take < 64 ? value >> take : 0;
    left -= take;
    ++byte;
  }
  while (left >= 8) {
    buffer_[byte++] = static_cast<uint8_t>(value);
    value >>= 8;
    left -= 8;
  }
  if (left != 0) buffer_[byte] |= static_cast<uint8_t>(value & ((1u << left) - 1));
  position_ += width;
}

BitReader::BitReader(const uint8_t* buffer, uint32_t bytes) : buffer_(buffer), capacity_(uint64_t{bytes} * 8) {}

uint64_t BitReader::Decode(uint32_t width) {
  if (width > 64 || position_ + width > capacity_)
    throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Decode"));
  if (width == 0) return 0;
  uint64_t byte = position_ / 8;
  uint32_t shift = position_ % 8;
  uint64_t result = 0;
  uint32_t done = 0;
  if (shift != 0) {
    uint32_t take = 8 - shift < width ? 8 - shift : width;
    result = (buffer_[byte] >> shift) & ((1u << take) - 1);
    done = take;
    ++byte;
  }
  while (width - done >= 8) {
    result |= uint64_t{buffer_[byte++]} << done;
    done += 8;
  }
  if (done < width) result |= uint64_t{buffer_[byte] & ((1u << (width - done)) - 1)} << done;
  position_ += width;
  return result;
}

}  // namespace backupmedia
