// Mounting, unmounting and the path operations, through the loaded library.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"
#include "network/storage/backend/zykfs_header_c.h"
#include "support/test_support.h"

namespace {

using zyk_test::HostMount;
using zyk_test::TempDir;

void WriteLocal(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string ReadLocal(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool LocalExists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

bool AllZero(const zykfs_stat_t& stat) {
  static const zykfs_stat_t zero{};
  return std::memcmp(&stat, &zero, sizeof(stat)) == 0;
}

TEST(HostHeader, CAndCppAgreeOnLayouts) {
  zyk_test_c_sizes c{};
  zyk_test_c_layout(&c);
  EXPECT_EQ(c.params, sizeof(zykfs_params_t));
  EXPECT_EQ(c.mount, sizeof(zykfs_mount_t));
  EXPECT_EQ(c.stat, 192u);
  EXPECT_EQ(c.readdir_status, 16u);
  EXPECT_EQ(c.alloc_status, 40u);
  EXPECT_EQ(c.append_status, 16u);
  EXPECT_EQ(c.ops, 184u);
  EXPECT_EQ(c.ops_swap_offset, 176u);
  EXPECT_EQ(c.stat_change_time_offset, 56u);
}

TEST(Library, ExportsOnlyMountAndUnmount) {
  std::string command = std::string("nm -D --defined-only '") + ZYK_LIBRARY_PATH + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> functions;
  char line[1024];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    char address[64], type[8], name[512];
    if (std::sscanf(line, "%63s %7s %511s", address, type, name) != 3) continue;
    std::string symbol = name;
    symbol = symbol.substr(0, symbol.find('@'));
    // The version node itself is an absolute symbol, not code.
    if (std::string(type) == "A") continue;
    functions.insert(symbol);
  }
  ASSERT_EQ(::pclose(pipe), 0) << "nm failed";
  EXPECT_EQ(functions, (std::set<std::string>{"zykfs_mount", "zykfs_umount"}));
}

TEST(Mount, MissingRootFailsAndLeavesTheRecordAlone) {
  TempDir dir;
  HostMount mount(dir / "missing");
  EXPECT_EQ(mount.Result(), ZYKFS_E_NOT_FOUND);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mount.Record().handle), zyk_test::kUntouched);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(mount.Record().ops), zyk_test::kUntouched);
  EXPECT_EQ(mount.Record().ops_size, zyk_test::kUntouched);
}

TEST(Mount, RootThatIsAFileIsRefused) {
  TempDir dir;
  WriteLocal(dir / "plain", "x");
  HostMount mount(dir / "plain");
  EXPECT_EQ(mount.Result(), ZYKFS_E_OPEN_FAILED);
  EXPECT_EQ(mount.Record().ops_size, zyk_test::kUntouched);
}

TEST(Mount, RootThroughASymbolicLinkIsServed) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  WriteLocal(dir / "real/f", "abc");
  HostMount mount(dir / "link");
  ASSERT_EQ(mount.Result(), 0);
  zykfs_stat_t stat{};
  EXPECT_EQ(mount.Stat("f", &stat), 0);
  EXPECT_EQ(stat.size, 3u);
}

// Root paths are the file system's own bytes: a UTF-8 name must find its directory.
TEST(Mount, RootWithNonAsciiBytesIsFound) {
  TempDir dir;
  const std::string root = dir / "caf\xC3\xA9";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  WriteLocal(root + "/inside", "12345");
  HostMount mount(root);
  ASSERT_EQ(mount.Result(), 0);
  zykfs_stat_t stat{};
  EXPECT_EQ(mount.Stat("inside", &stat), 0);
  EXPECT_EQ(stat.size, 5u);
}

TEST(Mount, FillsTheRecordWithTheTable) {
  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  EXPECT_EQ(mount.Record().ops_size, 184u);
  EXPECT_NE(mount.Record().handle, nullptr);
  const auto* entries = reinterpret_cast<void* const*>(mount.Record().ops);
  for (int i = 0; i < 23; ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
}

TEST(Mount, UnmountEndsTheMountsThreads) {
  TempDir dir;
  // The pool keeps up to 16 idle threads for reuse; beyond that nothing may stay.
  const size_t kPoolCache = 16;
  {
    HostMount warm(dir.path());  // lets the library create its process-wide helpers
    ASSERT_EQ(warm.Result(), 0);
  }
  const size_t before = zyk_test::CountThreads();
  for (int round = 0; round < 3; ++round) {
    HostMount mount(dir.path());
    ASSERT_EQ(mount.Result(), 0);
    EXPECT_GE(zyk_test::CountThreads(), 33u);
    ASSERT_EQ(mount.Unmount(), 0);
    size_t after = zyk_test::CountThreads();
    for (int wait = 0; wait < 100 && after > before + kPoolCache; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      after = zyk_test::CountThreads();
    }
    EXPECT_LE(after, before + kPoolCache) << "round " << round;
  }
}

TEST(Stat, ReportsTheEntry) {
  TempDir dir;
  WriteLocal(dir / "file", std::string(5000, 'a'));
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0755), 0);
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);

  struct stat local;
  ASSERT_EQ(::lstat((dir / "file").c_str(), &local), 0);
  zykfs_stat_t stat;
  std::memset(&stat, 0xEE, sizeof(stat));
  ASSERT_EQ(mount.Stat("file", &stat), 0);
  EXPECT_EQ(stat.device, 0u);
  EXPECT_EQ(stat.inode, local.st_ino);
  EXPECT_EQ(stat.size, 5000u);
  EXPECT_EQ(stat.block_size, 4096u);
  EXPECT_EQ(stat.allocated, static_cast<uint64_t>(local.st_blocks) * 512);
  EXPECT_EQ(stat.modify_time, static_cast<uint64_t>(local.st_mtim.tv_sec) * 1000 + local.st_mtim.tv_nsec / 1000000);
  for (uint64_t word : stat.reserved) EXPECT_EQ(word, 0u);

  ASSERT_EQ(mount.Stat("sub", &stat), 0);
  ASSERT_EQ(mount.Stat("./sub/../file", &stat), 0);
  EXPECT_EQ(stat.size, 5000u);
}

TEST(Stat, FailuresReportNotFoundAndZeroTheRecord) {
  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  const char* paths[] = {"missing", "no/such/dir/file", "bad\xC0\xAF", "bad\xF5\x80\x80\x80", "bad\x80"};
  for (const char* path : paths) {
    zykfs_stat_t stat;
    std::memset(&stat, 0xEE, sizeof(stat));
    EXPECT_EQ(mount.Stat(path, &stat), ZYKFS_E_NOT_FOUND) << path;
    EXPECT_TRUE(AllZero(stat)) << path;
  }
}

TEST(PathOps, MalformedUtf8FailsWithTheOperationsCode) {
  TempDir dir;
  WriteLocal(dir / "good", "x");
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  // Overlong "/", a value above U+10FFFF, a stray continuation byte, a cut sequence.
  const char* bad[] = {"x\xC0\xAF", "x\xF4\x90\x80\x80", "x\xBF", "x\xE2\x82"};
  for (const char* path : bad) {
    SCOPED_TRACE(path);
    EXPECT_EQ(mount.MakeDir(path), ZYKFS_E_CREATE_FAILED);
    EXPECT_EQ(mount.Unlink(path), ZYKFS_E_DELETE_FAILED);
    EXPECT_EQ(mount.RemoveDir(path), ZYKFS_E_DELETE_FAILED);
    EXPECT_EQ(mount.Rename("good", path), ZYKFS_E_RENAME_FAILED);
    EXPECT_EQ(mount.Rename(path, "good"), ZYKFS_E_RENAME_FAILED);
    EXPECT_EQ(mount.RenameSafe("good", path), ZYKFS_E_RENAME_FAILED);
    uint64_t handle = 0;
    EXPECT_EQ(mount.Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), ZYKFS_E_OPEN_FAILED);
    EXPECT_EQ(mount.OpenDir(path, &handle), ZYKFS_E_NOT_FOUND);
  }
  EXPECT_EQ(ReadLocal(dir / "good"), "x");
}

TEST(PathOps, FourByteSequencesAndSurrogatesRoundTrip) {
  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  const std::string name = "emoji-\xF0\x9F\x98\x80-\xC3\xA9";
  ASSERT_EQ(mount.MakeDir(name.c_str()), 0);
  EXPECT_TRUE(LocalExists(dir / name));
}

TEST(MakeDir, CreatesAndReportsExisting) {
  TempDir dir;
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  EXPECT_EQ(mount.MakeDir("d"), 0);
  EXPECT_EQ(mount.MakeDir("d"), ZYKFS_E_EXISTS);
  EXPECT_EQ(mount.MakeDir("none/d"), ZYKFS_E_NOT_FOUND);
  EXPECT_EQ(mount.MakeDir("d/e"), 0);
  EXPECT_EQ(mount.RemoveDir("d"), ZYKFS_E_DELETE_FAILED);  // not empty
}

TEST(Confinement, NoPathReachesOutsideTheRoot) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "root").c_str(), 0755), 0);
  WriteLocal(dir / "outside", "secret");
  WriteLocal(dir / "root/inside", "served");
  HostMount mount(dir / "root");
  ASSERT_EQ(mount.Result(), 0);

  struct Case {
    const char* path;
    bool found;  // names root/inside after confinement
  };
  const Case cases[] = {
      {"../outside", false}, {"../../../../outside", false}, {"/outside", false},
      {"../inside", true},   {"/inside", true},              {"/../inside", true},
      {"a/../../inside", true}, {"..\\outside", false},     {"./..//../inside", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    zykfs_stat_t stat{};
    EXPECT_EQ(mount.Stat(c.path, &stat), c.found ? 0 : ZYKFS_E_NOT_FOUND);
    if (c.found) {
      EXPECT_EQ(stat.size, 6u);
    }
  }
  // Writes land inside the root too.
  mount.PutFile("../../escaped", "x");
  EXPECT_TRUE(LocalExists(dir / "root/escaped"));
  EXPECT_FALSE(LocalExists(dir / "escaped"));
  EXPECT_EQ(mount.Rename("inside", "../moved"), 0);
  EXPECT_TRUE(LocalExists(dir / "root/moved"));
  EXPECT_EQ(mount.Unlink("../outside"), ZYKFS_E_NOT_FOUND);
  EXPECT_EQ(ReadLocal(dir / "outside"), "secret");
}

TEST(Rename, ReplacesAndRefusesOpenNames) {
  TempDir dir;
  WriteLocal(dir / "a", "A");
  WriteLocal(dir / "b", "B");
  WriteLocal(dir / "c", "C");
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);

  EXPECT_EQ(mount.Rename("a", "b"), 0);
  EXPECT_EQ(ReadLocal(dir / "b"), "A");
  EXPECT_FALSE(LocalExists(dir / "a"));
  EXPECT_EQ(mount.Rename("missing", "x"), ZYKFS_E_NOT_FOUND);

  uint64_t handle = 0;
  ASSERT_EQ(mount.Open("b", ZYKFS_OPEN_READ, &handle), 0);
  EXPECT_EQ(mount.Rename("b", "x"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.Rename("c", "b"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.RenameSafe("b", "x"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.RenameSafe("c", "b"), ZYKFS_E_PATH_OPEN);
  // Open names are compared as spelled: another spelling is not recognised.
  EXPECT_EQ(mount.Rename("./b", "x"), 0);
  EXPECT_EQ(mount.Close(handle), 0);
  EXPECT_EQ(ReadLocal(dir / "x"), "A");
}

TEST(RenameSafe, RefusesAnExistingTarget) {
  TempDir dir;
  WriteLocal(dir / "a", "A");
  WriteLocal(dir / "b", "B");
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  EXPECT_EQ(mount.RenameSafe("a", "b"), ZYKFS_E_EXISTS);
  EXPECT_EQ(ReadLocal(dir / "a"), "A");
  EXPECT_EQ(ReadLocal(dir / "b"), "B");
  EXPECT_EQ(mount.RenameSafe("a", "new"), 0);
  EXPECT_EQ(ReadLocal(dir / "new"), "A");
  EXPECT_FALSE(LocalExists(dir / "a"));
}

TEST(Clone, IsNotSupported) {
  TempDir dir;
  WriteLocal(dir / "a", "A");
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  EXPECT_EQ(mount.Clone("a", "b"), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_FALSE(LocalExists(dir / "b"));
}

TEST(Unlink, RefusedWhileOpenUnderThatSpelling) {
  TempDir dir;
  WriteLocal(dir / "f", "data");
  ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);

  uint64_t first = 0, second = 0;
  ASSERT_EQ(mount.Open("f", ZYKFS_OPEN_READ, &first), 0);
  ASSERT_EQ(mount.Open("f", ZYKFS_OPEN_READ, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(mount.Unlink("f"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.Close(first), 0);
  EXPECT_EQ(mount.Unlink("f"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.Close(second), 0);
  EXPECT_TRUE(LocalExists(dir / "f"));
  EXPECT_EQ(mount.Unlink("f"), 0);
  EXPECT_FALSE(LocalExists(dir / "f"));
  EXPECT_EQ(mount.Unlink("f"), ZYKFS_E_NOT_FOUND);

  uint64_t listing = 0;
  ASSERT_EQ(mount.OpenDir("d", &listing), 0);
  EXPECT_EQ(mount.RemoveDir("d"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount.CloseDir(listing), 0);
  EXPECT_EQ(mount.RemoveDir("d"), 0);
  EXPECT_FALSE(LocalExists(dir / "d"));
}

TEST(Unmount, RefusedWhileAnythingIsOpen) {
  TempDir dir;
  WriteLocal(dir / "f", "data");
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);
  uint64_t file = 0, listing = 0;
  ASSERT_EQ(mount.Open("f", ZYKFS_OPEN_READ, &file), 0);
  ASSERT_EQ(mount.OpenDir(".", &listing), 0);
  EXPECT_EQ(mount.Unmount(), ZYKFS_E_MOUNT_BUSY);
  EXPECT_EQ(mount.Close(file), 0);
  EXPECT_EQ(mount.Unmount(), ZYKFS_E_MOUNT_BUSY);
  // The mount still works after a refused unmount.
  zykfs_stat_t stat{};
  EXPECT_EQ(mount.Stat("f", &stat), 0);
  EXPECT_EQ(mount.CloseDir(listing), 0);
  EXPECT_EQ(mount.Unmount(), 0);
}

}  // namespace
