#pragma once

#include <cmath>
#include <cstdint>
#include <deque>

#include "mediaclock.h"
#include "randomsource.h"

namespace umbrafold::testing {

// Hands out scripted 64-bit words, then `fallback` forever. uniformDraw uses
// the top 54 bits of a word as r and keeps it when r <= 2^53, so word(r)
// scripts r directly and draw(v, a, b) scripts a draw of v from [a, b].
class ScriptedRandom : public RandomSource {
 public:
  static constexpr std::uint64_t kTop = std::uint64_t{1} << 53;

  static std::uint64_t word(std::uint64_t r) { return r << 10; }
  // REQUIRES: 0 <= f <= 1.
  static std::uint64_t fraction(double f) {
    return word(static_cast<std::uint64_t>(std::llround(f * static_cast<double>(kTop))));
  }

  ScriptedRandom& push(std::uint64_t w) {
    words.push_back(w);
    return *this;
  }
  // REQUIRES: a <= value <= b.
  ScriptedRandom& draw(double value, double a, double b) {
    return push(fraction((value - a) / (b - a)));
  }

  std::uint64_t next64() override {
    ++taken;
    if (words.empty()) return fallback;
    const std::uint64_t w = words.front();
    words.pop_front();
    return w;
  }

  std::deque<std::uint64_t> words;
  std::uint64_t fallback = 0;
  int taken = 0;
};

class FakeClock : public MediaClock {
 public:
  double now() const override { return time; }
  double time = 100;
};

}  // namespace umbrafold::testing
