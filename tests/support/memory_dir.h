#pragma once
// An in-memory flat directory for tests and fuzz targets that must not touch
// real files: named byte vectors behind the rio_dir and rio_file interfaces.
// Every directory object opened from one MemoryDir shares its files, and every
// file object shares its bytes with the directory, so what one object writes
// the next one opened on the same name reads. Files offer positional reads,
// as POSIX files do. Paths are flat: OpenParentDir
// drops everything up to the last "/". Listing, links and subdirectories are
// not supported (0x4000E); locks are granted at once (there is one caller).
//
// Single-threaded.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/include/file/dir.h"

namespace zyk_test {

using MemoryBytes = std::vector<uint8_t>;
using MemoryFiles = std::map<std::u16string, std::shared_ptr<MemoryBytes>>;

class MemoryDirFile : public rio_file, public pread_file {
 public:
  explicit MemoryDirFile(std::shared_ptr<MemoryBytes> bytes) : bytes_(std::move(bytes)) {}

  void Read(void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (HasError() || position_ >= bytes_->size()) return;
    done = static_cast<size_t>(std::min<uint64_t>(length, bytes_->size() - position_));
    std::memcpy(buffer, bytes_->data() + position_, done);
    position_ += done;
  }
  void Write(const void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (HasError() || length == 0) return;
    if (position_ + length > kMaxFileSize) {
      SetError(Common::Error::File(Common::kErrDiskFull, ZYK_HERE));
      return;
    }
    if (bytes_->size() < position_ + length) bytes_->resize(position_ + length);
    std::memcpy(bytes_->data() + position_, buffer, length);
    position_ += length;
    done = length;
  }
  void Truncate(uint64_t length) override {
    if (HasError()) return;
    if (length > kMaxFileSize) {
      SetError(Common::Error::File(Common::kErrDiskFull, ZYK_HERE));
      return;
    }
    bytes_->resize(length);
  }
  int64_t Seek(int64_t offset) override {
    if (HasError()) return 0;
    if (offset < 0) {
      SetError(Common::Error::File(Common::kErrSeekFailed, ZYK_HERE));
      return 0;
    }
    position_ = static_cast<uint64_t>(offset);
    return offset;
  }
  int64_t SeekCurrent(int64_t offset) override { return Seek(static_cast<int64_t>(position_) + offset); }
  int64_t SeekEnd(int64_t offset) override { return Seek(static_cast<int64_t>(bytes_->size()) + offset); }
  Common::Error Pread(void* buffer, uint64_t offset, size_t length, size_t& done) override {
    done = offset < bytes_->size() ? static_cast<size_t>(std::min<uint64_t>(length, bytes_->size() - offset)) : 0;
    if (done > 0) std::memcpy(buffer, bytes_->data() + offset, done);
    return Common::Error();
  }
  void LockShared(uint64_t, uint64_t, bool) override {}
  void LockExclusive(uint64_t, uint64_t, bool) override {}
  void Unlock(uint64_t, uint64_t) override {}

  // Writes beyond this size fail as a full disk, so that a damaged archive
  // naming a far block cannot make a test allocate without bound.
  static constexpr uint64_t kMaxFileSize = uint64_t{64} << 20;

 private:
  std::shared_ptr<MemoryBytes> bytes_;
  uint64_t position_ = 0;
};

class MemoryDir : public rio_dir {
 public:
  explicit MemoryDir(std::shared_ptr<MemoryFiles> files = std::make_shared<MemoryFiles>()) : files_(std::move(files)) {}

  const std::shared_ptr<MemoryFiles>& Files() const { return files_; }
  void Put(const std::u16string& name, MemoryBytes bytes) {
    (*files_)[name] = std::make_shared<MemoryBytes>(std::move(bytes));
  }

  rio_file* OpenI(const char16_t* name, bool) override { return Open(name, false); }
  rio_file* OpenO(const char16_t* name, bool) override { return Open(name, false); }
  rio_file* OpenIO(const char16_t* name, bool) override { return Open(name, false); }
  rio_file* CreateIO(const char16_t* name, bool, const access_rights*) override { return Open(name, true); }
  rio_dir* OpenDir(const char16_t* name) override {
    if (std::u16string_view(name) != u".") return Unsupported<rio_dir>();
    return new MemoryDir(files_);
  }
  rio_dir* OpenParentDir(const char16_t** path) override {
    const char16_t* last = *path;
    for (const char16_t* p = *path; *p != 0; ++p)
      if (*p == u'/') last = p + 1;
    *path = last;
    return new MemoryDir(files_);
  }
  void Remove(const char16_t* name) override {
    if (files_->erase(name) == 0) SetError(Common::Error::File(Common::kErrNotFound, ZYK_HERE));
  }
  void Rename(const char16_t* old_name, const char16_t* new_name) override {
    auto it = files_->find(old_name);
    if (it == files_->end()) {
      SetError(Common::Error::File(Common::kErrNotFound, ZYK_HERE));
      return;
    }
    auto bytes = it->second;
    files_->erase(it);
    (*files_)[new_name] = std::move(bytes);
  }

  rio_file* OpenI(iterator*, bool) override { return Unsupported<rio_file>(); }
  rio_file* OpenI(const file_identifier*, bool) override { return Unsupported<rio_file>(); }
  rio_file* OpenO(iterator*, bool) override { return Unsupported<rio_file>(); }
  rio_file* OpenO(const file_identifier*, bool) override { return Unsupported<rio_file>(); }
  rio_file* OpenIO(iterator*, bool) override { return Unsupported<rio_file>(); }
  rio_file* OpenIO(const file_identifier*, bool) override { return Unsupported<rio_file>(); }
  rio_dir* OpenDir(iterator*) override { return Unsupported<rio_dir>(); }
  rio_dir* OpenDir(const file_identifier*) override { return Unsupported<rio_dir>(); }
  iterator* GetIterator() override { return Unsupported<iterator>(); }
  iterator* GetIterator(const char16_t*) override { return Unsupported<iterator>(); }
  iterator* GetIterator(const file_identifier*) override { return Unsupported<iterator>(); }
  iterator* GetSelfIterator() override { return Unsupported<iterator>(); }
  int CompareDir(i_dir* other) override {
    auto* memory = dynamic_cast<MemoryDir*>(other);
    return memory != nullptr && memory->files_ == files_ ? 0 : 2;
  }
  int CompareIdentifiers(const file_identifier*, const file_identifier*) override { return 2; }
  void CreateDir(const char16_t*, const access_rights*) override { Unsupported<void>(); }
  void RemoveDir(const char16_t*) override { Unsupported<void>(); }

 private:
  rio_file* Open(const char16_t* name, bool create) {
    ClearError();
    auto it = files_->find(name);
    if (it == files_->end()) {
      if (!create) {
        SetError(Common::Error::File(Common::kErrNotFound, ZYK_HERE));
        return nullptr;
      }
      it = files_->emplace(name, std::make_shared<MemoryBytes>()).first;
    } else if (create) {
      it->second->clear();
    }
    return new MemoryDirFile(it->second);
  }
  template <typename T>
  T* Unsupported() {
    SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE));
    return nullptr;
  }

  std::shared_ptr<MemoryFiles> files_;
};

}  // namespace zyk_test
