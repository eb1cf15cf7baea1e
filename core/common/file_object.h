#pragma once
// file_object: the common base of every directory, iterator and file. It holds
// the object's last failure; the file layer stores errors here and returns an
// empty or null result, and the caller reads and clears the error.

#include <cstdint>

#include "core/common/error.h"

// Control request codes: four ASCII letters, first letter in the lowest byte.
constexpr uint64_t MakeControlCode(const char (&letters)[5]) {
  return static_cast<uint64_t>(static_cast<unsigned char>(letters[0])) |
         static_cast<uint64_t>(static_cast<unsigned char>(letters[1])) << 8 |
         static_cast<uint64_t>(static_cast<unsigned char>(letters[2])) << 16 |
         static_cast<uint64_t>(static_cast<unsigned char>(letters[3])) << 24;
}

inline constexpr uint64_t kControlDeallocate = MakeControlCode("SDAT");     // offset, length
inline constexpr uint64_t kControlAllocationMap = MakeControlCode("ALCM");  // offset, length, out list
inline constexpr uint64_t kControlAppendMode = MakeControlCode("SAMI");
inline constexpr uint64_t kControlPad = MakeControlCode("WPAD");
inline constexpr uint64_t kControlAllocationInfo = MakeControlCode("ALCI");
inline constexpr uint64_t kControlMediaService = MakeControlCode("NCDR");

// The record of "SDAT" and "ALCM": the code, two signed arguments and a result
// pointer ("ALCM" stores a malloc'ed list there: u64 count, then count pairs of
// offset and length; the caller frees it).
struct ControlRequest {
  uint64_t code;
  int64_t offset;
  int64_t length;
  void* result;
};

class file_object {
 public:
  virtual ~file_object() = default;
  // Control request; `record` starts with its 64-bit code. Default: not supported,
  // unless an error is already stored, which stays in place.
  virtual void IOCTL(void* record);

  const Common::Error& LastError() const { return last_error_; }
  bool HasError() const { return !last_error_.Ok(); }
  // Takes the last error out, leaving the object healthy.
  Common::Error TakeError() { return last_error_.Take(); }
  void ClearError() { last_error_.Clear(); }
  void SetError(Common::Error error) { last_error_ = std::move(error); }

 protected:
  file_object() = default;
  file_object(const file_object&) = delete;
  file_object& operator=(const file_object&) = delete;

  Common::Error last_error_;
};

// Sets the "not supported" error raised at `location` unless one is stored already.
void SetNotSupported(file_object& object, Common::SourceLocation location);
