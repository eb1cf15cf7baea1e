#include "core/include/file/file.h"

void raccess_file::Unlock(uint64_t, uint64_t) { SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE)); }

bool raccess_file::PollLock(uint64_t, uint64_t, bool) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE));
  return true;
}

void raccess_file::Rewind() { Seek(0); }

uint64_t raccess_file::GetSize() {
  int64_t position = SeekCurrent(0);
  int64_t size = SeekEnd(0);
  Seek(position);
  return static_cast<uint64_t>(size);
}

void ri_file::LockShared(uint64_t, uint64_t, bool) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE));
}

void ro_file::LockExclusive(uint64_t, uint64_t, bool) {
  SetError(Common::Error::File(Common::kErrNotSupported, ZYK_HERE));
}
