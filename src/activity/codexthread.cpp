#include "codexthread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace umbrafold {

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

bool isCanonicalUuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !isHexDigit(text[i])) return false;
  }
  return true;
}

std::optional<std::string_view> lockFileThreadId(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string_view::npos || fileName.substr(dot + 1) != "lock") return std::nullopt;
  const std::string_view id = fileName.substr(0, dot);
  if (!isCanonicalUuid(id)) return std::nullopt;
  return id;
}

const char* codexNote(const char* itemType) {
  struct Row {
    const char* itemType;
    const char* note;
  };
  static constexpr std::array<Row, 7> kRows{{
      {"commandExecution", "Using terminal"},
      {"fileChange", "Editing files"},
      {"reasoning", "Thinking\u2026"},
      {"webSearch", "Searching the web"},
      {"imageView", "Checking an image"},
      {"mcpToolCall", "Using a tool"},
      {"agentMessage", "Writing\u2026"},
  }};
  if (itemType != nullptr) {
    for (const Row& row : kRows) {
      if (std::strcmp(row.itemType, itemType) == 0) return row.note;
    }
  }
  return "Working\u2026";
}

bool readableWithoutWriting(const std::filesystem::path& database) {
  const int fd = ::open(database.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  // Bytes 18 and 19 of the header are the file format's write and read
  // versions; 2 means write-ahead logging.
  std::array<unsigned char, 20> header{};
  ssize_t n = 0;
  do {
    n = ::pread(fd, header.data(), header.size(), 0);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  const bool wal = n == static_cast<ssize_t>(header.size()) && (header[18] == 2 || header[19] == 2);
  if (!wal) return true;
  return exists(database.string() + "-wal") && exists(database.string() + "-shm");
}

}  // namespace umbrafold
