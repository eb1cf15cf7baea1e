#pragma once
// Forwarding wrapper of a rio_file: every operation goes to the owned inner
// file, whose last error then moves into this one.

#include <memory>
#include <utility>

#include "core/include/file/file.h"

template <typename Holder>
class rio_file_delegate_base : public rio_file {
 public:
  explicit rio_file_delegate_base(Holder inner) : inner_(std::move(inner)) {
    if (inner_) last_error_ = inner_->TakeError();
  }
  rio_file_delegate_base(const rio_file_delegate_base&) = delete;
  rio_file_delegate_base& operator=(const rio_file_delegate_base&) = delete;
  ~rio_file_delegate_base() override = default;

  rio_file* Inner() const { return inner_.get(); }

  void Read(void* buffer, size_t length, size_t& done) override {
    inner_->Read(buffer, length, done);
    MoveError();
  }
  void Write(const void* buffer, size_t length, size_t& done) override {
    inner_->Write(buffer, length, done);
    MoveError();
  }
  void Flush() override {
    inner_->Flush();
    MoveError();
  }
  void Rewind() override {
    inner_->Rewind();
    MoveError();
  }
  uint64_t GetSize() override { return Moved(inner_->GetSize()); }
  int64_t Seek(int64_t offset) override { return Moved(inner_->Seek(offset)); }
  int64_t SeekCurrent(int64_t offset) override { return Moved(inner_->SeekCurrent(offset)); }
  int64_t SeekEnd(int64_t offset) override { return Moved(inner_->SeekEnd(offset)); }
  void Unlock(uint64_t offset, uint64_t length) override {
    inner_->Unlock(offset, length);
    MoveError();
  }
  bool PollLock(uint64_t offset, uint64_t length, bool exclusive) override {
    return Moved(inner_->PollLock(offset, length, exclusive));
  }
  void AbandonLock() override {
    inner_->AbandonLock();
    MoveError();
  }
  void LockShared(uint64_t offset, uint64_t length, bool wait) override {
    inner_->LockShared(offset, length, wait);
    MoveError();
  }
  void LockExclusive(uint64_t offset, uint64_t length, bool wait) override {
    inner_->LockExclusive(offset, length, wait);
    MoveError();
  }
  void Truncate(uint64_t length) override {
    inner_->Truncate(length);
    MoveError();
  }
  void IOCTL(void* record) override {
    inner_->IOCTL(record);
    MoveError();
  }

 protected:
  template <typename T>
  T Moved(T result) {
    MoveError();
    return result;
  }
  void MoveError() { last_error_ = inner_->TakeError(); }

  Holder inner_;
};

using rio_file_delegate = rio_file_delegate_base<std::unique_ptr<rio_file>>;
