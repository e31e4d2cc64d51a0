#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace umbrafold {

// Opens a directory entry for reading without ever blocking or touching a
// device: entries that are not regular files (after following symlinks) are
// never opened, and what was opened is checked again with fstat. Returns a
// read-only, close-on-exec descriptor that the caller must close, or -1.
int openRegularFile(const std::filesystem::directory_entry& entry);

// The whole content of a regular file of at most `maxSize` bytes, or nullopt
// when the entry is not a regular file, cannot be read, or is larger.
std::optional<std::string> readRegularFile(const std::filesystem::directory_entry& entry,
                                           std::size_t maxSize);

// Lists a directory: all entries, hidden ones included, not recursive, in
// the file system's order. nullopt when it cannot be listed completely.
std::optional<std::vector<std::filesystem::directory_entry>> listDirectory(
    const std::filesystem::path& directory);

}  // namespace umbrafold
