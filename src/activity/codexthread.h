#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// Pieces of the Codex thread scan that are pure functions of their input.
// Safe on any thread.

namespace umbrafold {

// True for a UUID in canonical text form: 36 characters, hexadecimal digits
// of either case in groups of 8, 4, 4, 4 and 12 separated by hyphens.
bool isCanonicalUuid(std::string_view text);

// The thread id named by a lock file's name "<uuid>.lock", spelled exactly
// as in the name, or nullopt for any other name.
std::optional<std::string_view> lockFileThreadId(std::string_view fileName);

// The speech-bubble note for a turn's latest item type; nullptr (no item, or
// a NULL type) and unknown types give "Working…".
const char* codexNote(const char* itemType);

// True when the Codex database at `database` is a regular file that SQLite
// can read without blocking or creating any file. False for a missing file,
// a FIFO or device (SQLite would block or read garbage), and for a database
// in write-ahead-log mode whose "-wal" or "-shm" file is missing (no Codex
// process has it open, and a reader would create them).
bool readableWithoutWriting(const std::filesystem::path& database);

}  // namespace umbrafold
