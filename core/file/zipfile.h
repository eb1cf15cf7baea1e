#pragma once
// A read-only view of a zip archive as a directory. The archive may be preceded
// by arbitrary bytes (an executable carrying it in a section): it is found from
// the end of the file, and every member offset is shifted by the bytes in front.
//
// Members are stored (method 0) or deflated (method 8); each read is checked
// against the central directory's CRC-32 when the member's last byte has been
// delivered. Names are matched ignoring the case of a-z, and a backslash in a
// requested name stands for "/".
//
// Ownership: the directory, its iterators, identifiers and member files share
// one reference-counted archive state, so each may outlive the others. Reads of
// the underlying file are serialised by the archive's mutex, so member files of
// one archive may be read from different threads; each object itself is used
// by one thread at a time.

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "core/include/file/dir.h"

namespace zip_detail {
struct archive;
}

// Identifies one central-directory entry of one archive.
class zip_identifier : public file_identifier {
 public:
  zip_identifier(std::shared_ptr<zip_detail::archive> archive, size_t entry);
  file_identifier* Clone() const override;

  const zip_detail::archive* Archive() const { return archive_.get(); }
  // Byte offset of the entry inside the in-memory central directory.
  size_t Entry() const { return entry_; }

 private:
  std::shared_ptr<zip_detail::archive> archive_;
  size_t entry_;
};

// Walks the central directory in its order. Past the last entry Next fails with
// 0x40002 (end of file), which is how the end of a listing is reported.
class zip_iterator : public i_dir::iterator {
 public:
  zip_iterator(std::shared_ptr<zip_detail::archive> archive, size_t entry, uint32_t index);

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  // The uncompressed size.
  uint64_t GetSize() override;
  // kEntryDirectory for names ending in "/", else kEntryRegular.
  uint32_t GetType() override;

  const zip_detail::archive* Archive() const { return archive_.get(); }
  size_t Entry() const { return entry_; }

 private:
  std::shared_ptr<zip_detail::archive> archive_;
  size_t entry_;
  uint32_t index_;
  UString name_;
};

// One member opened for sequential reading.
class file_in_zip : public si_file {
 public:
  // Checks the member's method and local header; a failure is stored as the
  // last error (0x4000E for a method other than 0 and 8, 0x4000D for a local
  // header that disagrees with the central entry, 0x40002 when it is cut off).
  file_in_zip(std::shared_ptr<zip_detail::archive> archive, size_t entry);
  ~file_in_zip() override;

  // Delivers up to `length` bytes; fewer only at the member's end. Damaged
  // data or a CRC-32 mismatch: 0x4000D; a failed read of the archive: 0x40001.
  void Read(void* buffer, size_t length, size_t& done) override;
  // Not supported (0x4000E): members are read once from the start.
  void Rewind() override;
  // The uncompressed size.
  uint64_t GetSize() override;

 private:
  void ReadLocalHeader();
  size_t ReadStored(uint8_t* out, size_t want);
  size_t ReadDeflated(uint8_t* out, size_t want);

  std::shared_ptr<zip_detail::archive> archive_;
  size_t entry_;
  uint16_t method_ = 0;
  uint32_t expected_crc_ = 0;
  uint32_t crc_ = 0;
  uint64_t size_ = 0;
  uint64_t data_offset_ = 0;        // absolute position of the member's data
  uint64_t compressed_read_ = 0;    // compressed bytes taken from the file so far
  uint64_t compressed_left_ = 0;    // compressed bytes not yet read
  uint64_t uncompressed_left_ = 0;  // bytes not yet delivered
  std::unique_ptr<uint8_t[]> input_;
  z_stream stream_{};
  bool stream_open_ = false;
};

class zip_file_impl : public virtual si_dir {
 public:
  // Reads the end record and the whole central directory of the archive in
  // `file`. On failure the archive has no entries and the last error tells why:
  // 0x4000D no end record or an inconsistent one, 0x40002 a cut-off read,
  // 0x40001 a failed read. With `end`, the archive ends there and bytes after
  // it are not looked at (an end beyond the file means the file's end).
  explicit zip_file_impl(std::unique_ptr<ri_file> file, uint64_t end = UINT64_MAX);
  ~zip_file_impl() override;

  // A second directory object on the same archive, with a last error of its own,
  // for use by another thread.
  std::unique_ptr<zip_file_impl> NewView() const;
  // True when the central directory was read.
  bool IsLoaded() const;

  // Opens a member; 0x40011 when there is no such member, 0x40007 when the
  // archive could not be read, else the member's own checks (file_in_zip).
  si_file* OpenI(const char16_t* name, bool no_lock) override;
  si_file* OpenI(iterator* entry, bool no_lock) override;
  si_file* OpenI(const file_identifier* identifier, bool no_lock) override;
  // Archives have no subdirectories here: 0x4000E.
  i_dir* OpenDir(const char16_t* name) override;
  i_dir* OpenDir(iterator* entry) override;
  i_dir* OpenDir(const file_identifier* identifier) override;
  i_dir* OpenParentDir(const char16_t** path) override;
  iterator* GetIterator() override;
  iterator* GetIterator(const char16_t* name) override;
  iterator* GetIterator(const file_identifier* identifier) override;
  iterator* GetSelfIterator() override;
  // 0 for a view of the same archive, else 2.
  int CompareDir(i_dir* other) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;

 private:
  explicit zip_file_impl(std::shared_ptr<zip_detail::archive> archive);
  // When the central directory could not be read, stores 0x40007 (with the
  // reason inside) and returns true; otherwise clears the last error.
  bool RefuseUnloaded();
  si_file* OpenEntry(size_t entry);
  i_dir* NoSubdirectories();

  std::shared_ptr<zip_detail::archive> archive_;
};
