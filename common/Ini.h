#pragma once
// Private-profile INI functions: section and key compared case-insensitively,
// the first match wins, a default text when absent, the value cut to the buffer
// size (size - 1 bytes, as the platform functions do), single-line values; a
// write creates the file, the section and the key as needed.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SharedLibrary.h"

namespace korva {

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultText, std::size_t bufferSize,
                                    const std::string& file);
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file);
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file);

// The same rules on a file's content held in memory, so that many keys can be
// looked up with one read. False when the section or the key is absent.
bool FindProfileValue(std::string_view content, std::string_view section, std::string_view key,
                      std::string* value);
// Sets key in section (both created when absent) and keeps every other line
// and its order. False, with the reason in *error, when the names or the value
// cannot be stored on one line.
bool SetProfileValue(std::string& content, std::string_view section, std::string_view key,
                     std::string_view value, std::string* error);

// Drops every section with one of the given names (header and lines up to
// the next header), keeping every other line and its order. True when
// anything was dropped.
bool RemoveProfileSections(std::string& content, const std::vector<std::string>& sections);

// Every key of the first section of that name, in file order, each with its
// value as a lookup would return it (before any cut to a buffer); later
// duplicates of a key are listed too, the first one is what a lookup finds.
std::vector<std::pair<std::string, std::string>> ProfileSectionEntries(std::string_view content,
                                                                       std::string_view section);
// Reads a whole settings or language file as the lookups do (a FIFO, a
// directory or more than 16 MiB reads as absent). False when absent or refused.
bool ReadProfileFile(const std::string& file, std::string* content);
// A value cut to bufferSize - 1 bytes, never inside a UTF-8 character.
std::string CutToBufferSize(std::string_view text, std::size_t bufferSize);

// ProgramDirectory(): SharedLibrary.h.
// An XDG base directory ending in '/': $variable when it is an absolute
// path, else $HOME/underHome (/tmp when HOME is unset).
std::string XdgBaseDirectory(const char* variable, const char* underHome);
// The "Language" folder: beside the executable, else <prefix>/share/korva/Language.
// Ends in '/'.
std::string LanguageDirectory();
// A settings file: beside the executable when that directory is writable,
// else $XDG_CONFIG_HOME/korva/<name> (default ~/.config/korva/<name>).
std::string SettingsFilePath(const std::string& name);

}  // namespace korva
