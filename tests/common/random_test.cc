#include "core/common/random.h"

#include <array>
#include <set>

#include <gtest/gtest.h>

namespace {

TEST(FillRandom, FillsEveryByteAndDiffersBetweenCalls) {
  std::set<std::array<unsigned char, 16>> seen;
  for (int i = 0; i < 64; ++i) {
    std::array<unsigned char, 16> bytes{};
    Common::FillRandom(bytes.data(), bytes.size());
    seen.insert(bytes);
  }
  EXPECT_EQ(seen.size(), 64u);
  // Long buffers are filled to the end (the last bytes are not all zero).
  std::array<unsigned char, 4096> big{};
  Common::FillRandom(big.data(), big.size());
  int nonzero = 0;
  for (size_t i = big.size() - 64; i < big.size(); ++i) nonzero += big[i] != 0;
  EXPECT_GT(nonzero, 32);
}

}  // namespace
