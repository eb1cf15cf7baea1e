#pragma once
// ContainerArchive: one logical byte stream kept in one or more volume files as
// fixed-size blocks, with copy-on-write updates. Data blocks are never
// overwritten in place; a new state becomes visible only when Commit() writes
// the next of two alternating header copies, and only after every block it
// references has been synced. One writer and many readers share an archive
// through byte-range locks on the volume files.
//
// The archive is itself a rio_file: Read, Write, Seek*, GetSize, Truncate,
// Flush (a full commit) and IOCTL ("SDAT", "ALCM") work on the logical stream.
// None of them throws; a failure is stored as the last error. A failed
// Write, Truncate, Flush or "SDAT" may leave the cache and the trees partly
// written, so from then on every operation fails with that error, even after
// the caller has taken it; the on-disk state stays that of the last complete
// header write. A failed Read or "ALCM" changes nothing and stops nothing.
// Positions before the start are refused with 0x40005; a Truncate beyond the
// largest offset (2^63 - 1) is refused with 0x40003 before anything changes.
//
// Volume files are reached only through the parent rio_dir and the rio_file
// interface, so tests can slide a fault-injecting wrapper underneath.
//
// Not internally locked: one caller at a time.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/backup/archive_name_generator.h"
#include "core/backup/block_ranges.h"
#include "core/backup/block_store.h"
#include "core/backup/container_format.h"
#include "core/backup/container_tree.h"
#include "core/common/error.h"
#include "core/common/ustring.h"
#include "core/include/file/dir.h"
#include "core/include/file/file.h"

namespace backupmedia {

// What the archive tells its retry callback.
struct RetryRequest {
  uint32_t reason = 0;  // 0 read, 1 write
  uint32_t constant_two = 2;
  uint32_t constant_one = 1;
  Common::Error error;
  uint32_t volume_number = 0;  // volume index + 1
  uint32_t read_count = 0;
  uint32_t write_count = 0;
  uint32_t volume_id = 0;
  uint64_t archive_id = 0;
  UString file_name;
  uint32_t result = 0;  // set by the callback: 1 gives up, anything else retries
};

// Supplied by whoever creates the archive; asked whether to retry a failed
// volume operation. The archive fills `request` before each call.
class CallbackHolder {
 public:
  virtual ~CallbackHolder() = default;
  virtual void Request() = 0;
  RetryRequest request;
};

// Thrown inside the archive when a volume file operation fails; always caught
// by the archive's retry loops.
struct RetriableError {
  Common::Error error;
  uint32_t volume;
};

// Archive parameters as the container entry points receive them.
struct ArchiveParameters {
  uint8_t reserved0 = 0;
  uint8_t reserved1 = 1;
  int64_t max_volume_size = INT64_MAX;  // split when 3 blocks <= value < block size * 2^32
  int64_t reserved16 = 0;
  int64_t auto_commit_bytes = 0;  // commit after more than value / block size blocks; 0 = only on Flush
  int64_t reserved32 = 0;
  uint32_t block_size = kDefaultBlockSize;  // a power of two from 512 to 262144, else 4096
};
static_assert(offsetof(ArchiveParameters, max_volume_size) == 8);
static_assert(offsetof(ArchiveParameters, auto_commit_bytes) == 24);
static_assert(offsetof(ArchiveParameters, block_size) == 40);

// A summary for diagnostics (qmv info).
struct ArchiveInfo {
  struct HeaderCopy {
    bool valid = false;
    uint32_t sequence = 0;
    uint32_t commit_count = 0;
    uint64_t logical_size = 0;
  };
  uint64_t archive_id = 0;
  uint32_t block_size = 0;
  uint32_t blocks_per_volume = 0;
  uint32_t volume_count = 0;
  HeaderCopy copies[2];
  int current_copy = 0;  // 1 or 2
  uint32_t sequence = 0;
  uint32_t commit_count = 0;
  uint64_t logical_size = 0;
  uint64_t marked_size = 0;
  uint64_t allocation_cursor = 0;
  uint64_t high_water = 0;
  uint64_t allocated_blocks = 0;  // blocks the data map references
  uint64_t allocated_bytes = 0;   // their bytes below the logical size (the allocation list's count once flushed)
  uint32_t tree_depth[3] = {};    // data map, working and committed allocation map (0 when absent)
  uint64_t extent_count[3] = {};
};

class ContainerArchive : public rio_file, public BlockStore {
 public:
  // Takes ownership of the parent directory and the callback (which may be null).
  ContainerArchive(std::unique_ptr<rio_dir> directory, const char16_t* file_name,
                   std::unique_ptr<CallbackHolder> callback, bool no_locks);
  ~ContainerArchive() override;  // does not commit
  ContainerArchive(const ContainerArchive&) = delete;
  ContainerArchive& operator=(const ContainerArchive&) = delete;

  // Exactly one of these follows construction; each throws Common::Error.
  // Creates volume 0 and syncs it.
  void InitForCreate(const ArchiveParameters& parameters);
  // Loads the archive for writing and commits once.
  void InitForAppend(const ArchiveParameters& parameters);
  // Loads the archive read-only (data map only).
  void InitForRead();

  // rio_file
  void Read(void* buffer, size_t length, size_t& done) override;
  void Write(const void* buffer, size_t length, size_t& done) override;
  void Flush() override;
  void Truncate(uint64_t length) override;
  int64_t Seek(int64_t offset) override;
  int64_t SeekCurrent(int64_t offset) override;
  int64_t SeekEnd(int64_t offset) override;
  uint64_t GetSize() override;
  void Rewind() override { Seek(0); }
  void IOCTL(void* record) override;

  // BlockStore, for the trees; each throws Common::Error.
  uint32_t BlockSize() const override { return block_size_; }
  void ReadBlock(uint64_t block, void* buffer) override;
  void WriteBlock(uint64_t block, const void* buffer) override;
  uint64_t AllocateBlock() override;
  void FreeBlock(uint64_t block) override;

  bool ReadOnly() const { return read_only_; }
  uint32_t VolumeCount() const { return static_cast<uint32_t>(volumes_.size()); }
  // Reads both header copies and walks the trees; throws Common::Error.
  ArchiveInfo GetInfo();
  // The physical block of logical block `logical` (0 for a hole); `blocks` is
  // clipped to the run from there with the same answer (consecutive blocks, or
  // all holes). Shows the data map only, not blocks still in the write cache.
  // Throws Common::Error.
  uint64_t MapBlocks(uint64_t logical, uint64_t& blocks) { return data_map_->Find(logical, blocks); }
  // Which blocks freed by this writer are punched out of the volume files
  // (their disk space returned; file sizes and format unchanged) once an
  // allocation-map commit has made them reusable, when no reader can still use
  // them. Punching costs a file system call per freed run, far more than a
  // block write for scattered single blocks, which the allocator reuses soon
  // anyway; so by default only runs of at least kPunchRunBytes are punched.
  enum class FreedSpace { kKeep, kLargeRuns, kAll };
  static constexpr uint64_t kPunchRunBytes = 256 * 1024;
  // Volume writes go out in pieces of at most this many bytes. The page cache
  // keeps written bytes in folios sized by the write (megabytes for the ring's
  // write-outs), and every later write of a single block into such a folio, as
  // copy-on-write does when it fills freed blocks, costs the kernel a walk over
  // all of the folio's blocks, and again when it is written back. Small pieces
  // keep that walk short at the price of a few more system calls.
  static constexpr size_t kVolumeWritePiece = 128 * 1024;
  void SetReturnFreedSpace(FreedSpace mode) { return_freed_space_ = mode; }
  // Marks [start, start + count) free in the working allocation map: for blocks
  // that the allocation map holds but nothing references (a checker's leaks).
  // The next Flush() commits it. A failure is stored like any change's.
  void ReleaseBlocks(uint64_t start, uint64_t count);

 private:
  struct Volume {
    uint32_t id = 0;  // 0 = not yet known
    bool dirty = false;
    std::unique_ptr<rio_file> file;
    pread_file* pread = nullptr;    // the same file when it offers positional reads
    pwrite_file* pwrite = nullptr;  // the same file when it offers positional writes
  };

  // Volume files.
  const char16_t* VolumeName(uint32_t index);
  void OpenVolume(uint32_t index, bool full_load);
  // Opens volume `index` for reading or writing; null when volume 0's plain name
  // is missing and the split name should be tried instead. Throws RetriableError.
  rio_file* OpenVolumeFile(uint32_t index, bool full_load, bool for_write);
  void OpenForRead(uint32_t index, bool full_load);
  bool OpenForWrite(uint32_t index, bool full_load, const uint8_t* last_header);
  void AttachVolume(uint32_t index, rio_file* file);
  bool LoadHeader(uint32_t index, bool full_load);
  // Reads both header copies of volume 0; returns the current one in `current`
  // and its place (1 or 2).
  int LoadRoot(bool full_load, std::vector<uint8_t>& current);
  // Creates (or takes over) and formats volume `index`. Returns true when the
  // volume file did not exist before. A volume file it created is removed
  // again when formatting fails, so that a failed create leaves no name behind.
  bool CreateVolume(uint32_t index);
  // Writes the label (and for volume 0 both header copies) of a new volume.
  void FormatVolume(uint32_t index, rio_file* file);
  // Closes volume `index` and removes its file; failures are ignored.
  void DiscardVolume(uint32_t index);
  void EnsureVolumeTable(uint64_t count);
  void CloseVolumes();
  void SyncVolumes();
  void ReadData(uint32_t index, void* buffer, uint64_t offset, size_t length);
  void LockVolume(uint32_t index, uint64_t offset, uint64_t length, bool exclusive, bool wait);
  void UnlockVolume(uint32_t index, uint64_t offset, uint64_t length);

  // Blocks.
  void ReliableRead(void* buffer, uint64_t offset, size_t length);
  void WriteBlocks(const uint8_t* source, uint64_t start, uint64_t count);
  // Writes `length` bytes at byte `offset` of open volume `index` and marks it
  // dirty; `done` tells how many reached the file (fewer without an error only
  // when the disk is full). Returns the file's error, if any.
  Common::Error WriteVolume(uint32_t index, uint64_t offset, const uint8_t* source, size_t length, size_t& done);
  void FormatHeader(uint8_t* block, bool commit_allocation_map);
  void Commit();
  [[noreturn]] void RetryOrThrow(uint32_t reason, Common::Error error, uint32_t volume, bool allowed);
  void Retry(uint32_t reason, Common::Error error, uint32_t volume, bool allowed);
  void LoadTrees(const uint8_t* header_block, bool all);
  void SetupBuffers();

  // The logical stream.
  uint64_t Allocate(uint64_t count, uint64_t& got);
  void Remap(uint64_t logical, uint64_t physical, uint64_t count);
  void FlushCache();
  void WriteOldestPart();
  void FetchBlock(uint64_t logical, uint8_t* slot);
  void AutoCommitIfDue();
  void FullFlush();
  void DoTruncate(int64_t length);
  // Frees the whole blocks of [offset, offset + length) and writes zeros over
  // the parts of partial blocks at its edges, so the whole range reads as zero.
  void Deallocate(int64_t offset, int64_t length);
  // Writes zeros over [start, end) of the stream, below the logical size, when
  // that block is allocated (an unallocated one reads as zero already).
  void ZeroPartialBlock(uint64_t start, uint64_t end);
  void AllocationList(ControlRequest& request);
  void CheckBlocks(uint64_t start, uint64_t count);
  // Frees blocks in the working allocation map and remembers them for punching.
  void MarkFree(uint64_t start, uint64_t count);
  // Punches the blocks freed since the last allocation-map commit that the
  // working map still calls free; failures only leave the space taken.
  void PunchFreedBlocks() noexcept;
  bool InWindow(uint64_t logical) const { return logical >= window_first_ && logical < window_end_; }
  // Window blocks sit in consecutive ring slots, wrapping at the ring's end,
  // counted from ring_start_ in slot 0.
  uint64_t SlotIndex(uint64_t logical) const { return (logical - ring_start_) % ring_blocks_; }
  uint8_t* Slot(uint64_t logical) { return ring_.get() + SlotIndex(logical) * block_size_; }
  // Starts an empty window at `logical`, in slot 0: scattered single-block
  // writes then keep reusing the ring's first slot, which stays in the
  // processor's cache, instead of touching (and first faulting in) pages all
  // over the ring. Only while the window is empty.
  void RestartWindow(uint64_t logical) { window_first_ = window_end_ = ring_start_ = logical; }
  // Refuses work after a failure and output on a read-only archive.
  bool Refuse(bool output);
  // Runs one stream operation; what it throws becomes the last error, and a
  // failure of an operation that changes the archive is kept in failure_.
  enum class Effect { kReadsOnly, kChanges };
  template <typename Work>
  void Guard(Effect effect, Work&& work);
  int64_t MoveTo(int64_t position);

  std::unique_ptr<rio_dir> directory_;
  std::unique_ptr<CallbackHolder> callback_;
  UString file_name_;
  ArchiveNameGenerator names_;
  bool read_only_ = false;
  bool no_locks_;
  bool provisional_split_ = false;  // V set to 1 because the plain name was missing
  bool new_volume_names_ = false;   // a volume file was created since the directory was last synced

  std::vector<Volume> volumes_;
  uint64_t archive_id_ = 0;
  uint32_t blocks_per_volume_ = 0;
  uint32_t block_size_ = kDefaultBlockSize;

  uint8_t image_[kHeaderImageSize] = {};
  uint32_t root_offset_ = kRootOffset;
  uint32_t root_size_ = 0;
  uint64_t cursor_ = kFirstDataBlock;
  int64_t logical_size_ = 0;
  uint64_t marked_size_ = 0;
  uint64_t high_water_ = kFirstDataBlock;
  int newer_copy_ = 1;                // header copy (1 or 2) written last
  std::vector<uint8_t> last_header_;  // the header formatted last, empty before the first commit

  std::unique_ptr<AllocationTree> data_map_;
  std::unique_ptr<AllocationTree> working_map_;
  std::unique_ptr<AllocationTree> committed_map_;

  Common::Error failure_;  // the first failed change: every later operation is refused with it
  int64_t position_ = 0;
  std::unique_ptr<uint8_t[]> ring_;
  uint64_t ring_blocks_ = 0;
  uint64_t window_first_ = 0;
  uint64_t window_end_ = 0;
  uint64_t ring_start_ = 0;  // the logical block whose slot is slot 0
  uint64_t auto_commit_blocks_ = 0;
  uint64_t written_blocks_ = 0;
  uint32_t read_count_ = 0;
  uint32_t write_count_ = 0;
  FreedSpace return_freed_space_ = FreedSpace::kLargeRuns;
  BlockRanges freed_since_map_commit_;  // blocks to punch at the next allocation-map commit
};

}  // namespace backupmedia
