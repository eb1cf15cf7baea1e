#include "core/common/file_name.h"

#include <unicode/ucnv.h>

#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

using Common::NarrowFileName;
using Common::WidenFileName;

// Names are converted in the character set of a UTF-8 locale.
class FileName : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ucnv_setDefaultName("UTF-8"); }
};

TEST_F(FileName, ConvertsBetweenBytesAndEscapedText) {
  const struct {
    std::string bytes;
    UString wide;
  } both_ways[] = {
      {"", {}},
      {"plain/name.txt", u"plain/name.txt"},
      {"\xFF\xFE"
       "a",
       {0xF8FF, 0xF8FE, u'a'}},  // invalid bytes become escapes
      {"\xE2\x82\xAC/\xF0\x9F\x98\x80", {0x20AC, u'/', 0xD83D, 0xDE00}},
  };
  for (const auto& c : both_ways) {
    EXPECT_EQ(WidenFileName(c.bytes.c_str()), c.wide) << c.bytes;
    EXPECT_EQ(NarrowFileName(WidenFileName(c.bytes.c_str())), c.bytes);
  }
  UString escaped_inside = u"caf\u00E9";
  escaped_inside.push_back(0xF8A0);
  escaped_inside += u"\u00FCx";
  EXPECT_EQ(NarrowFileName(escaped_inside), "caf\xC3\xA9\xA0\xC3\xBCx");
  EXPECT_EQ(NarrowFileName(UString{u'a', 0xF8FF}), "a\xFF") << "ASCII with an escape";
  EXPECT_EQ(NarrowFileName(UString{u'a', 0xD800, u'b'}), "") << "a lone surrogate cannot be narrowed";
  // An escape character stored in a name on disk must not narrow to one raw byte.
  EXPECT_EQ(NarrowFileName(WidenFileName("a\xEF\xA3\x92z")), "a\xEF\xA3\x92z");
}

TEST_F(FileName, AnyByteStringSurvivesTheRoundTrip) {
  std::mt19937_64 random(zyk_test::TestSeed());
  const uint64_t rounds = zyk_test::Scaled(100000, 2000);
  for (uint64_t round = 0; round < rounds; ++round) {
    std::string bytes(1 + random() % 24, '\0');
    for (char& byte : bytes) {  // favour bytes that (almost) form multi-byte sequences
      uint64_t pick = random() % 4;
      byte = static_cast<char>(pick == 0   ? 0x20 + random() % 0x60
                               : pick == 1 ? 0x80 + random() % 0x40
                               : pick == 2 ? 0xC0 + random() % 0x40
                                           : 1 + random() % 255);
    }
    ASSERT_EQ(NarrowFileName(WidenFileName(bytes.c_str())), bytes) << "round " << round;
  }
}

// The converter is process-wide, so this runs in a fresh child process.
TEST(FileNameConverter, IsCreatedOnlyForNonAsciiNames) {
  EXPECT_EXIT(
      {
        ucnv_setDefaultName("UTF-8");
        bool ascii = NarrowFileName(u"plain/name") == "plain/name" && !Common::NameConverterCreated();
        bool other = NarrowFileName(u"\u00E9") == "\xC3\xA9" && Common::NameConverterCreated();
        std::exit(ascii && other ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
