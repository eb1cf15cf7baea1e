// Names the mount handler acknowledged survive a power loss: creates, renames,
// swaps, directories and archives, with the crash dropping every name whose
// directory was not synced since it changed.

#include <map>
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/file/chroot.h"
#include "core/file/unix/posix_dir.h"
#include "core/network/storage/backend/rio_dir/file.h"
#include "core/network/storage/backend/rio_dir/local/container_dir.h"
#include "core/network/storage/backend/rio_dir/mount_handler.h"
#include "core/network/storage/common/task_manager.h"
#include "support/fault_injection_fs.h"
#include "support/test_support.h"

namespace {

using namespace Network::Storage::Backend;
using zyk_test::CrashMode;
using zyk_test::FaultDir;
using zyk_test::FaultState;

constexpr uint32_t kCreate = kOpenReadWrite | kOpenCreate;

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// What the host was told succeeded.
struct Acknowledged {
  std::map<std::string, std::string> files;
  std::set<std::string> directories;
};

// The served tree behind a fault-injecting directory, as the mount builds it.
struct FaultyMount {
  zyk_test::TempDir tmp;
  std::shared_ptr<FaultState> state = std::make_shared<FaultState>();
  std::unique_ptr<MountHandler> handler =
      MakeMountHandler(MakeTransparentContainerDir(
                           MakeChrootedDir(std::make_unique<FaultDir>(MakePosixDir(tmp.path()), state), u"/"), ".QMV"),
                       Network::Storage::CreateThreadPoolTaskManager());

  bool Put(const std::string& name, const std::string& data) {
    uint64_t handle = 0;
    if (handler->OpenOrCreateFile(name.c_str(), kCreate | kOpenTruncate, &handle)) return false;
    uint64_t done = 0;
    bool written = !handler->GetFileObject(handle)->Write(data.data(), data.size(), 0, &done);
    return !handler->CloseFile(handle) && written;
  }
};

// Random creates (plain and archive), directories, renames and swaps; stops at
// the first failure. Deterministic for a seed until then.
void RunWorkload(FaultyMount& mount, uint64_t seed, Acknowledged& done) {
  std::mt19937_64 random(seed);
  std::vector<std::string> places{""};
  auto pick = [&](auto& container) {
    auto it = container.begin();
    std::advance(it, random() % container.size());
    return it;
  };
  for (int step = 0; step < 24; ++step) {
    const std::string place = *pick(places);
    const std::string name = place + "n" + std::to_string(step) + (random() % 3 == 0 ? ".QMV" : "");
    switch (random() % 5) {
      case 0:
        if (mount.handler->MakeDir(name.c_str())) return;
        places.push_back(name + "/");
        done.directories.insert(name);
        break;
      case 1:
      case 2: {
        std::string data = "data of " + name + std::string(random() % 9000, 'x');
        if (!mount.Put(name, data)) return;
        done.files[name] = data;
        break;
      }
      case 3: {
        if (done.files.empty()) break;
        auto from = pick(done.files);
        const bool archive = from->first.size() > 4 && from->first.compare(from->first.size() - 4, 4, ".QMV") == 0;
        const std::string to = place + "r" + std::to_string(step) + (archive ? ".QMV" : "");
        if (mount.handler->Rename(from->first.c_str(), to.c_str())) return;
        done.files[to] = from->second;
        done.files.erase(from);
        break;
      }
      case 4: {
        std::vector<std::string> plain;
        for (const auto& [file, data] : done.files)
          if (file.find(".QMV") == std::string::npos) plain.push_back(file);
        if (plain.size() < 2) break;
        const std::string a = plain[random() % plain.size()], b = plain[random() % plain.size()];
        if (a == b) break;
        uint64_t first = 0, second = 0;
        if (mount.handler->OpenOrCreateFile(a.c_str(), kOpenReadWrite, &first)) return;
        if (mount.handler->OpenOrCreateFile(b.c_str(), kOpenReadWrite, &second)) return;
        // The swap is acknowledged by its own answer, whatever the closes say. A
        // swap that fails on the way (the crash) may leave its files anywhere
        // along its three renames: neither name is known any more.
        bool swapped = !mount.handler->Swap(first, second);
        if (swapped) {
          std::swap(done.files[a], done.files[b]);
        } else {
          done.files.erase(a);
          done.files.erase(b);
        }
        bool closed = !mount.handler->CloseFile(first) && !mount.handler->CloseFile(second);
        if (!swapped || !closed) return;
        break;
      }
    }
  }
}

TEST(DurableNames, EveryAcknowledgedNameSurvivesACrash) {
  const uint64_t seed = zyk_test::TestSeed();
  uint64_t events = 0;
  {
    FaultyMount full;
    Acknowledged done;
    RunWorkload(full, seed, done);
    events = full.state->EventCount();
  }
  // The last point is after the whole workload: a power loss right after the
  // last answer.
  const uint64_t points = zyk_test::Scaled(200, 12);
  for (uint64_t i = 1; i <= points; ++i) {
    const uint64_t crash_at = i == points ? UINT64_MAX : events * i / points;
    SCOPED_TRACE("crash at event " + std::to_string(crash_at));
    FaultyMount mount;
    mount.state->CrashAt(crash_at);
    Acknowledged done;
    RunWorkload(mount, seed, done);
    mount.handler.reset();
    mount.state->Heal();
    auto disk = MakePosixDir(mount.tmp.path());
    mount.state->ApplyCrash(*disk, CrashMode::kDropUnsynced, seed);

    auto reader = MakeTransparentContainerDir(MakeChrootedDir(MakePosixDir(mount.tmp.path()), u"/"), ".QMV");
    for (const auto& directory : done.directories) {
      std::unique_ptr<i_dir::iterator> entry(reader->GetIterator(Wide(directory).c_str()));
      EXPECT_TRUE(entry && !reader->HasError()) << directory;
      reader->ClearError();
    }
    for (const auto& [name, data] : done.files) {
      std::unique_ptr<rio_file> file(reader->OpenI(Wide(name).c_str(), true));
      ASSERT_TRUE(file) << name << " lost";
      std::string read(data.size() + 1, '\0');
      size_t count = 0;
      file->Read(read.data(), read.size(), count);
      EXPECT_EQ(read.substr(0, count), data) << name;
    }
  }
}

}  // namespace
