#include "idletimer.h"

#include <algorithm>

namespace umbrafold {

QtIdleTimer::QtIdleTimer() {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (onTimeout) onTimeout();
  });
}

void QtIdleTimer::start(std::chrono::milliseconds period) { timer_.start(period); }

void QtIdleTimer::stop() { timer_.stop(); }

bool QtIdleTimer::isActive() const { return timer_.isActive(); }

std::chrono::milliseconds QtIdleTimer::remaining() const {
  return std::chrono::milliseconds(std::max(timer_.remainingTime(), 0));
}

}  // namespace umbrafold
