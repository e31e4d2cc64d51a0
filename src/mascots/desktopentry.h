#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace umbrafold {

// The keys of a freedesktop desktop entry's "[Desktop Entry]" group, without
// the localised variants ("Name[de]"), with the string escapes (\s \n \t \r
// \\) decoded. The first occurrence of a key wins. Pure; any thread.
struct DesktopEntry {
  std::map<std::string, std::string> keys;

  // The value of `key`, or none when the group lacks it.
  std::optional<std::string> value(const std::string& key) const;

  // Parses the text of a desktop entry file. Never fails: lines that are not
  // "key=value" are ignored, and a text without the group gives no keys.
  static DesktopEntry parse(std::string_view text);

  // Reads and parses the regular file at `file` (at most 1 MiB); none when it
  // is missing, not a regular file, unreadable or too large.
  static std::optional<DesktopEntry> read(const std::filesystem::path& file);
};

// The directories in which desktop entries are looked up, in order:
// $XDG_DATA_HOME/applications (default ~/.local/share/applications), then
// "applications" in each directory of $XDG_DATA_DIRS (default
// /usr/local/share:/usr/share). Reads the environment at each call.
std::vector<std::filesystem::path> applicationDirectories();

// The first `<directory>/<fileName>` that is a regular file; none otherwise.
std::optional<std::filesystem::path> findDesktopEntry(
    const std::string& fileName, const std::vector<std::filesystem::path>& directories);

// The program of an Exec= value: its first word, with the double-quoting of
// the Exec key undone. None for an empty value or an unterminated quote.
std::optional<std::string> execProgram(std::string_view exec);

// Where `program` runs from: an absolute path is taken as it is, a bare name
// is looked up in the colon-separated `searchPath` (like $PATH) for an
// executable regular file. Symbolic links are resolved. None when nothing is
// found; a relative path with a slash is never resolved.
std::optional<std::filesystem::path> resolveProgram(const std::string& program,
                                                    std::string_view searchPath);

}  // namespace umbrafold
