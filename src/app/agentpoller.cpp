#include "agentpoller.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

namespace umbrafold {

// Receives scan results on the caller's thread. The worker queues each
// result under a mutex and then posts an empty event; the relay takes the
// queue under the same mutex when the event arrives. Results thus cross
// threads through a lock that ThreadSanitizer sees rather than through Qt's
// event queue, whose futex-based locking it cannot see.
//
// The relay outlives stop() until the worker thread has ended on its own;
// it then deletes itself, and the thread, on the caller's thread. Whatever
// arrives after stop() is dropped.
class AgentPoller::Relay : public QObject {
 public:
  explicit Relay(Deliver deliver) : deliver_(std::move(deliver)) {}

  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_.load(); }

  // Called on the worker thread.
  void post(AgentActivity activity) {
    // The event is made before the lock is released, so that its deletion
    // on the caller's thread follows the lock for ThreadSanitizer too.
    auto* wake = new QEvent(kResultsEvent);
    {
      const std::lock_guard lock(mutex_);
      pending_.push_back(std::move(activity));
    }
    QCoreApplication::postEvent(this, wake);
  }

 protected:
  void customEvent(QEvent* /*event*/) override {
    std::deque<AgentActivity> results;
    {
      const std::lock_guard lock(mutex_);
      results.swap(pending_);
    }
    for (AgentActivity& activity : results) {
      if (stopped()) return;
      deliver_(std::move(activity));
    }
  }

 private:
  static constexpr auto kResultsEvent = static_cast<QEvent::Type>(QEvent::User + 1);

  Deliver deliver_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::deque<AgentActivity> pending_;
};

AgentPoller::AgentPoller(Scan scan, std::chrono::milliseconds interval)
    : scan_(std::move(scan)), interval_(interval) {}

AgentPoller::~AgentPoller() { stop(); }

bool AgentPoller::isPolling() const { return relay_ != nullptr; }

void AgentPoller::start(Deliver deliver) {
  if (relay_) return;
  relay_ = new Relay(std::move(deliver));
  thread_ = new QThread;
  thread_->setObjectName(QStringLiteral("Umbrafold.activity"));

  // The worker object and its timer are made here and moved to the worker
  // thread before it starts, so that the timer is started, fired and
  // destroyed on that thread only.
  auto* worker = new QObject;
  auto* timer = new QTimer(worker);
  timer->setTimerType(Qt::CoarseTimer);
  timer->setInterval(interval_);
  worker->moveToThread(thread_);

  // The relay lives until the worker thread has finished, so a tick can
  // always post to it.
  auto tick = [scan = scan_, relay = relay_] {
    if (relay->stopped()) return;
    relay->post(scan());
  };
  QObject::connect(timer, &QTimer::timeout, worker, tick);
  QObject::connect(thread_, &QThread::started, worker, [timer, tick] {
    timer->start();
    tick();
  });
  // Emitted on the worker thread as it ends: the worker is deleted there,
  // the thread and the relay later on the caller's thread.
  QObject::connect(thread_, &QThread::finished, worker, &QObject::deleteLater);
  QObject::connect(thread_, &QThread::finished, relay_, [thread = thread_, relay = relay_] {
    thread->deleteLater();
    relay->deleteLater();
  });
  thread_->start(QThread::LowPriority);
}

void AgentPoller::stop() {
  if (!relay_) return;
  relay_->stop();
  thread_->quit();
  relay_ = nullptr;
  thread_ = nullptr;
}

}  // namespace umbrafold
