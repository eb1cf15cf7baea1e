#pragma once
// Shared helpers for tests: temporary directories, run sizes, and waiting for
// conditions that no event announces.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/common/file_name.h"

namespace zyk_test {

// A fresh directory below the system temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zyk_test_XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Scales a full-run count by ZYK_TEST_PERCENT (percent of the full run; 10 when
// unset, so the default run stays short). Never below `minimum`.
inline uint64_t Scaled(uint64_t full_count, uint64_t minimum = 1) {
  const char* value = std::getenv("ZYK_TEST_PERCENT");
  uint64_t percent = value ? std::strtoull(value, nullptr, 10) : 10;
  uint64_t count = full_count * percent / 100;
  return count < minimum ? minimum : count;
}

// A seed for property tests: ZYK_TEST_SEED when set, else random. Printed so a
// failing run can be replayed.
inline uint64_t TestSeed() {
  const char* value = std::getenv("ZYK_TEST_SEED");
  uint64_t seed = value ? std::strtoull(value, nullptr, 10) : std::random_device{}();
  std::printf("[ seed     ] ZYK_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
  return seed;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string Narrow(const char16_t* text) {
  return text ? Common::NarrowFileName(UString(text)) : std::string("<null>");
}

// Runs `body` in a forked child (with its own copy of the process's state)
// and returns the bytes it returned, passed back through a pipe. A child that
// hangs ends in SIGALRM after ten seconds; a child that did not exit normally
// fails the test.
inline std::string InChild(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "<no pipe>";
  pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    const std::string bytes = body();
    bool sent = ::write(pipe_fds[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::_exit(sent ? 0 : 2);
  }
  ::close(pipe_fds[1]);
  std::string bytes;
  char buffer[512];
  for (ssize_t got; (got = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0;) bytes.append(buffer, got);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return bytes;
}

// Another process holding a lock of `type` on [0, length) of a file (0: to the
// end) until LetGo. Make it before starting threads, so the child copies none.
class OtherProcessLock {
 public:
  explicit OtherProcessLock(const std::string& path, short type = F_WRLCK, off_t length = 1) {
    int release[2], held[2];
    if (::pipe(release) != 0 || ::pipe(held) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(release[1]);  // else the read below never sees the end
      int fd = ::open(path.c_str(), O_RDWR);
      struct flock lock {};
      lock.l_type = type;
      lock.l_whence = SEEK_SET;
      lock.l_len = length;
      char byte = ::fcntl(fd, F_SETLK, &lock) == 0 ? 'L' : 'E';
      if (::write(held[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) < 0) ::_exit(2);
      ::_exit(0);  // the lock ends with the process
    }
    ::close(release[0]);
    ::close(held[1]);
    release_ = release[1];
    char byte = 0;
    held_ = ::read(held[0], &byte, 1) == 1 && byte == 'L';
    ::close(held[0]);
  }
  ~OtherProcessLock() { LetGo(); }
  OtherProcessLock(const OtherProcessLock&) = delete;
  OtherProcessLock& operator=(const OtherProcessLock&) = delete;
  bool Held() const { return held_; }
  // Ends the child, and its lock with it.
  void LetGo() {
    if (release_ < 0) return;
    ::close(release_);
    release_ = -1;
    ::waitpid(child_, nullptr, 0);
  }

 private:
  pid_t child_ = -1;
  int release_ = -1;
  bool held_ = false;
};

// Polls `done` until it holds or ten seconds have passed; returns its last
// value. Only for conditions no event announces (a worker going back to its
// pool, a thread ending on its own); everything else waits on the event.
template <typename Predicate>
bool Eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// True once thread `tid` of this process sleeps in the kernel (on a futex, a
// lock, a pipe), which is how a test knows a waiter has blocked. A false
// "asleep" only weakens the check that follows, never fails it.
inline bool Asleep(pid_t tid) {
  return Eventually([tid] {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() && line[name_end + 2] == 'S';
  });
}

}  // namespace zyk_test
