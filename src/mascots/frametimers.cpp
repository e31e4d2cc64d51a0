#include "frametimers.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "framepacing.h"
#include "mascotwalkstate.h"
#include "stripshared.h"

namespace umbrafold {

struct FrameTimers::Entry {
  QPointer<QTimer> timer;  // owned by the application object
  std::vector<MascotWalk*> walks;
};

struct FrameTimers::Thread {
  std::vector<MascotWalk*> walks;  // each at its own frameInterval
  Clock::time_point next;          // when the next frame is due
  bool idle = false;               // waiting for a strip or a wanted frame, not for `next`
  std::condition_variable_any wake;
};

void FrameTimers::join(MascotWalk* walk, int interval) {
  if (offMainThread(walk)) {
    Thread& thread = frameThread();
    const Clock::time_point first = Clock::now() + std::chrono::milliseconds(interval);
    thread.next = thread.walks.empty() ? first : std::min(thread.next, first);
    thread.walks.push_back(walk);
    thread.wake.notify_one();
    return;
  }
  Entry& entry = entries()[interval];
  if (!entry.timer) {
    entry.timer = new QTimer(QCoreApplication::instance());
    entry.timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(entry.timer, &QTimer::timeout, entry.timer, [interval] { fire(interval); });
  }
  entry.walks.push_back(walk);
  if (!entry.timer->isActive() || entry.timer->interval() != interval) entry.timer->start(interval);
}

void FrameTimers::leave(MascotWalk* walk) {
  for (auto& [interval, entry] : entries()) {
    if (std::erase(entry.walks, walk) > 0 && entry.walks.empty() && entry.timer) {
      entry.timer->stop();
    }
  }
  if (thread_) std::erase(thread_->walks, walk);
}

void FrameTimers::hurry(MascotWalk* walk) {
  for (auto& [interval, entry] : entries()) {
    if (entry.timer &&
        std::find(entry.walks.begin(), entry.walks.end(), walk) != entry.walks.end() &&
        entry.timer->interval() != interval) {
      entry.timer->start(interval);
    }
  }
  if (!thread_ ||
      std::find(thread_->walks.begin(), thread_->walks.end(), walk) == thread_->walks.end()) {
    return;
  }
  thread_->next =
      std::min(thread_->next, Clock::now() + std::chrono::milliseconds(walk->d->frameInterval));
  thread_->wake.notify_one();
}

void FrameTimers::wake() {
  std::lock_guard lock(stripLock());
  // A thread that waits for its next frame looks at every strip then: a
  // screen that wants a frame before that need not wake it twice a frame.
  if (thread_ && thread_->idle) thread_->wake.notify_one();
}

bool FrameTimers::offMainThread(const MascotWalk* walk) {
  return walk->d->screen && walk->d->screen->drawsFromAnyThread();
}

std::map<int, FrameTimers::Entry>& FrameTimers::entries() {
  static std::map<int, Entry> all;
  return all;
}

FrameTimers::Thread& FrameTimers::frameThread() {
  if (!thread_) {
    thread_ = new Thread;
    std::thread(run).detach();
  }
  return *thread_;
}

int FrameTimers::frame(const std::vector<MascotWalk*>& walks,
                       const std::vector<MascotWalk*>& joined, int interval,
                       MascotWalk::Frame (*step)(MascotWalk*)) {
  double quiet = std::numeric_limits<double>::infinity();
  bool repainted = false;
  const auto stillJoined = [&joined](MascotWalk* walk) {
    return std::find(joined.begin(), joined.end(), walk) != joined.end();
  };
  for (MascotWalk* walk : walks) {
    if (!stillJoined(walk)) continue;
    const MascotWalk::Frame frame = step(walk);
    quiet = std::min(quiet, frame.quietSeconds);
    repainted = repainted || frame.repainted;
  }
  for (MascotWalk* walk : walks) {
    if (stillJoined(walk) && walk->d->screen) walk->d->screen->flush();
  }
  return interval * ticksToNextFrame(quiet, repainted, interval, kMaxStep);
}

void FrameTimers::fire(int interval) {
  std::lock_guard lock(stripLock());
  Entry& entry = entries()[interval];
  // The strips of this frame, in a list kept from frame to frame (no
  // allocation).
  static std::vector<MascotWalk*> walks;
  walks.assign(entry.walks.begin(), entry.walks.end());
  const int wait =
      frame(walks, entry.walks, interval, [](MascotWalk* walk) { return walk->tick(); });
  if (!entry.timer || !entry.timer->isActive()) return;
  if (entry.timer->interval() != wait) entry.timer->start(wait);
}

void FrameTimers::waitIdle(Thread& thread, std::unique_lock<std::recursive_mutex>& lock) {
  thread.idle = true;
  thread.wake.wait(lock);
  thread.idle = false;
}

void FrameTimers::run() {
  onFrameThread = true;
  std::unique_lock lock(stripLock());
  Thread& thread = *thread_;
  std::vector<MascotWalk*> walks;
  for (;;) {
    if (thread.walks.empty()) {
      waitIdle(thread, lock);
      continue;
    }
    const Clock::time_point due = thread.next;
    if (Clock::now() < due) {
      thread.wake.wait_until(lock, due);
      continue;
    }
    // Only strips whose display took their last frame are stepped; while
    // none is, the thread sleeps until a screen wants a frame again.
    walks.clear();
    for (MascotWalk* walk : thread.walks) {
      if (walk->d->screen && walk->d->screen->wantsFrame()) walks.push_back(walk);
    }
    if (walks.empty()) {
      waitIdle(thread, lock);
      continue;
    }
    int interval = std::numeric_limits<int>::max();
    for (const MascotWalk* walk : walks) interval = std::min(interval, walk->d->frameInterval);
    const int wait =
        frame(walks, thread.walks, interval, [](MascotWalk* walk) { return walk->step(); });
    // On the grid of frames while the thread keeps up; one interval from
    // now when it fell behind, so the lock is always given up in between.
    const Clock::time_point now = Clock::now();
    const Clock::time_point onGrid = due + std::chrono::milliseconds(wait);
    thread.next = onGrid > now ? onGrid : now + std::chrono::milliseconds(interval);
  }
}

}  // namespace umbrafold
