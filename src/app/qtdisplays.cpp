#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "displays.h"

namespace umbrafold {

namespace {

DisplayInfo describe(const QScreen* screen) {
  return {screen->name(), screen->geometry(), screen->availableGeometry()};
}

// Reports every change of the set or layout of screens as one `changed`,
// emitted on a later turn of the event loop: Qt announces one change as a
// burst of signals (added, primary changed, geometry changed), and a window
// must not be torn down inside Qt's own screen bookkeeping.
class QtDisplays : public Displays {
 public:
  QtDisplays() {
    coalesce_.setSingleShot(true);
    coalesce_.setInterval(0);
    connect(&coalesce_, &QTimer::timeout, this, &Displays::changed);
    connect(qApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
      watch(screen);
      coalesce_.start();
    });
    connect(qApp, &QGuiApplication::screenRemoved, this, [this] { coalesce_.start(); });
    connect(qApp, &QGuiApplication::primaryScreenChanged, this, [this] { coalesce_.start(); });
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
  }

  std::vector<DisplayInfo> screens() const override {
    std::vector<DisplayInfo> result;
    const QList<QScreen*> all = QGuiApplication::screens();
    result.reserve(all.size());
    for (const QScreen* screen : all) result.push_back(describe(screen));
    return result;
  }

  std::optional<DisplayInfo> mainScreen() const override {
    if (const QScreen* primary = QGuiApplication::primaryScreen()) return describe(primary);
    return std::nullopt;
  }

  QPoint pointer() const override { return QCursor::pos(); }

 private:
  void watch(QScreen* screen) {
    connect(screen, &QScreen::geometryChanged, this, [this] { coalesce_.start(); });
    connect(screen, &QScreen::availableGeometryChanged, this, [this] { coalesce_.start(); });
  }

  QTimer coalesce_;
};

}  // namespace

std::unique_ptr<Displays> makeQtDisplays() { return std::make_unique<QtDisplays>(); }

}  // namespace umbrafold
