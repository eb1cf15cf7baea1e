#pragma once
// Shared helpers for tests: temporary directories and run sizes.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

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

}  // namespace zyk_test
