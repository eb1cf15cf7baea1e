// Symbolic links in the served tree, through the loaded library: a path whose
// resolution leaves the root is refused by every entry, whichever component is
// the link, while links that stay inside keep working.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;
namespace fs = std::filesystem;

// Every file and directory below `top` with the bytes of each file.
std::map<std::string, std::string> Snapshot(const std::string& top) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    const std::string path = entry.path().string();
    tree[path] = entry.is_directory() ? "<dir>" : ReadFile(path);
  }
  return tree;
}

// The entries a host drives on a linked directory, each with the codes its
// entry lists; `in` is the path of the link as the host spells it.
struct Outcome {
  const char* what;
  int32_t code;
  std::string content;  // bytes read, when the entry reads
};

std::vector<Outcome> DriveDirectory(HostMount& mount, const std::string& in) {
  std::vector<Outcome> out;
  auto path = [&](const char* name) { return in + "/" + name; };
  auto read = [&](const std::string& name) {
    uint64_t handle = 0;
    Outcome result{"", mount.Open(name.c_str(), ZYKFS_OPEN_READ, &handle), ""};
    if (result.code == 0) {
      char buffer[64];
      uint64_t done = 0;
      EXPECT_EQ(mount.Read(handle, buffer, sizeof(buffer), 0, &done), 0);
      result.content.assign(buffer, done);
      EXPECT_EQ(mount.Close(handle), 0);
    }
    return result;
  };
  auto create = [&](const std::string& name) {
    uint64_t handle = 0, done = 0;
    int32_t code = mount.Open(name.c_str(), ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE, &handle);
    if (code == 0) {
      EXPECT_EQ(mount.Write(handle, "new", 3, 0, &done), 0);
      EXPECT_EQ(mount.Close(handle), 0);
    }
    return code;
  };

  Outcome opened = read(path("file"));
  out.push_back({"open", opened.code, opened.content});
  Outcome archive = read(path("arc.QMV"));
  out.push_back({"open archive", archive.code, archive.content});
  zykfs_stat_t stat{};
  out.push_back({"stat", mount.Stat(path("file").c_str(), &stat), ""});
  out.push_back({"create", create(path("made")), ""});
  out.push_back({"create archive", create(path("made.QMV")), ""});
  out.push_back({"mkdir", mount.MakeDir(path("newdir").c_str()), ""});
  out.push_back({"rmdir", mount.RemoveDir(path("sub").c_str()), ""});
  out.push_back({"unlink", mount.Unlink(path("victim").c_str()), ""});
  out.push_back({"rename", mount.Rename(path("ren").c_str(), path("ren2").c_str()), ""});
  mount.PutFile("mover", "m");
  out.push_back({"rename into", mount.Rename("mover", path("moved").c_str()), ""});
  uint64_t listing = 0;
  int32_t code = mount.OpenDir(in.c_str(), &listing);
  if (code == 0) {
    EXPECT_EQ(mount.CloseDir(listing), 0);
  }
  out.push_back({"opendir", code, ""});
  return out;
}

class LinkConfinement : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    {
      // An archive's bytes, made through the library, for the fixtures.
      HostMount maker(outside_);
      ASSERT_EQ(maker.Result(), 0);
      maker.PutFile("arc.QMV", "archive outside");
    }
    archive_ = ReadFile(outside_ + "/arc.QMV");
    Fill(outside_, "secret");
  }

  // A directory with the entries DriveDirectory works on.
  void Fill(const std::string& directory, const std::string& content) {
    ::mkdir(directory.c_str(), 0755);
    WriteFile(directory + "/file", content);
    WriteFile(directory + "/victim", "v");
    WriteFile(directory + "/ren", "r");
    WriteFile(directory + "/arc.QMV", archive_);
    ::mkdir((directory + "/sub").c_str(), 0755);
  }
  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (root_ + "/" + name).c_str()), 0) << name;
  }

  TempDir dir_;
  const std::string root_ = dir_ / "root";
  const std::string outside_ = dir_ / "outside";
  std::string archive_;
};

// Host codes a refusal may carry: entry 0 and 16 list both; the path entries
// report a path that leads out as access denied, or as missing when only an
// existence test resolved it.
bool IsRefusal(int32_t code) { return code == ZYKFS_E_ACCESS_DENIED || code == ZYKFS_E_NOT_FOUND; }

TEST_F(LinkConfinement, EveryEscapeIsRefusedAndInsideLinksWork) {
  Fill(root_ + "/real", "inside");
  ASSERT_EQ(::mkdir((root_ + "/real/deep").c_str(), 0755), 0);
  const std::string outside_relative = outside_.substr(1);  // from "/"
  // Directory links, as the host names them, and whether they stay inside.
  Link("/", "to_slash");
  Link("../outside", "to_dotdot");
  Link(outside_, "absolute_out");
  Link(root_ + "/real", "absolute_in");  // absolute targets name the host's tree: refused
  Link("hop", "chain_out");
  Link("../outside", "hop");
  Link("real", "in");
  Link("in", "chain_in");
  Link("../../outside", "real/deep/up_out");  // a link in a middle component
  Link("..", "real/deep/up_in");
  const struct {
    std::string path;
    bool inside;
  } cases[] = {
      {"to_slash/" + outside_relative, false},
      {"to_dotdot", false},
      {"absolute_out", false},
      {"absolute_in", false},
      {"chain_out", false},
      {"real/deep/up_out", false},
      {"real/deep/up_out/../outside", false},
      {"in", true},
      {"chain_in", true},
      {"real/deep/up_in", true},
  };
  const auto before = Snapshot(outside_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.inside) {
      fs::remove_all(root_ + "/real/newdir");
      for (const char* name : {"made", "made.QMV", "ren2", "moved"}) fs::remove(root_ + "/real/" + name);
      Fill(root_ + "/real", "inside");
    }
    HostMount mount(root_);
    ASSERT_EQ(mount.Result(), 0);
    for (const Outcome& outcome : DriveDirectory(mount, c.path)) {
      SCOPED_TRACE(outcome.what);
      if (c.inside) {
        EXPECT_EQ(outcome.code, 0);
      } else {
        EXPECT_TRUE(IsRefusal(outcome.code)) << std::hex << outcome.code;
        EXPECT_EQ(outcome.content, "");
      }
    }
    if (c.inside) {
      EXPECT_EQ(mount.GetFile("real/made"), "new");
      EXPECT_EQ(mount.GetFile("real/made.QMV"), "new");
      EXPECT_TRUE(LocalExists(root_ + "/real/newdir"));
      EXPECT_FALSE(LocalExists(root_ + "/real/sub"));
    }
  }
  EXPECT_EQ(Snapshot(outside_), before);
}

// A link as the last component: its target must stay inside too, for reading,
// creating through a dangling link, and archives.
TEST_F(LinkConfinement, LastComponentLinks) {
  Fill(root_ + "/real", "inside");
  Link("../outside/file", "file_out");
  Link("../outside/arc.QMV", "arc_out.QMV");
  Link("../outside/made", "dangling_out");
  Link(outside_ + "/made.QMV", "dangling_out.QMV");
  Link("real/file", "file_in");
  Link("real/arc.QMV", "arc_in.QMV");
  Link("real/made", "dangling_in");
  const auto before = Snapshot(outside_);
  HostMount mount(root_);
  ASSERT_EQ(mount.Result(), 0);
  constexpr uint32_t kCreate = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE;
  uint64_t handle = 0;
  for (const char* name : {"file_out", "arc_out.QMV"}) {
    EXPECT_TRUE(IsRefusal(mount.Open(name, ZYKFS_OPEN_READ, &handle))) << name;
    EXPECT_TRUE(IsRefusal(mount.Open(name, ZYKFS_OPEN_READ_WRITE, &handle))) << name;
  }
  for (const char* name : {"dangling_out", "dangling_out.QMV"}) {
    EXPECT_TRUE(IsRefusal(mount.Open(name, kCreate, &handle))) << name;
  }
  EXPECT_EQ(mount.GetFile("file_in"), "inside");
  EXPECT_EQ(mount.GetFile("arc_in.QMV"), "archive outside");
  mount.PutFile("dangling_in", "made inside");
  EXPECT_EQ(ReadFile(root_ + "/real/made"), "made inside");
  EXPECT_EQ(Snapshot(outside_), before);
}

// Another thread keeps exchanging a directory and a link to "/" while the host
// opens and creates paths under the name they trade: nothing outside the root
// is ever read or created.
TEST_F(LinkConfinement, SwappingALinkNeverLetsAnOpenOut) {
  const std::string outside_relative = outside_.substr(1);
  // Under the real directory the same path leads to a file inside the root.
  fs::create_directories(root_ + "/swap/" + outside_relative);
  WriteFile(root_ + "/swap/" + outside_relative + "/file", "inside");
  Link("/", "other");
  const std::string target = "swap/" + outside_relative + "/file";
  const auto before = Snapshot(outside_);

  HostMount mount(root_);
  ASSERT_EQ(mount.Result(), 0);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> exchanges{0};
  std::thread swapper([&] {
    const std::string a = root_ + "/swap", b = root_ + "/other";
    while (!stop.load()) {
      if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) exchanges.fetch_add(1);
    }
  });
  const uint64_t opens = Scaled(100000, 2000);
  uint64_t read_inside = 0;
  for (uint64_t i = 0; i < opens; ++i) {
    uint64_t handle = 0;
    if (i % 4 == 3) {
      const std::string made = "swap/" + outside_relative + "/made" + std::to_string(i % 64);
      if (mount.Open(made.c_str(), ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &handle) == 0) {
        // The close syncs the new name's directory by its path, which may lead
        // out by now: refused, and the handle is retired all the same.
        const int32_t closed = mount.Close(handle);
        EXPECT_TRUE(closed == 0 || closed == ZYKFS_E_ACCESS_DENIED) << std::hex << closed;
      }
      continue;
    }
    if (mount.Open(target.c_str(), ZYKFS_OPEN_READ, &handle) != 0) continue;
    char buffer[16];
    uint64_t done = 0;
    EXPECT_EQ(mount.Read(handle, buffer, sizeof(buffer), 0, &done), 0);
    EXPECT_EQ(std::string(buffer, done), "inside") << "open " << i;
    ++read_inside;
    EXPECT_EQ(mount.Close(handle), 0);
    if (HasFailure()) break;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(exchanges.load(), 0u);
  EXPECT_GT(read_inside, 0u);
  EXPECT_EQ(Snapshot(outside_), before);
}

}  // namespace
