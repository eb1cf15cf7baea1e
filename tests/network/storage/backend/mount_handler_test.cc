// Helpers of the mount handler: the UTF-8 path decoder and GUID text.

#include "core/network/storage/backend/rio_dir/mount_handler.h"

#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/network/storage/backend/rio_dir/directory.h"

namespace {

using Network::Storage::Backend::DecodeUtf8Path;

TEST(DecodeUtf8Path, Table) {
  struct Case {
    const char* text;
    std::u16string expected;
    bool ok;
  };
  const Case cases[] = {
      {"", u"", true},
      {"plain/a b", u"plain/a b", true},
      {"\xC3\xA9", u"\u00E9", true},
      {"\xE2\x82\xAC", u"\u20AC", true},
      {"\xF0\x9F\x98\x80", u"\U0001F600", true},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", true},
      {"\xED\xA0\x80", std::u16string(1, char16_t(0xD800)), true},  // a lone surrogate travels as is
      {"\xC0\xAF", u"/", false},                                     // overlong
      {"\xE0\x80\xAF", u"/", false},                                 // overlong
      {"\xF0\x82\x82\xAC", u"\u20AC", false},                        // overlong
      {"\xF4\x90\x80\x80", u"\uFFFD", false},                        // above U+10FFFF
      {"a\x80z", u"a\uFFFDz", false},                                // stray continuation
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", false},
      {"\xE2\x82z", u"\uFFFD\uFFFDz", false},                        // cut short
  };
  for (const Case& c : cases) {
    std::u16string out;
    EXPECT_EQ(DecodeUtf8Path(c.text, out), c.ok) << c.text;
    EXPECT_EQ(out, c.expected) << c.text;
  }
  std::u16string out = u"stale";
  EXPECT_FALSE(DecodeUtf8Path(nullptr, out));
  EXPECT_TRUE(out.empty());
}

TEST(Utf16ToUtf8, RoundTripsWhatTheDecoderAccepts) {
  using Network::Storage::Backend::Utf16ToUtf8;
  const char* texts[] = {"abc", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80!", "\xED\xA0\x80", "\xEF\xA2\x80"};
  for (const char* text : texts) {
    std::u16string wide;
    ASSERT_TRUE(DecodeUtf8Path(text, wide));
    EXPECT_EQ(Utf16ToUtf8(wide.c_str()), text);
  }
  EXPECT_EQ(Utf16ToUtf8(nullptr), "");
}

TEST(MakeRandomGuid, IsAVersion4GuidInUpperCase) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string guid = Network::Storage::Backend::MakeRandomGuid();
    EXPECT_TRUE(std::regex_match(guid, form)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
