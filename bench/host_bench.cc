// host_bench: the library's speed as a host sees it. Loads the shared library
// with dlopen, mounts a scratch directory and drives the operation table the way
// a host does (every call answered through its callback, further calls made
// from callbacks to keep requests in flight). Each row runs the same work
// through plain system calls in the same run and prints the ratio
// library / system calls (higher is better, 1.0 is parity).
//
//   host_bench [--library PATH] [--dir DIR] [--seconds S] [--rounds N]
//              [--filter TEXT] [--ops N] [--skip-baseline]
//
// --filter runs only the rows whose name contains TEXT; --ops N makes each
// library row do exactly N requests (for instruction counts under callgrind)
// instead of running for S seconds. Each side of a row runs N rounds and the
// median counts.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zykfs/zykfs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kFileSize = 64ull << 20;
constexpr uint64_t kSmall = 4096;
constexpr int kHandles = 8;
constexpr int kListingEntries = 100000;

struct Options {
  std::string library = ZYK_DEFAULT_LIBRARY;
  std::string dir;
  double seconds = 0.5;
  int rounds = 3;
  std::string filter;
  uint64_t ops = 0;  // 0: timed
  bool skip_baseline = false;
};

Options g_options;

[[noreturn]] void Fail(const std::string& what, int32_t code = 0) {
  std::fprintf(stderr, "host_bench: %s (0x%08x, %s)\n", what.c_str(), static_cast<unsigned>(code),
               std::strerror(errno));
  std::exit(1);
}

// A one-shot completion the host thread waits for.
class Waiter {
 public:
  static void Done(void* self, int32_t code) { static_cast<Waiter*>(self)->Set(code); }
  void Set(int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    code_ = code;
    done_ = true;
    cv_.notify_one();
  }
  int32_t Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
    done_ = false;
    return code_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  int32_t code_ = 0;
};

// The loaded library and one mount over the scratch directory.
class Host {
 public:
  Host(const std::string& library, const std::string& root) {
    library_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) Fail(std::string("dlopen: ") + dlerror());
    auto mount = reinterpret_cast<zykfs_mount_fn>(dlsym(library_, "zykfs_mount"));
    umount_ = reinterpret_cast<zykfs_umount_fn>(dlsym(library_, "zykfs_umount"));
    if (mount == nullptr || umount_ == nullptr) Fail("missing exports");
    zykfs_params_t params{root.c_str()};
    Waiter waiter;
    mount(&params, &mount_, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("mount", code);
  }
  ~Host() {
    Waiter waiter;
    umount_(&mount_, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("umount", code);
  }

  const zykfs_ops_t& ops() const { return *mount_.ops; }
  void* mount() const { return mount_.handle; }

  uint64_t Open(const std::string& path, uint32_t flags) {
    uint64_t handle = 0;
    Waiter waiter;
    ops().open(mount(), path.c_str(), flags | ZYKFS_OPEN_NO_LOCK, &handle, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("open " + path, code);
    return handle;
  }
  void Close(uint64_t handle) {
    Waiter waiter;
    ops().close(mount(), handle, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("close", code);
  }

 private:
  void* library_ = nullptr;
  zykfs_umount_fn umount_ = nullptr;
  zykfs_mount_t mount_{};
};

// Ends a run: after the deadline, or after a fixed number of operations.
class Budget {
 public:
  // `ops` operations, or as many as fit in the configured seconds when 0.
  explicit Budget(uint64_t ops = 0)
      : deadline_(Clock::now() +
                  std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_options.seconds))),
        counted_(ops != 0),
        remaining_(static_cast<int64_t>(ops)) {}
  // True while another operation may start. Any thread.
  bool Take() {
    if (counted_) return remaining_.fetch_sub(1, std::memory_order_relaxed) > 0;
    return Clock::now() < deadline_;
  }

 private:
  const Clock::time_point deadline_;
  const bool counted_;
  std::atomic<int64_t> remaining_;
};

struct Rate {
  double per_second = 0;
};

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---------------------------------------------------------------------------
// Requests kept in flight through the library: each completion starts the next
// request on the same slot from inside the callback until the budget runs out.

enum class Access { kRandomRead, kRandomWrite, kSequentialRead };

struct Flight;

struct Slot {
  Flight* flight = nullptr;
  uint64_t handle = 0;
  std::vector<char> buffer;
  uint64_t done = 0;
  std::mt19937_64 random;
  std::atomic<uint64_t>* cursor = nullptr;  // next sequential offset of this slot's handle
};

struct Flight {
  Host* host = nullptr;
  Access access = Access::kRandomRead;
  uint64_t block = kSmall;
  std::unique_ptr<Budget> budget;
  std::atomic<uint64_t> completed{0};
  std::atomic<int> active{0};
  std::atomic<int32_t> failure{0};
  Waiter finished;
};

void Issue(Slot& slot);

void OnComplete(void* context, int32_t code) {
  Slot& slot = *static_cast<Slot*>(context);
  Flight& flight = *slot.flight;
  if (code != 0) flight.failure.store(code);
  flight.completed.fetch_add(1, std::memory_order_relaxed);
  if (code == 0 && flight.budget->Take()) return Issue(slot);
  if (flight.active.fetch_sub(1) == 1) flight.finished.Set(0);
}

void Issue(Slot& slot) {
  Flight& flight = *slot.flight;
  const zykfs_ops_t& ops = flight.host->ops();
  uint64_t offset;
  if (flight.access == Access::kSequentialRead) {
    offset = slot.cursor->fetch_add(flight.block, std::memory_order_relaxed) % kFileSize;
  } else {
    offset = slot.random() % (kFileSize / flight.block) * flight.block;
  }
  if (flight.access == Access::kRandomWrite) {
    ops.write(flight.host->mount(), slot.handle, slot.buffer.data(), flight.block, offset, &slot.done, OnComplete,
              &slot);
  } else {
    ops.read(flight.host->mount(), slot.handle, slot.buffer.data(), flight.block, offset, &slot.done, OnComplete,
             &slot);
  }
}

Rate RunFlight(Host& host, const std::vector<uint64_t>& handles, int in_flight, Access access, uint64_t block) {
  Flight flight;
  flight.host = &host;
  flight.access = access;
  flight.block = block;
  flight.budget = std::make_unique<Budget>(g_options.ops);
  std::vector<std::atomic<uint64_t>> cursors(handles.size());
  std::vector<std::unique_ptr<Slot>> slots;
  for (size_t h = 0; h < handles.size(); ++h) {
    for (int i = 0; i < in_flight; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->flight = &flight;
      slot->handle = handles[h];
      slot->buffer.assign(block, 'x');
      slot->random.seed(h * 1000 + i + 1);
      slot->cursor = &cursors[h];
      slots.push_back(std::move(slot));
    }
  }
  flight.active = static_cast<int>(slots.size());
  auto start = Clock::now();
  for (auto& slot : slots) {
    if (flight.budget->Take()) {
      Issue(*slot);
    } else if (flight.active.fetch_sub(1) == 1) {
      flight.finished.Set(0);
    }
  }
  flight.finished.Wait();
  double elapsed = Seconds(start);
  if (flight.failure.load() != 0) Fail("request failed", flight.failure.load());
  return Rate{flight.completed.load() / elapsed};
}

// The same access pattern through pread/pwrite, one thread per descriptor.
Rate RunSyscalls(const std::string& path, int threads, Access access, uint64_t block) {
  std::atomic<uint64_t> total{0};
  std::vector<std::thread> workers;
  auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      int fd = ::open(path.c_str(), access == Access::kRandomWrite ? O_RDWR : O_RDONLY);
      if (fd < 0) Fail("open " + path);
      std::vector<char> buffer(block, 'y');
      std::mt19937_64 random(t + 1);
      uint64_t cursor = 0;
      uint64_t count = 0;
      Budget budget;
      while (budget.Take()) {
        uint64_t offset;
        if (access == Access::kSequentialRead) {
          offset = cursor;
          cursor = (cursor + block) % kFileSize;
        } else {
          offset = random() % (kFileSize / block) * block;
        }
        ssize_t n = access == Access::kRandomWrite ? ::pwrite(fd, buffer.data(), block, offset)
                                                   : ::pread(fd, buffer.data(), block, offset);
        if (n != static_cast<ssize_t>(block)) Fail("pread/pwrite");
        ++count;
      }
      ::close(fd);
      total += count;
    });
  }
  for (auto& worker : workers) worker.join();
  return Rate{total.load() / Seconds(start)};
}

// One request at a time through the library, the next one made from the
// previous one's callback: `issue` makes one call answering to (done, context).
struct Chain {
  std::function<void(zykfs_callback_t, void*)> issue;
  std::unique_ptr<Budget> budget;
  uint64_t count = 0;
  int32_t failure = 0;
  Waiter finished;

  static void Next(void* self, int32_t code) {
    auto& chain = *static_cast<Chain*>(self);
    if (code != 0) chain.failure = code;
    ++chain.count;
    if (code == 0 && chain.budget->Take()) return chain.issue(&Chain::Next, self);
    chain.finished.Set(0);
  }
};

Rate RunSerial(std::function<void(zykfs_callback_t, void*)> issue) {
  Chain chain;
  chain.issue = std::move(issue);
  chain.budget = std::make_unique<Budget>(g_options.ops);
  auto start = Clock::now();
  chain.issue(&Chain::Next, &chain);
  chain.finished.Wait();
  if (chain.failure != 0) Fail("request failed", chain.failure);
  return Rate{chain.count / Seconds(start)};
}

Rate RunSerialSyscall(const std::function<void()>& call) {
  Budget budget;
  uint64_t count = 0;
  auto start = Clock::now();
  while (budget.Take()) {
    call();
    ++count;
  }
  return Rate{count / Seconds(start)};
}

// ---------------------------------------------------------------------------
// Scratch tree

void WriteFile(const std::string& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) Fail("create " + path);
  std::vector<char> chunk(1 << 20);
  std::mt19937_64 random(7);
  for (auto& byte : chunk) byte = static_cast<char>(random());
  for (uint64_t at = 0; at < size; at += chunk.size()) {
    if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) Fail("write " + path);
  }
  ::close(fd);
}

// Stores kFileSize bytes in an archive through the library (1 MiB writes).
void WriteArchive(Host& host, const std::string& name) {
  uint64_t handle = host.Open(name, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE);
  std::vector<char> chunk(1 << 20);
  std::mt19937_64 random(7);
  for (auto& byte : chunk) byte = static_cast<char>(random());
  for (uint64_t at = 0; at < kFileSize; at += chunk.size()) {
    uint64_t done = 0;
    Waiter waiter;
    host.ops().write(host.mount(), handle, chunk.data(), chunk.size(), at, &done, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("archive write", code);
  }
  host.Close(handle);
}

void MakeListing(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0755) != 0) Fail("mkdir " + dir);
  char name[32];
  for (int i = 0; i < kListingEntries; ++i) {
    std::snprintf(name, sizeof(name), "/entry%06d", i);
    int fd = ::open((dir + name).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) Fail("create listing entry");
    ::close(fd);
  }
}

// Lists `path` through the library; returns the number of entries.
uint64_t ListThroughLibrary(Host& host, const char* path) {
  uint64_t handle = 0;
  Waiter waiter;
  host.ops().opendir(host.mount(), path, &handle, &Waiter::Done, &waiter);
  if (int32_t code = waiter.Wait()) Fail("opendir", code);
  std::vector<char> buffer(256 * 1024);
  uint64_t entries = 0;
  for (bool end = false; !end;) {
    zykfs_readdir_status_t status{buffer.data(), buffer.size()};
    host.ops().readdir(host.mount(), handle, &status, &Waiter::Done, &waiter);
    if (int32_t code = waiter.Wait()) Fail("readdir", code);
    for (uint64_t at = 0; at < status.size;) {
      uint16_t length;
      std::memcpy(&length, buffer.data() + at + 8, sizeof(length));
      if (length == 0) {
        end = true;
        break;
      }
      ++entries;
      at += 11 + length;
    }
  }
  host.ops().closedir(host.mount(), handle, &Waiter::Done, &waiter);
  if (int32_t code = waiter.Wait()) Fail("closedir", code);
  return entries;
}

uint64_t ListThroughLibc(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) Fail("opendir " + path);
  uint64_t entries = 0;
  while (::readdir(dir) != nullptr) ++entries;
  ::closedir(dir);
  return entries;
}

// ---------------------------------------------------------------------------
// Rows

struct Row {
  std::string name;
  std::string unit;
  std::function<Rate()> library;
  std::function<Rate()> baseline;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void RunRow(const Row& row) {
  std::vector<double> library;
  std::vector<double> baseline;
  for (int round = 0; round < g_options.rounds; ++round) {
    if (!g_options.skip_baseline) baseline.push_back(row.baseline().per_second);
    library.push_back(row.library().per_second);
  }
  double lib = Median(library);
  if (g_options.skip_baseline) {
    std::printf("%-44s %12.0f %12s %7s  %s\n", row.name.c_str(), lib, "-", "-", row.unit.c_str());
  } else {
    double base = Median(baseline);
    std::printf("%-44s %12.0f %12.0f %7.2f  %s\n", row.name.c_str(), lib, base, lib / base, row.unit.c_str());
  }
  std::fflush(stdout);
}

bool Selected(const std::string& name) {
  return g_options.filter.empty() || name.find(g_options.filter) != std::string::npos;
}

void ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail("missing value for " + arg);
      return argv[++i];
    };
    if (arg == "--library") {
      g_options.library = value();
    } else if (arg == "--dir") {
      g_options.dir = value();
    } else if (arg == "--seconds") {
      g_options.seconds = std::atof(value().c_str());
    } else if (arg == "--rounds") {
      g_options.rounds = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--filter") {
      g_options.filter = value();
    } else if (arg == "--ops") {
      g_options.ops = std::strtoull(value().c_str(), nullptr, 10);
    } else if (arg == "--skip-baseline") {
      g_options.skip_baseline = true;
    } else {
      std::fprintf(stderr,
                   "usage: host_bench [--library PATH] [--dir DIR] [--seconds S] [--rounds N]\n"
                   "                  [--filter TEXT] [--ops N] [--skip-baseline]\n");
      std::exit(arg == "--help" ? 0 : 2);
    }
  }
  if (g_options.ops != 0) g_options.rounds = 1;
}

}  // namespace

int main(int argc, char** argv) {
  ParseOptions(argc, argv);
  std::string base = g_options.dir;
  if (base.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/host_bench.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
    base = pattern;
  }
  const std::string plain = base + "/plain.bin";
  const std::string listing = base + "/listing";
  WriteFile(plain, kFileSize);
  bool want_listing = Selected("listing");
  if (want_listing) MakeListing(listing);

  Host host(g_options.library, base);
  const std::string archive_name = "archive.QMV";
  bool want_archive = Selected("archive");
  if (want_archive) WriteArchive(host, archive_name);

  std::vector<uint64_t> read_handles;
  std::vector<uint64_t> write_handles;
  for (int i = 0; i < kHandles; ++i) {
    read_handles.push_back(host.Open("plain.bin", ZYKFS_OPEN_READ));
    write_handles.push_back(host.Open("plain.bin", ZYKFS_OPEN_READ_WRITE));
  }
  std::vector<uint64_t> one_read{read_handles[0]};
  std::vector<uint64_t> one_write{write_handles[0]};

  std::vector<Row> rows;
  for (int depth : {1, 8, 32}) {
    std::string d = std::to_string(depth);
    rows.push_back({"random 4K read, 1 handle, " + d + " in flight", "reads/s (vs pread, 1 thread)",
                    [&, depth] { return RunFlight(host, one_read, depth, Access::kRandomRead, kSmall); },
                    [&] { return RunSyscalls(plain, 1, Access::kRandomRead, kSmall); }});
    rows.push_back({"random 4K read, 8 handles x " + d + " in flight", "reads/s (vs pread, 8 threads)",
                    [&, depth] { return RunFlight(host, read_handles, depth, Access::kRandomRead, kSmall); },
                    [&] { return RunSyscalls(plain, kHandles, Access::kRandomRead, kSmall); }});
  }
  for (int depth : {1, 8, 32}) {
    std::string d = std::to_string(depth);
    rows.push_back({"random 4K write, 1 handle, " + d + " in flight", "writes/s (vs pwrite, 1 thread)",
                    [&, depth] { return RunFlight(host, one_write, depth, Access::kRandomWrite, kSmall); },
                    [&] { return RunSyscalls(plain, 1, Access::kRandomWrite, kSmall); }});
    rows.push_back({"random 4K write, 8 handles x " + d + " in flight", "writes/s (vs pwrite, 8 threads)",
                    [&, depth] { return RunFlight(host, write_handles, depth, Access::kRandomWrite, kSmall); },
                    [&] { return RunSyscalls(plain, kHandles, Access::kRandomWrite, kSmall); }});
  }
  for (uint64_t block : {64ull << 10, 1ull << 20}) {
    std::string b = block == (1u << 20) ? "1M" : "64K";
    for (int depth : {1, 32}) {
      std::string d = std::to_string(depth);
      rows.push_back({"sequential " + b + " read, 1 handle, " + d + " in flight", "reads/s (vs pread, 1 thread)",
                      [&, depth, block] { return RunFlight(host, one_read, depth, Access::kSequentialRead, block); },
                      [&, block] { return RunSyscalls(plain, 1, Access::kSequentialRead, block); }});
    }
  }
  const std::string plain_full = plain;
  rows.push_back({"stat by path", "stats/s (vs lstat)",
                  [&] {
                    zykfs_stat_t status;
                    return RunSerial([&](zykfs_callback_t done, void* waiter) {
                      host.ops().stat(host.mount(), "plain.bin", &status, done, waiter);
                    });
                  },
                  [&] {
                    struct stat status;
                    return RunSerialSyscall([&] {
                      if (::lstat(plain_full.c_str(), &status) != 0) Fail("lstat");
                    });
                  }});
  rows.push_back({"open+close existing file", "pairs/s (vs open+close)",
                  [&] {
                    // The open's callback makes the close, whose callback answers the chain.
                    struct Pair {
                      Host* host;
                      uint64_t handle = 0;
                      zykfs_callback_t done = nullptr;
                      void* context = nullptr;
                      static void Opened(void* self, int32_t code) {
                        auto& pair = *static_cast<Pair*>(self);
                        if (code != 0) return pair.done(pair.context, code);
                        pair.host->ops().close(pair.host->mount(), pair.handle, pair.done, pair.context);
                      }
                    } pair{&host};
                    return RunSerial([&](zykfs_callback_t done, void* context) {
                      pair.done = done;
                      pair.context = context;
                      host.ops().open(host.mount(), "plain.bin", ZYKFS_OPEN_READ | ZYKFS_OPEN_NO_LOCK, &pair.handle,
                                      &Pair::Opened, &pair);
                    });
                  },
                  [&] {
                    return RunSerialSyscall([&] {
                      int fd = ::open(plain_full.c_str(), O_RDONLY);
                      if (fd < 0) Fail("open");
                      ::close(fd);
                    });
                  }});
  // New names: each small file is created, written and closed (the close syncs
  // it and, for a new name, its directory); renames go back and forth.
  const std::string fresh_dir = base + "/fresh";
  if (Selected("small file") || Selected("rename")) {
    if (::mkdir(fresh_dir.c_str(), 0755) != 0) Fail("mkdir " + fresh_dir);
  }
  uint64_t fresh_count = 0;
  rows.push_back({"small file create+write 4K+close", "files/s (vs open+write+fsync+close)",
                  [&] {
                    struct Steps {
                      Host* host;
                      std::string name;
                      uint64_t handle = 0;
                      uint64_t done = 0;
                      char data[kSmall] = {};
                      zykfs_callback_t finish = nullptr;
                      void* context = nullptr;
                      static void Opened(void* self, int32_t code) {
                        auto& steps = *static_cast<Steps*>(self);
                        if (code != 0) return steps.finish(steps.context, code);
                        steps.host->ops().write(steps.host->mount(), steps.handle, steps.data, kSmall, 0, &steps.done,
                                                &Steps::Written, self);
                      }
                      static void Written(void* self, int32_t code) {
                        auto& steps = *static_cast<Steps*>(self);
                        if (code != 0) return steps.finish(steps.context, code);
                        steps.host->ops().close(steps.host->mount(), steps.handle, &Steps::Closed, self);
                      }
                      // The write's call may not have returned yet: busy, so close again.
                      static void Closed(void* self, int32_t code) {
                        auto& steps = *static_cast<Steps*>(self);
                        if (code == ZYKFS_E_BUSY) return Written(self, 0);
                        steps.finish(steps.context, code);
                      }
                    };
                    auto steps = std::make_unique<Steps>();
                    steps->host = &host;
                    return RunSerial([&](zykfs_callback_t done, void* context) {
                      steps->finish = done;
                      steps->context = context;
                      steps->name = "fresh/lib" + std::to_string(fresh_count++);
                      host.ops().open(host.mount(), steps->name.c_str(),
                                      ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_NO_LOCK, &steps->handle,
                                      &Steps::Opened, steps.get());
                    });
                  },
                  [&] {
                    char data[kSmall] = {};
                    return RunSerialSyscall([&] {
                      std::string name = fresh_dir + "/sys" + std::to_string(fresh_count++);
                      int fd = ::open(name.c_str(), O_RDWR | O_CREAT, 0644);
                      if (fd < 0 || ::pwrite(fd, data, kSmall, 0) != static_cast<ssize_t>(kSmall) || ::fsync(fd) != 0)
                        Fail("create " + name);
                      ::close(fd);
                    });
                  }});
  bool renamed = false;
  rows.push_back({"rename", "renames/s (vs rename(2))",
                  [&] {
                    host.Close(host.Open("fresh/renamed_a", ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE));
                    return RunSerial([&](zykfs_callback_t done, void* context) {
                      const char* from = renamed ? "fresh/renamed_b" : "fresh/renamed_a";
                      const char* to = renamed ? "fresh/renamed_a" : "fresh/renamed_b";
                      renamed = !renamed;
                      host.ops().rename(host.mount(), from, to, done, context);
                    });
                  },
                  [&] {
                    const std::string a = fresh_dir + "/sys_a", b = fresh_dir + "/sys_b";
                    WriteFile(a, 0);
                    bool flip = false;
                    return RunSerialSyscall([&] {
                      if (::rename(flip ? b.c_str() : a.c_str(), flip ? a.c_str() : b.c_str()) != 0) Fail("rename");
                      flip = !flip;
                    });
                  }});
  if (want_listing) {
    rows.push_back({"listing 100000 entries", "entries/s (vs readdir(3))",
                    [&] {
                      auto start = Clock::now();
                      uint64_t entries = ListThroughLibrary(host, "listing");
                      return Rate{entries / Seconds(start)};
                    },
                    [&] {
                      auto start = Clock::now();
                      uint64_t entries = ListThroughLibc(listing);
                      return Rate{entries / Seconds(start)};
                    }});
  }
  std::vector<uint64_t> archive_handle;
  if (want_archive) {
    archive_handle.push_back(host.Open(archive_name, ZYKFS_OPEN_READ));
    for (int depth : {1, 32}) {
      std::string d = std::to_string(depth);
      rows.push_back({"archive: random 4K read, " + d + " in flight", "reads/s (vs pread of plain file)",
                      [&, depth] { return RunFlight(host, archive_handle, depth, Access::kRandomRead, kSmall); },
                      [&] { return RunSyscalls(plain, 1, Access::kRandomRead, kSmall); }});
      rows.push_back({"archive: sequential 64K read, " + d + " in flight", "reads/s (vs pread of plain file)",
                      [&, depth] { return RunFlight(host, archive_handle, depth, Access::kSequentialRead, 64 << 10); },
                      [&] { return RunSyscalls(plain, 1, Access::kSequentialRead, 64 << 10); }});
    }
  }

  std::printf("%-44s %12s %12s %7s  %s\n", "row", "library", "syscalls", "ratio", "unit");
  for (const Row& row : rows) {
    if (Selected(row.name)) RunRow(row);
  }

  for (uint64_t handle : archive_handle) host.Close(handle);
  for (uint64_t handle : read_handles) host.Close(handle);
  for (uint64_t handle : write_handles) host.Close(handle);
  if (g_options.dir.empty()) {
    std::string command = "rm -rf '" + base + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "host_bench: could not remove %s\n", base.c_str());
  }
  return 0;
}
