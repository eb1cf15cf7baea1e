#include "core/common/error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/common/messages.h"
#include "core/common/utf8.h"

namespace Common {
namespace {

std::atomic<ErrorAllocator> g_allocator{&std::malloc};

void* Allocate(size_t bytes) noexcept { return g_allocator.load(std::memory_order_relaxed)(bytes); }

// Kind-specific fields follow the fixed fields.
struct DescribedRecord : ErrorRecord {
  uintptr_t description;
};
struct FileNameRecord : ErrorRecord {
  uintptr_t file_name;
};
struct TaskLimitRecord : ErrorRecord {
  uint64_t limit;
};
struct PathRecord : ErrorRecord {
  uintptr_t description;
  uintptr_t path;
};
struct TwoPathsRecord : ErrorRecord {
  uintptr_t description;
  uintptr_t path1;
  uintptr_t path2;
};

// Kind-specific fields start right after the fixed fields.
constexpr size_t kFieldAt = sizeof(ErrorRecord);
static_assert(sizeof(DescribedRecord) == kFieldAt + 8 && sizeof(TwoPathsRecord) == kFieldAt + 24);

template <typename Char>
const Char* ResolveText(const ErrorRecord* record, uintptr_t ref) {
  if (ref == 0) return nullptr;
  if (ref < record->size) return reinterpret_cast<const Char*>(reinterpret_cast<const char*>(record) + ref);
  return reinterpret_cast<const Char*>(ref);
}

void DestroyRecord(ErrorRecord* record) { std::free(record); }

ErrorRecord* CloneBytes(const ErrorRecord* record, size_t bytes) {
  auto* copy = static_cast<ErrorRecord*>(Allocate(bytes));
  if (copy == nullptr) return nullptr;
  std::memcpy(static_cast<void*>(copy), record, bytes);
  new (&copy->refs) std::atomic<uint64_t>(1);
  copy->next = nullptr;
  return copy;
}

ErrorRecord* CloneRecord(const ErrorRecord* record) { return CloneBytes(record, record->size); }

void NoDescription(const ErrorRecord*, std::u16string& out) { out.clear(); }

uint64_t NoNumberTag(const ErrorRecord*, const char*) { return 0; }

const char* ModuleTag(const ErrorRecord*, const char* name) {
  return std::strcmp(name, kModuleTagName) == 0 ? kModuleName : nullptr;
}

const char16_t* NoWideTag(const ErrorRecord*, const char*) { return nullptr; }

const char* ModuleTagNames(const ErrorRecord*) { return "$module"; }

template <typename R>
void DescriptionOf(const ErrorRecord* record, std::u16string& out) {
  const char16_t* text = ResolveText<char16_t>(record, static_cast<const R*>(record)->description);
  out.assign(text ? text : u"");
}

const ErrorRecordOps kPlainOps = {DestroyRecord, CloneRecord, NoDescription, NoNumberTag,
                                  ModuleTag,     NoWideTag,   ModuleTagNames};

const ErrorRecordOps kDescribedOps = {
    DestroyRecord, CloneRecord, DescriptionOf<DescribedRecord>, NoNumberTag, ModuleTag, NoWideTag, ModuleTagNames};

// POSIX kind: the error number sits in the size field, so only the fixed fields are cloned.
void PosixDescription(const ErrorRecord* record, std::u16string& out) {
  out.clear();
  const char* text = std::strerror(static_cast<int>(record->size));
  if (text == nullptr) return;
  wchar_t wide[256];
  if (std::swprintf(wide, 256, L"%s", text) < 0) return;
  for (const wchar_t* p = wide; *p; ++p) AppendUtf16(static_cast<char32_t>(*p), out);
}
ErrorRecord* ClonePosix(const ErrorRecord* record) { return CloneBytes(record, sizeof(ErrorRecord)); }
uint64_t PosixNumberTag(const ErrorRecord* record, const char* name) {
  return std::strcmp(name, "code") == 0
             ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(record->size)))
             : 0;
}
const char* PosixTagNames(const ErrorRecord*) { return "code,$module"; }
const ErrorRecordOps kPosixOps = {DestroyRecord, ClonePosix, PosixDescription, PosixNumberTag,
                                  ModuleTag,     NoWideTag,  PosixTagNames};

const char* FileNameTag(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "FileName") == 0)
    return ResolveText<char>(record, static_cast<const FileNameRecord*>(record)->file_name);
  return ModuleTag(record, name);
}
const char* FileNameTagNames(const ErrorRecord*) { return "FileName,$module"; }
const ErrorRecordOps kFileNameOps = {DestroyRecord, CloneRecord, NoDescription,   NoNumberTag,
                                     FileNameTag,   NoWideTag,   FileNameTagNames};

uint64_t TaskLimitTag(const ErrorRecord* record, const char* name) {
  return std::strcmp(name, "TaskLimit") == 0 ? static_cast<const TaskLimitRecord*>(record)->limit : 0;
}
const char* TaskLimitTagNames(const ErrorRecord*) { return "TaskLimit,$module"; }
const ErrorRecordOps kTaskLimitOps = {DestroyRecord, CloneRecord, NoDescription,    TaskLimitTag,
                                      ModuleTag,     NoWideTag,   TaskLimitTagNames};

const char* PathTag(const ErrorRecord* record, const char* name) {
  if (std::strcmp(name, "path") == 0) return ResolveText<char>(record, static_cast<const PathRecord*>(record)->path);
  return ModuleTag(record, name);
}
const char* PathTagNames(const ErrorRecord*) { return "path,$module"; }
const ErrorRecordOps kPathOps = {DestroyRecord, CloneRecord, DescriptionOf<PathRecord>, NoNumberTag, PathTag,
                                 NoWideTag,     PathTagNames};

const char* TwoPathsTag(const ErrorRecord* record, const char* name) {
  auto* r = static_cast<const TwoPathsRecord*>(record);
  if (std::strcmp(name, "path1") == 0) return ResolveText<char>(record, r->path1);
  if (std::strcmp(name, "path2") == 0) return ResolveText<char>(record, r->path2);
  return ModuleTag(record, name);
}
const char* TwoPathsTagNames(const ErrorRecord*) { return "path1,path2,$module"; }
const ErrorRecordOps kTwoPathsOps = {
    DestroyRecord, CloneRecord, DescriptionOf<TwoPathsRecord>, NoNumberTag, TwoPathsTag, NoWideTag, TwoPathsTagNames};

// The shared out-of-memory record: its count starts at 1 so it is never destroyed.
ErrorRecord g_out_of_memory{{1}, kErrOutOfMemory, nullptr, &kPlainOps, SourceLocation{}, sizeof(ErrorRecord)};

ErrorRecord* OutOfMemory() {
  g_out_of_memory.refs.fetch_add(1, std::memory_order_relaxed);
  return &g_out_of_memory;
}

// Texts to place in a new record: each either referenced in place or copied inline.
struct TextSlot {
  const void* text = nullptr;
  size_t char_size = 0;  // 1 narrow, 2 UTF-16
  bool copy = false;
  size_t bytes = 0;
};

TextSlot NarrowSlot(const char* text) {
  TextSlot slot{text, 1, text != nullptr, 0};
  if (slot.copy) slot.bytes = std::strlen(text) + 1;
  return slot;
}

TextSlot WideSlot(const char16_t* text) {
  TextSlot slot{text, 2, text != nullptr && !IsCatalogText(text), 0};
  if (slot.copy) slot.bytes = (std::char_traits<char16_t>::length(text) + 1) * 2;
  return slot;
}

// Allocates a record of `fixed` bytes plus the inline copies of `slots`, fills the
// common fields and writes each slot's reference to `refs[i]` (offsets into the record).
ErrorRecord* MakeRecord(uint32_t code, const ErrorRecordOps* ops, SourceLocation location, size_t fixed,
                        TextSlot* slots, size_t slot_count, size_t* ref_offsets) {
  size_t total = fixed;
  for (size_t i = 0; i < slot_count; ++i)
    if (slots[i].copy) total += (total & 1) + slots[i].bytes;
  auto* bytes = static_cast<char*>(Allocate(total));
  if (bytes == nullptr) return nullptr;
  std::memset(bytes, 0, total);
  auto* record = reinterpret_cast<ErrorRecord*>(bytes);
  new (&record->refs) std::atomic<uint64_t>(0);
  record->code = code;
  record->next = nullptr;
  record->ops = ops;
  record->location = location;
  record->size = static_cast<uint32_t>(total);
  size_t offset = fixed;
  for (size_t i = 0; i < slot_count; ++i) {
    uintptr_t ref = reinterpret_cast<uintptr_t>(slots[i].text);
    if (slots[i].copy) {
      offset += offset & 1;  // UTF-16 copies start at an even offset
      std::memcpy(bytes + offset, slots[i].text, slots[i].bytes);
      ref = offset;
      offset += slots[i].bytes;
    }
    std::memcpy(bytes + ref_offsets[i], &ref, sizeof(ref));
  }
  return record;
}

}  // namespace

void SetErrorAllocatorForTesting(ErrorAllocator allocator) noexcept {
  g_allocator.store(allocator ? allocator : &std::malloc);
}

Error Error::Adopt(ErrorRecord* record) noexcept {
  if (record == nullptr) return Error(OutOfMemory());
  record->refs.fetch_add(1, std::memory_order_relaxed);
  return Error(record);
}

Error::Error(uint32_t code, SourceLocation location) noexcept {
  if (code == 0) return;
  *this = Adopt(MakeRecord(code, &kPlainOps, location, sizeof(ErrorRecord), nullptr, 0, nullptr));
}

Error::Error(uint32_t code, const char16_t* description, SourceLocation location) noexcept {
  if (code == 0) return;
  TextSlot slots[] = {WideSlot(description)};
  size_t offsets[] = {kFieldAt};
  *this = Adopt(MakeRecord(code, &kDescribedOps, location, sizeof(DescribedRecord), slots, 1, offsets));
}

Error Error::WithFileName(uint32_t code, const char* file_name, SourceLocation location) noexcept {
  if (code == 0) return Error();
  TextSlot slots[] = {NarrowSlot(file_name)};
  size_t offsets[] = {kFieldAt};
  return Adopt(MakeRecord(code, &kFileNameOps, location, sizeof(FileNameRecord), slots, 1, offsets));
}

Error Error::WithTaskLimit(uint32_t code, uint64_t limit, SourceLocation location) noexcept {
  if (code == 0) return Error();
  ErrorRecord* record = MakeRecord(code, &kTaskLimitOps, location, sizeof(TaskLimitRecord), nullptr, 0, nullptr);
  if (record != nullptr) static_cast<TaskLimitRecord*>(record)->limit = limit;
  return Adopt(record);
}

Error Error::WithPath(uint32_t code, const char16_t* description, const char* path, SourceLocation location) noexcept {
  if (code == 0) return Error();
  TextSlot slots[] = {WideSlot(description), NarrowSlot(path)};
  size_t offsets[] = {kFieldAt, kFieldAt + 8};
  return Adopt(MakeRecord(code, &kPathOps, location, sizeof(PathRecord), slots, 2, offsets));
}

Error Error::WithPaths(uint32_t code, const char16_t* description, const char* path1, const char* path2,
                       SourceLocation location) noexcept {
  if (code == 0) return Error();
  TextSlot slots[] = {WideSlot(description), NarrowSlot(path1), NarrowSlot(path2)};
  size_t offsets[] = {kFieldAt, kFieldAt + 8, kFieldAt + 16};
  return Adopt(MakeRecord(code, &kTwoPathsOps, location, sizeof(TwoPathsRecord), slots, 3, offsets));
}

Error Error::File(uint32_t code, SourceLocation location) noexcept {
  uint32_t id = MessageIdOfCode(code);
  if (id == 0) return Error(code, location);
  return Error(code, GetMessageText(id), location);
}

Error::Error(const Error& other) noexcept : head_(other.head_) {
  if (head_) head_->refs.fetch_add(1, std::memory_order_relaxed);
}

Error::Error(Error&& other) noexcept : head_(other.head_) { other.head_ = nullptr; }

Error& Error::operator=(const Error& other) noexcept {
  if (other.head_) other.head_->refs.fetch_add(1, std::memory_order_relaxed);
  ErrorRecord* old = head_;
  head_ = other.head_;
  Release(old);
  return *this;
}

Error& Error::operator=(Error&& other) noexcept {
  if (this != &other) {
    ErrorRecord* old = head_;
    head_ = other.head_;
    other.head_ = nullptr;
    Release(old);
  }
  return *this;
}

Error::~Error() { Release(head_); }

void Error::Clear() noexcept {
  Release(head_);
  head_ = nullptr;
}

void Error::Release(ErrorRecord* record) noexcept {
  while (record != nullptr) {
    if (record->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    ErrorRecord* next = record->next;
    record->ops->Destroy(record);
    record = next;
  }
}

uint32_t Error::Code() const noexcept { return head_ ? head_->code : 0; }

const SourceLocation* Error::Location() const noexcept { return head_ ? &head_->location : nullptr; }

std::u16string Error::Description() const {
  std::u16string text;
  if (head_) head_->ops->GetDescription(head_, text);
  return text;
}

uint64_t Error::GetNumberTag(const char* name) const noexcept {
  return head_ ? head_->ops->GetNumberTag(head_, name) : 0;
}

const char* Error::GetAnsiTag(const char* name) const noexcept {
  return head_ ? head_->ops->GetAnsiTag(head_, name) : nullptr;
}

const char16_t* Error::GetWideTag(const char* name) const noexcept {
  return head_ ? head_->ops->GetWideTag(head_, name) : nullptr;
}

const char* Error::GetTagNames() const noexcept { return head_ ? head_->ops->GetTagNames(head_) : nullptr; }

Error Error::Inner() const noexcept {
  if (head_ == nullptr || head_->next == nullptr) return Error();
  head_->next->refs.fetch_add(1, std::memory_order_relaxed);
  return Error(head_->next);
}

std::string Error::ToString() const {
  SourceLocation location = head_ ? head_->location : SourceLocation{};
  char tag[200];
  int used = std::snprintf(tag, sizeof tag, "0x%llx", static_cast<unsigned long long>(location.id));
  if (location.file && used < static_cast<int>(sizeof tag))
    used += std::snprintf(tag + used, sizeof tag - used, ", %s:%u", location.file, location.line);
  if (location.function && used < static_cast<int>(sizeof tag))
    std::snprintf(tag + used, sizeof tag - used, ", %s", location.function);
  char text[256];
  std::snprintf(text, sizeof text, "Error: 0x%08x, tag: %s", Code(), tag);
  return text;
}

Error& AddCause(Error& error, const Error& inner) noexcept {
  ErrorRecord* chain = inner.head_;
  if (chain) chain->refs.fetch_add(1, std::memory_order_relaxed);
  if (error.head_ == nullptr) {
    error.head_ = chain;
    return error;
  }
  if (error.head_->refs.load(std::memory_order_acquire) != 1) {
    ErrorRecord* clone = error.head_->ops->Clone(error.head_);
    if (clone == nullptr) {
      Error::Release(chain);
      return error;
    }
    clone->next = chain;
    Error::Release(error.head_);
    error.head_ = clone;
    return error;
  }
  ErrorRecord* old_next = error.head_->next;
  error.head_->next = chain;
  Error::Release(old_next);
  return error;
}

Error& AddPosixError(Error& error, int error_number) noexcept {
  ErrorRecord* record = MakeRecord(kErrPosix, &kPosixOps, ZYK_HERE, sizeof(ErrorRecord), nullptr, 0, nullptr);
  if (record != nullptr) record->size = static_cast<uint32_t>(error_number);
  Error posix = Error::Adopt(record);
  return AddCause(error, posix);
}

uint32_t MessageIdOfCode(uint32_t code) {
  switch (code) {
    case kErrReadFailed: return kMsgReadFailed;
    case kErrEndOfFile: return kMsgEndOfFile;
    case kErrWriteFailed: return kMsgWriteFailed;
    case kErrDiskFull: return kMsgDiskFull;
    case kErrSeekFailed: return kMsgSeekFailed;
    case kErrNoMemory: return kMsgNoMemory;
    case kErrOpenFailed: return kMsgOpenFailed;
    case kErrDeleteFailed: return kMsgDeleteFailed;
    case kErrRenameFailed: return kMsgRenameFailed;
    case kErrCreateFailed: return kMsgCreateFailed;
    case kErrNotReady: return kMsgNotReady;
    case kErrReadOnly: return kMsgReadOnly;
    case kErrCorrupted: return kMsgCorrupted;
    case kErrNotSupported: return kMsgNotSupported;
    case kErrCanceled: return kMsgCanceled;
    case kErrNotFound: return kMsgNotFound;
    case kErrExists: return kMsgExists;
    case kErrAccessDenied: return kMsgAccessDenied;
    case kErrLockFailed: return kMsgLockFailed;
    case kErrRecoverFailed: return kMsgRecoverFailed;
    case kErrInvalidUsage: return kMsgInvalidUsage;
    case kErrSecurity: return kMsgSecurity;
    case kErrInvalidHandle: return kMsgInvalidHandle;
    case kErrUnresolvedName: return kMsgUnresolvedName;
    default: return 0;
  }
}

}  // namespace Common
