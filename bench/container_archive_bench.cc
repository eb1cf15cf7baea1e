// Throughput of a container archive against a plain posix_file on the same disk:
// sequential write and read (size in MiB as the argument), and random 4 KiB
// overwrites and first writes (into a file of that size that holds no data yet)
// with a commit every 1,000 writes. The *Ratio benchmarks time both
// in one run and report archive speed / plain speed as the counter "ratio".

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/backup/container_api.h"
#include "core/backup/container_archive.h"
#include "core/file/unix/posix_dir.h"

namespace {

constexpr size_t kChunk = 1 << 20;

struct Scratch {
  std::string path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zyk_bench_XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path); }
};

std::vector<char> Data(size_t size) {
  std::vector<char> data(size);
  std::mt19937_64 random(1);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t v = random();
    std::memcpy(&data[i], &v, 8);
  }
  return data;
}

std::unique_ptr<rio_file> PlainFile(rio_dir& dir, bool create) {
  rio_file* file = create ? dir.CreateIO(u"plain.bin", false, nullptr) : dir.OpenIO(u"plain.bin", false);
  return std::unique_ptr<rio_file>(file);
}

std::unique_ptr<backupmedia::ContainerArchive> Archive(rio_dir& dir, bool create) {
  Common::Error error;
  backupmedia::ArchiveParameters parameters;
  if (create) return backupmedia::CreateContainerArchive(&dir, u"bench.qmv", nullptr, &parameters, error, false);
  return backupmedia::AppendContainerArchive(&dir, u"bench.qmv", nullptr, &parameters, error, false);
}

double WriteAll(rio_file& file, const std::vector<char>& chunk, size_t total) {
  auto start = std::chrono::steady_clock::now();
  file.Seek(0);
  for (size_t written = 0; written < total; written += kChunk) {
    size_t done = 0;
    file.Write(chunk.data(), kChunk, done);
  }
  file.Flush();
  if (file.HasError()) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ReadAll(rio_file& file, size_t total) {
  std::vector<char> buffer(kChunk);
  auto start = std::chrono::steady_clock::now();
  file.Seek(0);
  for (size_t read = 0; read < total; read += kChunk) {
    size_t done = 0;
    file.Read(buffer.data(), kChunk, done);
    benchmark::DoNotOptimize(buffer.data());
  }
  if (file.HasError()) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reports the two throughputs in MiB/s and their ratio (archive over plain).
void ReportBytes(benchmark::State& state, size_t total, double plain_seconds, double archive_seconds) {
  double n = static_cast<double>(state.iterations());
  state.counters["plain_MiBps"] = total / 1048576.0 * n / plain_seconds;
  state.counters["archive_MiBps"] = total / 1048576.0 * n / archive_seconds;
  state.counters["ratio"] = plain_seconds / archive_seconds;
}

// Fills a plain file and an archive of `total` bytes each in `dir`.
void WriteBoth(rio_dir& dir, size_t total) {
  std::vector<char> chunk = Data(kChunk);
  auto plain = PlainFile(dir, true);
  WriteAll(*plain, chunk, total);
  auto archive = Archive(dir, true);
  WriteAll(*archive, chunk, total);
}

void SequentialWriteRatio(benchmark::State& state) {
  size_t total = static_cast<size_t>(state.range(0)) << 20;
  std::vector<char> chunk = Data(kChunk);
  double plain_seconds = 0, archive_seconds = 0;
  bool plain_first = true;
  for (auto _ : state) {
    // Alternate the order, so neither side always meets the other's writeback.
    Scratch scratch;
    auto dir = MakePosixDir(scratch.path);
    auto run_plain = [&] {
      auto plain = PlainFile(*dir, true);
      plain_seconds += WriteAll(*plain, chunk, total);
    };
    auto run_archive = [&] {
      auto archive = Archive(*dir, true);
      archive_seconds += WriteAll(*archive, chunk, total);
    };
    if (plain_first) {
      run_plain();
      run_archive();
    } else {
      run_archive();
      run_plain();
    }
    plain_first = !plain_first;
  }
  ReportBytes(state, total, plain_seconds, archive_seconds);
}

// A scratch directory holding a plain file and an archive of the benchmark's
// size in MiB (its first argument), both already written.
struct FilledDir {
  explicit FilledDir(const benchmark::State& state)
      : total(static_cast<size_t>(state.range(0)) << 20), dir(MakePosixDir(scratch.path)) {
    WriteBoth(*dir, total);
  }
  size_t total;
  Scratch scratch;
  std::unique_ptr<rio_dir> dir;
};

void SequentialReadRatio(benchmark::State& state) {
  FilledDir filled(state);
  double plain_seconds = 0, archive_seconds = 0;
  for (auto _ : state) {
    auto plain = PlainFile(*filled.dir, false);
    plain_seconds += ReadAll(*plain, filled.total);
    Common::Error error;
    auto archive = backupmedia::OpenContainerArchive(filled.dir.get(), u"bench.qmv", nullptr, error, false);
    archive_seconds += ReadAll(*archive, filled.total);
  }
  ReportBytes(state, filled.total, plain_seconds, archive_seconds);
}

double RandomOverwrites(rio_file& file, size_t total, size_t count) {
  std::vector<char> block = Data(4096);
  std::mt19937_64 random(7);
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 1; i <= count; ++i) {
    file.Seek(static_cast<int64_t>(random() % (total / 4096)) * 4096);
    size_t done = 0;
    file.Write(block.data(), block.size(), done);
    if (i % 1000 == 0) file.Flush();
  }
  file.Flush();
  if (file.HasError()) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void RandomOverwriteRatio(benchmark::State& state) {
  FilledDir filled(state);
  size_t count = 10000;
  double plain_seconds = 0, archive_seconds = 0;
  for (auto _ : state) {
    auto plain = PlainFile(*filled.dir, false);
    plain_seconds += RandomOverwrites(*plain, filled.total, count);
    plain.reset();
    auto archive = Archive(*filled.dir, false);
    archive_seconds += RandomOverwrites(*archive, filled.total, count);
  }
  double n = static_cast<double>(state.iterations());
  state.counters["plain_writes_per_s"] = count * n / plain_seconds;
  state.counters["archive_writes_per_s"] = count * n / archive_seconds;
  state.counters["ratio"] = plain_seconds / archive_seconds;
}

// Random 4 KiB writes into files that have their size but no data yet: a sparse
// plain file, and a fresh archive grown by truncation.
void RandomFirstWriteRatio(benchmark::State& state) {
  size_t total = static_cast<size_t>(state.range(0)) << 20;
  size_t count = 10000;
  double plain_seconds = 0, archive_seconds = 0;
  for (auto _ : state) {
    Scratch scratch;
    auto dir = MakePosixDir(scratch.path);
    auto plain = PlainFile(*dir, true);
    plain->Truncate(total);
    plain_seconds += RandomOverwrites(*plain, total, count);
    plain.reset();
    auto archive = Archive(*dir, true);
    archive->Truncate(total);
    archive_seconds += RandomOverwrites(*archive, total, count);
  }
  double n = static_cast<double>(state.iterations());
  state.counters["plain_writes_per_s"] = count * n / plain_seconds;
  state.counters["archive_writes_per_s"] = count * n / archive_seconds;
  state.counters["ratio"] = plain_seconds / archive_seconds;
}

// The cost of returning freed space: random overwrites of one archive with
// punching off, of large freed runs only (the default) and of every freed
// block, in turn, in one run. "large_over_off" and "all_over_off" are the
// factors by which the random-overwrite ratio changes (1 = no cost); the
// "_cpu" ones compare the process's CPU time, which the machine's other load
// disturbs less than the elapsed time.
void RandomOverwriteSpaceReturnCost(benchmark::State& state) {
  using Mode = backupmedia::ContainerArchive::FreedSpace;
  const Mode modes[3] = {Mode::kKeep, Mode::kLargeRuns, Mode::kAll};
  // One archive per mode: holes punched by one mode must not slow another.
  FilledDir filled[3] = {FilledDir(state), FilledDir(state), FilledDir(state)};
  size_t count = 10000;
  double seconds[3] = {0, 0, 0}, cpu[3] = {0, 0, 0};
  size_t rotation = 0;
  for (auto _ : state) {
    for (size_t pass = 0; pass < 3; ++pass) {
      size_t mode = (pass + rotation) % 3;  // rotate the order between iterations
      auto archive = Archive(*filled[mode].dir, false);
      archive->SetReturnFreedSpace(modes[mode]);
      std::clock_t cpu_start = std::clock();
      seconds[mode] += RandomOverwrites(*archive, filled[mode].total, count);
      cpu[mode] += static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    }
    ++rotation;
  }
  double n = static_cast<double>(state.iterations());
  state.counters["off_writes_per_s"] = count * n / seconds[0];
  state.counters["large_over_off"] = seconds[0] / seconds[1];
  state.counters["all_over_off"] = seconds[0] / seconds[2];
  state.counters["large_over_off_cpu"] = cpu[0] / cpu[1];
  state.counters["all_over_off_cpu"] = cpu[0] / cpu[2];
}

}  // namespace

// Arguments: size in MiB (256, and 1024 for the full measurement); pick with --benchmark_filter.
BENCHMARK(SequentialWriteRatio)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(SequentialReadRatio)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RandomOverwriteRatio)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(RandomFirstWriteRatio)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(RandomOverwriteSpaceReturnCost)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(3);
