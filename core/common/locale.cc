#include "core/common/locale.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/common/unix/file_bytes_unix.h"

namespace Common {
namespace {

constexpr const char* kLibrarySettingPath = "/var/lib/Vantrel/Common/i18n";
constexpr const char* kSystemSettingPath = "/etc/i18n";

struct Alias {
  const char* prefix;
  const char* name;
};

constexpr Alias kAliases[] = {
    {"zh_TW", "zh_TW"}, {"zh_HK", "zh_TW"}, {"zh_MO", "zh_TW"}, {"zh_Hant", "zh_TW"},
    {"en_UK", "en_GB"}, {"es_ES", "es_ES"}, {"pt_BR", "pt_BR"}, {"en_GB", "en_GB"},
};

// A setting file holds a line such as LANG=de_DE: skip its first five bytes and
// read at most buffer_size - 1 bytes. Empty when the file gives nothing useful.
std::string ReadSettingFile(const char* path, size_t buffer_size) {
  std::string text = ReadFileBytes(path, 5, buffer_size - 1);
  if (text.size() <= 1) return std::string();
  return text;
}

// The companion name that follows a name in the preference list, if any.
const char* CompanionOf(const std::string& name) {
  if (name == "zh_TW") return "zh";
  if (name == "es") return "es_ES";
  if (name == "pt_BR") return "pt";
  return nullptr;
}

void AddUnique(std::vector<std::string>& list, const std::string& name) {
  for (const std::string& present : list)
    if (present == name) return;
  list.push_back(name);
}

}  // namespace

std::string NormalizeLocale(const char* name) {
  if (name == nullptr || std::strlen(name) < 2) return std::string();
  for (const Alias& alias : kAliases)
    if (std::strncmp(name, alias.prefix, std::strlen(alias.prefix)) == 0) return alias.name;
  return std::string(name, 2);
}

std::vector<std::string> ComputeLocalePreferences(const char* library_setting_path, const char* system_setting_path,
                                                  const char* lang) {
  std::vector<std::string> base;
  std::string library = NormalizeLocale(ReadSettingFile(library_setting_path, 8).c_str());
  if (!library.empty()) {
    base.push_back(library);
  } else {
    std::string system = ReadSettingFile(system_setting_path, 32);
    if (system.empty() && lang != nullptr) system.assign(lang, strnlen(lang, 31));
    std::string name = NormalizeLocale(system.c_str());
    if (!name.empty()) base.push_back(name);
  }
  if (base.empty()) base.push_back("en");

  std::vector<std::string> preferences;
  for (const std::string& name : base) {
    AddUnique(preferences, name);
    if (const char* companion = CompanionOf(name)) AddUnique(preferences, companion);
  }
  return preferences;
}

const std::vector<std::string>& GetLocalePreferences() {
  static const std::vector<std::string> preferences =
      ComputeLocalePreferences(kLibrarySettingPath, kSystemSettingPath, std::getenv("LANG"));
  return preferences;
}

}  // namespace Common
