#pragma once
// Locale choice for translated resources.

#include <string>
#include <vector>

namespace Common {

// Maps a raw locale setting to a locale name ("zh_HK.UTF-8" -> "zh_TW",
// "de_DE.UTF-8" -> "de"); empty for a missing or too short name.
std::string NormalizeLocale(const char* name);

// The ordered locale preference list, computed once per process.
const std::vector<std::string>& GetLocalePreferences();

// Computes a preference list from explicit setting-file paths and a LANG value
// (test seam; production uses "/var/lib/Vantrel/Common/i18n" and "/etc/i18n").
std::vector<std::string> ComputeLocalePreferences(const char* library_setting_path, const char* system_setting_path,
                                                  const char* lang);

}  // namespace Common
