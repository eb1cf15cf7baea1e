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

TEST_F(FileName, InvalidBytesBecomeEscapesAndComeBack) {
  UString wide = WidenFileName("\xFF\xFE" "a");
  EXPECT_EQ(wide, (UString{0xF8FF, 0xF8FE, u'a'}));
  EXPECT_EQ(NarrowFileName(wide), "\xFF\xFE" "a");
}

TEST_F(FileName, EscapeInsideOrdinaryTextNarrowsToTheRawByte) {
  UString name = u"caf\u00E9";
  name.push_back(0xF8A0);
  name += u"\u00FCx";
  EXPECT_EQ(NarrowFileName(name), "caf\xC3\xA9\xA0\xC3\xBCx");
}

TEST_F(FileName, LoneSurrogateCannotBeNarrowed) {
  EXPECT_EQ(NarrowFileName(UString{u'a', 0xD800, u'b'}), "");
}

TEST_F(FileName, EmptyNamesStayEmpty) {
  EXPECT_EQ(NarrowFileName(UString()), "");
  EXPECT_EQ(WidenFileName(""), UString());
}

TEST_F(FileName, ValidUtf8WidensToItsCodePoints) {
  EXPECT_EQ(WidenFileName("\xE2\x82\xAC/\xF0\x9F\x98\x80"), (UString{0x20AC, u'/', 0xD83D, 0xDE00}));
}

TEST_F(FileName, AnyByteStringSurvivesTheRoundTrip) {
  std::mt19937_64 random(zyk_test::TestSeed());
  const uint64_t rounds = zyk_test::Scaled(100000, 2000);
  for (uint64_t round = 0; round < rounds; ++round) {
    std::string bytes(1 + random() % 24, '\0');
    for (char& byte : bytes) {
      // Favour bytes that form (or almost form) multi-byte sequences.
      uint64_t pick = random() % 4;
      byte = static_cast<char>(pick == 0 ? 0x20 + random() % 0x60 : pick == 1 ? 0x80 + random() % 0x40
                                                                 : pick == 2 ? 0xC0 + random() % 0x40
                                                                             : 1 + random() % 255);
    }
    ASSERT_EQ(NarrowFileName(WidenFileName(bytes.c_str())), bytes) << "round " << round;
  }
}

// The converter is process-wide, so these run in a fresh child process.
TEST(FileNameConverter, AsciiNarrowingDoesNotCreateTheConverter) {
  EXPECT_EXIT(
      {
        bool ok = NarrowFileName(u"plain/name") == "plain/name" && !Common::NameConverterCreated();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FileNameConverter, NonAsciiNarrowingCreatesTheConverter) {
  EXPECT_EXIT(
      {
        ucnv_setDefaultName("UTF-8");
        bool ok = NarrowFileName(u"\u00E9") == "\xC3\xA9" && Common::NameConverterCreated();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

TEST_F(FileName, NameHoldingAnEscapeCharacterItselfSurvivesTheRoundTrip) {
  // U+F8D2 encoded in UTF-8 is a valid name on disk; it must not narrow to one byte.
  const char bytes[] = "a\xEF\xA3\x92z";
  EXPECT_EQ(NarrowFileName(WidenFileName(bytes)), bytes);
}

}  // namespace
