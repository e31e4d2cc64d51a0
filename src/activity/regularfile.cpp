#include "regularfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace umbrafold {

int openRegularFile(const std::filesystem::directory_entry& entry) {
  // The listing's cached type answers without a system call for plain
  // entries; symlinks are followed with stat. Either way FIFOs, devices and
  // directories are never opened.
  std::error_code error;
  if (!entry.is_regular_file(error)) return -1;
  const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::optional<std::string> readRegularFile(const std::filesystem::directory_entry& entry,
                                           std::size_t maxSize) {
  const int fd = openRegularFile(entry);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> content;
  if (::fstat(fd, &info) == 0 && static_cast<std::size_t>(info.st_size) <= maxSize) {
    // Read one byte more than allowed so a file that grew is noticed.
    std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t used = 0;
    bool failed = false;
    while (used < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = true;
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
      if (used == bytes.size() && used <= maxSize) bytes.resize(std::min(maxSize + 1, used * 2));
    }
    if (!failed && used <= maxSize) {
      bytes.resize(used);
      content = std::move(bytes);
    }
  }
  ::close(fd);
  return content;
}

std::optional<std::vector<std::filesystem::directory_entry>> listDirectory(
    const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  if (error) return std::nullopt;
  std::vector<std::filesystem::directory_entry> entries;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return std::nullopt;
    entries.push_back(*it);
  }
  if (error) return std::nullopt;
  return entries;
}

}  // namespace umbrafold
