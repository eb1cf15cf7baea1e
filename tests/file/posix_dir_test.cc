// The POSIX directory against real files in a fresh temporary directory.

#include "core/file/unix/posix_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/common/file_name.h"
#include "support/test_support.h"

namespace {

using Common::Error;

std::string Narrow(const char16_t* text) { return text ? Common::NarrowFileName(UString(text)) : std::string("<null>"); }

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

TEST(PosixDirPath, JoinsNamesLexically) {
  struct Case {
    const char* directory;
    const char* name;
    const char* joined;
  } cases[] = {
      {"/a/b", "../x", "/a/x"},         {"/a/b", "../../..", "/"},    {"/a/b", "/etc/passwd", "/etc/passwd"},
      {"/", "..", "/"},                 {"/", "x", "/x"},             {"/a", "./b//c/", "/a/b/c"},
      {"/a", "", "/a"},                 {"/a", ".", "/a"},            {"/a", "..", "/"},
      {"/a", "b/../../../c", "/c"},     {"/a/b", "//x/./y", "/x/y"}, {"/a", "..x/.y", "/a/..x/.y"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(posix_dir::JoinPath(c.directory, c.name), c.joined) << c.directory << " + " << c.name;
}

TEST(PosixDirPath, FactoryNormalisesAndFullPathEndsWithSeparator) {
  EXPECT_EQ(MakePosixDir("/a//b/../c/")->Path(), "/a/c");
  EXPECT_EQ(Narrow(MakePosixDir("/a/c")->GetFullPath()), "/a/c/");
  EXPECT_EQ(Narrow(MakePosixDir("/")->GetFullPath()), "/");
  char buffer[4096];
  ASSERT_NE(::getcwd(buffer, sizeof(buffer)), nullptr);
  EXPECT_EQ(MakeCurrentPosixDir()->Path(), buffer);
  EXPECT_EQ(MakePosixDir("x")->Path(), posix_dir::JoinPath(buffer, "x"));
}

TEST(PosixDirPath, OpenParentDirStopsAtTheLastSeparator) {
  auto root = MakePosixDir("/r");
  const char16_t* path = u"a/b/c";
  std::unique_ptr<rio_dir> parent(root->OpenParentDir(&path));
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(static_cast<posix_dir*>(parent.get())->Path(), "/r/a/b");
  EXPECT_EQ(UString(path), u"c");

  const char16_t* single = u"c";
  const char16_t* before = single;
  std::unique_ptr<rio_dir> self(root->OpenParentDir(&single));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(static_cast<posix_dir*>(self.get())->Path(), "/r");
  EXPECT_EQ(single, before);
}

TEST(PosixDirPath, CompareDirLooksAtPathBoundaries) {
  auto x = MakePosixDir("/x");
  auto y = MakePosixDir("/x/y");
  auto xy = MakePosixDir("/xy");
  auto root = MakePosixDir("/");
  EXPECT_EQ(x->CompareDir(x.get()), 0);
  EXPECT_EQ(x->CompareDir(y.get()), 1);
  EXPECT_EQ(x->CompareDir(xy.get()), 2);
  EXPECT_EQ(y->CompareDir(x.get()), 2);
  EXPECT_EQ(root->CompareDir(y.get()), 1);
  EXPECT_EQ(x->CompareDir(nullptr), 2);
}

// Every system failure carries the mapped code, the path tag and the errno record.
TEST(PosixDirErrors, SystemFailuresAreMappedAndTagged) {
  zyk_test::TempDir temp;
  ::mkdir((temp / "full").c_str(), 0755);
  WriteFile(temp / "full/f", "x");
  WriteFile(temp / "file", "x");
  auto dir = MakePosixDir(temp.path());

  struct Case {
    const char* what;
    std::function<void()> run;
    uint32_t code;
    std::string path;
  } cases[] = {
      {"Remove missing", [&] { dir->Remove(u"missing"); }, Common::kErrNotFound, temp / "missing"},
      {"Remove directory", [&] { dir->Remove(u"full"); }, Common::kErrDeleteFailed, temp / "full"},
      {"RemoveDir not empty", [&] { dir->RemoveDir(u"full"); }, Common::kErrDeleteFailed, temp / "full"},
      {"CreateDir existing", [&] { dir->CreateDir(u"full", nullptr); }, Common::kErrExists, temp / "full"},
      {"CreateDir below a file", [&] { dir->CreateDir(u"file/x", nullptr); }, Common::kErrCreateFailed,
       temp / "file/x"},
      {"CreateHardLink onto existing", [&] { dir->CreateHardLink(u"file", u"full"); }, Common::kErrExists,
       temp / "full"},
      {"CreateSymLink onto existing", [&] { dir->CreateSymLink(u"file", u"target"); }, Common::kErrExists,
       temp / "file"},
      {"SetUnixPermissions missing", [&] { dir->SetUnixPermissions(u"missing", 0600); }, Common::kErrNotFound,
       temp / "missing"},
      {"OpenI missing", [&] { delete dir->OpenI(u"missing", false); }, Common::kErrNotFound, temp / "missing"},
      {"OpenIO of a directory", [&] { delete dir->OpenIO(u"full", false); }, Common::kErrOpenFailed,
       temp / "full"},
      {"CreateIO in a missing directory", [&] { delete dir->CreateIO(u"nowhere/f", false, nullptr); },
       Common::kErrNotFound, temp / "nowhere/f"},
      {"GetIterator of a missing entry", [&] { delete dir->GetIterator(u"missing"); }, Common::kErrNotFound,
       temp / "missing"},
  };
  for (const Case& c : cases) {
    c.run();
    Error error = dir->TakeError();
    EXPECT_EQ(error.Code(), c.code) << c.what;
    EXPECT_STREQ(error.GetAnsiTag("path"), c.path.c_str()) << c.what;
    EXPECT_EQ(error.Inner().Code(), Common::kErrPosix) << c.what;
  }
}

TEST(PosixDirErrors, RenameIntoMissingDirectoryCarriesBothPaths) {
  zyk_test::TempDir temp;
  WriteFile(temp / "a", "x");
  auto dir = MakePosixDir(temp.path());
  dir->Rename(u"a", u"missing/b");
  Error error = dir->TakeError();
  EXPECT_EQ(error.Code(), Common::kErrNotFound);
  EXPECT_STREQ(error.GetAnsiTag("path1"), (temp / "a").c_str());
  EXPECT_STREQ(error.GetAnsiTag("path2"), (temp / "missing/b").c_str());
  EXPECT_TRUE(Exists(temp / "a"));
}

TEST(PosixDirErrors, AccessDeniedWhenPermissionsForbid) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  zyk_test::TempDir temp;
  WriteFile(temp / "locked", "x");
  ::chmod((temp / "locked").c_str(), 0444);
  auto dir = MakePosixDir(temp.path());
  delete dir->OpenIO(u"locked", false);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrAccessDenied);
}

// A name that cannot be narrowed fails with the operation's own code before any
// system call; it never stands for the directory itself.
TEST(PosixDirErrors, UnnarrowableNameFailsWithTheOperationsCode) {
  zyk_test::TempDir temp;
  ::mkdir((temp / "empty").c_str(), 0755);
  auto dir = MakePosixDir(temp / "empty");
  const char16_t bad[] = {0xD800, 0};  // a lone surrogate
  struct Case {
    const char* what;
    std::function<void()> run;
    uint32_t code;
  } cases[] = {
      {"Remove", [&] { dir->Remove(bad); }, Common::kErrDeleteFailed},
      {"RemoveDir", [&] { dir->RemoveDir(bad); }, Common::kErrDeleteFailed},
      {"CreateDir", [&] { dir->CreateDir(bad, nullptr); }, Common::kErrCreateFailed},
      {"Rename", [&] { dir->Rename(u"x", bad); }, Common::kErrRenameFailed},
      {"SetUnixPermissions", [&] { dir->SetUnixPermissions(bad, 0); }, Common::kErrOpenFailed},
      {"SetUnixOwner", [&] { dir->SetUnixOwner(bad, 0, 0); }, Common::kErrOpenFailed},
      {"CreateDeviceNode", [&] { dir->CreateDeviceNode(bad, 3, 0600, 0, 0); }, Common::kErrCreateFailed},
      {"OpenI", [&] { EXPECT_EQ(dir->OpenI(bad, false), nullptr); }, Common::kErrOpenFailed},
      {"CreateIO", [&] { EXPECT_EQ(dir->CreateIO(bad, false, nullptr), nullptr); }, Common::kErrCreateFailed},
      {"OpenDir", [&] { EXPECT_EQ(dir->OpenDir(bad), nullptr); }, Common::kErrOpenFailed},
      {"GetIterator", [&] { EXPECT_EQ(dir->GetIterator(bad), nullptr); }, Common::kErrOpenFailed},
  };
  for (const Case& c : cases) {
    c.run();
    Error error = dir->TakeError();
    EXPECT_EQ(error.Code(), c.code) << c.what;
    EXPECT_TRUE(error.Inner().Ok()) << c.what << ": no system call was made";
  }
  EXPECT_TRUE(Exists(temp / "empty"));
  EXPECT_FALSE(Exists(temp / "x"));
}

TEST(PosixDirErrors, NullOrForeignEntriesFailTheOpen) {
  auto dir = MakePosixDir("/tmp");
  EXPECT_EQ(dir->OpenI(static_cast<i_dir::iterator*>(nullptr), false), nullptr);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrOpenFailed);
  EXPECT_EQ(dir->OpenDir(static_cast<const file_identifier*>(nullptr)), nullptr);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrOpenFailed);
}

TEST(PosixDirOpenDir, MissingDirectoryFailsOnFirstUse) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<rio_dir> missing(dir->OpenDir(u"missing"));
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(dir->LastError().Ok());
  EXPECT_EQ(missing->GetIterator(), nullptr);
  EXPECT_EQ(missing->TakeError().Code(), Common::kErrNotFound);
}

TEST(PosixDirIterator, NewIteratorOnEmptyDirectoryHasEnded) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  ASSERT_NE(it, nullptr);
  EXPECT_TRUE(dir->LastError().Ok());
  EXPECT_EQ(it->LastError().Code(), Common::kErrEndOfFile);
  EXPECT_FALSE(it->Next());
  EXPECT_EQ(it->GetName(), nullptr);
  EXPECT_EQ(it->GetSize(), 0u);
  EXPECT_EQ(it->GetUnixPermissions(), 0xFFFFFFFFu);
  EXPECT_EQ(it->GetLinkCount(), 1u);
  EXPECT_TRUE(it->IsHidden());
}

TEST(PosixDirIterator, VisitsEveryEntryOnceThenEnds) {
  zyk_test::TempDir temp;
  std::set<std::string> made = {"a", ".hidden", "c d"};
  for (const std::string& name : made) WriteFile(temp / name, name);
  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  ASSERT_NE(it, nullptr);
  std::set<std::string> seen;
  do {
    ASSERT_TRUE(it->LastError().Ok());
    std::string name = Narrow(it->GetName());
    EXPECT_TRUE(seen.insert(name).second) << name;
    EXPECT_EQ(it->IsHidden(), name[0] == '.');
    EXPECT_EQ(it->GetSize(), name.size());
  } while (it->Next());
  EXPECT_EQ(seen, made);
  EXPECT_EQ(it->LastError().Code(), Common::kErrEndOfFile);
  EXPECT_FALSE(it->Next());
}

// The type comes from the directory entry itself: it is right even after the
// entry vanished, while anything needing the status fails.
TEST(PosixDirIterator, TypeComesFromTheEntryWithoutStatus) {
  zyk_test::TempDir temp;
  ::mkdir((temp / "d").c_str(), 0755);
  WriteFile(temp / "f", "");
  ASSERT_EQ(::symlink("f", (temp / "l").c_str()), 0);
  ASSERT_EQ(::mkfifo((temp / "p").c_str(), 0600), 0);
  const std::pair<const char*, uint32_t> expected[] = {
      {"d", kEntryDirectory}, {"f", kEntryRegular}, {"l", kEntrySymlink}, {"p", kEntryFifo}};
  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<i_dir::iterator> it(dir->GetIterator());
  ASSERT_NE(it, nullptr);
  auto* entries = dynamic_cast<posix_dir::stat_iterator*>(it.get());
  ASSERT_NE(entries, nullptr);
  int checked = 0;
  do {
    std::string name = entries->GetNarrowName();
    for (const auto& [entry, type] : expected) {
      if (name != entry) continue;
      std::string path = temp / entry;
      if (type == kEntryDirectory) ::rmdir(path.c_str()); else ::unlink(path.c_str());
      EXPECT_EQ(it->GetType(), type) << name;
      EXPECT_EQ(it->GetSize(), 0u);
      Error error = it->TakeError();
      if (error.Code() == 0) GTEST_SKIP() << "the file system gives no entry types";
      EXPECT_EQ(error.Code(), Common::kErrNotFound);
      EXPECT_STREQ(error.GetAnsiTag("path"), path.c_str());
      ++checked;
    }
  } while (it->Next());
  EXPECT_EQ(checked, 4);
}

TEST(PosixDirIterator, AccessorsDescribeTheEntryNotItsTarget) {
  zyk_test::TempDir temp;
  WriteFile(temp / "file", "0123456789");
  ::chmod((temp / "file").c_str(), 0640);
  ASSERT_EQ(::link((temp / "file").c_str(), (temp / "second").c_str()), 0);
  ASSERT_EQ(::symlink("file", (temp / "link").c_str()), 0);
  struct stat file_status;
  ASSERT_EQ(::lstat((temp / "file").c_str(), &file_status), 0);
  auto dir = MakePosixDir(temp.path());

  std::unique_ptr<i_dir::iterator> file(dir->GetIterator(u"file"));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Narrow(file->GetName()), "file");
  EXPECT_EQ(file->GetType(), kEntryRegular);
  EXPECT_EQ(file->GetSize(), 10u);
  EXPECT_EQ(file->GetUnixPermissions(), file_status.st_mode);
  EXPECT_EQ(file->GetUnixPermissions() & 07777, 0640u);
  EXPECT_EQ(file->GetLinkCount(), 2u);
  EXPECT_EQ(file->GetInodeNumber(), file_status.st_ino);
  EXPECT_EQ(file->GetUnixUser(), file_status.st_uid);
  EXPECT_EQ(file->GetModificationTime(),
            int64_t(file_status.st_mtim.tv_sec) * 1000 + file_status.st_mtim.tv_nsec / 1000000);
  EXPECT_EQ(file->GetLinkTarget(), nullptr);
  EXPECT_FALSE(file->Next());
  EXPECT_EQ(file->TakeError().Code(), Common::kErrNotSupported);

  std::unique_ptr<i_dir::iterator> link(dir->GetIterator(u"link"));
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->GetType(), kEntrySymlink);
  EXPECT_EQ(link->GetSize(), 4u);  // the link's own size: the length of "file"
  EXPECT_EQ(Narrow(link->GetLinkTarget()), "file");

  std::unique_ptr<i_dir::iterator> self(dir->GetSelfIterator());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->GetType(), kEntryDirectory);
  EXPECT_EQ(Narrow(self->GetName()), temp.path().substr(temp.path().rfind('/') + 1));
  std::unique_ptr<i_dir::iterator> root(MakePosixDir("/")->GetSelfIterator());
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Narrow(root->GetName()), "/");
}

TEST(PosixDirIterator, IdentifiersReopenTheirEntry) {
  zyk_test::TempDir temp;
  WriteFile(temp / "a", "alpha");
  WriteFile(temp / "b", "beta");
  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<i_dir::iterator> a(dir->GetIterator(u"a"));
  std::unique_ptr<i_dir::iterator> b(dir->GetIterator(u"b"));
  std::unique_ptr<file_identifier> first(a->GetIdentifier());
  std::unique_ptr<file_identifier> second(b->GetIdentifier());
  std::unique_ptr<file_identifier> copy(first->Clone());
  first.reset();
  EXPECT_EQ(dir->CompareIdentifiers(copy.get(), copy.get()), 0);
  EXPECT_LT(dir->CompareIdentifiers(copy.get(), second.get()), 0);
  EXPECT_GT(dir->CompareIdentifiers(second.get(), copy.get()), 0);

  std::unique_ptr<rio_file> file(dir->OpenI(copy.get(), false));
  ASSERT_NE(file, nullptr) << dir->LastError().ToString();
  char buffer[16] = {};
  size_t done = 0;
  file->Read(buffer, sizeof(buffer), done);
  EXPECT_EQ(std::string(buffer, done), "alpha");

  std::unique_ptr<rio_file> through_iterator(dir->OpenI(b.get(), false));
  ASSERT_NE(through_iterator, nullptr);
  through_iterator->Read(buffer, sizeof(buffer), done);
  EXPECT_EQ(std::string(buffer, done), "beta");
}

TEST(PosixDirPermissions, SymbolicLinksAreRefusedNotFollowed) {
  zyk_test::TempDir temp;
  WriteFile(temp / "target", "x");
  ::chmod((temp / "target").c_str(), 0644);
  ASSERT_EQ(::symlink("target", (temp / "link").c_str()), 0);
  auto dir = MakePosixDir(temp.path());
  dir->SetUnixPermissions(u"link", 0600);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrNotSupported);
  access_rights rights;
  rights.unix_mode = 0600;
  dir->SetAccessRights(u"link", rights);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrNotSupported);
  struct stat status;
  ::stat((temp / "target").c_str(), &status);
  EXPECT_EQ(status.st_mode & 07777, 0644u);

  dir->SetAccessRights(u"target", rights);
  EXPECT_TRUE(dir->LastError().Ok());
  ::stat((temp / "target").c_str(), &status);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST(PosixDirDeviceNodes, FifoAndRegularNodesAreMadeUnknownTypesRefused) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  dir->CreateDeviceNode(u"pipe", kEntryFifo, 0600, 0, 0);
  ASSERT_TRUE(dir->LastError().Ok()) << dir->LastError().ToString();
  dir->CreateDeviceNode(u"plain", kEntryRegular, 0600, 0, 0);
  ASSERT_TRUE(dir->LastError().Ok());
  std::unique_ptr<i_dir::iterator> pipe(dir->GetIterator(u"pipe"));
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(pipe->GetType(), kEntryFifo);
  EXPECT_EQ(pipe->GetUnixPermissions() & 0777, 0600u);
  std::unique_ptr<i_dir::iterator> plain(dir->GetIterator(u"plain"));
  EXPECT_EQ(plain->GetType(), kEntryRegular);

  dir->CreateDeviceNode(u"odd", kEntrySymlink, 0600, 0, 0);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrCreateFailed);
  EXPECT_FALSE(Exists(temp / "odd"));
  if (::geteuid() != 0) {
    dir->CreateDeviceNode(u"char", kEntryCharDevice, 0600, 1, 3);
    EXPECT_EQ(dir->TakeError().Code(), Common::kErrAccessDenied);
  }
}

TEST(PosixDirDriveSize, MatchesTheFileSystem) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  uint64_t total = 0, free = 0, available = 0;
  dir->GetDriveSize(total, free, available);
  ASSERT_TRUE(dir->LastError().Ok());
  struct statvfs info;
  ASSERT_EQ(::statvfs(temp.path().c_str(), &info), 0);
  EXPECT_EQ(total, uint64_t(info.f_frsize) * info.f_blocks);
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  EXPECT_LE(available, free);

  std::unique_ptr<rio_dir> missing(dir->OpenDir(u"missing"));
  missing->GetDriveSize(total, free, available);
  EXPECT_EQ(missing->TakeError().Code(), Common::kErrNotFound);
}

TEST(PosixDirSpecial, KnownKindsAndHome) {
  auto dir = MakePosixDir("/");
  const std::pair<uint32_t, const char*> kinds[] = {{143, "/var/lib"}, {149, "/tmp"}, {156, "/var/log"}};
  for (const auto& [kind, path] : kinds) {
    std::unique_ptr<rio_dir> special(dir->OpenSpecialDir(kind));
    ASSERT_NE(special, nullptr) << kind;
    EXPECT_EQ(static_cast<posix_dir*>(special.get())->Path(), path);
  }
  EXPECT_EQ(dir->OpenSpecialDir(150), nullptr);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrNotSupported);

  const char* saved = ::getenv("HOME");
  std::string old_home = saved ? saved : "";
  ::setenv("HOME", "/home/someone/", 1);
  std::unique_ptr<rio_dir> home(dir->OpenSpecialDir(144));
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(static_cast<posix_dir*>(home.get())->Path(), "/home/someone");
  ::setenv("HOME", "relative", 1);
  EXPECT_EQ(dir->OpenSpecialDir(145), nullptr);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrOpenFailed);
  if (saved) ::setenv("HOME", old_home.c_str(), 1); else ::unsetenv("HOME");
}

// --- whole-file locks taken by the open worker ---------------------------------

enum class Open { kRead, kWrite, kReadWrite, kCreate };

rio_file* OpenAs(rio_dir& dir, Open how, bool no_lock) {
  switch (how) {
    case Open::kRead: return dir.OpenI(u"data", no_lock);
    case Open::kWrite: return dir.OpenO(u"data", no_lock);
    case Open::kReadWrite: return dir.OpenIO(u"data", no_lock);
    case Open::kCreate: return dir.CreateIO(u"data", no_lock, nullptr);
  }
  return nullptr;
}

TEST(PosixDirLocks, OpensInOneProcessConflictLikeSeparateOpeners) {
  struct Case {
    Open first;
    bool first_no_lock;
    Open second;
    bool second_no_lock;
    bool second_succeeds;
  } cases[] = {
      {Open::kRead, false, Open::kRead, false, true},
      {Open::kRead, false, Open::kReadWrite, false, false},
      {Open::kRead, false, Open::kWrite, false, false},
      {Open::kRead, false, Open::kCreate, false, false},
      {Open::kReadWrite, false, Open::kRead, false, false},
      {Open::kWrite, false, Open::kWrite, false, false},
      {Open::kCreate, false, Open::kRead, false, false},
      {Open::kReadWrite, true, Open::kReadWrite, false, true},
      {Open::kReadWrite, false, Open::kReadWrite, true, true},
      {Open::kRead, false, Open::kCreate, true, true},
  };
  for (const Case& c : cases) {
    zyk_test::TempDir temp;
    WriteFile(temp / "data", "contents");
    auto dir = MakePosixDir(temp.path());
    std::unique_ptr<rio_file> first(OpenAs(*dir, c.first, c.first_no_lock));
    ASSERT_NE(first, nullptr) << dir->LastError().ToString();
    std::unique_ptr<rio_file> second(OpenAs(*dir, c.second, c.second_no_lock));
    int index = static_cast<int>(&c - cases);
    EXPECT_EQ(second != nullptr, c.second_succeeds) << "case " << index;
    if (!c.second_succeeds) {
      Error error = dir->TakeError();
      EXPECT_EQ(error.Code(), Common::kErrAccessDenied) << "case " << index;
      EXPECT_EQ(error.Inner().Code(), Common::kErrLockFailed) << "case " << index;
      if (c.first != Open::kCreate) {
        EXPECT_EQ(ReadFile(temp / "data"), "contents") << "case " << index << ": a refused create truncated";
      }
      // Once the first opener is gone, the second open goes through.
      first.reset();
      std::unique_ptr<rio_file> retried(OpenAs(*dir, c.second, c.second_no_lock));
      EXPECT_NE(retried, nullptr) << "case " << index;
    }
  }
}

TEST(PosixDirLocks, CreateOnAFileLockedByAnotherProcessKeepsItsContents) {
  zyk_test::TempDir temp;
  WriteFile(temp / "data", "precious");
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int fd = ::open((temp / "data").c_str(), O_RDONLY);
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    char byte = (fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0) ? 'y' : 'n';
    (void)!::write(ready[1], &byte, 1);
    (void)!::read(release[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');

  auto dir = MakePosixDir(temp.path());
  std::unique_ptr<rio_file> created(dir->CreateIO(u"data", false, nullptr));
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(dir->TakeError().Code(), Common::kErrAccessDenied);
  EXPECT_EQ(ReadFile(temp / "data"), "precious");

  ASSERT_EQ(::write(release[1], "x", 1), 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

  created.reset(dir->CreateIO(u"data", false, nullptr));
  ASSERT_NE(created, nullptr) << dir->LastError().ToString();
  EXPECT_EQ(ReadFile(temp / "data"), "");
}

// --- change notification ------------------------------------------------------

class CountingCallback : public dir_notification_callback {
 public:
  explicit CountingCallback(std::atomic<int>& destroyed) : destroyed_(destroyed) {}
  void Changed(rio_dir* directory) override {
    if (directory != nullptr && directory->GetFullPath() != nullptr) path = Narrow(directory->GetFullPath());
    calls.fetch_add(1);
  }
  void Destroy() override {
    destroyed_.fetch_add(1);
    dir_notification_callback::Destroy();
  }
  std::atomic<int> calls{0};
  std::string path;  // written before calls is raised

 private:
  std::atomic<int>& destroyed_;
};

TEST(PosixDirNotification, ReportsChangesUntilDisabled) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  std::atomic<int> destroyed{0};
  auto* callback = new CountingCallback(destroyed);
  dir->EnableNotification(callback);
  ASSERT_TRUE(dir->LastError().Ok());

  // Keep changing the directory until a change is reported; the first look at
  // the directory only records its time, so the early changes may go unseen.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; callback->calls.load() == 0 && std::chrono::steady_clock::now() < deadline; ++i) {
    WriteFile(temp / ("f" + std::to_string(i)), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_GT(callback->calls.load(), 0) << "no change reported within 30 s";
  EXPECT_EQ(callback->path, temp.path() + "/");

  // Renewed, the watch reports again.
  int reported = callback->calls.load();
  dir->RenewNotification();
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; callback->calls.load() == reported && std::chrono::steady_clock::now() < deadline; ++i) {
    WriteFile(temp / ("g" + std::to_string(i)), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_GT(callback->calls.load(), reported);

  // The test keeps its own reference, so the callback stays readable after the
  // watch lets its reference go.
  dir->RenewNotification();
  dir->EnableNotification(nullptr);
  EXPECT_EQ(destroyed.load(), 0);
  reported = callback->calls.load();
  for (int i = 0; i < 12; ++i) {
    WriteFile(temp / ("h" + std::to_string(i)), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(callback->calls.load(), reported);
  callback->Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(PosixDirNotification, DestroyingTheDirectoryReleasesTheCallback) {
  zyk_test::TempDir temp;
  std::atomic<int> destroyed{0};
  {
    auto dir = MakePosixDir(temp.path());
    for (int i = 0; i < 2; ++i) {
      auto* callback = new CountingCallback(destroyed);
      dir->EnableNotification(callback);
      callback->Release();  // the watch holds the only reference now
    }
    // Replacing the callback released the old one.
    EXPECT_EQ(destroyed.load(), 1);
  }
  EXPECT_EQ(destroyed.load(), 2);
}

// A forked child has no polling thread: ending it normally must not wait for one.
TEST(PosixDirNotification, ForkedChildExitsWithoutThePollingThread) {
  zyk_test::TempDir temp;
  auto dir = MakePosixDir(temp.path());
  std::atomic<int> destroyed{0};
  auto* callback = new CountingCallback(destroyed);
  dir->EnableNotification(callback);
  callback->Release();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) std::exit(0);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = ::waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_EQ(done, child) << "the child hung at exit";
  EXPECT_TRUE(WIFEXITED(status));
}

}  // namespace
