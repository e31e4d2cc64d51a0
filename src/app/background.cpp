#include "background.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <thread>
#include <utility>

namespace umbrafold {

void runInBackground(std::function<bool()> work, std::function<void(bool)> done) {
  QCoreApplication* app = QCoreApplication::instance();
  std::thread([app, work = std::move(work), done = std::move(done)]() mutable {
    const bool result = work();
    work = nullptr;  // what the work held goes here, on this thread
    QMetaObject::invokeMethod(
        app, [done = std::move(done), result] { done(result); }, Qt::QueuedConnection);
  }).detach();
}

}  // namespace umbrafold
