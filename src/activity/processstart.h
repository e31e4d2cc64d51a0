#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace umbrafold {

// Looks up when processes started, from /proc. One instance serves one scan:
// /proc is opened and the boot time read once, on the first lookup, and
// kept for the life of the instance only. Not thread-safe; use one instance
// per thread.
class ProcessStartTimes {
 public:
  ProcessStartTimes() = default;
  ProcessStartTimes(const ProcessStartTimes&) = delete;
  ProcessStartTimes& operator=(const ProcessStartTimes&) = delete;
  ~ProcessStartTimes();

  // Whole seconds since the Unix epoch at which process `pid` started, or
  // nullopt when there is no such process (or /proc cannot tell).
  std::optional<std::int64_t> startSeconds(pid_t pid);

 private:
  std::optional<std::int64_t> bootSeconds();

  int proc_ = -1;
  bool bootRead_ = false;
  std::optional<std::int64_t> boot_;
};

// The start time field of one /proc/<pid>/stat text, in clock ticks since
// boot, or nullopt when the text is malformed. The command name in the text
// may hold spaces and parentheses; fields are counted after its last ')'.
std::optional<std::uint64_t> statStartTicks(const char* text, std::size_t size);

}  // namespace umbrafold
