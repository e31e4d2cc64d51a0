#include "processstart.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace umbrafold {

namespace {

// Reads at most `limit` bytes of a /proc file; empty on failure.
std::string readProcFile(const char* path, std::size_t limit) {
  std::string text;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  std::array<char, 4096> buffer{};
  while (text.size() < limit) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

std::optional<std::uint64_t> statStartTicks(const char* text, std::size_t size) {
  const std::string_view stat(text, size);
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  // After ") " come field 3 (state) onwards; the start time is field 22.
  std::size_t at = close + 1;
  for (int field = 3; field <= 22; ++field) {
    while (at < stat.size() && stat[at] == ' ') ++at;
    const std::size_t end = std::min(stat.find(' ', at), stat.size());
    if (at >= end) return std::nullopt;
    if (field == 22) {
      std::uint64_t ticks = 0;
      const auto [ptr, ec] = std::from_chars(stat.data() + at, stat.data() + end, ticks);
      if (ec != std::errc() || ptr != stat.data() + end) return std::nullopt;
      return ticks;
    }
    at = end;
  }
  return std::nullopt;
}

ProcessStartTimes::~ProcessStartTimes() {
  if (proc_ >= 0) ::close(proc_);
}

std::optional<std::int64_t> ProcessStartTimes::startSeconds(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  if (proc_ < 0) proc_ = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc_ < 0) return std::nullopt;
  std::array<char, 32> path{};
  std::snprintf(path.data(), path.size(), "%d/stat", static_cast<int>(pid));
  const int fd = ::openat(proc_, path.data(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::array<char, 1024> buffer{};
  ssize_t n = 0;
  do {
    n = ::read(fd, buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  const auto ticks = statStartTicks(buffer.data(), static_cast<std::size_t>(n));
  const long perSecond = ::sysconf(_SC_CLK_TCK);
  const auto boot = bootSeconds();
  if (!ticks || perSecond <= 0 || !boot) return std::nullopt;
  return *boot + static_cast<std::int64_t>(*ticks / static_cast<std::uint64_t>(perSecond));
}

std::optional<std::int64_t> ProcessStartTimes::bootSeconds() {
  if (bootRead_) return boot_;
  bootRead_ = true;
  const std::string stat = readProcFile("/proc/stat", std::size_t{1} << 22);
  constexpr std::string_view kKey = "\nbtime ";
  const auto at = stat.find(kKey);
  if (at == std::string::npos) return boot_;
  const char* begin = stat.data() + at + kKey.size();
  std::int64_t seconds = 0;
  const auto [ptr, ec] = std::from_chars(begin, stat.data() + stat.size(), seconds);
  if (ec == std::errc() && ptr != begin) boot_ = seconds;
  return boot_;
}

}  // namespace umbrafold
