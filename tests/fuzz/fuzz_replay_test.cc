// Every fuzz target replays its committed corpus in the ordinary test build,
// so the sanitizer build of the tests runs every corpus input; then it meets
// damaged forms of those inputs, so that its checks run beyond the corpus in
// every build, not only under libFuzzer.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz/fuzz_targets.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FuzzCorpus : public ::testing::TestWithParam<zyk_fuzz::Target> {
 protected:
  std::vector<Bytes> ReadCorpus() {
    const std::filesystem::path folder = std::filesystem::path(ZYK_FUZZ_CORPUS) / GetParam().name;
    std::vector<Bytes> corpus;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    EXPECT_FALSE(corpus.empty()) << "no corpus in " << folder;
    return corpus;
  }
  // Runs a copy of exactly the input's size, so that a read past its end is seen.
  int Run(const Bytes& bytes) {
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    return GetParam().entry(input.get(), bytes.size());
  }
};

TEST_P(FuzzCorpus, ReplaysEveryInput) {
  std::vector<Bytes> corpus = ReadCorpus();
  for (size_t i = 0; i < corpus.size(); ++i) EXPECT_EQ(Run(corpus[i]), 0) << "input " << i;
}

// Corpus inputs with a few bits flipped, bytes replaced, cut short or grown.
TEST_P(FuzzCorpus, SurvivesDamagedInputs) {
  std::vector<Bytes> corpus = ReadCorpus();
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  for (uint64_t round = 0; round < zyk_test::Scaled(50000, 1000) && !corpus.empty(); ++round) {
    Bytes bytes = corpus[random() % corpus.size()];
    for (uint64_t edits = 1 + random() % 4; edits > 0; --edits) {
      const size_t at = bytes.empty() ? 0 : random() % bytes.size();
      switch (bytes.empty() ? 3 : random() % 4) {
        case 0: bytes[at] ^= static_cast<uint8_t>(1u << random() % 8); break;
        case 1: bytes[at] = static_cast<uint8_t>(random()); break;
        case 2: bytes.resize(at); break;
        default: bytes.insert(bytes.begin() + at, 1 + random() % 16, static_cast<uint8_t>(random()));
      }
    }
    ASSERT_EQ(Run(bytes), 0) << "round " << round << " of seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::ValuesIn(zyk_fuzz::kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
