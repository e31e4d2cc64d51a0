#pragma once

namespace umbrafold {

// The host's monotonic clock in seconds, unaffected by wall-clock changes.
class MediaClock {
 public:
  virtual ~MediaClock() = default;
  virtual double now() const = 0;
};

// std::chrono::steady_clock.
class SteadyMediaClock final : public MediaClock {
 public:
  double now() const override;
};

}  // namespace umbrafold
