#pragma once

#include <QTimer>

#include <chrono>
#include <functional>

namespace umbrafold {

// A one-shot timer that measures an idle period. start() begins a new period
// (dropping a running one); when the period elapses without stop() or another
// start(), onTimeout runs once, on the thread that owns the timer. Production
// uses QtIdleTimer; tests fire a fake on demand.
class IdleTimer {
 public:
  virtual ~IdleTimer() = default;

  virtual void start(std::chrono::milliseconds period) = 0;
  virtual void stop() = 0;
  virtual bool isActive() const = 0;

  std::function<void()> onTimeout;
};

// IdleTimer on a precise single-shot QTimer of the calling thread's event
// loop: it never fires before the period has elapsed (a coarse timer may fire
// up to 5 % early). Main thread only.
class QtIdleTimer final : public IdleTimer {
 public:
  QtIdleTimer();

  void start(std::chrono::milliseconds period) override;
  void stop() override;
  bool isActive() const override;
  // Time left until the running period ends; 0 when none runs.
  std::chrono::milliseconds remaining() const;

 private:
  QTimer timer_;
};

}  // namespace umbrafold
