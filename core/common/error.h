#pragma once
// Common::Error: the result of every operation. Empty means success; otherwise
// a reference-counted chain of error records, each with a code, the raising
// site, an optional UTF-16 description, named tags and at most one inner error.
// Making, copying and dropping errors never throws: when memory runs out a
// shared static out-of-memory record stands in.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/common/error_codes.h"
#include "core/common/source_location.h"

namespace Common {

struct ErrorRecord;

// The operations of one record kind.
struct ErrorRecordOps {
  void (*Destroy)(ErrorRecord* record);
  ErrorRecord* (*Clone)(const ErrorRecord* record);  // count 1, next null; null on out of memory
  void (*GetDescription)(const ErrorRecord* record, std::u16string& out);
  uint64_t (*GetNumberTag)(const ErrorRecord* record, const char* name);
  const char* (*GetAnsiTag)(const ErrorRecord* record, const char* name);
  const char16_t* (*GetWideTag)(const ErrorRecord* record, const char* name);
  const char* (*GetTagNames)(const ErrorRecord* record);
};

// One link of an error chain, allocated with malloc as one block together with
// its inline texts. Text references below the record's size are offsets to
// inline copies; larger values are addresses of texts that live for the process.
struct ErrorRecord {
  std::atomic<uint64_t> refs;
  uint32_t code;
  ErrorRecord* next;
  const ErrorRecordOps* ops;
  SourceLocation location;
  uint32_t size;  // whole block in bytes; the POSIX kind keeps its errno here
};

// The narrow tag every record carries.
inline constexpr const char* kModuleTagName = "$module";
inline constexpr const char* kModuleName = "zyk_backend_local_lxa64_1";

class Error {
 public:
  Error() noexcept = default;
  // Plain record; code 0 gives the empty value.
  Error(uint32_t code, SourceLocation location) noexcept;
  // Described record (text copied unless it lies in the loaded catalog); code 0 gives empty.
  Error(uint32_t code, const char16_t* description, SourceLocation location) noexcept;
  Error(const Error& other) noexcept;
  Error(Error&& other) noexcept;
  Error& operator=(const Error& other) noexcept;
  Error& operator=(Error&& other) noexcept;
  virtual ~Error();

  // Tagged kinds.
  static Error WithFileName(uint32_t code, const char* file_name, SourceLocation location) noexcept;
  static Error WithTaskLimit(uint32_t code, uint64_t limit, SourceLocation location) noexcept;
  static Error WithPath(uint32_t code, const char16_t* description, const char* path, SourceLocation location) noexcept;
  static Error WithPaths(uint32_t code, const char16_t* description, const char* path1, const char* path2,
                         SourceLocation location) noexcept;
  // A facility-0x0004 code with its catalog text.
  static Error File(uint32_t code, SourceLocation location) noexcept;

  bool Ok() const noexcept { return head_ == nullptr; }
  explicit operator bool() const noexcept { return head_ != nullptr; }  // true on failure
  uint32_t Code() const noexcept;
  const SourceLocation* Location() const noexcept;
  std::u16string Description() const;
  uint64_t GetNumberTag(const char* name) const noexcept;
  const char* GetAnsiTag(const char* name) const noexcept;
  const char16_t* GetWideTag(const char* name) const noexcept;
  const char* GetTagNames() const noexcept;
  // The inner error, or the empty value.
  Error Inner() const noexcept;
  // "Error: 0x%08x, tag: 0x<id>, <file>:<line>, <function>"
  std::string ToString() const;

  // Moves the error out, leaving this value empty.
  Error Take() noexcept { return Error(std::move(*this)); }
  void Clear() noexcept;

  const ErrorRecord* Head() const noexcept { return head_; }

  // Attaches `inner` below this error's head (replacing any inner chain it had).
  friend Error& AddCause(Error& error, const Error& inner) noexcept;
  friend Error& AddPosixError(Error& error, int error_number) noexcept;

 private:
  explicit Error(ErrorRecord* head) noexcept : head_(head) {}
  static void Release(ErrorRecord* head) noexcept;
  static Error Adopt(ErrorRecord* record) noexcept;

  ErrorRecord* head_ = nullptr;
};

Error& AddCause(Error& error, const Error& inner) noexcept;
// Attaches a POSIX record for error number `error_number` as the inner error.
Error& AddPosixError(Error& error, int error_number) noexcept;

// Test seam: the allocator used for new records (malloc by default).
using ErrorAllocator = void* (*)(size_t);
void SetErrorAllocatorForTesting(ErrorAllocator allocator) noexcept;

}  // namespace Common
