#include "core/common/locale.h"

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/trace.h"
#include "support/test_support.h"

namespace {

using Common::ComputeLocalePreferences;
using List = std::vector<std::string>;

TEST(Locale, NormalizesSettings) {
  struct Case {
    const char* raw;
    const char* name;
  } cases[] = {{"zh_HK.UTF-8", "zh_TW"}, {"zh_Hant_TW", "zh_TW"}, {"en_UK", "en_GB"}, {"de_DE.UTF-8", "de"},
               {"zh_CN", "zh"},         {"C", ""},             {"", ""},           {"pt_BR.UTF-8", "pt_BR"}};
  for (const Case& c : cases) EXPECT_EQ(Common::NormalizeLocale(c.raw), c.name) << c.raw;
  EXPECT_EQ(Common::NormalizeLocale(nullptr), "");
}

TEST(Locale, LangGivesTheListWithCompanions) {
  struct Case {
    const char* lang;
    List list;
  } cases[] = {{"zh_HK.UTF-8", {"zh_TW", "zh"}}, {"es_MX", {"es", "es_ES"}}, {"pt_BR.UTF-8", {"pt_BR", "pt"}},
               {"C", {"en"}},                     {nullptr, {"en"}},         {"fr_FR", {"fr"}}};
  for (const Case& c : cases)
    EXPECT_EQ(ComputeLocalePreferences("/nonexistent/a", "/nonexistent/b", c.lang), c.list)
        << (c.lang ? c.lang : "(unset)");
}

TEST(Locale, LibrarySettingOverridesSystemSettingAndLang) {
  zyk_test::TempDir dir;
  std::ofstream(dir / "library") << "LANG=de_DE\n";
  std::ofstream(dir / "system") << "LANG=pt_BR.UTF-8\n";
  EXPECT_EQ(ComputeLocalePreferences((dir / "library").c_str(), (dir / "system").c_str(), "es_MX"),
            List{"de"});
}

TEST(Locale, SystemSettingOverridesLang) {
  zyk_test::TempDir dir;
  std::ofstream(dir / "system") << "LANG=pt_BR.UTF-8\n";
  EXPECT_EQ(ComputeLocalePreferences((dir / "none").c_str(), (dir / "system").c_str(), "es_MX"),
            (List{"pt_BR", "pt"}));
}

TEST(Locale, ShortSettingFileIsIgnored) {
  zyk_test::TempDir dir;
  std::ofstream(dir / "library") << "LANG=d";
  EXPECT_EQ(ComputeLocalePreferences((dir / "library").c_str(), nullptr, "fr_FR"), List{"fr"});
}

TEST(Trace, LevelComesFromTheExactValue) {
  struct Case {
    const char* value;
    uint32_t level;
  } cases[] = {{"debug", 1}, {"info", 2}, {"Debug", 0}, {"debug ", 0}, {nullptr, 0}};
  for (const Case& c : cases) {
    if (c.value) setenv("KPX_TRACE_LEVEL", c.value, 1);
    else unsetenv("KPX_TRACE_LEVEL");
    Common::ResetTraceLevelForTesting();
    EXPECT_EQ(Common::GetTraceLevel(), c.level) << (c.value ? c.value : "(unset)");
  }
  unsetenv("KPX_TRACE_LEVEL");
  Common::ResetTraceLevelForTesting();
}

class RecordingSink : public Common::LogSink {
 public:
  void WriteLine(uint32_t, uint32_t level, uint32_t category, uint32_t, const char16_t* text) override {
    lines.push_back(text);
    last_level = level;
    last_category = category;
  }
  void WriteError(uint32_t, uint32_t level, const Common::Error& error) override {
    errors.push_back(error.Code());
    last_level = level;
  }
  std::vector<std::u16string> lines;
  std::vector<uint32_t> errors;
  uint32_t last_level = 0, last_category = 0;
};

TEST(Trace, LinesReachAnInstalledSinkOnlyWhenTracingIsOn) {
  RecordingSink sink;
  Common::SetLogSink(&sink);
  unsetenv("KPX_TRACE_LEVEL");
  Common::ResetTraceLevelForTesting();
  Common::Trace(ZYK_HERE, "off %d", 1);
  EXPECT_TRUE(sink.lines.empty());

  setenv("KPX_TRACE_LEVEL", "info", 1);
  Common::ResetTraceLevelForTesting();
  Common::Trace(Common::SourceLocation{1, "core/x", "f", 42}, "value %d \xC3\xA9", 7);
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0], u"core/x:42: value 7 \u00E9");
  EXPECT_EQ(sink.last_category, 0x203u);
  EXPECT_EQ(sink.last_level, 2u);

  Common::TraceError(1, Common::Error(0x40011, ZYK_HERE));
  EXPECT_EQ(sink.errors, std::vector<uint32_t>{0x40011});
  Common::SetLogSink(nullptr);
  unsetenv("KPX_TRACE_LEVEL");
  Common::ResetTraceLevelForTesting();
}

}  // namespace
