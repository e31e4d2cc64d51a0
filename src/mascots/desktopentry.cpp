#include "desktopentry.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "regularfile.h"

namespace umbrafold {

namespace {

constexpr std::size_t kMaxEntryBytes = std::size_t{1} << 20;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string unescaped(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:  // not a string escape: kept for the key's own syntax (Exec quoting)
        out += '\\';
        out += value[i];
    }
  }
  return out;
}

std::vector<std::string> splitColons(std::string_view list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= list.size()) {
    const auto end = std::min(list.find(':', start), list.size());
    if (end > start) parts.emplace_back(list.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::optional<std::string> DesktopEntry::value(const std::string& key) const {
  const auto found = keys.find(key);
  if (found == keys.end()) return std::nullopt;
  return found->second;
}

DesktopEntry DesktopEntry::parse(std::string_view text) {
  DesktopEntry entry;
  bool inGroup = false;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inGroup = line == "[Desktop Entry]";
      continue;
    }
    if (!inGroup) continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    if (key.empty() || key.find('[') != std::string_view::npos) continue;
    entry.keys.emplace(std::string(key), unescaped(trimmed(line.substr(equals + 1))));
  }
  return entry;
}

std::optional<DesktopEntry> DesktopEntry::read(const std::filesystem::path& file) {
  const std::optional<std::string> text = readRegularFile(file, kMaxEntryBytes);
  if (!text) return std::nullopt;
  return parse(*text);
}

std::vector<std::filesystem::path> applicationDirectories() {
  std::vector<std::filesystem::path> directories;
  std::string dataHome = environment("XDG_DATA_HOME");
  if (dataHome.empty() || dataHome.front() != '/') {
    const std::string home = environment("HOME");
    if (!home.empty()) dataHome = home + "/.local/share";
  }
  if (!dataHome.empty()) directories.emplace_back(std::filesystem::path(dataHome) / "applications");
  std::string dataDirs = environment("XDG_DATA_DIRS");
  if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
  for (const auto& dir : splitColons(dataDirs)) {
    if (dir.front() == '/') directories.emplace_back(std::filesystem::path(dir) / "applications");
  }
  return directories;
}

std::optional<std::filesystem::path> findDesktopEntry(
    const std::string& fileName, const std::vector<std::filesystem::path>& directories) {
  for (const auto& directory : directories) {
    std::error_code error;
    const auto candidate = directory / fileName;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> execProgram(std::string_view exec) {
  exec = trimmed(exec);
  if (exec.empty()) return std::nullopt;
  std::string program;
  if (exec.front() != '"') {
    const auto end = exec.find_first_of(" \t");
    return std::string(exec.substr(0, end));
  }
  for (std::size_t i = 1; i < exec.size(); ++i) {
    if (exec[i] == '"') return program.empty() ? std::nullopt : std::optional(program);
    if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
    program += exec[i];
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> resolveProgram(const std::string& program,
                                                    std::string_view searchPath) {
  std::optional<std::filesystem::path> found;
  std::error_code error;
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    if (program.front() == '/' && std::filesystem::is_regular_file(program, error)) found = program;
  } else {
    for (const auto& directory : splitColons(searchPath)) {
      const auto candidate = std::filesystem::path(directory) / program;
      if (std::filesystem::is_regular_file(candidate, error) &&
          ::access(candidate.c_str(), X_OK) == 0) {
        found = candidate;
        break;
      }
    }
  }
  if (!found) return std::nullopt;
  const auto real = std::filesystem::canonical(*found, error);
  return error ? *found : real;
}

}  // namespace umbrafold
