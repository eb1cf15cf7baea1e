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
//    torn, or a random subset kept.
// Syncs are not passed to the inner files unless forward_syncs is set (the
// durability model is the wrapper's own, which keeps the tests fast).
//
// Single-threaded: one test thread drives everything.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error.h"
#include "core/file/dir_delegate.h"
#include "core/file/file_delegate.h"

namespace zyk_test {

enum class CrashMode { kDropUnsynced, kKeepUnsynced, kTearLast, kRandomSubset };
enum class FaultKind { kIoError, kDiskFull };

enum class EventType { kOpen, kCreate, kRead, kWrite, kSync, kTruncate, kSeek, kLock, kUnlock };

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
  void Track(const std::u16string& name, std::vector<uint8_t> content) {
    files_[name].durable = std::move(content);
  }
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

  // Rewrites every tracked file of `inner` as a crash could leave it and makes
  // that the new durable state. Call after every user of the files is gone.
  void ApplyCrash(rio_dir& inner, CrashMode mode, uint64_t seed) {
    std::mt19937_64 random(seed);
    for (auto& [name, file] : files_) {
      std::vector<uint8_t> image = file.durable;
      for (size_t i = 0; i < file.pending.size(); ++i) {
        const Pending& p = file.pending[i];
        bool last = i + 1 == file.pending.size();
        switch (mode) {
          case CrashMode::kDropUnsynced:
            break;
          case CrashMode::kKeepUnsynced:
            Apply(image, p, p.bytes.size());
            break;
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
  static void Apply(std::vector<uint8_t>& image, const Pending& p, size_t bytes) {
    if (p.truncate) {
      image.resize(p.offset);
      return;
    }
    if (bytes == 0) return;
    if (image.size() < p.offset + bytes) image.resize(p.offset + bytes);
    std::copy(p.bytes.begin(), p.bytes.begin() + static_cast<ptrdiff_t>(bytes), image.begin() + static_cast<ptrdiff_t>(p.offset));
  }

  uint64_t events_ = 0;
  std::vector<FaultEvent> log_;
  uint64_t fail_at_ = UINT64_MAX;
  FaultKind fail_kind_ = FaultKind::kIoError;
  bool fired_ = false;
  uint64_t crash_at_ = UINT64_MAX;
  bool crashed_ = false;
  std::map<std::u16string, Tracked> files_;
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
    if (verdict == FaultState::Verdict::kDiskFull) length /= 2;  // a full disk: a short write, no error
    else if (Failed(verdict)) return;
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
  rio_dir* OpenDir(const char16_t* name) override {
    rio_dir* inner = rio_dir_delegate::OpenDir(name);
    if (inner == nullptr) return nullptr;
    return new FaultDir(std::unique_ptr<rio_dir>(inner), state_, prefix_ + name + u"/");
  }
  rio_dir* OpenParentDir(const char16_t** path) override {
    const char16_t* start = *path;
    rio_dir* inner = rio_dir_delegate::OpenParentDir(path);
    if (inner == nullptr) return nullptr;
    std::u16string prefix = prefix_ + std::u16string(start, *path);
    return new FaultDir(std::unique_ptr<rio_dir>(inner), state_, prefix);
  }
  rio_dir* OpenSelf() override { return OpenDir(u"."); }

 private:
  rio_file* Open(EventType type, const char16_t* name, bool no_lock, int mode) {
    ClearError();
    std::u16string full = prefix_ + name;
    if (!state_->IsTracked(full)) state_->Track(full, Snapshot(name));
    auto verdict = state_->Begin(type, full);
    if (verdict != FaultState::Verdict::kProceed) {
      SetError(InjectedError(verdict));
      return nullptr;
    }
    rio_file* file = mode == 0   ? rio_dir_delegate::OpenI(name, no_lock)
                     : mode == 1 ? rio_dir_delegate::OpenIO(name, no_lock)
                                 : rio_dir_delegate::CreateIO(name, no_lock, nullptr);
    if (file == nullptr) return nullptr;
    if (mode == 2) state_->RecordTruncate(full, 0);
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
