// Drives the X11 presentation and focus from standard input, one command a
// line, and answers on standard output, so the end-to-end tests can check
// grabs, stacking and focus on a real server without the whole application:
//
//   arm      take the keyboard and pointer; "armed" then one white,
//            override-redirect window per screen, covered and the first one
//            made key, then "covered"; or "refused" and nothing shown
//   release  uncover and hide the windows, release the grabs: "released"
//   state    "state key=<0|1> active=<0|1> locker=<0|1>"
//   quit     exit 0
//
// Text typed into the key window and ended with Return is echoed as
// "typed <text>"; losing the application focus prints "resigned" and, while
// armed, asks for the focus back.
//
// With the argument "locker", it plays the desktop's screen locker instead:
// it serves org.freedesktop.ScreenSaver GetActive (true) on the session bus,
// prints "serving", and runs until standard input closes.

#include <unistd.h>
#include <QApplication>
#include <QDBusConnection>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QSocketNotifier>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <memory>
#include <vector>

#include "focus.h"
#include "presentation.h"

namespace {

void say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

// The desktop's screen locker, active.
class ActiveLocker : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

 public slots:
  bool GetActive() { return true; }
};

int serveLocker() {
  ActiveLocker locker;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.registerObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &locker,
                          QDBusConnection::ExportAllSlots) ||
      !bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")))
    return 1;
  say(QStringLiteral("serving"));
  QSocketNotifier input(0, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [] {
    char buffer[64];
    if (read(0, buffer, sizeof buffer) <= 0) QCoreApplication::quit();
  });
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  if (argc > 1 && QByteArray(argv[1]) == "locker") return serveLocker();
  auto presentation = umbrafold::makeX11Presentation();
  auto focus = umbrafold::makeX11Focus();
  std::vector<std::unique_ptr<QWidget>> windows;
  QObject::connect(focus.get(), &umbrafold::Focus::resignedActive, [&] {
    say("resigned");
    if (!windows.empty()) focus->activate();
  });

  const auto arm = [&] {
    if (!presentation->setOptions(umbrafold::PresentationOptions::armed())) {
      say("refused");
      return;
    }
    say("armed");
    for (QScreen* screen : QGuiApplication::screens()) {
      auto window =
          std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                                 Qt::X11BypassWindowManagerHint);
      window->setStyleSheet(QStringLiteral("background: white; color: black;"));
      auto* field = new QLineEdit(window.get());
      field->setFixedWidth(260);
      auto* layout = new QVBoxLayout(window.get());
      layout->addWidget(field, 0, Qt::AlignCenter);
      QObject::connect(field, &QLineEdit::returnPressed, [field] {
        say(QStringLiteral("typed ") + field->text());
        field->clear();
      });
      window->setGeometry(screen->geometry());
      window->show();
      presentation->cover(window.get(), screen->name());
      windows.push_back(std::move(window));
    }
    if (!windows.empty()) {
      focus->makeKey(windows.front().get());
      windows.front()->findChild<QLineEdit*>()->setFocus();
    }
    say("covered");
  };

  const auto release = [&] {
    for (auto& window : windows) {
      presentation->uncover(window.get());
      window->hide();
    }
    windows.clear();
    presentation->setOptions({});
    say("released");
  };

  QSocketNotifier input(0, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[256];
    const ssize_t n = read(0, buffer, sizeof buffer - 1);
    if (n <= 0) {
      QCoreApplication::quit();
      return;
    }
    for (const QByteArray& command : QByteArray(buffer, static_cast<int>(n)).split('\n')) {
      if (command == "arm") arm();
      if (command == "release") release();
      if (command == "quit") QCoreApplication::quit();
      if (command == "state") {
        const bool key = !windows.empty() && windows.front()->isActiveWindow();
        say(QStringLiteral("state key=%1 active=%2 locker=%3")
                .arg(int(key))
                .arg(int(focus->isActive()))
                .arg(int(focus->lockerActive())));
      }
    }
  });
  return app.exec();
}

#include "presentationprobe.moc"
