#include "core/backup/container_format.h"

#include <zlib.h>

#include <limits>

namespace backupmedia {

uint32_t Adler32(const uint8_t* data, size_t length) {
  uLong value = adler32(0L, Z_NULL, 0);  // 1
  while (length > 0) {
    uInt piece = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
    value = adler32(value, data, piece);
    data += piece;
    length -= piece;
  }
  return static_cast<uint32_t>(value);
}

void EncodeLabel(const VolumeLabel& label, uint8_t* out) {
  std::memset(out, 0, kLabelSize);
  Store32(out + 0, kLabelMagic);
  Store16(out + 4, kLabelSize);
  Store16(out + 6, label.flags);
  Store64(out + 8, label.archive_id);
  Store32(out + 16, label.volume_id);
  Store32(out + 20, label.volume_number);
  Store32(out + 28, label.block_size);
  Store32(out + 32, label.blocks_per_volume);
  Store32(out + 24, Adler32(out, kLabelSize));
}

bool DecodeLabel(const uint8_t* data, size_t size, VolumeLabel& label) {
  if (size < kLabelSize) return false;
  uint16_t length = Load16(data + 4);
  if (Load32(data) != kLabelMagic || length < kLabelMinSize || length > kLabelSize) return false;
  // Bytes from the label length up to 36 count as zero.
  uint8_t copy[kLabelSize] = {};
  std::memcpy(copy, data, length);
  label.length = length;
  label.flags = Load16(copy + 6);
  label.archive_id = Load64(copy + 8);
  label.volume_id = Load32(copy + 16);
  label.volume_number = Load32(copy + 20);
  label.block_size = Load32(copy + 28);
  label.blocks_per_volume = Load32(copy + 32);
  if ((label.flags & 1) == 0 || !IsValidBlockSize(label.block_size)) return false;
  if (label.blocks_per_volume == 1 || label.blocks_per_volume == 2) return false;
  uint32_t stored = Load32(copy + 24);
  Store32(copy + 24, 0);
  return Adler32(copy, length) == stored;
}

void SealHeader(uint8_t* block, uint32_t block_size) {
  Store32(block + header::kChecksum, Adler32(block + 4, block_size - 4));
}

uint32_t ValidateHeader(const uint8_t* block, uint32_t block_size) {
  uint32_t root_offset = Load32(block + header::kRootOffset);
  uint32_t root_size = Load32(block + header::kRootSize);
  if (root_offset < kMinRootOffset || root_offset > block_size) return 0;
  if (root_size > (block_size - root_offset) / 3) return 0;
  if (Load32(block + header::kChecksum) != Adler32(block + 4, block_size - 4)) return 0;
  return Load32(block + header::kSequence);
}

bool IsOlderLayoutHeader(const uint8_t* block, uint32_t block_size) {
  if (block_size != 4096) return false;
  if (Load32(block + 8) != 40 || Load32(block + 12) != (4096 - 40) / 3) return false;
  return Load32(block + header::kChecksum) == Adler32(block + 4, block_size - 4);
}

int CurrentHeaderCopy(const uint8_t* copies, uint32_t block_size) {
  uint32_t sequence1 = ValidateHeader(copies, block_size);
  uint32_t sequence2 = ValidateHeader(copies + block_size, block_size);
  if (sequence1 == 0 && sequence2 == 0) return 0;
  return sequence2 > sequence1 ? 2 : 1;
}

bool HasOlderLayoutCopy(const uint8_t* copies, uint32_t block_size) {
  return IsOlderLayoutHeader(copies, block_size) || IsOlderLayoutHeader(copies + block_size, block_size);
}

BlockPlace PlaceOfBlock(uint64_t block, uint32_t blocks_per_volume, uint32_t block_size) {
  if (blocks_per_volume == 0 || block == 0)
    return {0, block * block_size,
            blocks_per_volume == 0 ? std::numeric_limits<uint64_t>::max() : blocks_per_volume - block};
  uint64_t data_blocks = blocks_per_volume - 1;
  uint64_t volume = (block - 1) / data_blocks;
  uint64_t local = block - volume * data_blocks;  // 1 .. V-1
  return {volume, local * block_size, blocks_per_volume - local};
}

}  // namespace backupmedia
