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
// commit, and the content of the commit that was in progress when it failed.
struct Outcome {
  std::vector<std::string> committed;
  bool flush_failed = false;
  std::string in_progress;
  bool failed = false;
};

// Several commits of writes, overwrites, truncations and punches. Stops at the
// first failure. Deterministic for a seed.
Outcome RunWorkload(ContainerArchive& archive, uint64_t seed, uint32_t block_size) {
  Outcome outcome;
  outcome.committed.push_back("");
  std::mt19937_64 random(seed);
  std::string model;
  for (int commit = 0; commit < 6; ++commit) {
    for (int step = 0; step < 4; ++step) {
      uint64_t kind = random() % 10;
      if (kind < 7) {
        uint64_t offset = random() % (model.size() + block_size);
        uint64_t length = 1 + random() % (3 * block_size);
        std::string bytes = Pattern(length, static_cast<uint32_t>(random()));
        archive.Seek(static_cast<int64_t>(offset));
        size_t done = 0;
        archive.Write(bytes.data(), bytes.size(), done);
        if (archive.HasError()) {
          outcome.failed = true;
          return outcome;
        }
        if (model.size() < offset + length) model.resize(offset + length, '\0');
        model.replace(offset, length, bytes);
      } else if (kind < 9) {
        uint64_t size = random() % (model.size() + 1);
        archive.Truncate(size);
        if (archive.HasError()) {
          outcome.failed = true;
          return outcome;
        }
        model.resize(size);
      } else {
        uint64_t offset = random() % (model.size() + 1), length = random() % (4 * block_size);
        ControlRequest request{kControlDeallocate, static_cast<int64_t>(offset), static_cast<int64_t>(length), nullptr};
        archive.IOCTL(&request);
        if (archive.HasError()) {
          outcome.failed = true;
          return outcome;
        }
        uint64_t first = (offset + block_size - 1) / block_size * block_size;
        for (uint64_t i = first; i < (offset + length) / block_size * block_size && i < model.size(); ++i)
          model[i] = '\0';
      }
    }
    archive.Flush();
    if (archive.HasError()) {
      outcome.failed = outcome.flush_failed = true;
      outcome.in_progress = model;
      return outcome;
    }
    outcome.committed.push_back(model);
  }
  return outcome;
}

struct Layout {
  const char* name;
  uint32_t block_size;
  int64_t volume_size;
};
const Layout kLayouts[] = {{"single", 512, INT64_MAX}, {"split", 512, 6 * 512}};

// Opens the archive through a plain directory and checks it holds one of the
// states the outcome allows.
void ExpectCommittedState(const std::string& root, const Outcome& outcome, const std::string& where) {
  auto dir = MakePosixDir(root);
  Common::Error error;
  auto reader = OpenRead(dir.get(), u"c.qmv", &error);
  ASSERT_TRUE(reader) << where << ": " << error.ToString();
  std::string content = ReadAll(*reader);
  ASSERT_FALSE(reader->HasError()) << where << ": " << reader->LastError().ToString();
  bool last = content == outcome.committed.back();
  bool pending = outcome.flush_failed && content == outcome.in_progress;
  ASSERT_TRUE(last || pending) << where << ": content of size " << content.size() << " is neither the last commit ("
                               << outcome.committed.back().size() << ") nor the one in progress";
}

TEST(ContainerCrash, EveryCrashPointLeavesACommittedState) {
  uint64_t seed = zyk_test::TestSeed();
  const CrashMode modes[] = {CrashMode::kDropUnsynced, CrashMode::kKeepUnsynced, CrashMode::kTearLast,
                             CrashMode::kRandomSubset};
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    // Count the events of one undisturbed run.
    uint64_t total = 0;
    {
      zyk_test::TempDir tmp;
      auto state = std::make_shared<FaultState>();
      FaultDir dir(MakePosixDir(tmp.path()), state);
      auto archive = Create(&dir, u"c.qmv", Parameters(layout.block_size, layout.volume_size));
      uint64_t base = state->EventCount();
      Outcome outcome = RunWorkload(*archive, seed, layout.block_size);
      ASSERT_FALSE(outcome.failed);
      total = state->EventCount() - base;
    }
    uint64_t step = std::max<uint64_t>(1, total / zyk_test::Scaled(total * 10, 1));
    for (uint64_t point = 0; point <= total; point += step) {
      for (CrashMode mode : modes) {
        zyk_test::TempDir tmp;
        auto state = std::make_shared<FaultState>();
        auto inner = MakePosixDir(tmp.path());
        FaultDir dir(MakePosixDir(tmp.path()), state);
        auto archive = Create(&dir, u"c.qmv", Parameters(layout.block_size, layout.volume_size));
        state->CrashAt(state->EventCount() + point);
        Outcome outcome = RunWorkload(*archive, seed, layout.block_size);
        archive.reset();
        state->Heal();
        state->ApplyCrash(*inner, mode, seed + point);
        ExpectCommittedState(tmp.path(), outcome,
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
    uint64_t total = 0;
    {
      zyk_test::TempDir tmp;
      auto state = std::make_shared<FaultState>();
      FaultDir dir(MakePosixDir(tmp.path()), state);
      auto archive = Create(&dir, u"c.qmv", Parameters(layout.block_size, layout.volume_size));
      uint64_t base = state->EventCount();
      RunWorkload(*archive, seed, layout.block_size);
      total = state->EventCount() - base;
    }
    for (uint64_t point = 0; point < total; ++point) {
      for (FaultKind kind : {FaultKind::kIoError, FaultKind::kDiskFull}) {
        zyk_test::TempDir tmp;
        auto state = std::make_shared<FaultState>();
        FaultDir dir(MakePosixDir(tmp.path()), state);
        auto archive = Create(&dir, u"c.qmv", Parameters(layout.block_size, layout.volume_size));
        uint64_t index = state->EventCount() + point;
        state->FailAt(index, kind);
        Outcome outcome = RunWorkload(*archive, seed, layout.block_size);
        std::string where = "fault at event " + std::to_string(point) + (kind == FaultKind::kIoError ? " EIO" : " ENOSPC");
        const zyk_test::FaultEvent& event = state->Log()[index];
        // A failed attempt at the reader lock only means "readers present".
        bool harmless = event.type == zyk_test::EventType::kLock && event.offset == 511;
        if (!harmless && state->FaultFired()) {
          ASSERT_TRUE(outcome.failed) << where;
          uint32_t code = archive->LastError().Code();
          EXPECT_TRUE(code == Common::kErrReadFailed || code == Common::kErrDiskFull) << where << " " << code;
          // The archive refuses further work.
          size_t done = 1;
          archive->Write("x", 1, done);
          EXPECT_EQ(done, 0u) << where;
        }
        archive.reset();
        ExpectCommittedState(tmp.path(), outcome, where);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(ContainerDamage, EveryFlippedByteGivesAnErrorOrValidContent) {
  zyk_test::TempDir tmp;
  std::string first = Pattern(1200, 1), second;
  {
    auto dir = MakePosixDir(tmp.path());
    auto archive = Create(dir.get(), u"f.qmv", Parameters(512));
    WriteAt(*archive, 0, first);
    archive->Flush();
    WriteAt(*archive, 700, Pattern(900, 2));
    archive->Truncate(1500);
    archive->Flush();
    second = ReadAll(*archive);
  }
  const std::vector<uint8_t> original = FileBytes(tmp / "f.qmv");
  auto dir = MakePosixDir(tmp.path());
  size_t errors = 0;
  // Flip in place (and back), so the file is never rewritten as a whole.
  FILE* file = std::fopen((tmp / "f.qmv").c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  auto put_byte = [&](size_t at, uint8_t value) {
    std::fseek(file, static_cast<long>(at), SEEK_SET);
    std::fputc(value, file);
    std::fflush(file);
  };
  for (size_t i = 0; i < original.size(); ++i) {
    if (i > 0) put_byte(i - 1, original[i - 1]);
    put_byte(i, original[i] ^ 0xFF);
    Common::Error error;
    auto reader = OpenRead(dir.get(), u"f.qmv", &error);
    if (reader) {
      std::string content = ReadAll(*reader);
      error = reader->LastError();
      if (error.Ok()) {
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
