#include "core/common/locale.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/trace.h"
#include "support/test_support.h"

namespace {

using List = std::vector<std::string>;

TEST(Locale, NormalizesSettings) {
  const std::pair<const char*, const char*> cases[] = {{"zh_HK.UTF-8", "zh_TW"},
                                                       {"zh_Hant_TW", "zh_TW"},
                                                       {"en_UK", "en_GB"},
                                                       {"de_DE.UTF-8", "de"},
                                                       {"zh_CN", "zh"},
                                                       {"C", ""},
                                                       {"", ""},
                                                       {"pt_BR.UTF-8", "pt_BR"}};
  for (const auto& [raw, name] : cases) EXPECT_EQ(Common::NormalizeLocale(raw), name) << raw;
  EXPECT_EQ(Common::NormalizeLocale(nullptr), "");
}

// The library setting file wins over the system one, which wins over LANG;
// a file too short to hold a setting is ignored.
TEST(Locale, PreferenceListFromFilesOrLangWithCompanions) {
  const struct {
    const char* library;  // file contents; null: no file
    const char* system;
    const char* lang;
    List list;
  } cases[] = {
      {nullptr, nullptr, "zh_HK.UTF-8", {"zh_TW", "zh"}},
      {nullptr, nullptr, "es_MX", {"es", "es_ES"}},
      {nullptr, nullptr, "pt_BR.UTF-8", {"pt_BR", "pt"}},
      {nullptr, nullptr, "C", {"en"}},
      {nullptr, nullptr, nullptr, {"en"}},
      {nullptr, nullptr, "fr_FR", {"fr"}},
      {"LANG=de_DE\n", "LANG=pt_BR.UTF-8\n", "es_MX", {"de"}},
      {nullptr, "LANG=pt_BR.UTF-8\n", "es_MX", {"pt_BR", "pt"}},
      {"LANG=d", nullptr, "fr_FR", {"fr"}},
  };
  for (const auto& c : cases) {
    zyk_test::TempDir dir;
    if (c.library) std::ofstream(dir / "library") << c.library;
    if (c.system) std::ofstream(dir / "system") << c.system;
    EXPECT_EQ(Common::ComputeLocalePreferences((dir / "library").c_str(), (dir / "system").c_str(), c.lang), c.list)
        << (c.library ? c.library : "-") << " | " << (c.system ? c.system : "-") << " | " << (c.lang ? c.lang : "-");
  }
}

void SetTraceLevel(const char* value) {
  if (value)
    setenv("KPX_TRACE_LEVEL", value, 1);
  else
    unsetenv("KPX_TRACE_LEVEL");
  Common::ResetTraceLevelForTesting();
}

TEST(Trace, LevelComesFromTheExactValue) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"debug", 1}, {"info", 2}, {"Debug", 0}, {"debug ", 0}, {nullptr, 0}};
  for (const auto& [value, level] : cases) {
    SetTraceLevel(value);
    EXPECT_EQ(Common::GetTraceLevel(), level) << (value ? value : "(unset)");
  }
}

class RecordingSink : public Common::LogSink {
 public:
  void WriteLine(uint32_t, uint32_t level, uint32_t category, uint32_t, const char16_t* text) override {
    lines.push_back(text);
    last_level = level;
    last_category = category;
  }
  void WriteError(uint32_t, uint32_t, const Common::Error& error) override { errors.push_back(error.Code()); }
  std::vector<std::u16string> lines;
  std::vector<uint32_t> errors;
  uint32_t last_level = 0, last_category = 0;
};

TEST(Trace, LinesReachAnInstalledSinkOnlyWhenTracingIsOn) {
  RecordingSink sink;
  Common::SetLogSink(&sink);
  SetTraceLevel(nullptr);
  Common::Trace(ZYK_HERE, "off %d", 1);
  EXPECT_TRUE(sink.lines.empty());
  SetTraceLevel("info");
  Common::Trace(Common::SourceLocation{1, "core/x", "f", 42}, "value %d \xC3\xA9", 7);
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], u"core/x:42: value 7 \u00E9");
  EXPECT_EQ(sink.last_category, 0x203u);
  EXPECT_EQ(sink.last_level, 2u);
  Common::TraceError(1, Common::Error(0x40011, ZYK_HERE));
  EXPECT_EQ(sink.errors, std::vector<uint32_t>{0x40011});
  Common::SetLogSink(nullptr);
  SetTraceLevel(nullptr);
}

}  // namespace
