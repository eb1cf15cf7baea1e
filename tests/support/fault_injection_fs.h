#pragma once
// A fault-injecting wrapper of the directory and file interfaces, for crash and
// I/O-error tests of anything that keeps its data in files.
//
// FaultDir wraps any rio_dir (normally a posix_dir on a TempDir); every file it
// opens is wrapped too, and all share one FaultState. The state
//  - numbers every operation (open, read, write, sync, truncate, seek, lock) as
//    an event and keeps a log of them;
//  - can fail one chosen event with an I/O error or a full disk (a short write,
//    as a full disk shows itself on a real file), or "crash" the machine at a
//    chosen event, after which every operation fails;
//  - keeps its own copy of each file as it was at its last sync plus the list of
//    writes and truncations since, so that ApplyCrash can rebuild the files as a
//    power failure could leave them: unsynced writes dropped, kept, the last one
//    torn, or a random subset kept;
//  - keeps the names created (files and directories) and renamed since the last
//    sync of their directories, which a crash undoes, newest first, as a file
//    system without those directory syncs could leave them. Removals count as
//    durable at once: a name that comes back loses nothing.
// Syncs of files and directories are not passed to the inner objects unless
// forward_syncs is set (the durability model is the wrapper's own, which keeps
// the tests fast).
//
// Single-threaded: one test thread drives everything.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/file/dir_delegate.h"
#include "core/file/file_delegate.h"

namespace zyk_test {

enum class CrashMode { kDropUnsynced, kKeepUnsynced, kTearLast, kRandomSubset };
enum class FaultKind { kIoError, kDiskFull };

enum class EventType {
  kOpen,
  kCreate,
  kRead,
  kWrite,
  kSync,
  kTruncate,
  kSeek,
  kLock,
  kUnlock,
  kMakeDir,
  kRename,
  kRemove,
  kDirSync
};

// `name` normalised below the wrapper's root: no empty, "." or ".." components
// (".." drops the previous one), no leading or trailing "/".
inline std::u16string NormalName(const std::u16string& name) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'/', start);
    if (end == std::u16string::npos) end = name.size();
    std::u16string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  std::u16string joined;
  for (const auto& part : parts) joined += (joined.empty() ? u"" : u"/") + part;
  return joined;
}

// The directory holding the normalised `name` ("" for the root).
inline std::u16string ParentName(const std::u16string& name) {
  size_t slash = name.rfind(u'/');
  return slash == std::u16string::npos ? u"" : name.substr(0, slash);
}

struct FaultEvent {
  EventType type;
  std::u16string name;
  uint64_t offset = 0;
  uint64_t length = 0;
};

class FaultState {
 public:
  // What an operation should do.
  enum class Verdict { kProceed, kIoError, kDiskFull };

  bool forward_syncs = false;

  uint64_t EventCount() const { return events_; }
  const std::vector<FaultEvent>& Log() const { return log_; }
  bool Crashed() const { return crashed_; }
  bool FaultFired() const { return fired_; }

  // Fails event `index` (0-based) once with `kind`; later events proceed.
  void FailAt(uint64_t index, FaultKind kind) {
    fail_at_ = index;
    fail_kind_ = kind;
    fired_ = false;
  }
  // From event `index` on, every operation fails: the machine is down.
  void CrashAt(uint64_t index) { crash_at_ = index; }
  // Stops injecting faults and crashing; counting and logging go on.
  void Heal() {
    fail_at_ = crash_at_ = UINT64_MAX;
    crashed_ = false;
  }

  Verdict Begin(EventType type, const std::u16string& name, uint64_t offset = 0, uint64_t length = 0) {
    uint64_t index = events_++;
    log_.push_back({type, name, offset, length});
    if (index >= crash_at_) crashed_ = true;
    if (crashed_) return Verdict::kIoError;
    if (index == fail_at_) {
      fired_ = true;
      return fail_kind_ == FaultKind::kIoError ? Verdict::kIoError : Verdict::kDiskFull;
    }
    return Verdict::kProceed;
  }

  // Durability model of one file.
  struct Pending {
    bool truncate = false;
    uint64_t offset = 0;  // write offset or new length
    std::vector<uint8_t> bytes;
  };
  struct Tracked {
    std::vector<uint8_t> durable;
    std::vector<Pending> pending;
  };

  bool IsTracked(const std::u16string& name) const { return files_.count(name) != 0; }
  void Track(const std::u16string& name, std::vector<uint8_t> content) { files_[name].durable = std::move(content); }
  void RecordWrite(const std::u16string& name, uint64_t offset, const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    files_[name].pending.push_back({false, offset, std::vector<uint8_t>(bytes, bytes + length)});
  }
  void RecordTruncate(const std::u16string& name, uint64_t length) {
    files_[name].pending.push_back({true, length, {}});
  }
  void RecordSync(const std::u16string& name) {
    Tracked& file = files_[name];
    for (const Pending& p : file.pending) Apply(file.durable, p, p.bytes.size());
    file.pending.clear();
  }

  // Name changes (normalised names). A change stays undoable until every
  // directory it touched was synced after it.
  void RecordCreate(const std::u16string& name, bool directory) {
    names_.push_back({directory ? NameChange::kMakeDir : NameChange::kCreate, u"", name, {ParentName(name)}, {}});
  }
  void RecordRename(const std::u16string& from, const std::u16string& to) {
    NameChange change{NameChange::kRename, from, to, {ParentName(from), ParentName(to)}, {}};
    // Tracked files travel with their names; a replaced file is kept for the undo.
    for (auto it = files_.begin(); it != files_.end();) {
      if (IsWithin(it->first, to)) {
        change.replaced.insert(files_.extract(it++));
      } else {
        ++it;
      }
    }
    MoveTracked(from, to);
    names_.push_back(std::move(change));
  }
  void RecordRemove(const std::u16string& name) {
    std::erase_if(files_, [&](const auto& file) { return IsWithin(file.first, name); });
  }
  void RecordDirSync(const std::u16string& directory) {
    for (auto& change : names_) change.unsynced.erase(directory);
    names_.erase(std::remove_if(names_.begin(), names_.end(), [](const NameChange& c) { return c.unsynced.empty(); }),
                 names_.end());
  }
  size_t UnsyncedNameChanges() const { return names_.size(); }

  // Rewrites every tracked file of `inner` as a crash could leave it and makes
  // that the new durable state. Call after every user of the files is gone.
  void ApplyCrash(rio_dir& inner, CrashMode mode, uint64_t seed) {
    UndoNameChanges(inner);
    std::mt19937_64 random(seed);
    for (auto& [name, file] : files_) {
      std::vector<uint8_t> image = file.durable;
      for (size_t i = 0; i < file.pending.size(); ++i) {
        const Pending& p = file.pending[i];
        bool last = i + 1 == file.pending.size();
        switch (mode) {
          case CrashMode::kDropUnsynced: break;
          case CrashMode::kKeepUnsynced: Apply(image, p, p.bytes.size()); break;
          case CrashMode::kTearLast:
            // Everything before the last write landed; the last one only in part.
            Apply(image, p, last ? p.bytes.size() / 2 : p.bytes.size());
            break;
          case CrashMode::kRandomSubset:
            if (random() & 1) Apply(image, p, p.bytes.size());
            break;
        }
      }
      std::unique_ptr<rio_file> out(inner.CreateIO(name.c_str(), true, nullptr));
      if (!out) continue;
      size_t done = 0;
      if (!image.empty()) out->Write(image.data(), image.size(), done);
      file.durable = std::move(image);
      file.pending.clear();
    }
  }

 private:
  struct NameChange {
    enum Kind { kCreate, kMakeDir, kRename } kind;
    std::u16string from;
    std::u16string to;
    std::set<std::u16string> unsynced;           // directories still to be synced
    std::map<std::u16string, Tracked> replaced;  // files a rename replaced
  };

  static bool IsWithin(const std::u16string& name, const std::u16string& top) {
    return name.compare(0, top.size(), top) == 0 && (name.size() == top.size() || name[top.size()] == u'/');
  }
  void MoveTracked(const std::u16string& from, const std::u16string& to) {
    std::map<std::u16string, Tracked> moved;
    for (auto it = files_.begin(); it != files_.end();) {
      if (!IsWithin(it->first, from)) {
        ++it;
        continue;
      }
      auto node = files_.extract(it++);
      node.key() = to + node.key().substr(from.size());
      moved.insert(std::move(node));
    }
    files_.merge(moved);
  }
  // Undoes the name changes no directory sync made durable, newest first, on the
  // disk below `inner` (reached by its full path).
  void UndoNameChanges(rio_dir& inner) {
    namespace fs = std::filesystem;
    const char16_t* top = inner.GetFullPath();
    fs::path base(std::u16string(top ? top : u""));
    auto on_disk = [&](const std::u16string& name) { return base / fs::path(name); };
    for (auto change = names_.rbegin(); change != names_.rend(); ++change) {
      std::error_code ignored;
      if (change->kind == NameChange::kRename) {
        fs::rename(on_disk(change->to), on_disk(change->from), ignored);
        MoveTracked(change->to, change->from);
        files_.merge(change->replaced);  // rewritten below with their durable bytes
      } else {
        fs::remove_all(on_disk(change->to), ignored);
        RecordRemove(change->to);
      }
    }
    names_.clear();
  }

  static void Apply(std::vector<uint8_t>& image, const Pending& p, size_t bytes) {
    if (p.truncate) {
      image.resize(p.offset);
      return;
    }
    if (bytes == 0) return;
    if (image.size() < p.offset + bytes) image.resize(p.offset + bytes);
    std::copy(p.bytes.begin(), p.bytes.begin() + static_cast<ptrdiff_t>(bytes),
              image.begin() + static_cast<ptrdiff_t>(p.offset));
  }

  uint64_t events_ = 0;
  std::vector<FaultEvent> log_;
  uint64_t fail_at_ = UINT64_MAX;
  FaultKind fail_kind_ = FaultKind::kIoError;
  bool fired_ = false;
  uint64_t crash_at_ = UINT64_MAX;
  bool crashed_ = false;
  std::map<std::u16string, Tracked> files_;
  std::vector<NameChange> names_;
};

inline Common::Error InjectedError(FaultState::Verdict verdict) {
  return Common::Error::File(verdict == FaultState::Verdict::kDiskFull ? Common::kErrDiskFull : Common::kErrReadFailed,
                             ZYK_HERE_AS("InjectedFault"));
}

class FaultFile : public rio_file_delegate {
 public:
  FaultFile(std::unique_ptr<rio_file> inner, std::shared_ptr<FaultState> state, std::u16string name)
      : rio_file_delegate(std::move(inner)), state_(std::move(state)), name_(std::move(name)) {}

  void Read(void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (HasError()) return;
    if (Failed(state_->Begin(EventType::kRead, name_, Position(), length))) return;
    rio_file_delegate::Read(buffer, length, done);
  }
  void Write(const void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (HasError()) return;
    uint64_t offset = Position();
    auto verdict = state_->Begin(EventType::kWrite, name_, offset, length);
    if (verdict == FaultState::Verdict::kDiskFull)
      length /= 2;  // a full disk: a short write, no error
    else if (Failed(verdict))
      return;
    rio_file_delegate::Write(buffer, length, done);
    state_->RecordWrite(name_, offset, buffer, done);
  }
  void Flush() override {
    if (HasError()) return;
    if (Failed(state_->Begin(EventType::kSync, name_))) return;
    if (state_->forward_syncs) rio_file_delegate::Flush();
    if (!HasError()) state_->RecordSync(name_);
  }
  void Truncate(uint64_t length) override {
    if (HasError()) return;
    if (Failed(state_->Begin(EventType::kTruncate, name_, length))) return;
    rio_file_delegate::Truncate(length);
    if (!HasError()) state_->RecordTruncate(name_, length);
  }
  int64_t Seek(int64_t offset) override {
    if (HasError()) return 0;
    if (Failed(state_->Begin(EventType::kSeek, name_, static_cast<uint64_t>(offset)))) return 0;
    return rio_file_delegate::Seek(offset);
  }
  int64_t SeekCurrent(int64_t offset) override {
    if (HasError()) return 0;
    if (Failed(state_->Begin(EventType::kSeek, name_))) return 0;
    return rio_file_delegate::SeekCurrent(offset);
  }
  int64_t SeekEnd(int64_t offset) override {
    if (HasError()) return 0;
    if (Failed(state_->Begin(EventType::kSeek, name_))) return 0;
    return rio_file_delegate::SeekEnd(offset);
  }
  void LockShared(uint64_t offset, uint64_t length, bool wait) override {
    if (Failed(state_->Begin(EventType::kLock, name_, offset, length))) return;
    rio_file_delegate::LockShared(offset, length, wait);
  }
  void LockExclusive(uint64_t offset, uint64_t length, bool wait) override {
    if (Failed(state_->Begin(EventType::kLock, name_, offset, length))) return;
    rio_file_delegate::LockExclusive(offset, length, wait);
  }
  void Unlock(uint64_t offset, uint64_t length) override {
    if (Failed(state_->Begin(EventType::kUnlock, name_, offset, length))) return;
    rio_file_delegate::Unlock(offset, length);
  }

 private:
  // The position without counting an event.
  uint64_t Position() {
    int64_t position = inner_->SeekCurrent(0);
    inner_->TakeError();
    return static_cast<uint64_t>(position);
  }
  bool Failed(FaultState::Verdict verdict) {
    if (verdict == FaultState::Verdict::kProceed) return false;
    SetError(InjectedError(verdict));
    return true;
  }

  std::shared_ptr<FaultState> state_;
  std::u16string name_;
};

class FaultDir : public rio_dir_delegate {
 public:
  FaultDir(std::unique_ptr<rio_dir> inner, std::shared_ptr<FaultState> state, std::u16string prefix = u"")
      : rio_dir_delegate(std::move(inner)), state_(std::move(state)), prefix_(std::move(prefix)) {}

  const std::shared_ptr<FaultState>& State() const { return state_; }

  rio_file* OpenI(const char16_t* name, bool no_lock) override { return Open(EventType::kOpen, name, no_lock, 0); }
  rio_file* OpenIO(const char16_t* name, bool no_lock) override { return Open(EventType::kOpen, name, no_lock, 1); }
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights*) override {
    return Open(EventType::kCreate, name, no_lock, 2);
  }
  void CreateDir(const char16_t* name, const access_rights* rights) override {
    std::u16string full = Full(name);
    if (Refused(EventType::kMakeDir, full)) return;
    rio_dir_delegate::CreateDir(name, rights);
    if (!HasError()) state_->RecordCreate(full, true);
  }
  void Rename(const char16_t* old_name, const char16_t* new_name) override {
    std::u16string from = Full(old_name);
    std::u16string to = Full(new_name);
    if (Refused(EventType::kRename, from)) return;
    rio_dir_delegate::Rename(old_name, new_name);
    if (!HasError()) state_->RecordRename(from, to);
  }
  void Remove(const char16_t* name) override {
    std::u16string full = Full(name);
    if (Refused(EventType::kRemove, full)) return;
    rio_dir_delegate::Remove(name);
    if (!HasError()) state_->RecordRemove(full);
  }
  void RemoveDir(const char16_t* name) override {
    std::u16string full = Full(name);
    if (Refused(EventType::kRemove, full)) return;
    rio_dir_delegate::RemoveDir(name);
    if (!HasError()) state_->RecordRemove(full);
  }
  // A directory sync makes the name changes in this directory durable.
  void Flush() override {
    std::u16string self = NormalName(prefix_);
    if (Refused(EventType::kDirSync, self)) return;
    if (state_->forward_syncs) rio_dir_delegate::Flush();
    if (!HasError()) state_->RecordDirSync(self);
  }

 protected:
  // Directories opened below by a path carry the same state, with the path that
  // led there; one opened from an entry or identifier has no known path and is
  // handed back as it is.
  rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t* path) override {
    if (path == nullptr) return opened.release();
    std::u16string prefix = prefix_ + path;
    if (*path != 0 && prefix.back() != u'/') prefix += u'/';
    return new FaultDir(std::move(opened), state_, std::move(prefix));
  }

 private:
  std::u16string Full(const char16_t* name) const { return NormalName(prefix_ + (name ? name : u"")); }
  // Counts the event; true with the injected error set when it must fail.
  bool Refused(EventType type, const std::u16string& name) {
    ClearError();
    auto verdict = state_->Begin(type, name);
    if (verdict == FaultState::Verdict::kProceed) return false;
    SetError(InjectedError(verdict));
    return true;
  }
  bool Exists(const char16_t* name) {
    std::unique_ptr<i_dir::iterator> entry(Inner()->GetIterator(name));
    bool exists = entry && !Inner()->HasError();
    Inner()->ClearError();
    return exists;
  }
  rio_file* Open(EventType type, const char16_t* name, bool no_lock, int mode) {
    ClearError();
    std::u16string full = Full(name);
    if (!state_->IsTracked(full)) state_->Track(full, Snapshot(name));
    auto verdict = state_->Begin(type, full);
    if (verdict != FaultState::Verdict::kProceed) {
      SetError(InjectedError(verdict));
      return nullptr;
    }
    const bool new_name = mode == 2 && !Exists(name);
    rio_file* file = mode == 0   ? rio_dir_delegate::OpenI(name, no_lock)
                     : mode == 1 ? rio_dir_delegate::OpenIO(name, no_lock)
                                 : rio_dir_delegate::CreateIO(name, no_lock, nullptr);
    if (file == nullptr) return nullptr;
    if (mode == 2) state_->RecordTruncate(full, 0);
    if (new_name) state_->RecordCreate(full, false);
    return new FaultFile(std::unique_ptr<rio_file>(file), state_, full);
  }
  // The file's current bytes, taken as durable when the wrapper first sees it.
  std::vector<uint8_t> Snapshot(const char16_t* name) {
    std::vector<uint8_t> content;
    std::unique_ptr<rio_file> file(Inner()->OpenI(name, true));
    Inner()->TakeError();
    if (!file) return content;
    uint8_t buffer[65536];
    for (;;) {
      size_t done = 0;
      file->Read(buffer, sizeof buffer, done);
      content.insert(content.end(), buffer, buffer + done);
      if (done < sizeof buffer || file->HasError()) break;
    }
    return content;
  }

  std::shared_ptr<FaultState> state_;
  std::u16string prefix_;
};

}  // namespace zyk_test
