#include "core/backup/archive_name_generator.h"

#include <cstdint>
#include <optional>
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

struct Step {
  enum Kind { kName, kMatch, kMatchWithoutDir } kind;
  uint32_t number;
  std::u16string expected_name;  // kName
  bool expected_match = false;   // kMatch
};

Step Name(uint32_t number, std::u16string expected) { return {Step::kName, number, std::move(expected)}; }
Step Match(uint32_t number, bool expected) { return {Step::kMatch, number, u"", expected}; }
Step MatchWithoutDir(uint32_t number, bool expected) { return {Step::kMatchWithoutDir, number, u"", expected}; }

TEST(ArchiveNameGenerator, NamesVolumesAndMatchesNumbers) {
  struct Case {
    std::u16string name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {u"data.qmv", {Name(0, u"data.qmv"), Name(1, u"data1.qmv"), Name(12, u"data12.qmv"), Name(1, u"data1.qmv"),
                     Name(0, u"data.qmv")}},
      {u"store", {Name(1, u"store1"), Name(2, u"store2"), Name(0, u"store")}},
      {u"a.b/c", {Name(1, u"a.b/c1"), Name(2, u"a.b/c2")}},
      {u"x\\y.z\\w", {Name(3, u"x\\y.z\\w3")}},
      {u"dir/a.tar.qmv", {Name(7, u"dir/a.tar7.qmv")}},
      {u"data3.qmv", {Match(3, true), Name(1, u"data1.qmv"), Name(0, u"data.qmv"), Name(3, u"data3.qmv")}},
      {u"data3.qmv", {Match(4, false), Name(1, u"data31.qmv")}},
      {u"data112.qmv", {Match(12, true), Name(0, u"data1.qmv"), Name(5, u"data15.qmv")}},
      {u"/dir/12.qmv", {Match(12, false), Name(3, u"/dir/123.qmv"), MatchWithoutDir(12, true), Name(3, u"/dir/3.qmv")}},
      {u"12.qmv", {Match(12, false), Match(2, true), Name(0, u"1.qmv")}},
      {u"data.qmv", {Match(0, false), Name(0, u"data.qmv")}},
      // A suffix already in place stays part of the suffix when a match moves the base.
      {u"data5.qmv", {Name(7, u"data57.qmv"), Match(5, true), Name(2, u"data2.qmv")}},
      {u"data.qmv",
       {Name(0xFFFFFFFFu, u"data$1.qmv"), Name(0xFFFFFFFEu, u"data$2.qmv"), Name(4000000000u, u"data4000000000.qmv"),
        Name(4294967294u - 1, u"data"), Name(2, u"data2.qmv")}},
      {u"v$1.qmv", {Match(0xFFFFFFFFu, true), Name(1, u"v1.qmv")}},
  };
  SlashOnlyDir dir;
  for (const Case& c : cases) {
    ArchiveNameGenerator generator(c.name);
    for (const Step& step : c.steps) {
      SCOPED_TRACE(std::string(c.name.begin(), c.name.end()) + " step " + std::to_string(step.number));
      if (step.kind == Step::kName) {
        const char16_t* got = generator.GetName(step.number);
        ASSERT_NE(got, nullptr);
        std::u16string text(got);
        EXPECT_EQ(std::string(text.begin(), text.end()),
                  std::string(step.expected_name.begin(), step.expected_name.end()));
      } else {
        EXPECT_EQ(generator.MatchVolume(step.number, step.kind == Step::kMatch ? &dir : nullptr), step.expected_match);
      }
    }
  }
}

TEST(ArchiveNameGenerator, WithoutNameGivesNothing) {
  ArchiveNameGenerator generator(static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(generator.GetName(0), nullptr);
  EXPECT_EQ(generator.GetName(1), nullptr);
  EXPECT_FALSE(generator.MatchVolume(1, nullptr));
}

}  // namespace
