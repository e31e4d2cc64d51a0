#include "agentpoller.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <utility>

namespace umbrafold {

// One run of polling, from start() to stop(). The worker thread and the
// relay (the object on the caller's thread to which results are posted)
// outlive stop() until the worker has ended on its own; both then delete
// themselves on the caller's thread.
struct AgentPoller::Run {
  std::atomic<bool> stopped{false};
  QThread* thread = nullptr;
  QObject* relay = nullptr;
};

AgentPoller::AgentPoller(Scan scan, std::chrono::milliseconds interval)
    : scan_(std::move(scan)), interval_(interval) {}

AgentPoller::~AgentPoller() { stop(); }

bool AgentPoller::isPolling() const { return run_ != nullptr; }

void AgentPoller::start(Deliver deliver) {
  if (run_) return;
  auto run = std::make_shared<Run>();
  run->relay = new QObject;
  run->thread = new QThread;
  run->thread->setObjectName(QStringLiteral("Umbrafold.activity"));

  // The worker object and its timer are made here and moved to the worker
  // thread before it starts, so that the timer is started, fired and
  // destroyed on that thread only.
  auto* worker = new QObject;
  auto* timer = new QTimer(worker);
  timer->setTimerType(Qt::CoarseTimer);
  timer->setInterval(interval_);
  worker->moveToThread(run->thread);

  // The relay is deleted only after the worker thread has finished, so
  // posting to it from a tick is always safe; whatever arrives after stop()
  // is dropped on the caller's thread.
  auto tick = [scan = scan_, run, deliver = std::move(deliver)] {
    if (run->stopped.load()) return;
    AgentActivity activity = scan();
    QMetaObject::invokeMethod(
        run->relay,
        [run, deliver, activity = std::move(activity)] {
          if (!run->stopped.load()) deliver(activity);
        },
        Qt::QueuedConnection);
  };
  QObject::connect(timer, &QTimer::timeout, worker, tick);
  QObject::connect(run->thread, &QThread::started, worker, [timer, tick] {
    timer->start();
    tick();
  });
  // Emitted on the worker thread as it ends: the worker is deleted there,
  // the thread and the relay later on the caller's thread.
  QObject::connect(run->thread, &QThread::finished, worker, &QObject::deleteLater);
  QObject::connect(run->thread, &QThread::finished, run->relay,
                   [thread = run->thread, relay = run->relay] {
                     thread->deleteLater();
                     relay->deleteLater();
                   });
  run_ = std::move(run);
  run_->thread->start(QThread::LowPriority);
}

void AgentPoller::stop() {
  if (!run_) return;
  run_->stopped = true;
  run_->thread->quit();
  run_.reset();
}

}  // namespace umbrafold
