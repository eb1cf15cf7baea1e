// Helpers of the mount handler: the UTF-8 path decoder and GUID text.

#include "core/network/storage/backend/rio_dir/mount_handler.h"

#include <cstring>
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

// True for upper-case 8-4-4-4-12 hexadecimal with version 4 and variant 10.
bool IsVersion4Guid(const std::string& guid) {
  const char shape[] = "HHHHHHHH-HHHH-4HHH-VHHH-HHHHHHHHHHHH";
  if (guid.size() != sizeof(shape) - 1) return false;
  for (size_t i = 0; i < guid.size(); ++i) {
    const char c = guid[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    const bool variant = c != 0 && std::strchr("89AB", c) != nullptr;
    const bool fits = shape[i] == 'H' ? hex : shape[i] == 'V' ? variant : c == shape[i];
    if (!fits) return false;
  }
  return true;
}

TEST(MakeRandomGuid, IsAVersion4GuidInUpperCase) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string guid = Network::Storage::Backend::MakeRandomGuid();
    EXPECT_TRUE(IsVersion4Guid(guid)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace
