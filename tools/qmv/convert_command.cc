// qmv convert: plain file to archive, archive to plain file, archive to archive
// (another block or volume size, or a compacted copy). Holes stay holes: the
// source's unallocated ranges are never read, and runs of zero blocks in its
// data are not written. The destination is written under a temporary name and
// renamed into place only when complete and synced.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/backup/container_api.h"
#include "core/backup/container_format.h"
#include "core/backup/container_map.h"
#include "tools/common/progress.h"
#include "tools/qmv/commands.h"
#include "tools/qmv/qmv_support.h"

namespace qmv {
namespace {

using backupmedia::ContainerArchive;

constexpr size_t kChunk = 1 << 20;
constexpr uint32_t kPlainGranule = 4096;  // zero runs of a plain destination are skipped in these units

// Reports a failure on standard error; false, to be returned.
bool Complain(const std::string& what) {
  std::fprintf(stderr, "qmv: convert: %s\n", what.c_str());
  return false;
}
bool ComplainErrno(const std::string& what) { return Complain(what + ": " + std::strerror(errno)); }

bool IsArchiveName(const std::string& name) {
  return name.size() >= 4 && strcasecmp(name.c_str() + name.size() - 4, ".qmv") == 0;
}

// A byte range of the source that holds data: [start, end).
struct Range {
  uint64_t start, end;
};

class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t Size() const = 0;
  // The ranges that may hold data, in order; the rest reads as zeros.
  virtual bool DataRanges(std::vector<Range>& ranges) = 0;
  virtual bool Read(uint64_t offset, char* buffer, size_t length) = 0;
};

class PlainSource : public Source {
 public:
  PlainSource(int fd, uint64_t size, std::string name) : fd_(fd), size_(size), name_(std::move(name)) {}
  ~PlainSource() override { ::close(fd_); }
  uint64_t Size() const override { return size_; }
  bool DataRanges(std::vector<Range>& ranges) override {
    off_t position = 0;
    while (static_cast<uint64_t>(position) < size_) {
      off_t data = ::lseek(fd_, position, SEEK_DATA);
      if (data < 0 && errno == ENXIO) break;  // only a hole up to the end
      if (data < 0) {
        // No hole support: everything counts as data.
        ranges.push_back({static_cast<uint64_t>(position), size_});
        break;
      }
      off_t hole = ::lseek(fd_, data, SEEK_HOLE);
      if (hole < 0) hole = static_cast<off_t>(size_);
      ranges.push_back({static_cast<uint64_t>(data), std::min<uint64_t>(hole, size_)});
      position = hole;
    }
    return true;
  }
  bool Read(uint64_t offset, char* buffer, size_t length) override {
    while (length > 0) {
      ssize_t got = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got < 0 ? ComplainErrno("reading " + name_) : Complain(name_ + " shrank while read");
      buffer += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_;
  std::string name_;
};

class ArchiveSource : public Source {
 public:
  explicit ArchiveSource(std::unique_ptr<ContainerArchive> archive) : archive_(std::move(archive)) {}
  uint64_t Size() const override { return archive_->GetSize(); }
  ContainerArchive& Archive() { return *archive_; }
  bool DataRanges(std::vector<Range>& ranges) override {
    try {
      for (const backupmedia::MapRun& run : backupmedia::MapArchive(*archive_))
        if (run.block != 0) ranges.push_back({run.offset, run.offset + run.length});
    } catch (const Common::Error& error) {
      return Complain("mapping the source: " + ErrorText(error));
    }
    return true;
  }
  bool Read(uint64_t offset, char* buffer, size_t length) override {
    archive_->Seek(static_cast<int64_t>(offset));
    size_t done = 0;
    archive_->Read(buffer, length, done);
    if (archive_->HasError()) return Complain("reading the source: " + ErrorText(archive_->TakeError()));
    return done == length || Complain("the source ended early");
  }

 private:
  std::unique_ptr<ContainerArchive> archive_;
};

// The name `name` with `tag` inserted before the extension of its last component.
std::string TemporaryName(const std::string& name, const std::string& tag) {
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1) return name + tag;
  return name.substr(0, dot) + tag + name.substr(dot);
}

class Destination {
 public:
  virtual ~Destination() = default;
  // Granularity of zero detection: blocks of zeros this size are not written.
  virtual uint32_t Granule() const = 0;
  virtual bool Write(uint64_t offset, const char* data, size_t length) = 0;
  // Sets the size, syncs and renames into place.
  virtual bool Finish(uint64_t size) = 0;
};

class PlainDestination : public Destination {
 public:
  explicit PlainDestination(std::string name)
      : name_(std::move(name)), temporary_(TemporaryName(name_, ".convert-" + std::to_string(::getpid()))) {}
  ~PlainDestination() override {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(temporary_.c_str());
  }
  bool Open() {
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    return fd_ >= 0 || ComplainErrno("creating " + temporary_);
  }
  uint32_t Granule() const override { return kPlainGranule; }
  bool Write(uint64_t offset, const char* data, size_t length) override {
    while (length > 0) {
      ssize_t put = ::pwrite(fd_, data, length, static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return ComplainErrno("writing " + temporary_);
      data += put;
      offset += static_cast<uint64_t>(put);
      length -= static_cast<size_t>(put);
    }
    return true;
  }
  bool Finish(uint64_t size) override {
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return ComplainErrno("sizing " + temporary_);
    if (::fsync(fd_) != 0) return ComplainErrno("syncing " + temporary_);
    if (::rename(temporary_.c_str(), name_.c_str()) != 0) return ComplainErrno("renaming to " + name_);
    renamed_ = true;
    return true;
  }

 private:
  std::string name_, temporary_;
  int fd_ = -1;
  bool renamed_ = false;
};

class ArchiveDestination : public Destination {
 public:
  explicit ArchiveDestination(std::string name)
      : name_(std::move(name)), temporary_(TemporaryName(name_, ".convert-" + std::to_string(::getpid()))) {}
  ~ArchiveDestination() override {
    if (archive_) volumes_ = archive_->VolumeCount();
    archive_.reset();
    if (!renamed_) ForEachVolume([](const std::string& from, const std::string&) { ::unlink(from.c_str()); });
  }
  bool Create(const backupmedia::ArchiveParameters& parameters) {
    Common::Error error;
    archive_ = backupmedia::CreateContainerArchive(target_.dir.get(), Common::WidenFileName(temporary_.c_str()).c_str(),
                                                   nullptr, &parameters, error, false);
    if (!archive_) return Complain("creating " + temporary_ + ": " + ErrorText(error));
    split_ = IsSplit(parameters);
    return true;
  }
  uint32_t Granule() const override { return archive_->BlockSize(); }
  bool Write(uint64_t offset, const char* data, size_t length) override {
    archive_->Seek(static_cast<int64_t>(offset));
    size_t done = 0;
    archive_->Write(data, length, done);
    return !archive_->HasError() || Complain("writing " + temporary_ + ": " + ErrorText(archive_->LastError()));
  }
  bool Finish(uint64_t size) override {
    archive_->Truncate(size);
    if (!archive_->HasError()) archive_->Flush();  // commits: everything synced, then the header
    if (archive_->HasError()) return Complain("writing " + temporary_ + ": " + ErrorText(archive_->LastError()));
    volumes_ = archive_->VolumeCount();
    archive_.reset();
    // Later volumes first: the archive appears under its name only once whole.
    bool renamed = true;
    ForEachVolume([&](const std::string& from, const std::string& to) {
      if (renamed && ::rename(from.c_str(), to.c_str()) != 0) renamed = ComplainErrno("renaming to " + to);
    });
    renamed_ = renamed;
    return renamed;
  }

 private:
  bool IsSplit(const backupmedia::ArchiveParameters& p) const {
    uint64_t block = archive_->BlockSize();
    return p.max_volume_size >= static_cast<int64_t>(3 * block) &&
           static_cast<uint64_t>(p.max_volume_size) < (block << 32);
  }
  // Visits (temporary name, final name) of every volume, the first one last.
  template <typename Visit>
  void ForEachVolume(Visit visit) {
    if (!split_) {
      visit(temporary_, name_);
      return;
    }
    backupmedia::ArchiveNameGenerator from(Common::WidenFileName(temporary_.c_str()));
    backupmedia::ArchiveNameGenerator to(Common::WidenFileName(name_.c_str()));
    uint32_t count = std::max<uint32_t>(volumes_, 1);
    for (uint32_t number = count; number >= 1; --number)
      visit(Common::NarrowFileName(from.GetName(number)), Common::NarrowFileName(to.GetName(number)));
  }

  Target target_{"."};
  std::string name_, temporary_;
  std::unique_ptr<ContainerArchive> archive_;
  bool split_ = false;
  uint32_t volumes_ = 0;
  bool renamed_ = false;
};

// True when `length` bytes at `data` are all zero.
bool AllZero(const char* data, size_t length) {
  return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

// Copies the source's data ranges, writing only granules that hold a non-zero
// byte. Progress counts source bytes passed over, holes included.
bool Copy(Source& source, Destination& destination, zyk_tools::Progress& progress) {
  std::vector<Range> ranges;
  if (!source.DataRanges(ranges)) return false;
  const uint64_t granule = destination.Granule();
  std::vector<char> buffer(kChunk);
  uint64_t reported = 0;
  auto report = [&](uint64_t upto) {
    if (upto > reported) progress.Add(upto - reported);
    reported = std::max(reported, upto);
  };
  for (Range range : ranges) {
    // From a granule boundary, so that whole granules are tested for zeros,
    // but never again over bytes already copied.
    uint64_t position = std::max(range.start / granule * granule, reported);
    while (position < range.end) {
      size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), range.end - position));
      if (!source.Read(position, buffer.data(), length)) return false;
      for (size_t at = 0; at < length;) {
        size_t begin = at;
        for (;;) {  // gather the granules that are not all zero
          size_t run = std::min<size_t>(granule - (position + at) % granule, length - at);
          if (run == 0 || AllZero(buffer.data() + at, run)) break;
          at += run;
        }
        if (at > begin && !destination.Write(position + begin, buffer.data() + begin, at - begin)) return false;
        if (at < length) at += std::min<size_t>(granule - (position + at) % granule, length - at);  // a hole
      }
      position += length;
      report(position);
    }
  }
  report(source.Size());
  return true;
}

int Usage(const char* message) {
  std::fprintf(stderr,
               "qmv convert: %s\nusage: qmv convert [-p] [--block-size N] [--volume-size BYTES] SOURCE DESTINATION\n",
               message);
  return 2;
}

// Opens the source: an archive when its first file starts with the archive
// magic or when it is a split archive, otherwise a plain file.
std::unique_ptr<Source> OpenSource(const char* name, Common::Error& error) {
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    uint8_t magic[4] = {};
    struct stat st {};
    bool plain =
        ::pread(fd, magic, sizeof magic, 0) != sizeof magic || backupmedia::Load32(magic) != backupmedia::kLabelMagic;
    if (plain && ::fstat(fd, &st) == 0)
      return std::make_unique<PlainSource>(fd, static_cast<uint64_t>(st.st_size), name);
    ::close(fd);
  }
  Target target(name);
  auto archive = backupmedia::OpenContainerArchive(target.dir.get(), target.path.c_str(), nullptr, error, false);
  if (!archive) return nullptr;
  return std::make_unique<ArchiveSource>(std::move(archive));
}

}  // namespace

int RunConvert(const std::vector<const char*>& args, bool show_progress) {
  backupmedia::ArchiveParameters parameters;
  bool block_given = false, volume_given = false;
  std::vector<const char*> names;
  for (size_t i = 0; i < args.size(); ++i) {
    int64_t value = 0;
    if (std::strcmp(args[i], "--block-size") == 0 || std::strcmp(args[i], "--volume-size") == 0) {
      if (i + 1 >= args.size() || !ParseNumber(args[i + 1], value)) return Usage("bad number");
      if (args[i][2] == 'b') {
        if (!backupmedia::IsValidBlockSize(static_cast<uint64_t>(value)))
          return Usage("the block size must be a power of two from 512 to 262144");
        parameters.block_size = static_cast<uint32_t>(value);
        block_given = true;
      } else {
        parameters.max_volume_size = value;
        volume_given = true;
      }
      ++i;
    } else if (args[i][0] != '-' || args[i][1] == '\0') {
      names.push_back(args[i]);
    } else {
      return Usage("unexpected argument");
    }
  }
  if (names.size() != 2) return Usage("wrong number of arguments");
  Common::Error error;
  std::unique_ptr<Source> source = OpenSource(names[0], error);
  if (!source) return Fail("convert", error);
  if (auto* archive = dynamic_cast<ArchiveSource*>(source.get())) {
    // An archive keeps its geometry unless asked otherwise.
    backupmedia::ArchiveInfo info;
    try {
      info = archive->Archive().GetInfo();
    } catch (const Common::Error& failure) {
      return Fail("convert", failure);
    }
    if (!block_given) parameters.block_size = info.block_size;
    if (!volume_given && info.blocks_per_volume != 0)
      parameters.max_volume_size = int64_t{info.blocks_per_volume} * parameters.block_size;
  }
  std::unique_ptr<Destination> destination;
  if (IsArchiveName(names[1])) {
    auto archive = std::make_unique<ArchiveDestination>(names[1]);
    if (!archive->Create(parameters)) return 1;
    destination = std::move(archive);
  } else {
    if (block_given || volume_given) return Usage("--block-size and --volume-size need an archive destination (*.qmv)");
    auto plain = std::make_unique<PlainDestination>(names[1]);
    if (!plain->Open()) return 1;
    destination = std::move(plain);
  }
  zyk_tools::Progress progress(show_progress, "convert", source->Size());
  if (!Copy(*source, *destination, progress) || !destination->Finish(source->Size())) return 1;
  progress.Finish();
  return 0;
}

}  // namespace qmv
