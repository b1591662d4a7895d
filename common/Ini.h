#pragma once
// Private-profile INI functions: section and key compared case-insensitively,
// the first match wins, a default text when absent, the value cut to the buffer
// size (size - 1 bytes, as the platform functions do), single-line values; a
// write creates the file, the section and the key as needed.
#include <string>

namespace korva {

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultText, std::size_t bufferSize,
                                    const std::string& file);
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file);
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

// Directory of the running executable (/proc/self/exe), ending in '/'.
std::string ProgramDirectory();
// The "Language" folder: beside the executable, else <prefix>/share/korva/Language.
// Ends in '/'.
std::string LanguageDirectory();
// A settings file: beside the executable when that directory is writable,
// else $XDG_CONFIG_HOME/korva/<name> (default ~/.config/korva/<name>).
std::string SettingsFilePath(const std::string& name);

}  // namespace korva
