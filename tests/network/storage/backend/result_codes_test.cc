// Every code an entry answers is one the public header lists under that entry.
// The lists are read from the header itself, so the two cannot drift apart;
// each entry is driven through its failure cases through the loaded library.

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

#define ZYK_CODE(name) \
  { #name, name }
const std::map<std::string, int32_t> kCodeOfName = {
    ZYK_CODE(ZYKFS_E_NOT_FOUND),        ZYK_CODE(ZYKFS_E_BUSY),
    ZYK_CODE(ZYKFS_E_MOUNT_BUSY),       ZYK_CODE(ZYKFS_E_QUEUE_FULL),
    ZYK_CODE(ZYKFS_E_NOT_READABLE),     ZYK_CODE(ZYKFS_E_PATH_OPEN),
    ZYK_CODE(ZYKFS_E_BUFFER_TOO_SMALL), ZYK_CODE(ZYKFS_E_END_OF_DIR),
    ZYK_CODE(ZYKFS_E_EXISTS),           ZYK_CODE(ZYKFS_E_NOT_SUPPORTED),
    ZYK_CODE(ZYKFS_E_READ_FAILED),      ZYK_CODE(ZYKFS_E_END_OF_FILE),
    ZYK_CODE(ZYKFS_E_WRITE_FAILED),     ZYK_CODE(ZYKFS_E_DISK_FULL),
    ZYK_CODE(ZYKFS_E_SEEK_FAILED),      ZYK_CODE(ZYKFS_E_NO_MEMORY),
    ZYK_CODE(ZYKFS_E_OPEN_FAILED),      ZYK_CODE(ZYKFS_E_DELETE_FAILED),
    ZYK_CODE(ZYKFS_E_RENAME_FAILED),    ZYK_CODE(ZYKFS_E_CREATE_FAILED),
    ZYK_CODE(ZYKFS_E_NOT_READY),        ZYK_CODE(ZYKFS_E_READ_ONLY),
    ZYK_CODE(ZYKFS_E_CORRUPTED),        ZYK_CODE(ZYKFS_E_CANCELED),
    ZYK_CODE(ZYKFS_E_ACCESS_DENIED),    ZYK_CODE(ZYKFS_E_LOCK_FAILED),
    ZYK_CODE(ZYKFS_E_RECOVER_FAILED),   ZYK_CODE(ZYKFS_E_INVALID_USAGE),
    ZYK_CODE(ZYKFS_E_SECURITY),         ZYK_CODE(ZYKFS_E_INVALID_HANDLE),
    ZYK_CODE(ZYKFS_E_UNRESOLVED_NAME),  ZYK_CODE(ZYKFS_E_OLD_ARCHIVE_LAYOUT),
    ZYK_CODE(ZYKFS_E_OUT_OF_MEMORY),
};
#undef ZYK_CODE

// The codes named in `text`; an unknown name fails the test.
std::set<int32_t> CodesNamedIn(const std::string& text) {
  std::set<int32_t> codes;
  static const std::regex kName("ZYKFS_E_[A-Z_]+");
  for (std::sregex_iterator it(text.begin(), text.end(), kName), end; it != end; ++it) {
    auto known = kCodeOfName.find(it->str());
    if (known == kCodeOfName.end()) {
      ADD_FAILURE() << "the header names an unknown code " << it->str();
      continue;
    }
    codes.insert(known->second);
  }
  return codes;
}

// The text of each comment of `header` that opens with `opening` followed by
// what `tail` accepts, from behind `opening` to the comment's end.
std::vector<std::string> Comments(const std::string& header, const std::string& opening) {
  std::vector<std::string> found;
  for (size_t at = header.find(opening); at != std::string::npos; at = header.find(opening, at + 1)) {
    const size_t end = header.find("*/", at);
    if (end == std::string::npos) break;
    found.push_back(header.substr(at + opening.size(), end - at - opening.size()));
  }
  return found;
}

// Per entry number, the codes listed after "Codes:" in its comment ("/* N name:
// ..."), together with the codes every entry may answer.
std::map<int, std::set<int32_t>> ListedCodes() {
  std::ifstream in(ZYK_PUBLIC_HEADER);
  std::stringstream text;
  text << in.rdbuf();
  const std::string header = text.str();
  const std::vector<std::string> common = Comments(header, "/* Codes of every entry:");
  EXPECT_EQ(common.size(), 1u) << "no codes of every entry";
  const std::set<int32_t> everywhere = common.empty() ? std::set<int32_t>{} : CodesNamedIn(common[0]);
  std::map<int, std::set<int32_t>> listed;
  static const std::regex kOpening(R"(^(\d+) [a-z_]+:)");
  for (const std::string& body : Comments(header, "/* ")) {
    std::smatch entry;
    if (!std::regex_search(body, entry, kOpening)) continue;
    std::set<int32_t>& set = listed[std::stoi(entry[1].str())];
    set = everywhere;
    const size_t codes = body.find("Codes:");
    EXPECT_NE(codes, std::string::npos) << "entry " << entry[1].str() << " lists no codes";
    if (codes != std::string::npos) set.merge(CodesNamedIn(body.substr(codes)));
  }
  EXPECT_EQ(listed.size(), 23u) << "an entry comment was not found";
  return listed;
}

class ResultCodes : public MountedDir {};

TEST_F(ResultCodes, EveryAnsweredCodeIsListedUnderItsEntry) {
  const std::map<int, std::set<int32_t>> listed = ListedCodes();
  HostMount& m = mount_;
  WriteFile(dir_ / "file", "0123456789");
  WriteFile(dir_ / "fake.QMV", std::string(9000, 'f'));
  ASSERT_EQ(::mkdir((dir_ / "dir").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir_ / "full").c_str(), 0755), 0);
  WriteFile(dir_ / "full/inside", "x");
  ASSERT_EQ(::symlink("/", (dir_ / "out").c_str()), 0);
  m.PutFile("a.QMV", "archive");

  const uint64_t kBad = 0x1234;
  uint64_t rw = 0, ro = 0, wo = 0, listing = 0, archive = 0, other = 0, done = 0, value = 0;
  ASSERT_EQ(m.Open("file", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_NO_LOCK, &rw), 0);
  ASSERT_EQ(m.Open("file", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &ro), 0);
  ASSERT_EQ(m.Open("file", ZYKFS_OPEN_WRITE | ZYKFS_OPEN_NO_LOCK, &wo), 0);
  ASSERT_EQ(m.Open("a.QMV", ZYKFS_OPEN_READ_WRITE, &archive), 0);
  ASSERT_EQ(m.OpenDir("dir", &listing), 0);
  char buffer[64];
  zykfs_stat_t stat{};
  zykfs_append_status_t append{};
  zykfs_alloc_status_t alloc{};
  std::vector<char> records(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t small{records.data(), ZYKFS_READDIR_MIN_BUFFER - 1};
  zykfs_readdir_status_t full{records.data(), records.size()};
  const uint64_t odd[1] = {0}, empty[2] = {5, 5}, range[2] = {0, 4};
  const uint64_t kFar = uint64_t{1} << 63;

  struct Case {
    int entry;
    const char* what;
    std::function<int32_t()> call;
  };
  const std::vector<Case> cases = {
      {0, "no access", [&] { return m.Open("file", 0, &other); }},
      {0, "unknown bit", [&] { return m.Open("file", ZYKFS_OPEN_READ | 0x400, &other); }},
      {0, "exclusive alone", [&] { return m.Open("new", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_EXCLUSIVE, &other); }},
      {0, "missing", [&] { return m.Open("missing", ZYKFS_OPEN_READ, &other); }},
      {0, "missing parent", [&] { return m.Open("no/such", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &other); }},
      {0, "under a file", [&] { return m.Open("file/x", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &other); }},
      {0, "malformed", [&] { return m.Open("\xC0\xAF", ZYKFS_OPEN_READ, &other); }},
      {0, "directory", [&] { return m.Open("dir", ZYKFS_OPEN_READ, &other); }},
      {0, "exists",
       [&] { return m.Open("file", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_EXCLUSIVE, &other); }},
      {0, "read truncate", [&] { return m.Open("file", ZYKFS_OPEN_READ | ZYKFS_OPEN_TRUNCATE, &other); }},
      {0, "out of root", [&] { return m.Open("out/etc/hostname", ZYKFS_OPEN_READ, &other); }},
      {0, "no archive", [&] { return m.Open("fake.QMV", ZYKFS_OPEN_READ, &other); }},
      {0, "second writer", [&] { return m.Open("a.QMV", ZYKFS_OPEN_READ_WRITE, &other); }},
      {0, "long name",
       [&] { return m.Open(std::string(300, 'n').c_str(), ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE, &other); }},
      {1, "directory handle", [&] { return m.Close(listing); }},
      {1, "unknown handle", [&] { return m.Close(kBad); }},
      {2, "write only", [&] { return m.Read(wo, buffer, sizeof(buffer), 0, &done); }},
      {2, "far offset", [&] { return m.Read(ro, buffer, sizeof(buffer), kFar, &done); }},
      {2, "directory handle", [&] { return m.Read(listing, buffer, sizeof(buffer), 0, &done); }},
      {2, "unknown handle", [&] { return m.Read(kBad, buffer, sizeof(buffer), 0, &done); }},
      {3, "read only", [&] { return m.Append(ro, "x", 1, &append); }},
      {3, "unknown handle", [&] { return m.Append(kBad, "x", 1, &append); }},
      {4, "any", [&] { return m.Pad(rw, &value); }},
      {4, "unknown handle", [&] { return m.Pad(kBad, &value); }},
      {5, "directory handle", [&] { return m.Sync(listing); }},
      {5, "unknown handle", [&] { return m.Sync(kBad); }},
      {6, "unknown handle", [&] { return m.Fstat(kBad, &stat); }},
      {7, "read only", [&] { return m.Write(ro, "x", 1, 0, &done); }},
      {7, "far offset", [&] { return m.Write(rw, "x", 1, kFar, &done); }},
      {7, "archive far offset", [&] { return m.Write(archive, "x", 1, kFar - 1, &done); }},
      {7, "unknown handle", [&] { return m.Write(kBad, "x", 1, 0, &done); }},
      {8, "read only", [&] { return m.Truncate(ro, 0); }},
      {8, "far size", [&] { return m.Truncate(rw, kFar); }},
      {8, "unknown handle", [&] { return m.Truncate(kBad, 0); }},
      {9, "bad mode", [&] { return m.Lock(rw, 3); }},
      {9, "shared on write only", [&] { return m.Lock(wo, ZYKFS_LOCK_SHARED); }},
      {9, "exclusive on read only", [&] { return m.Lock(ro, ZYKFS_LOCK_EXCLUSIVE); }},
      {9, "unlock not held", [&] { return m.Lock(rw, ZYKFS_LOCK_NONE); }},
      {9, "archive", [&] { return m.Lock(archive, ZYKFS_LOCK_SHARED); }},
      {9, "unknown handle", [&] { return m.Lock(kBad, ZYKFS_LOCK_SHARED); }},
      {10, "odd count", [&] { return m.Sparse(rw, odd, 1); }},
      {10, "empty pair", [&] { return m.Sparse(rw, empty, 2); }},
      {10, "read only", [&] { return m.Sparse(ro, range, 2); }},
      {10, "unknown handle", [&] { return m.Sparse(kBad, range, 2); }},
      {11, "open source", [&] { return m.Rename("file", "moved"); }},
      {11, "missing", [&] { return m.Rename("missing", "moved"); }},
      {11, "malformed", [&] { return m.Rename("\xC0\xAF", "moved"); }},
      {11, "archive to plain", [&] { return m.Rename("fake.QMV", "plain"); }},
      {11, "into itself", [&] { return m.Rename("dir", "dir/inner"); }},
      {11, "directory over file", [&] { return m.Rename("full", "fake.QMV.bak"); }},
      {11, "out of root", [&] { return m.Rename("out/tmp", "moved"); }},
      {12, "open", [&] { return m.Unlink("file"); }},
      {12, "missing", [&] { return m.Unlink("missing"); }},
      {12, "malformed", [&] { return m.Unlink("\xC0\xAF"); }},
      {12, "directory", [&] { return m.Unlink("full"); }},
      {12, "out of root", [&] { return m.Unlink("out/tmp/none"); }},
      {13, "missing", [&] { return m.RemoveDir("missing"); }},
      {13, "not empty", [&] { return m.RemoveDir("full"); }},
      {13, "a file", [&] { return m.RemoveDir("fake.QMV"); }},
      {13, "open", [&] { return m.RemoveDir("dir"); }},
      {13, "malformed", [&] { return m.RemoveDir("\xC0\xAF"); }},
      {14, "exists", [&] { return m.MakeDir("dir"); }},
      {14, "missing parent", [&] { return m.MakeDir("no/such"); }},
      {14, "malformed", [&] { return m.MakeDir("\xC0\xAF"); }},
      {14, "under a file", [&] { return m.MakeDir("fake.QMV/x"); }},
      {14, "out of root", [&] { return m.MakeDir("out/tmp/zyk_never"); }},
      {15, "missing", [&] { return m.Stat("missing", &stat); }},
      {15, "no archive", [&] { return m.Stat("fake.QMV", &stat); }},
      {15, "out of root", [&] { return m.Stat("out/etc", &stat); }},
      {16, "missing", [&] { return m.OpenDir("missing", &other); }},
      {16, "a file", [&] { return m.OpenDir("fake.QMV", &other); }},
      {16, "out of root", [&] { return m.OpenDir("out/etc", &other); }},
      {17, "small buffer", [&] { return m.ReadDir(listing, &small); }},
      {17, "file handle", [&] { return m.ReadDir(rw, &full); }},
      {17, "unknown handle", [&] { return m.ReadDir(kBad, &full); }},
      {17, "listing ends", [&] { return m.ReadDir(listing, &full); }},
      {17, "after the end", [&] { return m.ReadDir(listing, &full); }},
      {18, "file handle", [&] { return m.CloseDir(rw); }},
      {18, "unknown handle", [&] { return m.CloseDir(kBad); }},
      {19, "any", [&] { return m.AllocInfo(rw, &alloc); }},
      {19, "unknown handle", [&] { return m.AllocInfo(kBad, &alloc); }},
      {20, "any", [&] { return m.Clone("file", "copy"); }},
      {21, "exists", [&] { return m.RenameSafe("fake.QMV", "a.QMV"); }},
      {21, "open", [&] { return m.RenameSafe("file", "moved"); }},
      {21, "missing", [&] { return m.RenameSafe("missing", "moved"); }},
      {21, "archive to plain", [&] { return m.RenameSafe("fake.QMV", "plain"); }},
      {22, "unknown handle", [&] { return m.Swap(rw, kBad); }},
      {22, "same path", [&] { return m.Swap(rw, ro); }},
      {22, "directory handle", [&] { return m.Swap(rw, listing); }},
      {22, "archive", [&] { return m.Swap(rw, archive); }},
  };
  for (const Case& c : cases) {
    const int32_t code = c.call();
    const std::set<int32_t>& allowed = listed.at(c.entry);
    EXPECT_TRUE(code == 0 || allowed.count(code) != 0)
        << "entry " << c.entry << " (" << c.what << ") answered 0x" << std::hex << code << ", not listed";
  }

  // A failed archive write: what later requests on the handle answer.
  {
    FileSizeLimit limit(4096);
    ASSERT_TRUE(limit.Set());
    const std::string data(1 << 16, 'd');
    EXPECT_EQ(m.Write(archive, data.data(), data.size(), 0, &done), 0);
    const std::vector<Case> failed = {
        {5, "failed sync", [&] { return m.Sync(archive); }},
        {2, "after a failure", [&] { return m.Read(archive, buffer, sizeof(buffer), 0, &done); }},
        {7, "after a failure", [&] { return m.Write(archive, "x", 1, 0, &done); }},
        {3, "after a failure", [&] { return m.Append(archive, "x", 1, &append); }},
        {8, "after a failure", [&] { return m.Truncate(archive, 0); }},
        {10, "after a failure", [&] { return m.Sparse(archive, range, 2); }},
        {1, "after a failure", [&] { return m.Close(archive); }},
    };
    for (const Case& c : failed) {
      const int32_t code = c.call();
      EXPECT_NE(code, 0) << c.entry << " " << c.what;
      EXPECT_EQ(listed.at(c.entry).count(code), 1u)
          << "entry " << c.entry << " (" << c.what << ") answered 0x" << std::hex << code << ", not listed";
    }
  }
  for (uint64_t handle : {rw, ro, wo}) EXPECT_EQ(m.Close(handle), 0);
  EXPECT_EQ(m.CloseDir(listing), 0);
}

}  // namespace
