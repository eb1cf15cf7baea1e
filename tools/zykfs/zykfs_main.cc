// zykfs: a command-line host of libzyk_backend_local. Each run loads the
// library, mounts ROOT, carries out one command through the operation table and
// unmounts. Files named *.QMV are stored as container archives.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_session.h"
#include "tools/common/progress.h"
#include "tools/common/version.h"

namespace {

using zyk_tools::Progress;
using zykfs_tool::HostSession;

constexpr char kUsage[] =
    "usage: zykfs [-p] ROOT COMMAND [ARGS]\n"
    "       zykfs --help | --version\n"
    "Serves the directory ROOT through libzyk_backend_local and runs one command:\n"
    "  ls [DIR]           list DIR (default: the root) with sizes and allocated bytes\n"
    "  put LOCAL PATH     copy the local file LOCAL to PATH (created or replaced)\n"
    "  cat PATH           write the content of PATH to standard output\n"
    "  get PATH LOCAL     copy PATH to the local file LOCAL (created or replaced)\n"
    "  stat PATH          show the status of PATH\n"
    "  mkdir PATH         make a directory\n"
    "  rm PATH            remove a file\n"
    "  rmdir PATH         remove an empty directory\n"
    "  mv FROM TO         rename FROM to TO\n"
    "Files whose names end in .QMV are kept as container archives but read and\n"
    "written as plain files.\n"
    "  -p, --progress     show the progress of put, cat and get on standard error\n"
    "                     (when it is a terminal)\n"
    "The library is $ZYKFS_LIBRARY, else the one of the build tree or installation\n"
    "the tool belongs to. Exit status: 0 done, 1 failed (the code and its text on\n"
    "standard error), 2 usage error.\n";

constexpr size_t kChunk = 1 << 20;

// Reports a failed call with its code and the code's text; gives the exit status.
int Fail(const std::string& what, int32_t code) {
  std::fprintf(stderr, "zykfs: %s failed: code 0x%08x (%s)\n", what.c_str(), static_cast<uint32_t>(code),
               zykfs_result_text(code));
  return 1;
}

// Reports a local failure (not a library call); gives the exit status.
int FailLocally(const std::string& what) {
  std::fprintf(stderr, "zykfs: %s\n", what.c_str());
  return 1;
}

struct Session {
  HostSession& host;
  const zykfs_ops_t& ops;
  void* mount;
  bool progress;  // -p given

  int32_t Open(const std::string& path, uint32_t flags, uint64_t& handle) {
    return HostSession::Call(
        [&](zykfs_callback_t cb, void* ctx) { ops.open(mount, path.c_str(), flags, &handle, cb, ctx); });
  }
  int32_t Close(uint64_t handle) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.close(mount, handle, cb, ctx); });
  }
  int32_t Fstat(uint64_t handle, zykfs_stat_t& status) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.fstat(mount, handle, &status, cb, ctx); });
  }
  int32_t Stat(const std::string& path, zykfs_stat_t& status) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { ops.stat(mount, path.c_str(), &status, cb, ctx); });
  }
  int32_t PathCall(zykfs_unlink_fn fn, const std::string& path) {
    return HostSession::Call([&](zykfs_callback_t cb, void* ctx) { fn(mount, path.c_str(), cb, ctx); });
  }
};

int Put(Session& s, const std::string& local, const std::string& path) {
  std::ifstream in(local, std::ios::binary | std::ios::ate);
  if (!in) return FailLocally("cannot read " + local);
  std::optional<uint64_t> total;
  if (std::streamoff size = in.tellg(); size >= 0) total = static_cast<uint64_t>(size);
  in.seekg(0);
  uint64_t handle = 0;
  int32_t code = s.Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE, handle);
  if (code) return Fail("open " + path, code);
  Progress progress(s.progress, "put " + path, total);
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
    if (code) {
      s.Close(handle);
      return Fail("write " + path, code);
    }
    if (done != length) {
      s.Close(handle);
      return FailLocally("write " + path + ": short write");
    }
    offset += length;
    progress.Add(length);
  }
  if (in.bad()) {
    s.Close(handle);
    return FailLocally("cannot read " + local);
  }
  code = s.Close(handle);  // flushes: for an archive this commits
  progress.Finish();
  return code ? Fail("close " + path, code) : 0;
}

// Copies the content of `path` to `out`, named `out_name` in messages.
int CopyOut(Session& s, const std::string& command, const std::string& path, std::FILE* out,
            const std::string& out_name) {
  uint64_t handle = 0;
  int32_t code = s.Open(path, ZYKFS_OPEN_READ, handle);
  if (code) return Fail("open " + path, code);
  zykfs_stat_t status{};
  std::optional<uint64_t> total;
  if (s.Fstat(handle, status) == ZYKFS_OK) total = status.size;
  Progress progress(s.progress, command + " " + path, total);
  std::vector<char> buffer(kChunk);
  bool written = true;
  for (uint64_t offset = 0;;) {
    uint64_t done = 0;
    code = HostSession::Call([&](zykfs_callback_t cb, void* ctx) {
      s.ops.read(s.mount, handle, buffer.data(), buffer.size(), offset, &done, cb, ctx);
    });
    if (code) break;
    written = std::fwrite(buffer.data(), 1, done, out) == done;
    if (!written) break;
    offset += done;
    progress.Add(done);
    if (done < buffer.size()) break;
  }
  s.Close(handle);
  if (code) return Fail("read " + path, code);
  if (!written || std::fflush(out) != 0) return FailLocally("cannot write " + out_name);
  progress.Finish();
  return 0;
}

int Get(Session& s, const std::string& path, const std::string& local) {
  std::FILE* out = std::fopen(local.c_str(), "wb");
  if (out == nullptr) return FailLocally("cannot write " + local);
  int status = CopyOut(s, "get", path, out, local);
  if (std::fclose(out) != 0 && status == 0) status = FailLocally("cannot write " + local);
  return status;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir == "." ? name : dir + "/" + name;
}

int List(Session& s, const std::string& dir) {
  uint64_t handle = 0;
  int32_t code =
      HostSession::Call([&](zykfs_callback_t cb, void* ctx) { s.ops.opendir(s.mount, dir.c_str(), &handle, cb, ctx); });
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
  if (command == "cat" && count == 1) return CopyOut(s, "cat", args[1], stdout, "standard output");
  if (command == "get" && count == 2) return Get(s, args[1], args[2]);
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
  std::vector<std::string> args(argv + 1, argv + argc);
  bool progress = false;
  while (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
    if (args[0] == "--help" || args[0] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[0] == "--version") {
      zyk_tools::PrintVersion("zykfs");
      return 0;
    }
    if (args[0] != "-p" && args[0] != "--progress") {
      std::fprintf(stderr, "zykfs: unknown option %s\n%s", args[0].c_str(), kUsage);
      return 2;
    }
    progress = true;
    args.erase(args.begin());
  }
  if (args.size() < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    HostSession host(zykfs_tool::DefaultLibraryPath());
    int32_t code = host.Mount(args[0]);
    if (code) return Fail("mount " + args[0], code);
    Session session{host, host.Ops(), host.Handle(), progress};
    int status = Run(session, std::vector<std::string>(args.begin() + 1, args.end()));
    code = host.Unmount();
    if (code) return Fail("unmount", code);
    return status;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zykfs: %s\n", error.what());
    return 1;
  }
}
