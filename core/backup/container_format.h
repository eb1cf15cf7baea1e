#pragma once
// The on-disk records of a container archive: the volume label at the start of
// every volume file and the archive header stored twice in volume 0. Integers
// are little-endian. Also the geometry that maps global physical block numbers
// to volume files.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace backupmedia {

inline constexpr uint32_t kLabelMagic = 0xA2B924CE;
inline constexpr uint16_t kLabelSize = 36;
inline constexpr uint16_t kLabelMinSize = 32;
inline constexpr uint32_t kMinBlockSize = 512;
inline constexpr uint32_t kMaxBlockSize = 262144;
inline constexpr uint32_t kDefaultBlockSize = 4096;
// Header bytes 0..55 are the fixed fields; the three root records follow.
inline constexpr uint32_t kHeaderImageSize = 56;
inline constexpr uint32_t kRootOffset = 56;
inline constexpr uint32_t kMinRootOffset = 48;
// Block 0 label, blocks 1 and 2 header copies: the first data block of volume 0.
inline constexpr uint64_t kFirstDataBlock = 3;
// Byte-range locks on volume files.
inline constexpr uint64_t kWriterLockByte = 510;
inline constexpr uint64_t kReaderLockByte = 511;

inline uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Load64(const uint8_t* p) { return Load32(p) | static_cast<uint64_t>(Load32(p + 4)) << 32; }
inline void Store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Store64(uint8_t* p, uint64_t v) {
  Store32(p, static_cast<uint32_t>(v));
  Store32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Adler-32 with the initial value 1.
uint32_t Adler32(const uint8_t* data, size_t length);

inline bool IsValidBlockSize(uint64_t size) {
  return size >= kMinBlockSize && size <= kMaxBlockSize && (size & (size - 1)) == 0;
}

struct VolumeLabel {
  uint16_t length = kLabelSize;
  uint16_t flags = 1;
  uint64_t archive_id = 0;
  uint32_t volume_id = 0;
  uint32_t volume_number = 0;  // 1-based
  uint32_t block_size = 0;
  uint32_t blocks_per_volume = 0;  // 0: a single unlimited volume
};

// Writes the 36-byte label with its checksum.
void EncodeLabel(const VolumeLabel& label, uint8_t* out);
// Parses and checks a label (magic, length, flags, block size, blocks per
// volume, checksum); false when any check fails. `size` must be at least 36.
bool DecodeLabel(const uint8_t* data, size_t size, VolumeLabel& label);

// Offsets of the header fields.
namespace header {
inline constexpr size_t kChecksum = 0;
inline constexpr size_t kSequence = 4;
inline constexpr size_t kSalt = 8;
inline constexpr size_t kCommitCount = 12;
inline constexpr size_t kRootOffset = 16;
inline constexpr size_t kRootSize = 20;
inline constexpr size_t kCursor = 24;
inline constexpr size_t kLogicalSize = 32;
inline constexpr size_t kMarkedSize = 40;
inline constexpr size_t kHighWater = 48;
}  // namespace header

// Root record size of a new archive.
inline uint32_t RootRecordSizeFor(uint32_t block_size) { return (block_size - kRootOffset) / 3; }

// Stores the checksum of a formatted header block.
void SealHeader(uint8_t* block, uint32_t block_size);
// The sequence number of a valid header copy, 0 when the copy is not valid.
uint32_t ValidateHeader(const uint8_t* block, uint32_t block_size);
// True for a valid copy of the older header layout (4096-byte blocks only).
bool IsOlderLayoutHeader(const uint8_t* block, uint32_t block_size);
// The current one of the two header copies at `copies` (blocks 1 and 2, each
// `block_size` bytes): 1 or 2, the valid copy with the higher sequence number,
// the first on a tie; 0 when neither copy is valid.
int CurrentHeaderCopy(const uint8_t* copies, uint32_t block_size);
// True when either of the two copies at `copies` is of the older header layout.
bool HasOlderLayoutCopy(const uint8_t* copies, uint32_t block_size);
// The sequence number following `sequence` (0 is skipped).
inline uint32_t NextSequence(uint32_t sequence) { return sequence == 0xFFFFFFFFu ? 1 : sequence + 1; }

// Where a global physical block lives: volume index and byte offset in that
// volume's file. `blocks_per_volume` 0 means a single volume.
struct BlockPlace {
  uint64_t volume;
  uint64_t byte_offset;
  uint64_t blocks_left;  // blocks from this one to the end of its volume (UINT64_MAX when unlimited)
};
BlockPlace PlaceOfBlock(uint64_t block, uint32_t blocks_per_volume, uint32_t block_size);

}  // namespace backupmedia
