#include "testdoubles.h"

#include <QApplication>
#include <QTest>

namespace umbrafold::test {

void ensureApplication() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char name[] = "umbrafold-test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
}

bool FakePresentation::setOptions(PresentationOptions options) {
  if (onSet) onSet(options);
  log_->add("setOptions " + std::to_string(options.raw));
  requests.push_back(options);
  if (refuse) return false;
  current = options;
  return true;
}

void FakePresentation::cover(QWidget* curtain, const QString&) {
  log_->add("cover " + curtain->objectName().toStdString());
}

void FakePresentation::uncover(QWidget* curtain) {
  log_->add("uncover " + curtain->objectName().toStdString());
}

void FakeFocus::makeKey(QWidget* window) {
  log_->add("makeKey " + window->objectName().toStdString());
  key = window;
}

DisplayInfo display(const QString& number, const QRect& frame) { return {number, frame, frame}; }

}  // namespace umbrafold::test
