// The transparent container directory over a real directory tree: what the
// host interface cannot show (write-only opens, listing sizes, the size cache,
// refused operations). Archives seen through the mount are tested in
// archive_through_mount_test.cc.

#include "core/network/storage/backend/rio_dir/local/container_dir.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/file/chroot.h"
#include "core/file/unix/posix_dir.h"
#include "network/storage/backend/test_host.h"

namespace {

using Network::Storage::Backend::IsArchiveName;
using Network::Storage::Backend::MakeTransparentContainerDir;

const std::string kLabelMagic("\xCE\x24\xB9\xA2", 4);

// Counts the files opened below it (through every directory it hands out).
class CountingDir : public rio_dir_delegate {
 public:
  CountingDir(std::unique_ptr<rio_dir> inner, std::shared_ptr<std::atomic<int>> opens)
      : rio_dir_delegate(std::move(inner)), opens_(std::move(opens)) {}
  rio_file* OpenI(const char16_t* name, bool no_lock) override {
    ++*opens_;
    return rio_dir_delegate::OpenI(name, no_lock);
  }
  rio_file* OpenIO(const char16_t* name, bool no_lock) override {
    ++*opens_;
    return rio_dir_delegate::OpenIO(name, no_lock);
  }

 protected:
  rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t*) override {
    return new CountingDir(std::move(opened), opens_);
  }

 private:
  std::shared_ptr<std::atomic<int>> opens_;
};

class ContainerDir : public ::testing::Test {
 protected:
  ContainerDir() {
    auto confined = MakeChrootedDir(MakePosixDir(temp_.path()), u"/");
    root_ = MakeTransparentContainerDir(std::make_unique<CountingDir>(std::move(confined), opens_), ".QMV");
  }

  void Write(rio_file& file, const std::string& data, int64_t offset = 0) {
    file.Seek(offset);
    size_t done = 0;
    file.Write(data.data(), data.size(), done);
    file.Flush();
    ASSERT_FALSE(file.HasError()) << file.LastError().ToString();
    ASSERT_EQ(done, data.size());
  }

  // Size and allocated bytes of `name` as a full listing reports them.
  std::pair<uint64_t, uint64_t> Listed(const char16_t* name) {
    std::map<std::u16string, std::pair<uint64_t, uint64_t>> sizes;
    std::unique_ptr<i_dir::iterator> it(root_->GetIterator());
    EXPECT_NE(it, nullptr);
    for (; it && !it->HasError(); it->Next()) sizes[it->GetName()] = {it->GetSize(), it->GetAllocatedSize()};
    return sizes[name];
  }

  zyk_test::TempDir temp_;
  std::shared_ptr<std::atomic<int>> opens_ = std::make_shared<std::atomic<int>>(0);
  std::unique_ptr<rio_dir> root_;
};

TEST(ArchiveName, EndsInTheExtensionWithoutRegardToCase) {
  const std::pair<const char16_t*, bool> cases[] = {{u"x.QMV", true},         {u"Data.Qmv", true},   {u"d/e.qmv", true},
                                                    {u"data.qmv.bak", false}, {u"x.QMW", false},     {u"QMV", false},
                                                    {u".QMV", true},          {u"x.\u00D1MV", false}};
  for (const auto& [name, archive] : cases) EXPECT_EQ(IsArchiveName(name, ".QMV"), archive) << int(archive);
}

TEST_F(ContainerDir, WriteOnlyOpenOfAnArchiveKeepsItAnArchive) {
  std::unique_ptr<rio_file> file(root_->CreateIO(u"w.QMV", false, nullptr));
  ASSERT_NE(file, nullptr) << root_->LastError().ToString();
  Write(*file, "archive content");
  file.reset();  // the old writer must go before the new one opens
  file.reset(root_->OpenO(u"w.QMV", false));
  ASSERT_NE(file, nullptr) << root_->LastError().ToString();
  Write(*file, "ARCHIVE");
  file.reset();
  EXPECT_EQ(zyk_test::ReadFile(temp_ / "w.QMV").substr(0, 4), kLabelMagic);
  file.reset(root_->OpenI(u"w.QMV", false));
  ASSERT_NE(file, nullptr);
  std::string data(32, '\0');
  size_t done = 0;
  file->Read(data.data(), data.size(), done);
  EXPECT_EQ(data.substr(0, done), "ARCHIVE content");
}

TEST_F(ContainerDir, ListingReportsLogicalAndAllocatedSizesAfterEachFlush) {
  std::unique_ptr<rio_file> file(root_->CreateIO(u"s.QMV", false, nullptr));
  ASSERT_NE(file, nullptr);
  Write(*file, std::string(5000, 'a'));
  EXPECT_EQ(Listed(u"s.QMV"), std::make_pair(uint64_t{5000}, uint64_t{5000}));
  // A write far out leaves a hole: the logical size grows, the allocation only
  // by the written block; allocation counts whole blocks up to the logical end.
  Write(*file, std::string(100, 'b'), 1 << 20);
  EXPECT_EQ(Listed(u"s.QMV"), std::make_pair(uint64_t{(1 << 20) + 100}, uint64_t{8192 + 100}));
}

TEST_F(ContainerDir, UncachedArchivesAreMeasuredAndListingTwiceOpensThemOnlyOnce) {
  {
    // Archives made through another root are not in this root's cache.
    auto maker = MakeTransparentContainerDir(MakePosixDir(temp_.path()), ".QMV");
    for (const char16_t* name : {u"1.QMV", u"2.QMV", u"3.QMV"}) {
      std::unique_ptr<rio_file> file(maker->CreateIO(name, false, nullptr));
      ASSERT_NE(file, nullptr);
      Write(*file, "xyz");
    }
  }
  // An iterator on one uncached archive measures it too.
  std::unique_ptr<i_dir::iterator> one(root_->GetIterator(u"1.QMV"));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->GetSize(), 3u);
  one.reset();
  *opens_ = 0;
  EXPECT_EQ(Listed(u"2.QMV").first, 3u);
  EXPECT_GE(*opens_, 2);  // the two archives not yet measured were opened
  *opens_ = 0;
  EXPECT_EQ(Listed(u"3.QMV").first, 3u);
  EXPECT_EQ(*opens_, 0);
}

TEST_F(ContainerDir, ParentDirOfNoPathIsTheDirectoryItself) {
  const char16_t* none = nullptr;
  for (const char16_t** path : {static_cast<const char16_t**>(nullptr), &none}) {
    std::unique_ptr<rio_dir> self(root_->OpenParentDir(path));
    ASSERT_NE(self, nullptr) << root_->LastError().ToString();
    EXPECT_EQ(root_->CompareDir(self.get()), 0);
  }
}

// By identifier, plain files open as they are; an archive would be its raw
// volume bytes, so it is refused.
TEST_F(ContainerDir, OpensByIdentifierReachPlainFilesAndRefuseArchives) {
  for (const char16_t* name : {u"a.QMV", u"p.txt"}) {
    std::unique_ptr<rio_file> file(root_->CreateIO(name, false, nullptr));
    ASSERT_NE(file, nullptr) << root_->LastError().ToString();
    Write(*file, "data");
  }
  std::unique_ptr<i_dir::iterator> it(root_->GetIterator());
  ASSERT_NE(it, nullptr);
  int seen = 0;
  for (; !it->HasError(); it->Next()) {
    const std::u16string name = it->GetName();
    if (name != u"a.QMV" && name != u"p.txt") continue;
    ++seen;
    std::unique_ptr<file_identifier> id(it->GetIdentifier());
    std::unique_ptr<rio_file> file(root_->OpenI(id.get(), false));
    if (name == u"p.txt") {
      EXPECT_NE(file, nullptr) << root_->TakeError().ToString();
    } else {
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
    }
  }
  EXPECT_EQ(seen, 2);
}

TEST_F(ContainerDir, LinkAndSpecialOperationsAreRefused) {
  EXPECT_EQ(root_->OpenSpecialDir(149), nullptr);
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
  EXPECT_EQ(root_->ResolveSymLinks(nullptr).first, nullptr);
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
  root_->CreateHardLink(u"a.QMV", u"b");
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
}

}  // namespace
