// Names and entry kinds through the loaded library: a backslash is an ordinary
// character of a name, and a directory is never opened as a file.

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

class EntryKinds : public MountedDir {};

// Every entry agrees on a name holding backslashes, for a file, a directory and
// an archive alike.
TEST_F(EntryKinds, BackslashIsAnOrdinaryCharacter) {
  ASSERT_EQ(mount_.MakeDir("x\\y"), 0);
  EXPECT_TRUE(LocalExists(dir_ / "x\\y"));
  zykfs_stat_t stat{};
  EXPECT_EQ(mount_.Stat("x\\y", &stat), 0);
  uint64_t listing = 0;
  ASSERT_EQ(mount_.OpenDir("x\\y", &listing), 0);
  EXPECT_EQ(mount_.CloseDir(listing), 0);

  for (const char* name : {"a\\b", "x\\y/c\\d", "v\\w.QMV"}) {
    SCOPED_TRACE(name);
    uint64_t handle = 0;
    ASSERT_EQ(mount_.Open(name, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), 0);
    uint64_t done = 0;
    EXPECT_EQ(mount_.Write(handle, "data", 4, 0, &done), 0);
    EXPECT_EQ(mount_.Fstat(handle, &stat), 0);
    EXPECT_EQ(stat.size, 4u);
    EXPECT_EQ(mount_.Close(handle), 0);
    EXPECT_EQ(mount_.Stat(name, &stat), 0);
    EXPECT_EQ(stat.size, 4u);
    EXPECT_EQ(mount_.GetFile(name), "data");
  }
  EXPECT_TRUE(LocalExists(dir_ / "a\\b"));
  EXPECT_FALSE(LocalExists(dir_ / "a"));
  EXPECT_EQ(mount_.Rename("a\\b", "b\\a"), 0);
  EXPECT_EQ(mount_.Unlink("b\\a"), 0);
  EXPECT_EQ(mount_.RemoveDir("x\\y/c\\d"), ZYKFS_E_DELETE_FAILED);  // a file, not a directory
  EXPECT_EQ(mount_.Unlink("x\\y/c\\d"), 0);
  EXPECT_EQ(mount_.RemoveDir("x\\y"), 0);
}

// A directory is refused at open, whatever the access and flags, with a code
// entry 0 lists; nothing on disk changes.
TEST_F(EntryKinds, DirectoryIsRefusedAtOpen) {
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir_ / "d.QMV").c_str(), 0755), 0);
  WriteFile(dir_ / "d/inner", "x");
  for (const char* name : {"d", "d.QMV", "."}) {
    for (uint32_t flags :
         {ZYKFS_OPEN_READ, ZYKFS_OPEN_READ_WRITE, ZYKFS_OPEN_WRITE, ZYKFS_OPEN_READ | ZYKFS_OPEN_CREATE,
          ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_TRUNCATE, ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK}) {
      uint64_t handle = 0;
      EXPECT_EQ(mount_.Open(name, flags, &handle), ZYKFS_E_OPEN_FAILED) << name << " flags " << flags;
    }
  }
  EXPECT_EQ(ReadFile(dir_ / "d/inner"), "x");
  struct stat status {};
  ASSERT_EQ(::stat((dir_ / "d.QMV").c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

}  // namespace
