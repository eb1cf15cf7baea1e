// zykfs: a command-line host of libzyk_backend_local. Each run loads the
// library, mounts ROOT, carries out one command through the operation table and
// unmounts. Files named *.QMV are stored as container archives.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_session.h"

namespace {

using zykfs_tool::HostSession;

constexpr char kUsage[] =
    "usage: zykfs ROOT COMMAND [ARGS]\n"
    "Serves the directory ROOT through libzyk_backend_local and runs one command:\n"
    "  ls [DIR]           list DIR (default: the root) with sizes and allocated bytes\n"
    "  put LOCAL PATH     copy the local file LOCAL to PATH (created or replaced)\n"
    "  cat PATH           write the content of PATH to standard output\n"
    "  stat PATH          show the status of PATH\n"
    "  mkdir PATH         make a directory\n"
    "  rm PATH            remove a file\n"
    "  rmdir PATH         remove an empty directory\n"
    "  mv FROM TO         rename FROM to TO\n"
    "Files whose names end in .QMV are kept as container archives but read and\n"
    "written as plain files. The library is found beside the build tree, or at\n"
    "$ZYKFS_LIBRARY.\n";

constexpr size_t kChunk = 1 << 20;

// Reports a failed call and gives the exit status.
int Fail(const std::string& what, int32_t code) {
  std::fprintf(stderr, "zykfs: %s failed with code 0x%08x\n", what.c_str(), static_cast<uint32_t>(code));
  return 1;
}

struct Session {
  HostSession& host;
  const zykfs_ops_t& ops;
  void* mount;

  int32_t Open(const std::string& path, uint32_t flags, uint64_t& handle) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.open(mount, path.c_str(), flags, &handle, cb, ctx); });
  }
  int32_t Close(uint64_t handle) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.close(mount, handle, cb, ctx); });
  }
  int32_t Stat(const std::string& path, zykfs_stat_t& status) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.stat(mount, path.c_str(), &status, cb, ctx); });
  }
  int32_t PathCall(zykfs_unlink_fn fn, const std::string& path) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { fn(mount, path.c_str(), cb, ctx); });
  }
};

int Put(Session& s, const std::string& local, const std::string& path) {
  std::ifstream in(local, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "zykfs: cannot read %s\n", local.c_str());
    return 1;
  }
  uint64_t handle = 0;
  int32_t code = s.Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE, handle);
  if (code) return Fail("open " + path, code);
  std::vector<char> buffer(kChunk);
  uint64_t offset = 0;
  while (in) {
    in.read(buffer.data(), buffer.size());
    uint64_t length = static_cast<uint64_t>(in.gcount());
    if (length == 0) break;
    uint64_t done = 0;
    code = HostSession::Call([&](zykfs_callback_t cb, void* ctx) {
      s.ops.write(s.mount, handle, buffer.data(), length, offset, &done, cb, ctx);
    });
    if (code || done != length) {
      s.Close(handle);
      return Fail("write " + path, code);
    }
    offset += length;
  }
  code = s.Close(handle);  // flushes: for an archive this commits
  return code ? Fail("close " + path, code) : 0;
}

int Cat(Session& s, const std::string& path) {
  uint64_t handle = 0;
  int32_t code = s.Open(path, ZYKFS_OPEN_READ, handle);
  if (code) return Fail("open " + path, code);
  std::vector<char> buffer(kChunk);
  for (uint64_t offset = 0;;) {
    uint64_t done = 0;
    code = HostSession::Call([&](zykfs_callback_t cb, void* ctx) {
      s.ops.read(s.mount, handle, buffer.data(), buffer.size(), offset, &done, cb, ctx);
    });
    if (code) break;
    std::fwrite(buffer.data(), 1, done, stdout);
    offset += done;
    if (done < buffer.size()) break;
  }
  s.Close(handle);
  return code ? Fail("read " + path, code) : 0;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir == "." ? name : dir + "/" + name;
}

int List(Session& s, const std::string& dir) {
  uint64_t handle = 0;
  int32_t code = HostSession::Call(
      [&](zykfs_callback_t cb, void* ctx) { s.ops.opendir(s.mount, dir.c_str(), &handle, cb, ctx); });
  if (code) return Fail("opendir " + dir, code);
  std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER);
  std::printf("%-4s %14s %14s  %s\n", "type", "size", "allocated", "name");
  for (bool ended = false; !ended;) {
    zykfs_readdir_status_t status{buffer.data(), buffer.size()};
    code = HostSession::Call([&](zykfs_callback_t cb, void* ctx) { s.ops.readdir(s.mount, handle, &status, cb, ctx); });
    if (code) break;
    for (size_t at = 0; at + 10 <= status.size;) {
      uint16_t name_length;
      std::memcpy(&name_length, &buffer[at + 8], 2);
      if (name_length == 0) {
        ended = true;
        break;
      }
      std::string name(reinterpret_cast<char*>(&buffer[at + 11]), name_length - 1);
      zykfs_stat_t entry{};
      s.Stat(Join(dir, name), entry);
      const char* type = buffer[at + 10] == ZYKFS_DT_DIR ? "dir" : buffer[at + 10] == ZYKFS_DT_FILE ? "file" : "other";
      std::printf("%-4s %14llu %14llu  %s\n", type, static_cast<unsigned long long>(entry.size),
                  static_cast<unsigned long long>(entry.allocated), name.c_str());
      at += 11 + name_length;
    }
  }
  HostSession::Call([&](zykfs_callback_t cb, void* ctx) { s.ops.closedir(s.mount, handle, cb, ctx); });
  return code ? Fail("readdir " + dir, code) : 0;
}

int ShowStat(Session& s, const std::string& path) {
  zykfs_stat_t status{};
  int32_t code = s.Stat(path, status);
  if (code) return Fail("stat " + path, code);
  std::printf("inode %llu\nsize %llu\nallocated %llu\nmodified_ms %llu\n",
              static_cast<unsigned long long>(status.inode), static_cast<unsigned long long>(status.size),
              static_cast<unsigned long long>(status.allocated), static_cast<unsigned long long>(status.modify_time));
  return 0;
}

int Run(Session& s, const std::vector<std::string>& args) {
  const std::string& command = args[0];
  size_t count = args.size() - 1;
  if (command == "ls" && count <= 1) return List(s, count ? args[1] : ".");
  if (command == "put" && count == 2) return Put(s, args[1], args[2]);
  if (command == "cat" && count == 1) return Cat(s, args[1]);
  if (command == "stat" && count == 1) return ShowStat(s, args[1]);
  if (command == "mkdir" && count == 1) {
    int32_t code = s.PathCall(s.ops.mkdir, args[1]);
    return code ? Fail("mkdir " + args[1], code) : 0;
  }
  if (command == "rm" && count == 1) {
    int32_t code = s.PathCall(s.ops.unlink, args[1]);
    return code ? Fail("rm " + args[1], code) : 0;
  }
  if (command == "rmdir" && count == 1) {
    int32_t code = s.PathCall(s.ops.rmdir, args[1]);
    return code ? Fail("rmdir " + args[1], code) : 0;
  }
  if (command == "mv" && count == 2) {
    int32_t code = HostSession::Call(
        [&](zykfs_callback_t cb, void* ctx) { s.ops.rename(s.mount, args[1].c_str(), args[2].c_str(), cb, ctx); });
    return code ? Fail("mv", code) : 0;
  }
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    HostSession host(zykfs_tool::DefaultLibraryPath());
    int32_t code = host.Mount(argv[1]);
    if (code) return Fail(std::string("mount ") + argv[1], code);
    Session session{host, host.Ops(), host.Handle()};
    int status = Run(session, std::vector<std::string>(argv + 2, argv + argc));
    code = host.Unmount();
    if (code) return Fail("unmount", code);
    return status;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zykfs: %s\n", error.what());
    return 1;
  }
}
