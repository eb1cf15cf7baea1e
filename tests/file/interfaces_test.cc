// The defaults and forwarding rules shared by every directory and file.

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/file/dir_delegate.h"
#include "core/file/file_delegate.h"
#include "core/file/unix/posix_dir.h"
#include "support/test_support.h"

namespace {

// A file over a string whose writes fail on demand.
class StringFile : public rio_file {
 public:
  std::string data;
  int64_t position = 0;
  bool fail_writes = false;

  void Read(void* buffer, size_t length, size_t& done) override {
    done = position < static_cast<int64_t>(data.size()) ? std::min(length, data.size() - position) : 0;
    data.copy(static_cast<char*>(buffer), done, position);
    position += done;
  }
  void Write(const void* buffer, size_t length, size_t& done) override {
    done = 0;
    if (fail_writes) return SetError(Common::Error::File(Common::kErrWriteFailed, ZYK_HERE));
    if (data.size() < position + length) data.resize(position + length);
    data.replace(position, length, static_cast<const char*>(buffer), length);
    position += done = length;
  }
  int64_t Seek(int64_t offset) override { return position = offset; }
  int64_t SeekCurrent(int64_t offset) override { return position += offset; }
  int64_t SeekEnd(int64_t offset) override { return position = data.size() + offset; }
  void Truncate(uint64_t length) override { data.resize(length); }
};

TEST(FileDefaults, GetSizeKeepsThePositionAndRewindReturnsToZero) {
  StringFile file;
  file.data = "0123456789";
  file.Seek(3);
  EXPECT_EQ(file.GetSize(), 10u);
  EXPECT_EQ(file.SeekCurrent(0), 3);
  file.Rewind();
  EXPECT_EQ(file.position, 0);
}

TEST(FileDefaults, OptionalOperationsAreNotSupportedButKeepAnEarlierError) {
  StringFile file;
  ControlRequest request{kControlPad, 0, 0, nullptr};
  for (const auto& run : std::initializer_list<std::function<void()>>{
           [&] { file.LockShared(0, 1, false); }, [&] { file.LockExclusive(0, 1, false); }, [&] { file.Unlock(0, 1); },
           [&] { file.IOCTL(&request); }}) {
    run();
    EXPECT_EQ(file.TakeError().Code(), Common::kErrNotSupported);
  }
  file.SetError(Common::Error::File(Common::kErrReadFailed, ZYK_HERE));
  file.IOCTL(&request);
  EXPECT_EQ(file.TakeError().Code(), Common::kErrReadFailed);
}

TEST(ControlCodes, LettersSitInMemoryOrder) {
  const std::pair<uint32_t, const char*> codes[] = {{kControlAppendMode, "SAMI"},
                                                    {kControlDeallocate, "SDAT"},
                                                    {kControlAllocationMap, "ALCM"},
                                                    {kControlMediaService, "NCDR"}};
  for (const auto& [code, letters] : codes) EXPECT_EQ(std::memcmp(&code, letters, 4), 0) << letters;
}

TEST(FileDelegate, MovesTheInnerErrorOut) {
  auto inner = std::make_unique<StringFile>();
  StringFile* raw = inner.get();
  raw->fail_writes = true;
  rio_file_delegate delegate(std::move(inner));
  size_t done = 0;
  delegate.Write("x", 1, done);
  EXPECT_EQ(delegate.LastError().Code(), Common::kErrWriteFailed);
  EXPECT_FALSE(raw->HasError());
}

// A directory whose every operation fails; enough to check the delegate rule.
class FailingDir : public rio_dir {
 public:
  void Fail() { SetError(Common::Error::File(Common::kErrNotFound, ZYK_HERE)); }
  rio_file* OpenI(const char16_t*, bool) override { return Fail(), nullptr; }
  rio_file* OpenI(iterator*, bool) override { return Fail(), nullptr; }
  rio_file* OpenI(const file_identifier*, bool) override { return Fail(), nullptr; }
  rio_dir* OpenDir(const char16_t*) override { return Fail(), nullptr; }
  rio_dir* OpenDir(iterator*) override { return Fail(), nullptr; }
  rio_dir* OpenDir(const file_identifier*) override { return Fail(), nullptr; }
  rio_dir* OpenParentDir(const char16_t**) override { return Fail(), nullptr; }
  iterator* GetIterator() override { return Fail(), nullptr; }
  iterator* GetIterator(const char16_t*) override { return Fail(), nullptr; }
  iterator* GetIterator(const file_identifier*) override { return Fail(), nullptr; }
  iterator* GetSelfIterator() override { return Fail(), nullptr; }
  int CompareDir(i_dir*) override { return 2; }
  int CompareIdentifiers(const file_identifier*, const file_identifier*) override { return 0; }
  rio_file* OpenO(const char16_t*, bool) override { return Fail(), nullptr; }
  void Remove(const char16_t*) override { Fail(); }
  void Rename(const char16_t*, const char16_t*) override { Fail(); }
  void CreateDir(const char16_t*, const access_rights*) override { Fail(); }
  void RemoveDir(const char16_t*) override { Fail(); }
  rio_file* OpenO(iterator*, bool) override { return Fail(), nullptr; }
  rio_file* OpenO(const file_identifier*, bool) override { return Fail(), nullptr; }
  rio_file* OpenIO(const char16_t*, bool) override { return Fail(), nullptr; }
  rio_file* OpenIO(iterator*, bool) override { return Fail(), nullptr; }
  rio_file* OpenIO(const file_identifier*, bool) override { return Fail(), nullptr; }
  rio_file* CreateIO(const char16_t*, bool, const access_rights*) override { return Fail(), nullptr; }
};

TEST(DirDelegate, ReportsTheInnerErrorAndClearsIt) {
  auto inner = std::make_unique<FailingDir>();
  FailingDir* raw = inner.get();
  rio_dir_delegate delegate(std::move(inner));
  EXPECT_EQ(delegate.OpenI(u"x", false), nullptr);
  EXPECT_EQ(delegate.LastError().Code(), Common::kErrNotFound);
  EXPECT_FALSE(raw->HasError());
  EXPECT_EQ(delegate.GetPathSeparator(), u'\\');  // a later successful call clears the error
  EXPECT_FALSE(delegate.HasError());
  // Only another delegate's inner directory is compared.
  FailingDir plain;
  EXPECT_EQ(delegate.CompareDir(&plain), 2);
  EXPECT_EQ(delegate.CompareDir(nullptr), 2);
}

// A wrapper that overrides only the re-wrap hook: it knows the path that led to
// each directory it hands out.
class PlaceDir : public rio_dir_delegate {
 public:
  PlaceDir(std::unique_ptr<rio_dir> inner, std::u16string place)
      : rio_dir_delegate(std::move(inner)), place(std::move(place)) {}
  const std::u16string place;

 protected:
  rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t* path) override {
    return new PlaceDir(std::move(opened), place + u"|" + (path ? path : u"<entry>"));
  }
};

TEST(DirDelegate, EveryWayOfOpeningADirectoryPassesTheWrapperOnBelowTheFirstLevel) {
  zyk_test::TempDir temp;
  std::filesystem::create_directories(temp.path() + "/a/b/c");
  PlaceDir root(MakePosixDir(temp.path()), u"");
  using Open = std::function<rio_dir*(rio_dir&)>;
  const struct {
    Open open;
    std::u16string place;
  } cases[] = {
      {[](rio_dir& d) { return d.OpenDir(u"b"); }, u"|a|b"},
      {[](rio_dir& d) { return d.OpenSelf(); }, u"|a|."},
      {[](rio_dir& d) {
         const char16_t* path = u"b/c/file";
         return d.OpenParentDir(&path);
       },
       u"|a|b/c/"},
      {[](rio_dir& d) {
         std::unique_ptr<i_dir::iterator> entry(d.GetIterator(u"b"));
         return entry ? d.OpenDir(entry.get()) : nullptr;
       },
       u"|a|<entry>"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<rio_dir> first(root.OpenDir(u"a"));
    ASSERT_NE(first, nullptr);
    std::unique_ptr<rio_dir> second(c.open(*first));
    auto* wrapped = dynamic_cast<PlaceDir*>(second.get());
    ASSERT_NE(wrapped, nullptr) << &c - cases;
    EXPECT_EQ(wrapped->place, c.place);
    EXPECT_FALSE(wrapped->HasError());
  }
}

TEST(DirDefaults, OptionalOperationsAreNotSupported) {
  FailingDir dir;
  EXPECT_EQ(dir.OpenSpecialDir(143), nullptr);
  EXPECT_EQ(dir.TakeError().Code(), Common::kErrNotSupported);
  dir.CreateSymLink(u"a", u"b");
  EXPECT_EQ(dir.TakeError().Code(), Common::kErrNotSupported);
  uint64_t total, free, available;
  dir.GetDriveSize(total, free, available);
  EXPECT_EQ(dir.TakeError().Code(), Common::kErrNotSupported);
}

}  // namespace
