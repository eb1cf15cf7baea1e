// The transparent container directory over a real directory tree.

#include "core/network/storage/backend/rio_dir/local/container_dir.h"

#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/file/chroot.h"
#include "core/file/unix/posix_dir.h"
#include "support/test_support.h"

namespace {

using Network::Storage::Backend::IsArchiveName;
using Network::Storage::Backend::MakeTransparentContainerDir;

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
  rio_dir* OpenDir(const char16_t* name) override { return Wrap(inner_->OpenDir(name)); }
  rio_dir* OpenParentDir(const char16_t** path) override { return Wrap(inner_->OpenParentDir(path)); }

 private:
  rio_dir* Wrap(rio_dir* opened) {
    std::unique_ptr<rio_dir> inner(opened);
    MoveError();
    return inner ? new CountingDir(std::move(inner), opens_) : nullptr;
  }

  std::shared_ptr<std::atomic<int>> opens_;
};

class ContainerDir : public ::testing::Test {
 protected:
  ContainerDir() {
    auto confined = MakeChrootedDir(MakePosixDir(temp_.path()), u"/");
    root_ = MakeTransparentContainerDir(std::make_unique<CountingDir>(std::move(confined), opens_), ".QMV");
  }

  std::unique_ptr<rio_file> Create(const char16_t* name) {
    std::unique_ptr<rio_file> file(root_->CreateIO(name, false, nullptr));
    EXPECT_NE(file, nullptr) << root_->LastError().ToString();
    return file;
  }

  void WriteAll(rio_file& file, const std::string& data, int64_t offset = 0) {
    file.Seek(offset);
    size_t done = 0;
    file.Write(data.data(), data.size(), done);
    ASSERT_FALSE(file.HasError()) << file.LastError().ToString();
    ASSERT_EQ(done, data.size());
  }

  std::string ReadAll(rio_file& file) {
    std::string data(file.GetSize(), '\0');
    file.Seek(0);
    size_t done = 0;
    file.Read(data.data(), data.size(), done);
    EXPECT_FALSE(file.HasError()) << file.LastError().ToString();
    data.resize(done);
    return data;
  }

  std::string RawBytes(const std::string& name, size_t count) {
    std::ifstream in(temp_ / name, std::ios::binary);
    std::string bytes(count, '\0');
    in.read(bytes.data(), count);
    bytes.resize(in.gcount());
    return bytes;
  }

  // Size and allocated bytes of every entry, as a full listing reports them.
  std::map<std::u16string, std::pair<uint64_t, uint64_t>> ListAll() {
    std::map<std::u16string, std::pair<uint64_t, uint64_t>> sizes;
    std::unique_ptr<i_dir::iterator> it(root_->GetIterator());
    EXPECT_NE(it, nullptr);
    for (; it && !it->HasError(); it->Next()) sizes[it->GetName()] = {it->GetSize(), it->GetAllocatedSize()};
    return sizes;
  }
  std::pair<uint64_t, uint64_t> Listed(const char16_t* name) { return ListAll()[name]; }

  zyk_test::TempDir temp_;
  std::shared_ptr<std::atomic<int>> opens_ = std::make_shared<std::atomic<int>>(0);
  std::unique_ptr<rio_dir> root_;
};

TEST(ArchiveName, EndsInTheExtensionWithoutRegardToCase) {
  struct Case {
    const char16_t* name;
    bool archive;
  } cases[] = {{u"x.QMV", true},       {u"Data.Qmv", true},     {u"d/e.qmv", true}, {u"data.qmv.bak", false},
               {u"x.QMW", false},      {u"QMV", false},         {u".QMV", true},    {u"x.\u00D1MV", false}};
  for (const Case& c : cases) EXPECT_EQ(IsArchiveName(c.name, ".QMV"), c.archive) << int(c.archive);
}

TEST_F(ContainerDir, ArchiveNamesAreStoredAsArchivesAndReadBackPlain) {
  for (const char16_t* name : {u"x.QMV", u"Data.Qmv"}) {
    std::string content(10000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    {
      auto file = Create(name);
      WriteAll(*file, content);
      file->Flush();
      ASSERT_FALSE(file->HasError());
    }
    std::string disk_name(name, name + std::char_traits<char16_t>::length(name));
    EXPECT_EQ(RawBytes(disk_name, 4), std::string("\xCE\x24\xB9\xA2", 4));
    std::unique_ptr<rio_file> reader(root_->OpenI(name, false));
    ASSERT_NE(reader, nullptr) << root_->LastError().ToString();
    EXPECT_EQ(ReadAll(*reader), content);
  }
}

TEST_F(ContainerDir, OtherNamesAndDirectoriesArePlain) {
  {
    auto file = Create(u"data.qmv.bak");
    WriteAll(*file, "plain");
  }
  EXPECT_EQ(RawBytes("data.qmv.bak", 5), "plain");
  ASSERT_EQ(::mkdir((temp_ / "x.qmv").c_str(), 0755), 0);
  std::unique_ptr<rio_dir> sub(root_->OpenDir(u"x.qmv"));
  ASSERT_NE(sub, nullptr);
  std::unique_ptr<i_dir::iterator> it(root_->GetIterator(u"x.qmv"));
  ASSERT_NE(it, nullptr);
  EXPECT_EQ(it->GetType(), kEntryDirectory);
  struct stat status;
  ASSERT_EQ(::stat((temp_ / "x.qmv").c_str(), &status), 0);
  EXPECT_EQ(it->GetSize(), static_cast<uint64_t>(status.st_size));
  EXPECT_FALSE(it->HasError());
}

TEST_F(ContainerDir, AFileWithTheExtensionThatIsNoArchiveFailsToOpen) {
  std::ofstream(temp_ / "y.QMV") << std::string(20000, 'z');
  EXPECT_EQ(root_->OpenI(u"y.QMV", false), nullptr);
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrCorrupted);
  EXPECT_EQ(root_->OpenIO(u"y.QMV", false), nullptr);
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrCorrupted);
  EXPECT_EQ(RawBytes("y.QMV", 3), "zzz");
}

TEST_F(ContainerDir, WriteOnlyOpenOfAnArchiveKeepsItAnArchive) {
  {
    auto file = Create(u"w.QMV");
    WriteAll(*file, "archive content");
    file->Flush();
  }
  {
    std::unique_ptr<rio_file> writer(root_->OpenO(u"w.QMV", false));
    ASSERT_NE(writer, nullptr) << root_->LastError().ToString();
    WriteAll(*writer, "ARCHIVE");
    writer->Flush();
    ASSERT_FALSE(writer->HasError());
  }
  EXPECT_EQ(RawBytes("w.QMV", 4), std::string("\xCE\x24\xB9\xA2", 4));
  std::unique_ptr<rio_file> reader(root_->OpenI(u"w.QMV", false));
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(ReadAll(*reader), "ARCHIVE content");
}

TEST_F(ContainerDir, RenameKeepsArchivesAmongArchiveNames) {
  {
    auto file = Create(u"a.QMV");
    file->Flush();
  }
  std::ofstream(temp_ / "p.bin") << "plain";
  root_->Rename(u"a.QMV", u"a.bin");
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
  root_->Rename(u"p.bin", u"p.QMV");
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrNotSupported);
  EXPECT_TRUE(std::ifstream(temp_ / "a.QMV").good());
  EXPECT_TRUE(std::ifstream(temp_ / "p.bin").good());
  root_->Rename(u"a.QMV", u"b.QMV");
  EXPECT_FALSE(root_->HasError()) << root_->LastError().ToString();
  std::unique_ptr<rio_file> reader(root_->OpenI(u"b.QMV", false));
  EXPECT_NE(reader, nullptr);
}

TEST_F(ContainerDir, ListingReportsLogicalAndAllocatedSizesAfterEachFlush) {
  auto file = Create(u"s.QMV");
  WriteAll(*file, std::string(5000, 'a'));
  file->Flush();
  EXPECT_EQ(Listed(u"s.QMV"), std::make_pair(uint64_t{5000}, uint64_t{5000}));
  // A write far out leaves a hole: the logical size grows, the allocation only
  // by the written block; allocation counts whole blocks up to the logical end.
  WriteAll(*file, std::string(100, 'b'), 1 << 20);
  file->Flush();
  EXPECT_EQ(Listed(u"s.QMV"), std::make_pair(uint64_t{(1 << 20) + 100}, uint64_t{8192 + 100}));
}

TEST_F(ContainerDir, ListingTwiceOpensUncachedArchivesOnlyOnce) {
  {
    // Archives made through another root are not in this root's cache.
    auto maker = MakeTransparentContainerDir(MakePosixDir(temp_.path()), ".QMV");
    for (const char16_t* name : {u"1.QMV", u"2.QMV", u"3.QMV"}) {
      std::unique_ptr<rio_file> file(maker->CreateIO(name, false, nullptr));
      ASSERT_NE(file, nullptr);
      size_t done;
      file->Write("xyz", 3, done);
      file->Flush();
    }
  }
  *opens_ = 0;
  EXPECT_EQ(Listed(u"2.QMV").first, 3u);
  int first_listing = *opens_;
  EXPECT_GE(first_listing, 3);  // every archive was opened to measure it
  *opens_ = 0;
  EXPECT_EQ(Listed(u"3.QMV").first, 3u);
  EXPECT_EQ(*opens_, 0);
}

TEST_F(ContainerDir, ReaderSeesTheLastFlushWhileAWriterAppends) {
  auto writer = Create(u"r.QMV");
  WriteAll(*writer, "first");
  writer->Flush();
  WriteAll(*writer, " second", 5);
  std::unique_ptr<rio_file> reader(root_->OpenI(u"r.QMV", false));
  ASSERT_NE(reader, nullptr) << root_->LastError().ToString();
  EXPECT_EQ(ReadAll(*reader), "first");
  EXPECT_EQ(root_->OpenIO(u"r.QMV", false), nullptr);
  EXPECT_EQ(root_->TakeError().Code(), Common::kErrLockFailed) << "second writer";
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
