// UTF-8 to UTF-16 and back, as host paths and listed names travel.

#include "core/common/utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Utf8, DecodesTable) {
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
      {"\xC0\xAF", u"/", false},                                    // overlong
      {"\xE0\x80\xAF", u"/", false},                                // overlong
      {"\xF0\x82\x82\xAC", u"\u20AC", false},                       // overlong
      {"\xF4\x90\x80\x80", u"\uFFFD", false},                       // above U+10FFFF
      {"a\x80z", u"a\uFFFDz", false},                               // stray continuation
      {"\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD", false},
      {"\xE2\x82z", u"\uFFFD\uFFFDz", false},  // cut short
  };
  for (const Case& c : cases) {
    std::u16string out;
    EXPECT_EQ(Common::DecodeUtf8(c.text, out), c.ok) << c.text;
    EXPECT_EQ(out, c.expected) << c.text;
  }
  std::u16string out = u"stale";
  EXPECT_FALSE(Common::DecodeUtf8(nullptr, out));
  EXPECT_TRUE(out.empty());
}

TEST(Utf8, EncodingRoundTripsWhatTheDecoderAccepts) {
  const char* texts[] = {"abc", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80!", "\xED\xA0\x80", "\xEF\xA2\x80"};
  for (const char* text : texts) {
    std::u16string wide;
    ASSERT_TRUE(Common::DecodeUtf8(text, wide));
    EXPECT_EQ(Common::EncodeUtf8(wide.c_str()), text);
  }
  EXPECT_EQ(Common::EncodeUtf8(nullptr), "");
}

}  // namespace
