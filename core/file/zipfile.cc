#include "core/file/zipfile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "core/file/zip_format.h"

namespace zip_detail {

using namespace zip_format;
constexpr size_t kMaxCommentSize = 65535;
constexpr size_t kInputBufferSize = 32768;
constexpr uint16_t kFlagDataDescriptor = 1 << 3;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint64_t kMaxDeflateRatio = 1032;

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The fields of one central-directory entry that the reader uses.
struct central_entry {
  uint16_t flags;
  uint16_t method;
  uint32_t crc;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint16_t name_length;
  uint32_t local_header_offset;
  const uint8_t* name;
};

// The state shared by a directory view, its iterators, identifiers and files.
struct archive {
  std::mutex mutex;               // serialises positioning and reading `file`
  std::unique_ptr<ri_file> file;  // guarded by mutex
  uint64_t file_size = 0;
  // Where the archive lies minus where its offsets say: positive when bytes were
  // put in front of it, negative when it moved toward the start of the file
  // (stripping a binary that carries it moves its section down).
  int64_t shift = 0;
  std::vector<uint8_t> central;  // the whole central directory; empty when not loaded
  uint32_t entry_count = 0;

  central_entry Entry(size_t at) const {
    const uint8_t* p = central.data() + at;
    return central_entry{Get16(p + 8),  Get16(p + 10), Get32(p + 16), Get32(p + 20),
                         Get32(p + 24), Get16(p + 28), Get32(p + 42), p + kCentralHeaderSize};
  }
  // The offset of the entry after the one at `at`.
  size_t NextEntry(size_t at) const {
    const uint8_t* p = central.data() + at;
    return at + kCentralHeaderSize + Get16(p + 28) + Get16(p + 30) + Get16(p + 32);
  }

  // Reads exactly `length` bytes at `offset`; the caller holds `mutex`. A failed
  // read gives 0x40001 (with the file's own error inside), a short one 0x40002.
  Common::Error ReadAt(uint64_t offset, void* buffer, size_t length, Common::SourceLocation location) {
    if (offset > file_size || length > file_size - offset) return Common::Error::File(Common::kErrEndOfFile, location);
    if (length == 0) return Common::Error();  // an empty central directory has nothing to read
    size_t done = 0;
    file->Seek(static_cast<int64_t>(offset));
    if (!file->HasError()) file->Read(buffer, length, done);
    if (file->HasError()) {
      Common::Error error = Common::Error::File(Common::kErrReadFailed, location);
      return Common::AddCause(error, file->TakeError());
    }
    if (done != length) return Common::Error::File(Common::kErrEndOfFile, location);
    return Common::Error();
  }
};

// Compares a requested name with an entry name: a-z ignore case, a backslash in
// the request stands for "/", nothing else is folded.
bool NameMatches(const char16_t* requested, const uint8_t* name, size_t length) {
  auto fold = [](char16_t unit) -> char16_t { return unit >= u'A' && unit <= u'Z' ? unit + 32 : unit; };
  for (size_t i = 0; i < length; ++i, ++requested) {
    char16_t want = *requested;
    if (want == 0) return false;
    if (want == u'\\') want = u'/';
    if (fold(want) != fold(static_cast<char16_t>(name[i]))) return false;
  }
  return *requested == 0;
}

}  // namespace zip_detail

using zip_detail::archive;
using zip_detail::central_entry;
using zip_detail::Get16;
using zip_detail::Get32;

namespace {

Common::Error FileError(uint32_t code, Common::SourceLocation location) { return Common::Error::File(code, location); }

// Finds the end-of-central-directory record: the signature nearest to the end
// of the file, at most 65535 bytes (the longest comment) before the last place
// a whole record fits. Returns its position through `position`.
Common::Error SearchCentralDir(archive& zip, uint64_t& position) {
  using namespace zip_detail;
  if (zip.file_size < kEndRecordSize) return FileError(Common::kErrCorrupted, ZYK_HERE_AS("SearchCentralDir"));
  uint64_t last = zip.file_size - kEndRecordSize;
  uint64_t first = last > kMaxCommentSize ? last - kMaxCommentSize : 0;
  std::vector<uint8_t> tail(zip.file_size - first);
  if (Common::Error error = zip.ReadAt(first, tail.data(), tail.size(), ZYK_HERE_AS("SearchCentralDir"))) return error;
  for (uint64_t at = last + 1; at-- > first;) {
    if (Get32(tail.data() + (at - first)) == kEndRecordSignature) {
      position = at;
      return Common::Error();
    }
  }
  return FileError(Common::kErrCorrupted, ZYK_HERE_AS("SearchCentralDir"));
}

// Reads and checks the end record and the central directory into `zip`.
Common::Error LoadCentralDirectory(archive& zip, uint64_t end) {
  using namespace zip_detail;
  std::lock_guard<std::mutex> lock(zip.mutex);
  int64_t size = zip.file->SeekEnd(0);
  if (zip.file->HasError() || size < 0) {
    Common::Error error = FileError(Common::kErrReadFailed, ZYK_HERE_AS("zip_file_impl"));
    return Common::AddCause(error, zip.file->TakeError());
  }
  zip.file_size = std::min(static_cast<uint64_t>(size), end);

  uint64_t record_at = 0;
  if (Common::Error error = SearchCentralDir(zip, record_at)) return error;
  uint8_t record[kEndRecordSize];
  if (Common::Error error = zip.ReadAt(record_at, record, sizeof record, ZYK_HERE_AS("zip_file_impl"))) return error;
  uint16_t disk = Get16(record + 4);
  uint16_t central_disk = Get16(record + 6);
  uint16_t disk_entries = Get16(record + 8);
  uint16_t total_entries = Get16(record + 10);
  uint32_t central_size = Get32(record + 12);
  uint32_t central_offset = Get32(record + 16);
  if (disk != 0 || central_disk != 0 || disk_entries != total_entries || total_entries == 0 || central_size > record_at)
    return FileError(Common::kErrCorrupted, ZYK_HERE_AS("zip_file_impl"));
  // The directory is taken from where it lies, just before the end record, and
  // every recorded offset moves by as much as it did: an archive moved whole
  // inside a larger file still reads; member offsets are checked when used.
  zip.shift = static_cast<int64_t>(record_at - central_size) - int64_t{central_offset};

  std::vector<uint8_t> central;
  try {
    central.resize(central_size);
  } catch (const std::bad_alloc&) {
    return FileError(Common::kErrNoMemory, ZYK_HERE_AS("zip_file_impl"));
  }
  if (Common::Error error =
          zip.ReadAt(record_at - central_size, central.data(), central.size(), ZYK_HERE_AS("zip_file_impl")))
    return error;

  // Every entry must lie wholly inside the directory, so later scans need no checks.
  size_t at = 0;
  for (uint32_t i = 0; i < total_entries; ++i) {
    if (central.size() - at < kCentralHeaderSize || Get32(central.data() + at) != kCentralHeaderSignature)
      return FileError(Common::kErrCorrupted, ZYK_HERE_AS("zip_file_impl"));
    const uint8_t* p = central.data() + at;
    size_t variable = size_t{Get16(p + 28)} + Get16(p + 30) + Get16(p + 32);
    if (central.size() - at - kCentralHeaderSize < variable)
      return FileError(Common::kErrCorrupted, ZYK_HERE_AS("zip_file_impl"));
    at += kCentralHeaderSize + variable;
  }
  zip.central = std::move(central);
  zip.entry_count = total_entries;
  return Common::Error();
}

// Finds the entry named `name`; returns false when there is none.
bool FindEntry(const archive& zip, const char16_t* name, size_t& found) {
  if (name == nullptr) return false;
  size_t at = 0;
  for (uint32_t i = 0; i < zip.entry_count; ++i, at = zip.NextEntry(at)) {
    central_entry entry = zip.Entry(at);
    if (zip_detail::NameMatches(name, entry.name, entry.name_length)) {
      found = at;
      return true;
    }
  }
  return false;
}

}  // namespace

// --- zip_identifier ---------------------------------------------------------

zip_identifier::zip_identifier(std::shared_ptr<archive> archive, size_t entry)
    : archive_(std::move(archive)), entry_(entry) {}

file_identifier* zip_identifier::Clone() const { return new zip_identifier(archive_, entry_); }

// --- zip_iterator -----------------------------------------------------------

zip_iterator::zip_iterator(std::shared_ptr<archive> archive, size_t entry, uint32_t index)
    : archive_(std::move(archive)), entry_(entry), index_(index) {
  central_entry found = archive_->Entry(entry_);
  name_.assign(found.name, found.name + found.name_length);
}

bool zip_iterator::Next() {
  if (index_ + 1 >= archive_->entry_count) {
    SetError(FileError(Common::kErrEndOfFile, ZYK_HERE_AS("Next")));
    return false;
  }
  ++index_;
  entry_ = archive_->NextEntry(entry_);
  central_entry found = archive_->Entry(entry_);
  name_.assign(found.name, found.name + found.name_length);
  return true;
}

file_identifier* zip_iterator::GetIdentifier() { return new zip_identifier(archive_, entry_); }

const char16_t* zip_iterator::GetName() { return name_.c_str(); }

uint64_t zip_iterator::GetSize() { return archive_->Entry(entry_).uncompressed_size; }

uint32_t zip_iterator::GetType() { return !name_.empty() && name_.back() == u'/' ? kEntryDirectory : kEntryRegular; }

// --- file_in_zip ------------------------------------------------------------

file_in_zip::file_in_zip(std::shared_ptr<archive> archive, size_t entry) : archive_(std::move(archive)), entry_(entry) {
  central_entry found = archive_->Entry(entry_);
  method_ = found.method;
  expected_crc_ = found.crc;
  size_ = found.uncompressed_size;
  compressed_left_ = found.compressed_size;
  uncompressed_left_ = found.uncompressed_size;
  if (method_ != zip_detail::kMethodStored && method_ != zip_detail::kMethodDeflated) {
    SetError(FileError(Common::kErrNotSupported, ZYK_HERE_AS("file_in_zip")));
    return;
  }
  // A stored member's data is its content: the two sizes must agree.
  if (method_ == zip_detail::kMethodStored && found.compressed_size != found.uncompressed_size) {
    SetError(FileError(Common::kErrCorrupted, ZYK_HERE_AS("file_in_zip")));
    return;
  }
  // Deflate expands at most 1032 times: a larger claim is damage, and taking
  // it would let the reader size a buffer far beyond the archive.
  if (method_ == zip_detail::kMethodDeflated &&
      found.uncompressed_size >
          uint64_t{found.compressed_size} * zip_detail::kMaxDeflateRatio + zip_detail::kMaxDeflateRatio) {
    SetError(FileError(Common::kErrCorrupted, ZYK_HERE_AS("file_in_zip")));
    return;
  }
  ReadLocalHeader();
  if (HasError() || method_ == zip_detail::kMethodStored) return;
  input_.reset(new (std::nothrow) uint8_t[zip_detail::kInputBufferSize]);
  if (input_ == nullptr || inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
    SetError(FileError(Common::kErrNoMemory, ZYK_HERE_AS("file_in_zip")));
    return;
  }
  stream_open_ = true;
}

file_in_zip::~file_in_zip() {
  if (stream_open_) inflateEnd(&stream_);
}

void file_in_zip::ReadLocalHeader() {
  using namespace zip_detail;
  central_entry found = archive_->Entry(entry_);
  uint8_t header[kLocalHeaderSize];
  int64_t shifted = int64_t{found.local_header_offset} + archive_->shift;
  if (shifted < 0) {
    SetError(FileError(Common::kErrCorrupted, ZYK_HERE_AS("ReadLocalHeader")));
    return;
  }
  uint64_t header_at = static_cast<uint64_t>(shifted);
  {
    std::lock_guard<std::mutex> lock(archive_->mutex);
    if (Common::Error error = archive_->ReadAt(header_at, header, sizeof header, ZYK_HERE_AS("ReadLocalHeader"))) {
      SetError(error);
      return;
    }
  }
  uint16_t flags = Get16(header + 6);
  bool mismatch = Get32(header) != kLocalHeaderSignature || Get16(header + 8) != found.method;
  if (!mismatch && (flags & kFlagDataDescriptor) == 0)
    mismatch = Get32(header + 14) != found.crc || Get32(header + 18) != found.compressed_size ||
               Get32(header + 22) != found.uncompressed_size;
  data_offset_ = header_at + kLocalHeaderSize + Get16(header + 26) + Get16(header + 28);
  // The member's data must lie inside the file.
  if (!mismatch)
    mismatch = data_offset_ > archive_->file_size || found.compressed_size > archive_->file_size - data_offset_;
  if (mismatch) SetError(FileError(Common::kErrCorrupted, ZYK_HERE_AS("ReadLocalHeader")));
}

size_t file_in_zip::ReadStored(uint8_t* out, size_t want) {
  if (Common::Error error = archive_->ReadAt(data_offset_ + compressed_read_, out, want, ZYK_HERE_AS("Read"))) {
    SetError(error);
    return 0;
  }
  compressed_read_ += want;
  compressed_left_ -= want;
  return want;
}

size_t file_in_zip::ReadDeflated(uint8_t* out, size_t want) {
  if (stream_.avail_in == 0 && compressed_left_ > 0) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(zip_detail::kInputBufferSize, compressed_left_));
    if (Common::Error error =
            archive_->ReadAt(data_offset_ + compressed_read_, input_.get(), chunk, ZYK_HERE_AS("Read"))) {
      SetError(error);
      return 0;
    }
    compressed_read_ += chunk;
    compressed_left_ -= chunk;
    stream_.next_in = input_.get();
    stream_.avail_in = static_cast<uInt>(chunk);
  }
  uInt room = static_cast<uInt>(std::min<size_t>(want, UINT_MAX));
  uInt input_before = stream_.avail_in;
  stream_.next_out = out;
  stream_.avail_out = room;
  int result = inflate(&stream_, Z_SYNC_FLUSH);
  size_t produced = room - stream_.avail_out;
  bool consumed = stream_.avail_in != input_before;
  bool failed = result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR;
  // A call that neither takes input nor delivers output cannot progress: the
  // stream is cut short. Taking input alone is progress (a block header split
  // across two input refills delivers nothing yet).
  bool stuck = produced == 0 && !consumed;
  bool ended_early = result == Z_STREAM_END && produced < uncompressed_left_;
  if (failed || stuck || ended_early) {
    SetError(FileError(result == Z_MEM_ERROR ? Common::kErrNoMemory : Common::kErrCorrupted, ZYK_HERE_AS("Read")));
    return produced;
  }
  return produced;
}

void file_in_zip::Read(void* buffer, size_t length, size_t& done) {
  done = 0;
  if (HasError()) return;
  auto* out = static_cast<uint8_t*>(buffer);
  std::lock_guard<std::mutex> lock(archive_->mutex);
  while (done < length && uncompressed_left_ > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, uncompressed_left_));
    size_t got = method_ == zip_detail::kMethodStored ? ReadStored(out + done, want) : ReadDeflated(out + done, want);
    crc_ = static_cast<uint32_t>(crc32_z(crc_, out + done, got));
    done += got;
    uncompressed_left_ -= got;
    if (HasError()) return;
    if (uncompressed_left_ == 0 && crc_ != expected_crc_) {
      SetError(FileError(Common::kErrCorrupted, ZYK_HERE_AS("Read")));
      return;
    }
  }
}

void file_in_zip::Rewind() { SetError(FileError(Common::kErrNotSupported, ZYK_HERE_AS("Rewind"))); }

uint64_t file_in_zip::GetSize() { return size_; }

// --- zip_file_impl ----------------------------------------------------------

zip_file_impl::zip_file_impl(std::unique_ptr<ri_file> file, uint64_t end) : archive_(std::make_shared<archive>()) {
  archive_->file = std::move(file);
  if (archive_->file == nullptr) {
    SetError(FileError(Common::kErrOpenFailed, ZYK_HERE_AS("zip_file_impl")));
    return;
  }
  if (Common::Error error = LoadCentralDirectory(*archive_, end)) SetError(error);
}

zip_file_impl::zip_file_impl(std::shared_ptr<archive> archive) : archive_(std::move(archive)) {}

zip_file_impl::~zip_file_impl() = default;

std::unique_ptr<zip_file_impl> zip_file_impl::NewView() const {
  return std::unique_ptr<zip_file_impl>(new zip_file_impl(archive_));
}

bool zip_file_impl::IsLoaded() const { return archive_->entry_count > 0; }

si_file* zip_file_impl::OpenEntry(size_t entry) {
  auto file = std::make_unique<file_in_zip>(archive_, entry);
  if (file->HasError()) {
    SetError(file->TakeError());
    return nullptr;
  }
  return file.release();
}

bool zip_file_impl::RefuseUnloaded() {
  if (IsLoaded()) {
    ClearError();
    return false;
  }
  // The archive could not be read: refuse, keeping why as the inner error.
  Common::Error error = FileError(Common::kErrOpenFailed, ZYK_HERE_AS("OpenI"));
  SetError(Common::AddCause(error, TakeError()));
  return true;
}

si_file* zip_file_impl::OpenI(const char16_t* name, bool) {
  if (RefuseUnloaded()) return nullptr;
  size_t entry = 0;
  if (!FindEntry(*archive_, name, entry)) {
    SetError(FileError(Common::kErrNotFound, ZYK_HERE_AS("OpenI")));
    return nullptr;
  }
  return OpenEntry(entry);
}

si_file* zip_file_impl::OpenI(iterator* entry, bool) {
  auto* walker = dynamic_cast<zip_iterator*>(entry);
  if (RefuseUnloaded()) return nullptr;
  if (walker == nullptr || walker->Archive() != archive_.get()) {
    SetError(FileError(Common::kErrOpenFailed, ZYK_HERE_AS("OpenI")));
    return nullptr;
  }
  return OpenEntry(walker->Entry());
}

si_file* zip_file_impl::OpenI(const file_identifier* identifier, bool) {
  auto* id = dynamic_cast<const zip_identifier*>(identifier);
  if (RefuseUnloaded()) return nullptr;
  if (id == nullptr || id->Archive() != archive_.get()) {
    SetError(FileError(Common::kErrOpenFailed, ZYK_HERE_AS("OpenI")));
    return nullptr;
  }
  return OpenEntry(id->Entry());
}

i_dir* zip_file_impl::NoSubdirectories() {
  SetError(FileError(Common::kErrNotSupported, ZYK_HERE_AS("OpenDir")));
  return nullptr;
}

i_dir* zip_file_impl::OpenDir(const char16_t*) { return NoSubdirectories(); }
i_dir* zip_file_impl::OpenDir(iterator*) { return NoSubdirectories(); }
i_dir* zip_file_impl::OpenDir(const file_identifier*) { return NoSubdirectories(); }
i_dir* zip_file_impl::OpenParentDir(const char16_t**) { return NoSubdirectories(); }

i_dir::iterator* zip_file_impl::GetIterator() {
  ClearError();
  if (!IsLoaded()) {
    SetError(FileError(Common::kErrNotFound, ZYK_HERE_AS("GetIterator")));
    return nullptr;
  }
  return new zip_iterator(archive_, 0, 0);
}

i_dir::iterator* zip_file_impl::GetIterator(const char16_t* name) {
  ClearError();
  size_t at = 0;
  for (uint32_t i = 0; i < archive_->entry_count; ++i, at = archive_->NextEntry(at)) {
    central_entry entry = archive_->Entry(at);
    if (zip_detail::NameMatches(name ? name : u"", entry.name, entry.name_length))
      return new zip_iterator(archive_, at, i);
  }
  SetError(FileError(Common::kErrNotFound, ZYK_HERE_AS("GetIterator")));
  return nullptr;
}

i_dir::iterator* zip_file_impl::GetIterator(const file_identifier* identifier) {
  ClearError();
  auto* id = dynamic_cast<const zip_identifier*>(identifier);
  if (id != nullptr && id->Archive() == archive_.get()) {
    size_t at = 0;
    for (uint32_t i = 0; i < archive_->entry_count; ++i, at = archive_->NextEntry(at))
      if (at == id->Entry()) return new zip_iterator(archive_, at, i);
  }
  SetError(FileError(Common::kErrNotFound, ZYK_HERE_AS("GetIterator")));
  return nullptr;
}

i_dir::iterator* zip_file_impl::GetSelfIterator() {
  SetError(FileError(Common::kErrNotSupported, ZYK_HERE_AS("GetSelfIterator")));
  return nullptr;
}

int zip_file_impl::CompareDir(i_dir* other) {
  auto* zip = dynamic_cast<zip_file_impl*>(other);
  return zip != nullptr && zip->archive_ == archive_ ? 0 : 2;
}

int zip_file_impl::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  auto* first = dynamic_cast<const zip_identifier*>(a);
  auto* second = dynamic_cast<const zip_identifier*>(b);
  if (first == nullptr || second == nullptr) return first == second ? 0 : (first == nullptr ? -1 : 1);
  if (first->Archive() != second->Archive())
    return std::less<const void*>()(first->Archive(), second->Archive()) ? -1 : 1;
  return first->Entry() < second->Entry() ? -1 : first->Entry() > second->Entry() ? 1 : 0;
}
