#include "agentpoller.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <utility>

namespace umbrafold {

AgentPoller::AgentPoller(Scan scan, std::chrono::milliseconds interval)
    : scan_(std::move(scan)), interval_(interval) {}

AgentPoller::~AgentPoller() { stop(); }

bool AgentPoller::isPolling() const { return thread_ != nullptr; }

void AgentPoller::start(Deliver deliver) {
  if (thread_) return;
  relay_ = std::make_unique<QObject>();
  thread_ = std::make_unique<QThread>();
  thread_->setObjectName(QStringLiteral("Umbrafold.activity"));

  // The worker object and its timer are made here and moved to the worker
  // thread before it starts, so that the timer is started, fired and
  // destroyed on that thread only.
  auto* worker = new QObject;
  auto* timer = new QTimer(worker);
  timer->setTimerType(Qt::CoarseTimer);
  timer->setInterval(interval_);
  worker->moveToThread(thread_.get());

  // The relay outlives the worker thread (stop() joins before letting it
  // go), so the raw pointer stays valid for every tick.
  QObject* relay = relay_.get();
  auto tick = [scan = scan_, relay, deliver = std::move(deliver)] {
    AgentActivity activity = scan();
    QMetaObject::invokeMethod(
        relay, [deliver, activity = std::move(activity)] { deliver(activity); },
        Qt::QueuedConnection);
  };
  QObject::connect(timer, &QTimer::timeout, worker, tick);
  QObject::connect(thread_.get(), &QThread::started, worker, [timer, tick] {
    timer->start();
    tick();
  });
  // Emitted on the worker thread as it ends; the deferred delete runs there
  // too, before the thread is gone.
  QObject::connect(thread_.get(), &QThread::finished, worker, &QObject::deleteLater);
  thread_->start(QThread::LowPriority);
}

void AgentPoller::stop() {
  if (!thread_) return;
  thread_->quit();
  thread_->wait();
  thread_.reset();
  relay_.reset();  // drops results posted but not yet delivered
}

}  // namespace umbrafold
