#include "regularfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace umbrafold {

std::optional<DirectoryListing> DirectoryListing::read(const std::filesystem::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // The stream reads through its own descriptor, so `fd` stays open for
  // the openat calls after the stream is closed.
  const int streamFd = ::dup(fd);
  DIR* stream = streamFd < 0 ? nullptr : ::fdopendir(streamFd);
  if (stream == nullptr) {
    if (streamFd >= 0) ::close(streamFd);
    ::close(fd);
    return std::nullopt;
  }
  std::vector<Entry> entries;
  bool failed = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      failed = errno != 0;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    const auto type = entry->d_type == DT_REG ? Entry::Type::regular
                      : entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN
                          ? Entry::Type::symlinkOrUnknown
                          : Entry::Type::other;
    entries.push_back({entry->d_name, type});
  }
  ::closedir(stream);
  if (failed) {
    ::close(fd);
    return std::nullopt;
  }
  return DirectoryListing(fd, std::move(entries));
}

DirectoryListing::DirectoryListing(DirectoryListing&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), entries_(std::move(other.entries_)) {}

DirectoryListing::~DirectoryListing() {
  if (fd_ >= 0) ::close(fd_);
}

int DirectoryListing::openRegularFile(const Entry& entry) const {
  // The listing's type answers without a system call for plain entries;
  // others are looked up with stat, following symlinks. FIFOs, devices and
  // directories are not opened, and O_NONBLOCK keeps one swapped in after
  // the check from blocking the open.
  if (entry.type == Entry::Type::other) return -1;
  if (entry.type == Entry::Type::symlinkOrUnknown) {
    struct stat info {};
    if (::fstatat(fd_, entry.name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode)) return -1;
  }
  return ::openat(fd_, entry.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

namespace {

// Reads a descriptor opened on a regular file of at most `maxSize` bytes
// (checked again here, on the descriptor); closes it.
std::optional<std::string> readOpened(int fd, std::size_t maxSize) {
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> content;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::size_t>(info.st_size) <= maxSize) {
    // Ask for one byte more than the size: a short read is the end of the
    // file, and a file that grew past the limit is noticed.
    std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t used = 0;
    bool failed = false;
    for (;;) {
      const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = true;
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
      if (used < bytes.size() || used > maxSize) break;
      bytes.resize(std::min(maxSize + 1, used * 2));
    }
    if (!failed && used <= maxSize) {
      bytes.resize(used);
      content = std::move(bytes);
    }
  }
  ::close(fd);
  return content;
}

}  // namespace

std::optional<std::string> DirectoryListing::readRegularFile(const Entry& entry,
                                                             std::size_t maxSize) const {
  return readOpened(openRegularFile(entry), maxSize);
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxSize) {
  // FIFOs, devices and directories are not opened, and O_NONBLOCK keeps one
  // swapped in after the check from blocking the open.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return readOpened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY), maxSize);
}

}  // namespace umbrafold
