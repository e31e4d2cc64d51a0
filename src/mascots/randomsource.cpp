#include "randomsource.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace umbrafold {

std::uint64_t SecureRandomSource::next64() {
  unsigned char bytes[sizeof(std::uint64_t)];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR && errno != EAGAIN) {
      // getrandom is unavailable (very old kernel or a seccomp filter): the
      // library's own non-deterministic source is the fallback.
      std::random_device device;
      std::uint64_t word = 0;
      for (int i = 0; i < 2; ++i) word = (word << 32) | device();
      return word;
    }
  }
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

double uniformDraw(RandomSource& source, double a, double b) {
  constexpr std::uint64_t top = std::uint64_t{1} << 53;
  std::uint64_t r;
  do {
    r = source.next64() >> 10;  // uniform over 0 .. 2^54 - 1
  } while (r > top);            // keep the 2^53 + 1 values 0 .. 2^53
  if (r == top) return b;
  return a + (b - a) * static_cast<double>(r) * 0x1p-53;
}

}  // namespace umbrafold
