// Crash consistency, injected I/O errors and damaged input.

#include <random>

#include "support/fault_injection_fs.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using namespace container_test;
using zyk_test::CrashMode;
using zyk_test::FaultDir;
using zyk_test::FaultKind;
using zyk_test::FaultState;

// What a workload achieved before it stopped: the content of every completed
// commit, and the content of the commit in progress when a flush failed.
struct Outcome {
  std::vector<std::string> committed{""};
  bool failed = false;
  bool flush_failed = false;
  std::string in_progress;
};

// A first write of `first_write` bytes, then six commits of writes,
// overwrites, truncations and punches; stops at the first failure.
// Deterministic for a seed.
Outcome RunWorkload(ContainerArchive& archive, uint64_t seed, uint64_t bs, uint64_t first_write) {
  Outcome outcome;
  std::mt19937_64 random(seed);
  std::string model = Pattern(first_write, static_cast<uint32_t>(seed));
  size_t written = 0;
  archive.Write(model.data(), model.size(), written);
  for (int commit = 0; commit < 6; ++commit) {
    for (int step = 0; step < 4; ++step) {
      uint64_t kind = random() % 10;
      uint64_t offset = random() % (model.size() + (kind < 7 ? bs : 1));
      if (kind < 7) {
        uint64_t length = 1 + random() % (3 * bs);
        std::string bytes = Pattern(length, static_cast<uint32_t>(random()));
        size_t done = 0;
        archive.Seek(static_cast<int64_t>(offset));
        archive.Write(bytes.data(), bytes.size(), done);
        if (model.size() < offset + bytes.size()) model.resize(offset + bytes.size(), '\0');
        model.replace(offset, bytes.size(), bytes);
      } else if (kind < 9) {
        archive.Truncate(offset);
        model.resize(offset);
      } else {
        uint64_t length = random() % (4 * bs);
        ControlRequest request{kControlDeallocate, static_cast<int64_t>(offset), static_cast<int64_t>(length), nullptr};
        archive.IOCTL(&request);
        for (uint64_t i = offset; i < offset + length && i < model.size(); ++i) model[i] = '\0';
      }
      if ((outcome.failed = archive.HasError())) return outcome;
    }
    archive.Flush();
    if ((outcome.failed = outcome.flush_failed = archive.HasError())) {
      outcome.in_progress = model;
      return outcome;
    }
    outcome.committed.push_back(model);
  }
  return outcome;
}

struct Layout {
  const char* name;
  int64_t volume_size;
  uint64_t first_write;  // long enough to leave the cache in several volume writes, where volumes allow
};
const Layout kLayouts[] = {{"single", INT64_MAX, 2 * ContainerArchive::kVolumeWritePiece + 512}, {"split", 6 * 512, 0}};

// A new archive of 512-byte blocks behind a fault-injecting directory.
struct Faulty {
  explicit Faulty(const Layout& layout)
      : archive(Create(&dir, u"c.qmv", Parameters(512, layout.volume_size))), base(state->EventCount()) {
    // Every freed block is punched: a punch of a block some state still uses
    // shows as lost content or a failed check after the fault.
    archive->SetReturnFreedSpace(ContainerArchive::FreedSpace::kAll);
  }
  zyk_test::TempDir tmp;
  std::shared_ptr<FaultState> state = std::make_shared<FaultState>();
  FaultDir dir{MakePosixDir(tmp.path()), state};
  std::unique_ptr<ContainerArchive> archive;
  uint64_t base;  // the first event after creating the archive
};

// Events of one undisturbed run of the workload.
uint64_t WorkloadEvents(const Layout& layout, uint64_t seed) {
  Faulty run(layout);
  EXPECT_FALSE(RunWorkload(*run.archive, seed, 512, layout.first_write).failed);
  return run.state->EventCount() - run.base;
}

// The archive opens through a plain directory and holds the last completed
// commit, or the one in progress when its flush failed after the header
// reached the disk: never an error, never a mix. The checker finds neither
// corruption nor leaks: every state a header can name is whole.
void ExpectCommittedState(const std::string& root, const Outcome& outcome, const std::string& where) {
  auto dir = MakePosixDir(root);
  backupmedia::CheckReport report = backupmedia::CheckArchive(*dir, u"c.qmv");
  EXPECT_TRUE(report.Consistent()) << where << "\n" << Describe(report);
  Common::Error error;
  auto reader = OpenRead(dir.get(), u"c.qmv", &error);
  ASSERT_TRUE(reader) << where << ": " << error.ToString();
  std::string content = ReadAll(*reader);
  ASSERT_FALSE(reader->HasError()) << where << ": " << reader->LastError().ToString();
  ASSERT_TRUE(content == outcome.committed.back() || (outcome.flush_failed && content == outcome.in_progress))
      << where << ": content of size " << content.size() << " is neither the last commit ("
      << outcome.committed.back().size() << ") nor the one in progress";
}

TEST(ContainerCrash, EveryCrashPointLeavesACommittedState) {
  uint64_t seed = zyk_test::TestSeed();
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const uint64_t total = WorkloadEvents(layout, seed);
    const uint64_t step = std::max<uint64_t>(1, total / zyk_test::Scaled(total * 10, 1));
    for (uint64_t point = 0; point <= total; point += step) {
      for (CrashMode mode :
           {CrashMode::kDropUnsynced, CrashMode::kKeepUnsynced, CrashMode::kTearLast, CrashMode::kRandomSubset}) {
        Faulty run(layout);
        run.state->CrashAt(run.base + point);
        Outcome outcome = RunWorkload(*run.archive, seed, 512, layout.first_write);
        run.archive.reset();
        run.state->Heal();
        run.state->ApplyCrash(*MakePosixDir(run.tmp.path()), mode, seed + point);
        ExpectCommittedState(run.tmp.path(), outcome,
                             "crash at event " + std::to_string(point) + " mode " + std::to_string(int(mode)));
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(ContainerCrash, InjectedErrorsStopTheArchiveAndKeepTheLastCommit) {
  uint64_t seed = zyk_test::TestSeed();
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const uint64_t total = WorkloadEvents(layout, seed);
    for (uint64_t point = 0; point < total; ++point) {
      for (FaultKind kind : {FaultKind::kIoError, FaultKind::kDiskFull}) {
        Faulty run(layout);
        run.state->FailAt(run.base + point, kind);
        Outcome outcome = RunWorkload(*run.archive, seed, 512, layout.first_write);
        std::string where =
            "fault at event " + std::to_string(point) + (kind == FaultKind::kIoError ? " EIO" : " ENOSPC");
        const zyk_test::FaultEvent& event = run.state->Log()[run.base + point];
        // A failed attempt at the reader lock only means "readers present".
        bool harmless = event.type == zyk_test::EventType::kLock && event.offset == 511;
        if (!harmless && run.state->FaultFired()) {
          ASSERT_TRUE(outcome.failed) << where;
          uint32_t code = run.archive->TakeError().Code();  // taken, as the mount does
          EXPECT_TRUE(code == Common::kErrReadFailed || code == Common::kErrDiskFull) << where << " " << code;
          size_t done = 1;
          run.archive->Write("x", 1, done);  // the archive still refuses further work
          EXPECT_EQ(done, 0u) << where;
          run.archive->Flush();
          EXPECT_EQ(run.archive->TakeError().Code(), code) << where;
        }
        run.archive.reset();
        ExpectCommittedState(run.tmp.path(), outcome, where);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Also: the checker never fails to finish on a flipped byte; a flip in the
// magic makes the file no archive at all, any other one is a corruption or
// leaves an archive that reads back whole.
TEST(ContainerDamage, EveryFlippedByteGivesAnErrorOrValidContent) {
  zyk_test::TempDir tmp;
  auto dir = MakePosixDir(tmp.path());
  std::string first = Pattern(1200, 1), second;
  {
    auto archive = Create(dir.get(), u"f.qmv", Parameters(512));
    WriteAt(*archive, 0, first);
    archive->Flush();
    WriteAt(*archive, 700, Pattern(900, 2));
    archive->Truncate(1500);
    archive->Flush();
    second = ReadAll(*archive);
  }
  const std::vector<uint8_t> original = FileBytes(tmp / "f.qmv");
  size_t errors = 0;
  FILE* file = std::fopen((tmp / "f.qmv").c_str(), "r+b");  // flips in place, and back
  ASSERT_NE(file, nullptr);
  auto put_byte = [&](size_t at, uint8_t value) {
    std::fseek(file, static_cast<long>(at), SEEK_SET);
    std::fputc(value, file);
    std::fflush(file);
  };
  for (size_t i = 0; i < original.size(); ++i) {
    if (i > 0) put_byte(i - 1, original[i - 1]);
    put_byte(i, original[i] ^ 0xFF);
    backupmedia::CheckReport report = backupmedia::CheckArchive(*dir, u"f.qmv");
    EXPECT_TRUE(report.Ran() || i < 4) << "byte " << i << ": " << report.check_error.ToString();
    Common::Error error;
    auto reader = OpenRead(dir.get(), u"f.qmv", &error);
    if (report.Consistent()) {
      ASSERT_TRUE(reader) << "byte " << i << ": checked consistent, " << error.ToString();
      ReadAll(*reader);
      EXPECT_FALSE(reader->HasError()) << "byte " << i << ": checked consistent, " << reader->LastError().ToString();
    }
    if (reader) {
      std::string content = ReadAll(*reader);
      if ((error = reader->LastError()).Ok()) {
        // Data blocks carry no checksum, so a flip there shows in the content;
        // the size comes from a checksummed header: the last or the previous commit.
        EXPECT_TRUE(content.size() == second.size() || content.size() == first.size()) << "byte " << i;
        continue;
      }
    }
    ++errors;
    uint32_t code = error.Code();
    EXPECT_TRUE(code == Common::kErrCorrupted || code == Common::kErrNotFound || code == Common::kErrLockFailed ||
                code == Common::kErrInvalidUsage || code == Common::kErrOldArchiveLayout)
        << "byte " << i << ": " << error.ToString();
  }
  std::fclose(file);
  EXPECT_GT(errors, 0u);
}

}  // namespace
