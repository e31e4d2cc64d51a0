#pragma once

#include <cstdint>

namespace umbrafold {

// A source of uniformly distributed 64-bit words.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual std::uint64_t next64() = 0;
};

// The operating system's cryptographically secure source (getrandom).
class SecureRandomSource final : public RandomSource {
 public:
  std::uint64_t next64() override;
};

// A value drawn uniformly from the closed interval [a, b] at 53-bit
// resolution: r is uniform over the 2^53 + 1 integers 0..2^53 (by rejection,
// no modulo bias); the result is b when r = 2^53, else a + (b - a) * r / 2^53.
double uniformDraw(RandomSource& source, double a, double b);

}  // namespace umbrafold
