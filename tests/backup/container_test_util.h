#pragma once
// Helpers shared by the container archive and allocation tree tests.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/backup/container_api.h"
#include "core/backup/container_check.h"
#include "core/file/unix/posix_dir.h"
#include "support/pattern.h"

namespace container_test {

using backupmedia::ArchiveParameters;
using backupmedia::ContainerArchive;

// The code of the Common::Error `action` throws, 0 when it throws none.
inline uint32_t CodeOf(auto&& action) {
  try {
    action();
  } catch (const Common::Error& error) {
    return error.Code();
  }
  return 0;
}

inline ArchiveParameters Parameters(uint32_t block_size, int64_t max_volume_size = INT64_MAX,
                                    int64_t auto_commit_bytes = 0) {
  ArchiveParameters parameters;
  parameters.block_size = block_size;
  parameters.max_volume_size = max_volume_size;
  parameters.auto_commit_bytes = auto_commit_bytes;
  return parameters;
}

// Create, append and open-for-read; a failure is a test failure unless the
// caller asks for the error.
inline std::unique_ptr<ContainerArchive> Create(rio_dir* dir, const char16_t* name, ArchiveParameters p) {
  Common::Error error;
  auto archive = backupmedia::CreateContainerArchive(dir, name, nullptr, &p, error, false);
  EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline std::unique_ptr<ContainerArchive> Append(rio_dir* dir, const char16_t* name, Common::Error* out = nullptr) {
  Common::Error error;
  ArchiveParameters p;
  auto archive = backupmedia::AppendContainerArchive(dir, name, nullptr, &p, error, false);
  if (out != nullptr)
    *out = error;
  else
    EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline std::unique_ptr<ContainerArchive> OpenRead(rio_dir* dir, const char16_t* name, Common::Error* out = nullptr) {
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(dir, name, nullptr, error, false);
  if (out != nullptr)
    *out = error;
  else
    EXPECT_TRUE(error.Ok()) << error.ToString();
  return archive;
}

inline void WriteAt(ContainerArchive& archive, int64_t offset, const std::string& bytes) {
  archive.Seek(offset);
  size_t done = 0;
  archive.Write(bytes.data(), bytes.size(), done);
  ASSERT_FALSE(archive.HasError()) << archive.LastError().ToString();
  ASSERT_EQ(done, bytes.size());
}

inline std::string ReadAt(ContainerArchive& archive, int64_t offset, size_t length) {
  std::string bytes(length, '\0');
  archive.Seek(offset);
  size_t done = 0;
  archive.Read(bytes.data(), length, done);
  bytes.resize(done);
  return bytes;
}

inline std::string ReadAll(ContainerArchive& archive) { return ReadAt(archive, 0, archive.GetSize()); }

// The content of a committed archive, opened for reading.
inline std::string Content(rio_dir* dir, const char16_t* name) {
  auto reader = OpenRead(dir, name);
  return reader ? ReadAll(*reader) : "(no archive)";
}

// The checker's error and findings, one a line, for failure messages.
inline std::string Describe(const backupmedia::CheckReport& report) {
  std::string text = report.check_error.Ok() ? "" : report.check_error.ToString() + "\n";
  for (const backupmedia::CheckFinding& f : report.findings)
    text += (f.kind == backupmedia::CheckFinding::Kind::kLeak ? "leak " : "corruption ") + std::to_string(f.block) +
            "+" + std::to_string(f.count) + " " + f.tree + ": " + f.what + "\n";
  return text;
}

using zyk_test::Pattern;

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

inline void PutFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

inline uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A one-byte message channel between parent and child.
struct Channel {
  int fds[2];
  Channel() { EXPECT_EQ(::pipe(fds), 0); }
  ~Channel() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void Send(char c) { EXPECT_EQ(::write(fds[1], &c, 1), 1); }
  char Receive() {
    char c = 0;
    return ::read(fds[0], &c, 1) == 1 ? c : 0;
  }
};

// Runs `body` in a child process; its return value is the exit status.
inline pid_t Spawn(auto body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

inline int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// A reader in another process (locks are per process) that opens archive
// `name` in `folder` and holds it until Release(); then it reads it in full
// and exits 0 if it read `expected`. Constructed once the reader has it open.
struct HeldReader {
  HeldReader(const std::string& folder, const char16_t* name, const std::string& expected) {
    pid = Spawn([&] {
      auto dir = MakePosixDir(folder);
      auto archive = OpenRead(dir.get(), name);
      if (!archive) return 1;
      to_parent.Send('o');
      to_child.Receive();
      return ReadAll(*archive) == expected ? 0 : 2;
    });
    EXPECT_EQ(to_parent.Receive(), 'o');
  }
  // The reader's exit status.
  int Release() {
    to_child.Send('c');
    return Wait(pid);
  }
  Channel to_child, to_parent;
  pid_t pid;
};

}  // namespace container_test
