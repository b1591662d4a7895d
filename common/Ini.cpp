#include "Ini.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "Files.h"
#include "NumText.h"
#include "SharedLibrary.h"
#include "Trace.h"

namespace korva {
namespace {

// A profile larger than this is not a settings or language file; refusing it
// keeps a stray path from pulling gigabytes into memory.
constexpr std::size_t kMaxProfileBytes = 16 * 1024 * 1024;

// Serialises read-modify-write cycles of this process, so two threads writing
// different keys of one file do not lose each other's change.
std::mutex g_writeLock;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare without regard to ASCII letter case; other bytes (UTF-8)
// compare exactly.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

// One physical line of the content: [begin, end) without its line ending,
// next = start of the following line.
struct Line {
    std::size_t begin;
    std::size_t end;
    std::size_t next;
};

std::optional<Line> NextLine(std::string_view content, std::size_t pos) {
    if (pos >= content.size()) return std::nullopt;
    std::size_t nl = content.find('\n', pos);
    Line line{pos, nl == std::string_view::npos ? content.size() : nl,
              nl == std::string_view::npos ? content.size() : nl + 1};
    if (line.end > line.begin && content[line.end - 1] == '\r') --line.end;
    return line;
}

std::size_t SkipBom(std::string_view content) {
    return content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

// A section header "[name]"; the name is trimmed. A header without its
// closing bracket still opens a section named by the rest of the line.
bool ParseHeader(std::string_view text, std::string_view* name) {
    if (text.empty() || text.front() != '[') return false;
    text.remove_prefix(1);
    std::size_t close = text.find(']');
    if (close != std::string_view::npos) text = text.substr(0, close);
    *name = Trim(text);
    return true;
}

// "key=value": both trimmed. Comment lines (';') and lines without '=' hold
// no key.
bool ParseEntry(std::string_view text, std::string_view* key, std::string_view* value) {
    if (text.empty() || text.front() == ';') return false;
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) return false;
    *key = Trim(text.substr(0, eq));
    *value = Trim(text.substr(eq + 1));
    return true;
}

// Matching quotes around a value are not part of it.
std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

// At most size - 1 bytes, never ending inside a UTF-8 sequence.
std::string CutToBuffer(std::string_view text, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    if (text.size() <= bufferSize - 1) return std::string(text);
    auto continuation = [&](std::size_t i) {
        return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    };
    std::size_t n = bufferSize - 1;
    // The first dropped byte continues a sequence: drop that whole character.
    while (n > 0 && continuation(n)) --n;
    return std::string(text.substr(0, n));
}

enum class ReadResult { kRead, kMissing, kFailed };

// Reads a whole settings or language file. A missing file is not an error;
// anything else that is not a readable regular file is traced and refused.
ReadResult ReadProfile(const std::string& path, std::string* content) {
    std::string error;
    switch (ReadRegularFile(path, kMaxProfileBytes, content, &error)) {
        case FileRead::kRead:
            return ReadResult::kRead;
        case FileRead::kMissing:
            return ReadResult::kMissing;
        case FileRead::kFailed:
            break;
    }
    Trace("ini: %s\n", error.c_str());
    return ReadResult::kFailed;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Calls visit(key, value) for each entry of the first section named
// `section`, in file order, values unquoted, until visit returns false. Only
// the first section of a name counts, as with the platform's functions.
template <typename Visit>
void ForEachEntry(std::string_view content, std::string_view section, Visit visit) {
    bool inSection = false;
    for (auto line = NextLine(content, SkipBom(content)); line;
         line = NextLine(content, line->next)) {
        std::string_view text = Trim(content.substr(line->begin, line->end - line->begin));
        std::string_view name;
        if (ParseHeader(text, &name)) {
            if (inSection) return;
            inSection = SameName(name, section);
            continue;
        }
        std::string_view k, v;
        if (inSection && ParseEntry(text, &k, &v) && !visit(k, Unquote(v))) return;
    }
}

}  // namespace

bool FindProfileValue(std::string_view content, std::string_view section, std::string_view key,
                      std::string* value) {
    bool found = false;
    ForEachEntry(content, section, [&](std::string_view k, std::string_view v) {
        if (!SameName(k, key)) return true;
        if (value) *value = std::string(v);
        found = true;
        return false;
    });
    return found;
}

bool SetProfileValue(std::string& content, std::string_view section, std::string_view key,
                     std::string_view value, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    // Names are trimmed when read, so blanks at their ends could never be found again.
    if (section.empty() || Trim(section).size() != section.size() || HasLineBreak(section) ||
        section.find(']') != section.npos) {
        return fail("section name must be one line without ']' or blanks at its ends");
    }
    if (key.empty() || Trim(key).size() != key.size() || HasLineBreak(key) ||
        key.find('=') != key.npos || key.front() == '[' || key.front() == ';') {
        return fail(
            "key must be one line without '=' or blanks at its ends, not starting with '[' or ';'");
    }
    if (HasLineBreak(value)) return fail("value must be a single line");

    // A value that reading would change (blanks at its ends, quotes around
    // it) is stored in quotes so it reads back exactly.
    std::string stored(value);
    if (!value.empty() && (Trim(value).size() != value.size() || Unquote(value) != value)) {
        stored = "\"" + stored + "\"";
    }

    std::string eol = "\n";
    std::size_t firstNl = content.find('\n');
    if (firstNl != std::string::npos && firstNl > 0 && content[firstNl - 1] == '\r') eol = "\r\n";

    bool inSection = false;
    bool sectionFound = false;
    std::size_t insertAt = std::string::npos;  // after the last non-blank line of the section
    for (auto line = NextLine(content, SkipBom(content)); line;
         line = NextLine(content, line->next)) {
        std::string_view text =
            Trim(std::string_view(content).substr(line->begin, line->end - line->begin));
        std::string_view name;
        if (ParseHeader(text, &name)) {
            if (sectionFound) break;
            inSection = SameName(name, section);
            sectionFound = inSection;
            if (inSection) insertAt = line->next;
            continue;
        }
        if (!inSection) continue;
        std::string_view k, v;
        if (ParseEntry(text, &k, &v) && SameName(k, key)) {
            std::string replacement = std::string(k) + "=" + stored;
            content.replace(line->begin, line->end - line->begin, replacement);
            return true;
        }
        if (!text.empty()) insertAt = line->next;
    }

    std::string addition;
    if (sectionFound) {
        if (insertAt > 0 && content[insertAt - 1] != '\n') addition += eol;
        addition += std::string(key) + "=" + stored + eol;
        content.insert(insertAt, addition);
        return true;
    }
    if (!content.empty() && content.back() != '\n') addition += eol;
    addition += "[" + std::string(section) + "]" + eol + std::string(key) + "=" + stored + eol;
    content += addition;
    return true;
}

std::vector<std::pair<std::string, std::string>> ProfileSectionEntries(std::string_view content,
                                                                       std::string_view section) {
    std::vector<std::pair<std::string, std::string>> entries;
    ForEachEntry(content, section, [&](std::string_view k, std::string_view v) {
        entries.emplace_back(k, v);
        return true;
    });
    return entries;
}

bool RemoveProfileSections(std::string& content, const std::vector<std::string>& sections) {
    std::string kept;
    bool dropping = false;
    bool changed = false;
    for (auto line = NextLine(content, 0); line; line = NextLine(content, line->next)) {
        std::string_view text =
            Trim(std::string_view(content).substr(line->begin, line->end - line->begin));
        std::string_view name;
        if (ParseHeader(text, &name)) {
            dropping = false;
            for (const std::string& s : sections) dropping = dropping || SameName(name, s);
        }
        if (dropping) {
            changed = true;
            continue;
        }
        kept.append(content, line->begin, line->next - line->begin);
    }
    if (changed) content = std::move(kept);
    return changed;
}

bool ReadProfileFile(const std::string& file, std::string* content) {
    return ReadProfile(file, content) == ReadResult::kRead;
}

std::string CutToBufferSize(std::string_view text, std::size_t bufferSize) {
    return CutToBuffer(text, bufferSize);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultText, std::size_t bufferSize,
                                    const std::string& file) {
    std::string content;
    std::string value;
    if (ReadProfile(file, &content) == ReadResult::kRead &&
        FindProfileValue(content, section, key, &value)) {
        return CutToBuffer(value, bufferSize);
    }
    return CutToBuffer(defaultText, bufferSize);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file) {
    std::string content;
    std::string value;
    if (ReadProfile(file, &content) == ReadResult::kRead &&
        FindProfileValue(content, section, key, &value)) {
        return AtoI(value);
    }
    return defaultValue;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& file) {
    if (file.empty()) return false;
    std::lock_guard<std::mutex> guard(g_writeLock);
    std::string content;
    // An unreadable file is left alone: rewriting it from nothing would lose
    // every other line in it.
    if (ReadProfile(file, &content) == ReadResult::kFailed) return false;
    std::string before = content;
    std::string error;
    if (!SetProfileValue(content, section, key, value, &error)) {
        Trace("ini: not written to %s [%s] %s: %s\n", file.c_str(), section.c_str(), key.c_str(),
              error.c_str());
        return false;
    }
    if (content == before) return true;  // the key already holds this value
    if (!ReplaceFile(file, content, &error)) {
        Trace("ini: %s\n", error.c_str());
        return false;
    }
    return true;
}

namespace {
bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p for the configuration directory; 0700 as for XDG base directories.
bool MakeDirectories(const std::string& dir) {
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            Trace("ini: cannot create %s: %s\n", part.c_str(), ErrnoText(errno).c_str());
            return false;
        }
    }
    return true;
}

std::string ConfigDirectory() {
    return XdgBaseDirectory("XDG_CONFIG_HOME", ".config") + "korva/";
}
}  // namespace

std::string XdgBaseDirectory(const char* variable, const char* underHome) {
    const char* xdg = std::getenv(variable);
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {  // relative values are to be ignored
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/" + underHome;
    }
    if (base.back() != '/') base += '/';
    return base;
}

std::string LanguageDirectory() {
    std::string dir = ProgramDirectory();
    std::string beside = dir + "Language/";
    if (IsDirectory(beside)) return beside;
    // Installed tree: <prefix>/bin/program and <prefix>/share/korva/Language.
    const std::string bin = "/bin/";
    if (dir.size() > bin.size() && dir.compare(dir.size() - bin.size(), bin.size(), bin) == 0) {
        std::string installed = dir.substr(0, dir.size() - bin.size()) + "/share/korva/Language/";
        if (IsDirectory(installed)) return installed;
    }
    return beside;
}

std::string SettingsFilePath(const std::string& name) {
    std::string dir = ProgramDirectory();
    if (::access(dir.c_str(), W_OK) == 0) return dir + name;
    std::string config = ConfigDirectory();
    MakeDirectories(config.substr(0, config.size() - 1));
    return config + name;
}

}  // namespace korva
