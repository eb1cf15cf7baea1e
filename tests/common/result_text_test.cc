// Every result code the public header names has a text for hosts, the
// file-layer texts are those of the message catalog, and the header's manual
// page lists each code with its text.

#include <algorithm>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "core/common/error_codes.h"
#include "core/common/messages.h"
#include "support/test_support.h"
#include "zykfs/zykfs.h"

namespace {

using zyk_test::ReadFile;

// Name -> value of every "#define ZYKFS_OK" / "#define ZYKFS_E_..." in the header.
std::map<std::string, int32_t> ListedCodes() {
  std::istringstream source(ReadFile(ZYK_PUBLIC_HEADER));
  std::map<std::string, int32_t> codes;
  for (std::string line; std::getline(source, line);) {
    std::istringstream words(line);
    std::string directive, name, value;
    words >> directive >> name >> value;
    if (directive != "#define" || (name != "ZYKFS_OK" && name.rfind("ZYKFS_E_", 0) != 0)) continue;
    codes[name] = static_cast<int32_t>(std::stoul(value, nullptr, 0));
  }
  return codes;
}

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text);
  return out;
}

TEST(ResultText, EveryListedCodeHasItsSentence) {
  const std::map<std::string, int32_t> codes = ListedCodes();
  ASSERT_GT(codes.size(), 20u) << "the header's code list was not found";
  const std::string unknown = zykfs_result_text(-1);
  const std::string manual = ReadFile(ZYK_HEADER_MANUAL);
  for (const auto& [name, code] : codes) {
    std::string text = zykfs_result_text(code);
    EXPECT_NE(text, unknown) << name;
    EXPECT_EQ(text.back(), '.') << name;
    EXPECT_NE(manual.find(".BR " + name + " "), std::string::npos) << name << " is not in the manual page";
    EXPECT_NE(manual.find("\n" + text + "\n"), std::string::npos) << name << ": manual page lacks " << text;
    uint32_t message = Common::MessageIdOfCode(static_cast<uint32_t>(code));
    if (message != 0) {
      EXPECT_EQ(text, Narrow(Common::GetMessageText(message))) << name;
    }
  }
}

TEST(ResultText, EveryFileLayerCodeThatReachesHostsIsListed) {
  std::map<int32_t, std::string> names;
  for (const auto& [name, code] : ListedCodes()) names[code] = name;
  // These three reach the host as ZYKFS_E_NOT_FOUND, ZYKFS_E_EXISTS and ZYKFS_E_NOT_SUPPORTED.
  const uint32_t translated[] = {Common::kErrNotFound, Common::kErrExists, Common::kErrNotSupported};
  for (uint32_t code = 0x40000; code <= 0x400FF; ++code) {
    if (Common::MessageIdOfCode(code) == 0 ||
        std::find(std::begin(translated), std::end(translated), code) != std::end(translated))
      continue;
    EXPECT_TRUE(names.count(static_cast<int32_t>(code))) << std::hex << code;
  }
}

}  // namespace
