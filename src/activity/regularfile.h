#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace umbrafold {

// One complete listing of a directory: all entries, hidden ones included,
// not recursive, in the file system's order, with the directory kept open
// so its files are opened relative to it. Owns a descriptor; move-only.
class DirectoryListing {
 public:
  // One entry: its name and its type as the listing reported it (a symlink
  // is not followed; the file system may also leave the type unknown).
  struct Entry {
    enum class Type { regular, symlinkOrUnknown, other };
    std::string name;
    Type type = Type::other;
  };

  // The listing, or nullopt when the directory cannot be opened or read
  // completely (missing, not a directory, no permission).
  static std::optional<DirectoryListing> read(const std::filesystem::path& directory);

  DirectoryListing(DirectoryListing&& other) noexcept;
  DirectoryListing& operator=(DirectoryListing&&) = delete;
  DirectoryListing(const DirectoryListing&) = delete;
  ~DirectoryListing();

  const std::vector<Entry>& entries() const { return entries_; }

  // Opens an entry read-only without blocking: an entry that is not a
  // regular file (after following symlinks) is not opened. Returns a
  // non-blocking, close-on-exec descriptor that the caller must close, or
  // -1. The file may have been replaced since the check; callers that read
  // from the descriptor must fstat it first (readRegularFile does).
  int openRegularFile(const Entry& entry) const;

  // The whole content of a regular file of at most `maxSize` bytes, or
  // nullopt when the entry is not a regular file (checked before and after
  // opening, so FIFOs and devices are never read), cannot be read, or is
  // larger.
  std::optional<std::string> readRegularFile(const Entry& entry, std::size_t maxSize) const;

 private:
  DirectoryListing(int fd, std::vector<Entry> entries) : fd_(fd), entries_(std::move(entries)) {}

  int fd_ = -1;
  std::vector<Entry> entries_;
};

// The whole content of the regular file at `path` (symlinks followed) of at
// most `maxSize` bytes, or nullopt when it is anything else (a FIFO, a
// device, a directory: checked before opening, and the open never blocks),
// cannot be read, or is larger. Any thread.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, std::size_t maxSize);

}  // namespace umbrafold
