#include "core/backup/archive_name_generator.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/file/dir_delegate.h"

namespace {

using backupmedia::ArchiveNameGenerator;

// A directory that only answers which characters separate path components.
class SlashOnlyDir : public rio_dir_delegate {
 public:
  SlashOnlyDir() : rio_dir_delegate(nullptr) {}
  bool IsPathSeparator(char16_t unit) override { return unit == u'/'; }
};

// A step either names volume `number` (`name` set) or matches it against the
// base name, with or without a directory that knows the separators.
struct Step {
  uint32_t number;
  std::u16string name;
  bool match = false;
  bool with_dir = true;
};
Step Match(uint32_t number, bool expected, bool with_dir = true) { return {number, u"", expected, with_dir}; }

TEST(ArchiveNameGenerator, NamesVolumesAndMatchesNumbers) {
  const std::pair<std::u16string, std::vector<Step>> cases[] = {
      {u"data.qmv", {{0, u"data.qmv"}, {1, u"data1.qmv"}, {12, u"data12.qmv"}, {1, u"data1.qmv"}, {0, u"data.qmv"}}},
      {u"store", {{1, u"store1"}, {2, u"store2"}, {0, u"store"}}},
      {u"a.b/c", {{1, u"a.b/c1"}, {2, u"a.b/c2"}}},
      {u"x\\y.z\\w", {{3, u"x\\y.z\\w3"}}},
      {u"dir/a.tar.qmv", {{7, u"dir/a.tar7.qmv"}}},
      {u"data3.qmv", {Match(3, true), {1, u"data1.qmv"}, {0, u"data.qmv"}, {3, u"data3.qmv"}}},
      {u"data3.qmv", {Match(4, false), {1, u"data31.qmv"}}},
      {u"data112.qmv", {Match(12, true), {0, u"data1.qmv"}, {5, u"data15.qmv"}}},
      {u"/dir/12.qmv", {Match(12, false), {3, u"/dir/123.qmv"}, Match(12, true, false), {3, u"/dir/3.qmv"}}},
      {u"12.qmv", {Match(12, false), Match(2, true), {0, u"1.qmv"}}},
      {u"data.qmv", {Match(0, false), {0, u"data.qmv"}}},
      // A suffix already in place stays part of the suffix when a match moves the base.
      {u"data5.qmv", {{7, u"data57.qmv"}, Match(5, true), {2, u"data2.qmv"}}},
      {u"data.qmv",
       {{0xFFFFFFFFu, u"data$1.qmv"},
        {0xFFFFFFFEu, u"data$2.qmv"},
        {4000000000u, u"data4000000000.qmv"},
        {4294967294u - 1, u"data"},
        {2, u"data2.qmv"}}},
      {u"v$1.qmv", {Match(0xFFFFFFFFu, true), {1, u"v1.qmv"}}},
  };
  SlashOnlyDir dir;
  auto narrow = [](const std::u16string& text) { return std::string(text.begin(), text.end()); };
  for (const auto& [base, steps] : cases) {
    ArchiveNameGenerator generator(base);
    for (const Step& step : steps) {
      SCOPED_TRACE(narrow(base) + " step " + std::to_string(step.number));
      if (step.name.empty()) {
        EXPECT_EQ(generator.MatchVolume(step.number, step.with_dir ? &dir : nullptr), step.match);
      } else {
        const char16_t* got = generator.GetName(step.number);
        EXPECT_EQ(narrow(got ? got : u"(null)"), narrow(step.name));
      }
    }
  }
  ArchiveNameGenerator unnamed(static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(unnamed.GetName(1), nullptr);
  EXPECT_FALSE(unnamed.MatchVolume(1, nullptr));
}

}  // namespace
