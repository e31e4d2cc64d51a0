#include "idletimer.h"

namespace umbrafold {

QtIdleTimer::QtIdleTimer() {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::CoarseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (onTimeout) onTimeout();
  });
}

void QtIdleTimer::start(std::chrono::milliseconds period) { timer_.start(period); }

void QtIdleTimer::stop() { timer_.stop(); }

bool QtIdleTimer::isActive() const { return timer_.isActive(); }

}  // namespace umbrafold
