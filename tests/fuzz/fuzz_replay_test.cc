// Every fuzz target replays its committed corpus in the ordinary test build,
// so the sanitizer build of the tests runs every corpus input.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/fuzz_targets.h"

namespace {

class FuzzCorpus : public ::testing::TestWithParam<zyk_fuzz::Target> {};

TEST_P(FuzzCorpus, ReplaysEveryInput) {
  const std::filesystem::path folder = std::filesystem::path(ZYK_FUZZ_CORPUS) / GetParam().name;
  size_t inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().string());
    // A copy of exactly the input's size, so that a read past its end is seen.
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    EXPECT_EQ(GetParam().entry(input.get(), bytes.size()), 0);
    ++inputs;
  }
  EXPECT_GT(inputs, 0u) << "no corpus in " << folder;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::ValuesIn(zyk_fuzz::kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
