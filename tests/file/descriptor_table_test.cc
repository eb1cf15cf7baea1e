#include "core/file/unix/descriptor_table.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// A descriptor from TrackedOpen, closed through TrackedClose.
class Tracked {
 public:
  Tracked(const std::string& path, int flags = O_RDWR) : fd_(TrackedOpen(path.c_str(), flags, 0644)) {}
  ~Tracked() { Close(); }
  Tracked(const Tracked&) = delete;
  int fd() const { return fd_; }
  int Close() {
    int result = fd_ >= 0 ? TrackedClose(fd_) : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

struct flock Range(short type, int64_t start, int64_t length, short whence = SEEK_SET) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = whence;
  request.l_start = start;
  request.l_len = length;
  return request;
}

// TrackedLock's result: 0, or the errno of a failure.
int Lock(int fd, short type, int64_t start, int64_t length, bool wait = false) {
  struct flock request = Range(type, start, length);
  errno = 0;
  return TrackedLock(fd, wait ? F_SETLKW : F_SETLK, &request) == 0 ? 0 : errno;
}

std::string MakeFile(const zyk_test::TempDir& dir, const std::string& name = "f") {
  std::string path = dir / name;
  int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
  EXPECT_EQ(::write(fd, "0123456789", 10), 10);
  ::close(fd);
  return path;
}

struct Probe {
  short type;
  int64_t start, length;
};

// What another process sees: for each probe, F_GETLK's answer type (F_UNLCK when it could be granted).
std::vector<short> ProbeFromChild(const std::string& path, const std::vector<Probe>& probes) {
  std::string answers = zyk_test::InChild([&] {
    int fd = ::open(path.c_str(), O_RDWR);
    std::string bytes;
    for (const Probe& probe : probes) {
      struct flock query = Range(probe.type, probe.start, probe.length);
      short answer = (fd >= 0 && ::fcntl(fd, F_GETLK, &query) == 0) ? query.l_type : short{-1};
      bytes.append(reinterpret_cast<const char*>(&answer), sizeof(answer));
    }
    return bytes;
  });
  std::vector<short> result(answers.size() / sizeof(short));
  std::memcpy(result.data(), answers.data(), result.size() * sizeof(short));
  return result;
}

bool FreeForOthers(const std::string& path, int64_t start, int64_t length) {
  return ProbeFromChild(path, {{F_WRLCK, start, length}}) == std::vector<short>{F_UNLCK};
}

// `body`'s result, run in a child process with its own copy of the table.
template <typename Body>
int InChild(Body body) {
  std::string result = zyk_test::InChild([&] { return std::to_string(body()); });
  return result.empty() ? -1 : std::stoi(result);
}

TEST(DescriptorTable, RejectsMalformedRequests) {
  zyk_test::TempDir dir;
  Tracked file(MakeFile(dir));
  const int fd = file.fd();
  EXPECT_EQ(TrackedLock(fd, F_SETLK, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  // descriptor, command, whence, start, length, errno
  const std::tuple<int, int, short, int64_t, int64_t, int> cases[] = {
      {fd, F_GETLK, SEEK_SET, 0, 1, EOPNOTSUPP}, {fd, F_SETLK, SEEK_CUR, 0, 1, EOPNOTSUPP},
      {fd, F_SETLK, SEEK_SET, -1, 1, EINVAL},    {fd, F_SETLK, SEEK_SET, 0, -5, EINVAL},
      {fd, F_SETLK, SEEK_SET, kMax, 0, EINVAL},  {fd, F_SETLK, SEEK_SET, kMax - 1, 5, EINVAL},
      {0, F_SETLK, SEEK_SET, 0, 1, EBADF},  // untracked
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [descriptor, command, whence, start, length, error] = cases[i];
    struct flock request = Range(F_WRLCK, start, length, whence);
    errno = 0;
    EXPECT_EQ(TrackedLock(descriptor, command, &request), -1) << "case " << i;
    EXPECT_EQ(errno, error) << "case " << i;
  }
  EXPECT_EQ(TrackedClose(-7), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(DescriptorTable, WaiterIsWokenWhenTheHolderUnlocksOrCloses) {
  for (bool by_close : {false, true}) {
    SCOPED_TRACE(by_close ? "holder closes" : "holder unlocks");
    zyk_test::TempDir dir;
    std::string path = MakeFile(dir);
    Tracked holder(path), waiter(path);
    ASSERT_EQ(Lock(holder.fd(), F_WRLCK, 0, 100), 0);
    std::atomic<pid_t> tid{0};
    std::promise<int> result;
    std::future<int> arrived = result.get_future();
    std::thread thread([&] {
      tid = ::gettid();
      result.set_value(Lock(waiter.fd(), F_RDLCK, 50, 1, true));
    });
    while (tid.load() == 0) std::this_thread::yield();
    zyk_test::Asleep(tid);
    EXPECT_NE(arrived.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "granted while the conflict was held";
    EXPECT_EQ(by_close ? holder.Close() : Lock(holder.fd(), F_UNLCK, 0, 100), 0);
    if (arrived.wait_for(std::chrono::seconds(10)) != std::future_status::ready) waiter.Close();  // cancels the wait
    thread.join();
    EXPECT_EQ(arrived.get(), 0);
    EXPECT_EQ(Lock(waiter.fd(), F_UNLCK, 50, 1), 0) << "the granted lock is recorded";
  }
}

// TrackedLockPoll's result: 0, or the errno of a failure.
int Poll(int fd, short type = F_WRLCK, int64_t start = 0, int64_t length = 1) {
  struct flock request = Range(type, start, length);
  errno = 0;
  return TrackedLockPoll(fd, &request) == 0 ? 0 : errno;
}

// Requests enter the line in the order they are placed; a release grants, in
// that order, every request that fits beside the grants before it.
TEST(DescriptorTable, WaitersAreGrantedInArrivalOrderAndAllThatFit) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked holder(path), a(path), b(path), c(path);
  ASSERT_EQ(Lock(holder.fd(), F_WRLCK, 0, 100), 0);
  EXPECT_EQ(Poll(a.fd(), F_WRLCK, 0, 10), EINPROGRESS);
  EXPECT_EQ(Poll(b.fd(), F_RDLCK, 5, 1), EINPROGRESS);   // behind a, conflicts with a
  EXPECT_EQ(Poll(c.fd(), F_RDLCK, 50, 1), EINPROGRESS);  // free once holder lets go
  EXPECT_EQ(Lock(holder.fd(), F_UNLCK, 0, 100), 0);
  EXPECT_EQ(Poll(c.fd(), F_RDLCK, 50, 1), 0) << "a free request stayed queued";
  EXPECT_EQ(Poll(b.fd(), F_RDLCK, 5, 1), EINPROGRESS) << "b was granted over a's exclusive lock";
  EXPECT_EQ(Poll(a.fd(), F_WRLCK, 0, 10), 0);
  EXPECT_EQ(Lock(a.fd(), F_UNLCK, 0, 10), 0);
  EXPECT_EQ(Poll(b.fd(), F_RDLCK, 5, 1), 0);
}

// Polled requests never block, keep their place in line behind earlier ones,
// and leave the line when withdrawn or when their descriptor closes.
TEST(DescriptorTable, PolledRequestsWaitInLineAndCanBeWithdrawn) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked holder(path), a(path), b(path), c(path), d(path);
  ASSERT_EQ(Lock(holder.fd(), F_WRLCK, 0, 1), 0);
  for (const Tracked* waiter : {&a, &b, &c, &d}) EXPECT_EQ(Poll(waiter->fd()), EINPROGRESS);
  EXPECT_EQ(Poll(a.fd(), F_RDLCK), EBUSY) << "a second request of one descriptor";
  EXPECT_EQ(Poll(holder.fd()), EDEADLK);

  EXPECT_EQ(Lock(holder.fd(), F_UNLCK, 0, 1), 0);
  EXPECT_EQ(Poll(d.fd()), EINPROGRESS);
  EXPECT_EQ(Poll(a.fd()), 0) << "the first in line is granted";
  TrackedLockAbandon(b.fd());
  EXPECT_EQ(Lock(a.fd(), F_UNLCK, 0, 1), 0);  // grants c: b has left the line
  EXPECT_EQ(c.Close(), 0);                    // withdraws c's unreported grant: d is next
  EXPECT_EQ(Poll(d.fd()), 0);
  EXPECT_FALSE(FreeForOthers(path, 0, 1)) << "the grant reached the system";
  EXPECT_EQ(Poll(b.fd()), EINPROGRESS) << "a new request after the withdrawn one";
  EXPECT_EQ(d.Close(), 0);
  EXPECT_EQ(Poll(b.fd()), 0);
  EXPECT_EQ(Lock(b.fd(), F_UNLCK, 0, 1), 0);
  EXPECT_TRUE(FreeForOthers(path, 0, 1));
}

// A lock another process holds is tried again on every poll.
TEST(DescriptorTable, PolledRequestWaitsForAnotherProcessWithoutBlocking) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  zyk_test::OtherProcessLock other(path);
  ASSERT_TRUE(other.Held());
  Tracked waiter(path), behind(path);
  EXPECT_EQ(Poll(waiter.fd()), EINPROGRESS);
  EXPECT_EQ(Poll(behind.fd()), EINPROGRESS);
  EXPECT_EQ(Poll(waiter.fd()), EINPROGRESS);
  other.LetGo();
  EXPECT_EQ(Poll(behind.fd()), EINPROGRESS) << "behind the first request of this process";
  EXPECT_EQ(Poll(waiter.fd()), 0);
  EXPECT_EQ(waiter.Close(), 0);
  EXPECT_EQ(Poll(behind.fd()), 0);
}

// A waiting request blocked only by its own descriptor's lock could never be granted.
TEST(DescriptorTable, WaitingOnOwnLockFailsWithDeadlock) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked first(path), second(path);
  ASSERT_EQ(Lock(first.fd(), F_RDLCK, 0, 100), 0);
  // In a child, so that a request that waits forever fails the test instead of hanging it.
  EXPECT_EQ(InChild([&] { return Lock(first.fd(), F_WRLCK, 10, 10, true); }), EDEADLK);
  // Blocked by its own lock and another's: once the other goes, only its own would remain.
  ASSERT_EQ(Lock(second.fd(), F_RDLCK, 0, 100), 0);
  EXPECT_EQ(InChild([&] {
              if (Lock(first.fd(), F_WRLCK, 10, 10, true) != EDEADLK) return 1;
              // The failed request left nothing behind.
              if (Lock(first.fd(), F_UNLCK, 0, 100) != 0 || Lock(second.fd(), F_UNLCK, 0, 100) != 0) return 2;
              return Lock(second.fd(), F_RDLCK, 0, 100) == 0 ? 0 : 3;
            }),
            0);
}

TEST(DescriptorTable, HoldsAreCountedAndUnlockingWhatIsNotHeldFails) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked first(path), second(path);
  ASSERT_EQ(Lock(first.fd(), F_RDLCK, 0, 10), 0);
  ASSERT_EQ(Lock(first.fd(), F_RDLCK, 0, 10), 0);
  ASSERT_EQ(Lock(first.fd(), F_UNLCK, 0, 10), 0);
  EXPECT_EQ(Lock(second.fd(), F_WRLCK, 0, 10), EAGAIN) << "one hold remains";
  EXPECT_FALSE(FreeForOthers(path, 0, 10)) << "and its system lock";
  ASSERT_EQ(Lock(first.fd(), F_UNLCK, 0, 10), 0);
  EXPECT_EQ(Lock(first.fd(), F_UNLCK, 0, 10), EINVAL);
  EXPECT_EQ(Lock(second.fd(), F_WRLCK, 0, 10), 0);
  ASSERT_EQ(Lock(second.fd(), F_UNLCK, 0, 10), 0);

  // Unlocks that do not name a held range exactly fail and change nothing.
  ASSERT_EQ(Lock(first.fd(), F_WRLCK, 10, 20), 0);
  const std::tuple<int, int64_t, int64_t> unheld[] = {
      {first.fd(), 10, 10}, {first.fd(), 11, 20}, {first.fd(), 10, 0}, {second.fd(), 10, 20}, {first.fd(), 100, 1}};
  for (const auto& [fd, start, length] : unheld)
    EXPECT_EQ(Lock(fd, F_UNLCK, start, length), EINVAL) << fd << " " << start << " " << length;
  EXPECT_EQ(Lock(second.fd(), F_RDLCK, 15, 1), EAGAIN);
  EXPECT_FALSE(FreeForOthers(path, 15, 1));
}

TEST(DescriptorTable, ParkedDescriptorIsReusedAtZeroWithTheNewFlags) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked holder(path);
  ASSERT_EQ(Lock(holder.fd(), F_WRLCK, 0, 5), 0);
  Tracked first(path, O_RDWR);
  const int parked = first.fd();
  ASSERT_EQ(::lseek(parked, 7, SEEK_SET), 7);
  // The last user put it into append mode.
  ASSERT_EQ(::fcntl(parked, F_SETFL, ::fcntl(parked, F_GETFL) | O_APPEND), 0);
  ASSERT_EQ(first.Close(), 0);
  EXPECT_EQ(::fcntl(parked, F_GETFD), 0) << "parked descriptors stay open";
  Tracked reader(path, O_RDONLY);
  EXPECT_NE(reader.fd(), parked) << "another access mode does not reuse it";

  Tracked again(path, O_RDWR);
  ASSERT_EQ(again.fd(), parked);
  EXPECT_EQ(::lseek(again.fd(), 0, SEEK_CUR), 0);
  ASSERT_EQ(::write(again.fd(), "ab", 2), 2);
  char bytes[11] = {};
  ASSERT_EQ(::pread(again.fd(), bytes, 10, 0), 10);
  EXPECT_STREQ(bytes, "ab23456789") << "a write after reuse lands at the position, not the end";
  ASSERT_EQ(again.Close(), 0);

  Tracked appender(path, O_RDWR | O_APPEND);
  ASSERT_EQ(appender.fd(), parked);
  EXPECT_NE(::fcntl(appender.fd(), F_GETFL) & O_APPEND, 0) << "an open asking for append mode gets it";
  ASSERT_EQ(appender.Close(), 0);

  Tracked truncating(path, O_RDWR | O_TRUNC);
  EXPECT_NE(truncating.fd(), parked) << "a truncating open needs a fresh descriptor";
  EXPECT_EQ(::lseek(truncating.fd(), 0, SEEK_END), 0);

  // The last close while nothing is locked closes the parked descriptors.
  ASSERT_EQ(truncating.Close() | reader.Close() | holder.Close(), 0);
  errno = 0;
  EXPECT_EQ(::fcntl(parked, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(DescriptorTable, LocksSurviveTheCloseOfAnotherDescriptor) {
  zyk_test::TempDir dir;
  std::string path = MakeFile(dir);
  Tracked holder(path);
  ASSERT_EQ(Lock(holder.fd(), F_WRLCK, 0, 0), 0);
  ASSERT_GE(Tracked(path, O_RDONLY).fd(), 0);
  // A whole-file lock reaches the last offset.
  EXPECT_EQ(ProbeFromChild(path, {{F_RDLCK, 50, 1}, {F_RDLCK, kMax - 1, 1}}), (std::vector<short>{F_WRLCK, F_WRLCK}));
}

// After the unlock, another process sees the system lock exactly where another held lock (of either descriptor)
// still covers the range.
TEST(DescriptorTable, UnlockKeepsTheSystemLockWhereAnotherLockCovers) {
  struct Held {
    int owner;
    int64_t start, length;
  };
  struct Case {
    const char* what;
    std::vector<Held> locks;  // shared; the last one is unlocked
    std::vector<Probe> probes;
    std::vector<short> seen;
  } cases[] = {
      {"other descriptor",
       {{0, 0, 100}, {1, 50, 100}, {0, 0, 100}},
       {{F_WRLCK, 0, 50}, {F_WRLCK, 50, 1}, {F_WRLCK, 149, 1}, {F_WRLCK, 150, 0}},
       {F_UNLCK, F_RDLCK, F_RDLCK, F_UNLCK}},
      {"same descriptor",
       {{0, 0, 100}, {0, 50, 0}, {0, 50, 0}},
       {{F_WRLCK, 99, 1}, {F_WRLCK, 100, 0}},
       {F_RDLCK, F_UNLCK}},
      {"nothing else", {{0, 0, 0}, {0, 0, 0}}, {{F_WRLCK, 0, 0}}, {F_UNLCK}},
  };
  for (const Case& c : cases) {
    zyk_test::TempDir dir;
    std::string path = MakeFile(dir);
    Tracked descriptors[2] = {Tracked(path), Tracked(path)};
    for (size_t i = 0; i + 1 < c.locks.size(); ++i)
      ASSERT_EQ(Lock(descriptors[c.locks[i].owner].fd(), F_RDLCK, c.locks[i].start, c.locks[i].length), 0) << c.what;
    const Held& last = c.locks.back();
    ASSERT_EQ(Lock(descriptors[last.owner].fd(), F_UNLCK, last.start, last.length), 0) << c.what;
    EXPECT_EQ(ProbeFromChild(path, c.probes), c.seen) << c.what;
  }
}

TEST(DescriptorTable, FileClassFollowsFileSystemAndSharePath) {
  const std::tuple<int64_t, const char*, TrackedFileClass> cases[] = {
      {0xEF53, "/tmp/.mnt_net_abcdef/x", TrackedFileClass::kPosix},
      {kCifsMagic, "/tmp/.mnt_net_abcdef", TrackedFileClass::kWindows},
      {kCifsMagic, "/tmp/.mnt_net_abcdef/dir/file", TrackedFileClass::kWindows},
      {kCifsMagic, "/tmp/.mnt_net_abcdefg/file", TrackedFileClass::kWindowsNoRanges},
      {kCifsMagic, "/tmp/.mnt_net_abc", TrackedFileClass::kWindowsNoRanges},
      {kCifsMagic, "/tmp/.mnt_nex_abcdef/file", TrackedFileClass::kWindowsNoRanges},
      {kCifsMagic, "/mnt/share/file", TrackedFileClass::kWindowsNoRanges},
  };
  for (const auto& [type, path, expected] : cases) EXPECT_EQ(ChooseTrackedFileClass(type, path), expected) << path;
}

// Random non-waiting locks and unlocks through three descriptors (conflicts follow type and overlap, also
// between locks of one descriptor) against a model of the records; the system's view is checked from another
// process.
TEST(DescriptorTable, RandomLockingMatchesModel) {
  struct Record {
    int owner;
    short type;
    int64_t start, length;
    int holds;
  };
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  for (uint64_t round = 0, rounds = zyk_test::Scaled(200, 5); round < rounds; ++round) {
    zyk_test::TempDir dir;
    std::string path = MakeFile(dir);
    Tracked d0(path), d1(path), d2(path);
    const int fds[3] = {d0.fd(), d1.fd(), d2.fd()};
    std::vector<Record> model;
    for (int step = 0; step < 40; ++step) {
      int owner = static_cast<int>(random() % 3);
      // Now and then far out, where only a lock to the end reaches.
      int64_t start = static_cast<int64_t>(random() % 40) + (random() % 8 == 0 ? int64_t{1} << 30 : 0);
      int64_t length = static_cast<int64_t>(random() % 12);  // 0: to the end
      bool unlock = random() % 3 == 0;
      if (unlock && !model.empty() && random() % 2 == 0) {  // mostly unlock something held
        const Record& pick = model[random() % model.size()];
        owner = pick.owner;
        start = pick.start;
        length = pick.length == kMax - start ? 0 : pick.length;
      }
      const int64_t span = length == 0 ? kMax - start : length;
      short type = unlock ? F_UNLCK : (random() % 2 ? F_RDLCK : F_WRLCK);
      auto same = std::find_if(model.begin(), model.end(), [&](const Record& r) {
        return r.owner == owner && r.start == start && r.length == span;
      });
      int expected = 0;
      if (unlock) {
        if (same == model.end())
          expected = EINVAL;
        else if (--same->holds == 0)
          model.erase(same);
      } else if (std::any_of(model.begin(), model.end(), [&](const Record& r) {
                   return start < r.start + r.length && r.start < start + span &&
                          (type == F_WRLCK || r.type == F_WRLCK);
                 })) {
        expected = EAGAIN;
      } else if (same != model.end()) {
        ++same->holds;
      } else {
        model.push_back({owner, type, start, span, 1});
      }
      ASSERT_EQ(Lock(fds[owner], type, start, length), expected) << "round " << round << " step " << step;
    }
    // Every byte locked in the model is locked in the system with its type, and no other.
    std::vector<Probe> probes;
    std::vector<short> expected;
    for (int64_t byte = 0; byte < 56; ++byte) {
      short strongest = F_UNLCK;
      for (const Record& r : model)
        if (byte >= r.start && byte < r.start + r.length && strongest != F_WRLCK) strongest = r.type;
      probes.push_back({F_WRLCK, byte, 1});
      expected.push_back(strongest);
    }
    ASSERT_EQ(ProbeFromChild(path, probes), expected) << "round " << round;
  }
}

// Threads opening, locking, unlocking and closing the same few files at random. Waiting requests are made only
// while holding nothing, so no cycle can form.
TEST(DescriptorTableStress, ConcurrentOpenLockCloseStaysConsistent) {
  zyk_test::TempDir dir;
  const std::string paths[3] = {MakeFile(dir, "a"), MakeFile(dir, "b"), MakeFile(dir, "c")};
  const uint64_t seed = zyk_test::TestSeed();
  const uint64_t iterations = zyk_test::Scaled(20000, 200);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(seed + static_cast<uint64_t>(t));
      for (uint64_t i = 0; i < iterations; ++i) {
        int flags = random() % 2 ? O_RDWR : O_RDONLY;
        int fd = TrackedOpen(paths[random() % 3].c_str(), flags, 0);
        if (fd < 0) {
          ++failures;
          continue;
        }
        int64_t start = static_cast<int64_t>(random() % 8), length = static_cast<int64_t>(random() % 4);
        short type = flags == O_RDWR && random() % 3 == 0 ? F_WRLCK : F_RDLCK;
        bool wait = random() % 2 == 0;
        int result = Lock(fd, type, start, length, wait);
        if (result == 0) {
          if (random() % 2 == 0 && Lock(fd, F_UNLCK, start, length) != 0) ++failures;
        } else if (result != EAGAIN || wait) {
          ++failures;
        }
        if (TrackedClose(fd) != 0) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // Everything was released: a fresh descriptor can lock each whole file, and so can another process.
  for (const std::string& path : paths) {
    Tracked file(path);
    EXPECT_EQ(Lock(file.fd(), F_WRLCK, 0, 0), 0);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_TRUE(FreeForOthers(path, 0, 0));
  }
}

}  // namespace
