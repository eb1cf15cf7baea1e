// Mounting, unmounting and the path operations, through the loaded library.

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;
class Mounted : public MountedDir {};

bool AllZero(const zykfs_stat_t& stat) {
  static const zykfs_stat_t zero{};
  return std::memcmp(&stat, &zero, sizeof(stat)) == 0;
}

TEST(Library, ExportsOnlyMountAndUnmount) {
  FILE* pipe = ::popen((std::string("nm -D --defined-only '") + ZYK_LIBRARY_PATH + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char line[1024], address[64], type[8], name[512];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    // Absolute symbols ("A") are version nodes, not code.
    if (std::sscanf(line, "%63s %7s %511s", address, type, name) == 3 && std::string(type) != "A") {
      symbols.insert(std::string(name).substr(0, std::string(name).find('@')));
    }
  }
  ASSERT_EQ(::pclose(pipe), 0) << "nm failed";
  EXPECT_EQ(symbols, (std::set<std::string>{"zykfs_mount", "zykfs_umount"}));
}

size_t CountDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

#ifdef __SANITIZE_ADDRESS__
// The library keeps a few objects for the life of the process (the descriptor
// table, the message catalog), since files may still be closed while the
// process exits. Once the library is unmapped the leak check at exit would
// report them, so under AddressSanitizer it stays mapped.
constexpr int kUnloadFlag = RTLD_NODELETE;
#else
constexpr int kUnloadFlag = 0;
#endif

// A host may load and unload the library many times: a cycle that mounts,
// writes an archive and unmounts leaves no thread and no descriptor behind.
// A copy of the library is loaded, so this instance is not shared with the
// other tests' and really unloads.
TEST(Library, LoadUnloadCyclesLeaveNoThreadOrDescriptorBehind) {
  TempDir dir;
  const std::string copy = dir.path() + "/libcopy.so";
  std::filesystem::copy_file(ZYK_LIBRARY_PATH, copy);
  const std::string root = dir.path() + "/root";
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  size_t threads = 0, descriptors = 0;
  for (int cycle = 0; cycle < 3; ++cycle) {
    void* module = ::dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL | kUnloadFlag);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto mount = reinterpret_cast<zykfs_mount_fn>(::dlsym(module, "zykfs_mount"));
    auto umount = reinterpret_cast<zykfs_umount_fn>(::dlsym(module, "zykfs_umount"));
    zykfs_params_t params{root.c_str()};
    zykfs_mount_t record{};
    auto call = [](auto issue) {
      Completion done;
      issue(&Completion::Callback, &done);
      return done.Wait();
    };
    ASSERT_EQ(call([&](zykfs_callback_t cb, void* cx) { mount(&params, &record, cb, cx); }), 0);
    auto run = [&](auto entry, auto... args) {
      return call([&](zykfs_callback_t cb, void* cx) { (record.ops->*entry)(record.handle, args..., cb, cx); });
    };
    uint64_t handle = 0, written = 0;
    const uint32_t flags = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE;
    ASSERT_EQ(run(&zykfs_ops_t::open, "a.QMV", flags, &handle), 0);
    EXPECT_EQ(run(&zykfs_ops_t::write, handle, "data", 4, 0, &written), 0);
    EXPECT_EQ(run(&zykfs_ops_t::close, handle), 0);
    ASSERT_EQ(call([&](zykfs_callback_t cb, void* cx) { umount(&record, cb, cx); }), 0);
    ASSERT_EQ(::dlclose(module), 0);
    if (cycle == 0) {
      threads = CountThreads();
      descriptors = CountDescriptors();
    } else {
      // Pool threads past the idle cache end on their own, shortly after.
      EXPECT_TRUE(zyk_test::Eventually([&] { return CountThreads() <= threads; })) << "cycle " << cycle;
      EXPECT_EQ(CountDescriptors(), descriptors) << "cycle " << cycle;
    }
  }
}

// A root that is not a directory used to mount a tree on which every operation
// failed; it is refused now. Roots are the file system's own bytes (UTF-8 here).
TEST(Mount, RootKinds) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  for (const char* sub : {"real", "caf\xC3\xA9"}) {
    ASSERT_EQ(::mkdir((dir / sub).c_str(), 0755), 0);
    WriteFile(dir / sub + "/f", "abc");
  }
  ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
  const std::pair<const char*, int32_t> cases[] = {
      {"missing", ZYKFS_E_NOT_FOUND}, {"plain", ZYKFS_E_OPEN_FAILED}, {"link", 0}, {"caf\xC3\xA9", 0}};
  for (const auto& [root, code] : cases) {
    SCOPED_TRACE(root);
    HostMount mount(dir / root);
    ASSERT_EQ(mount.Result(), code);
    if (code != 0) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(mount.Record().handle), kUntouched);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(mount.Record().ops), kUntouched);
      EXPECT_EQ(mount.Record().ops_size, kUntouched);
      continue;
    }
    zykfs_stat_t stat{};
    EXPECT_EQ(mount.Stat("f", &stat), 0);
    EXPECT_EQ(stat.size, 3u);
  }
}

TEST_F(Mounted, RecordHoldsTheWholeTable) {
  EXPECT_EQ(mount_.Record().ops_size, 184u);
  EXPECT_NE(mount_.Record().handle, nullptr);
  const auto* entries = reinterpret_cast<void* const*>(mount_.Record().ops);
  for (int i = 0; i < 23; ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
}

TEST(Mount, UnmountEndsTheMountsThreads) {
  TempDir dir;
  const size_t kPoolCache = 16;    // the pool keeps up to 16 idle threads for reuse
  { HostMount warm(dir.path()); }  // creates the library's process-wide helpers
  const size_t before = CountThreads();
  for (int round = 0; round < 3; ++round) {
    HostMount mount(dir.path());
    ASSERT_EQ(mount.Result(), 0);
    EXPECT_GE(CountThreads(), 33u);
    ASSERT_EQ(mount.Unmount(), 0);
    EXPECT_TRUE(zyk_test::Eventually([&] { return CountThreads() <= before + kPoolCache; })) << "round " << round;
  }
}

TEST_F(Mounted, StatReportsTheEntryOrZeroesTheRecord) {
  WriteFile(dir_ / "file", std::string(5000, 'a'));
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0755), 0);
  struct stat local;
  ASSERT_EQ(::lstat((dir_ / "file").c_str(), &local), 0);
  zykfs_stat_t stat;
  std::memset(&stat, 0xEE, sizeof(stat));
  ASSERT_EQ(mount_.Stat("./sub/../file", &stat), 0);
  EXPECT_EQ(stat.device, 0u);
  EXPECT_EQ(stat.inode, local.st_ino);
  EXPECT_EQ(stat.size, 5000u);
  EXPECT_EQ(stat.block_size, 4096u);
  EXPECT_EQ(stat.allocated, static_cast<uint64_t>(local.st_blocks) * 512);
  EXPECT_EQ(stat.modify_time, static_cast<uint64_t>(local.st_mtim.tv_sec) * 1000 + local.st_mtim.tv_nsec / 1000000);
  for (uint64_t word : stat.reserved) EXPECT_EQ(word, 0u);

  for (const char* path : {"missing", "no/such/dir/file"}) {
    std::memset(&stat, 0xEE, sizeof(stat));
    EXPECT_EQ(mount_.Stat(path, &stat), ZYKFS_E_NOT_FOUND) << path;
    EXPECT_TRUE(AllZero(stat)) << path;
  }
}

TEST_F(Mounted, MalformedUtf8FailsWithEachOperationsCode) {
  WriteFile(dir_ / "good", "x");
  // Overlong "/", a value above U+10FFFF, a stray continuation byte, a cut sequence.
  for (const char* path : {"x\xC0\xAF", "x\xF4\x90\x80\x80", "x\xBF", "x\xE2\x82"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(mount_.MakeDir(path), ZYKFS_E_CREATE_FAILED);
    EXPECT_EQ(mount_.Unlink(path), ZYKFS_E_DELETE_FAILED);
    EXPECT_EQ(mount_.RemoveDir(path), ZYKFS_E_DELETE_FAILED);
    EXPECT_EQ(mount_.Rename("good", path), ZYKFS_E_RENAME_FAILED);
    EXPECT_EQ(mount_.Rename(path, "good"), ZYKFS_E_RENAME_FAILED);
    EXPECT_EQ(mount_.RenameSafe("good", path), ZYKFS_E_RENAME_FAILED);
    uint64_t handle = 0;
    EXPECT_EQ(mount_.Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle), ZYKFS_E_OPEN_FAILED);
    EXPECT_EQ(mount_.OpenDir(path, &handle), ZYKFS_E_NOT_FOUND);
    zykfs_stat_t stat;
    std::memset(&stat, 0xEE, sizeof(stat));
    EXPECT_EQ(mount_.Stat(path, &stat), ZYKFS_E_NOT_FOUND);
    EXPECT_TRUE(AllZero(stat));
  }
  EXPECT_EQ(ReadFile(dir_ / "good"), "x");
}

TEST_F(Mounted, MakeDirCreatesAndReportsExisting) {
  const std::string four_byte = "emoji-\xF0\x9F\x98\x80-\xC3\xA9";
  EXPECT_EQ(mount_.MakeDir(four_byte.c_str()), 0);
  EXPECT_TRUE(LocalExists(dir_ / four_byte));
  EXPECT_EQ(mount_.MakeDir("d"), 0);
  EXPECT_EQ(mount_.MakeDir("d"), ZYKFS_E_EXISTS);
  EXPECT_EQ(mount_.MakeDir("none/d"), ZYKFS_E_NOT_FOUND);
  EXPECT_EQ(mount_.MakeDir("d/e"), 0);
  EXPECT_EQ(mount_.RemoveDir("d"), ZYKFS_E_DELETE_FAILED);  // not empty
}

TEST(Confinement, NoPathReachesOutsideTheRoot) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "root").c_str(), 0755), 0);
  WriteFile(dir / "outside", "secret");
  WriteFile(dir / "root/inside", "served");
  HostMount mount(dir / "root");
  ASSERT_EQ(mount.Result(), 0);
  // Found paths name root/inside after confinement.
  const std::pair<const char*, bool> cases[] = {
      {"../outside", false},     {"../../../../outside", false}, {"/outside", false},      {"../inside", true},
      {"/inside", true},         {"/../inside", true},           {"a/../../inside", true}, {"..\\outside", false},
      {"./..//../inside", true},
  };
  for (const auto& [path, found] : cases) {
    zykfs_stat_t stat{};
    EXPECT_EQ(mount.Stat(path, &stat), found ? 0 : ZYKFS_E_NOT_FOUND) << path;
    EXPECT_EQ(stat.size, found ? 6u : 0u) << path;
  }
  mount.PutFile("../../escaped", "x");
  EXPECT_TRUE(LocalExists(dir / "root/escaped"));
  EXPECT_FALSE(LocalExists(dir / "escaped"));
  EXPECT_EQ(mount.Rename("inside", "../moved"), 0);
  EXPECT_TRUE(LocalExists(dir / "root/moved"));
  EXPECT_EQ(mount.Unlink("../outside"), ZYKFS_E_NOT_FOUND);
  EXPECT_EQ(ReadFile(dir / "outside"), "secret");
}

TEST_F(Mounted, RenameReplacesButRefusesOpenNames) {
  for (const char* name : {"a", "b", "c"}) WriteFile(dir_ / name, name);
  EXPECT_EQ(mount_.Rename("a", "b"), 0);
  EXPECT_EQ(ReadFile(dir_ / "b"), "a");
  EXPECT_FALSE(LocalExists(dir_ / "a"));
  EXPECT_EQ(mount_.Rename("missing", "x"), ZYKFS_E_NOT_FOUND);

  uint64_t handle = 0;
  ASSERT_EQ(mount_.Open("b", ZYKFS_OPEN_READ, &handle), 0);
  EXPECT_EQ(mount_.Rename("b", "x"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.Rename("c", "b"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.RenameSafe("b", "x"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.RenameSafe("c", "b"), ZYKFS_E_PATH_OPEN);
  // Open names are compared as spelled: another spelling is not recognised.
  EXPECT_EQ(mount_.Rename("./b", "x"), 0);
  EXPECT_EQ(mount_.Close(handle), 0);
  EXPECT_EQ(ReadFile(dir_ / "x"), "a");
}

TEST_F(Mounted, RenameSafeRefusesAnExistingTargetAndCloneIsUnsupported) {
  WriteFile(dir_ / "a", "A");
  WriteFile(dir_ / "b", "B");
  EXPECT_EQ(mount_.RenameSafe("a", "b"), ZYKFS_E_EXISTS);
  EXPECT_EQ(ReadFile(dir_ / "b"), "B");
  EXPECT_EQ(mount_.Clone("a", "c"), ZYKFS_E_NOT_SUPPORTED);
  EXPECT_FALSE(LocalExists(dir_ / "c"));
  EXPECT_EQ(mount_.RenameSafe("a", "new"), 0);
  EXPECT_EQ(ReadFile(dir_ / "new"), "A");
  EXPECT_FALSE(LocalExists(dir_ / "a"));
}

TEST_F(Mounted, UnlinkAndRemoveDirWaitForEveryHandleToClose) {
  WriteFile(dir_ / "f", "data");
  ASSERT_EQ(::mkdir((dir_ / "d").c_str(), 0755), 0);
  uint64_t first = 0, second = 0;
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ, &first), 0);
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(mount_.Unlink("f"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.Close(first), 0);
  EXPECT_EQ(mount_.Close(first), ZYKFS_E_INVALID_HANDLE);
  EXPECT_EQ(mount_.Unlink("f"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.Close(second), 0);
  EXPECT_TRUE(LocalExists(dir_ / "f"));
  EXPECT_EQ(mount_.Unlink("f"), 0);
  EXPECT_FALSE(LocalExists(dir_ / "f"));
  EXPECT_EQ(mount_.Unlink("f"), ZYKFS_E_NOT_FOUND);

  uint64_t listing = 0;
  ASSERT_EQ(mount_.OpenDir("d", &listing), 0);
  EXPECT_EQ(mount_.RemoveDir("d"), ZYKFS_E_PATH_OPEN);
  EXPECT_EQ(mount_.CloseDir(listing), 0);
  EXPECT_EQ(mount_.RemoveDir("d"), 0);
  EXPECT_FALSE(LocalExists(dir_ / "d"));
}

TEST_F(Mounted, UnmountRefusedWhileAnythingIsOpen) {
  WriteFile(dir_ / "f", "data");
  uint64_t file = 0, listing = 0;
  ASSERT_EQ(mount_.Open("f", ZYKFS_OPEN_READ, &file), 0);
  ASSERT_EQ(mount_.OpenDir(".", &listing), 0);
  EXPECT_EQ(mount_.Unmount(), ZYKFS_E_MOUNT_BUSY);
  EXPECT_EQ(mount_.Close(file), 0);
  EXPECT_EQ(mount_.Unmount(), ZYKFS_E_MOUNT_BUSY);
  zykfs_stat_t stat{};
  EXPECT_EQ(mount_.Stat("f", &stat), 0);  // the mount still works
  EXPECT_EQ(mount_.CloseDir(listing), 0);
  EXPECT_EQ(mount_.Unmount(), 0);
}

}  // namespace
