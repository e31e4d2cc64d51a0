// Drives WaylandSessionLock from standard input, one command a line, and
// answers on standard output, so the end-to-end tests can check the session
// lock on a real compositor without the whole application. Qt itself may run
// on any platform (offscreen is enough): the lock has a connection of its
// own to $WAYLAND_DISPLAY.
//
// At start: "ready canlock=<0|1>", or "error <reason>" and exit 1.
//
//   lock          "locked" or "finished" (or "lock refused" when lock() says no)
//   unlock        "unlocked" (or "unlock failed")
//   frames <ms>   animates a 16x16 patch in the top left corner of every lock
//                 surface, one step per frame callback, for <ms> milliseconds;
//                 then paints it white again and prints "frames <output> <n>"
//                 for each output, in the order of outputs()
//   quit          exit 0
//
// Every lock surface is painted white with a black 260x40 box in its centre
// whenever it is configured. Events print as
//   output added <name> | output removed <name> | configured <name> <w>x<h>
//   focus <name>   (empty: no surface has the keyboard)
//   key <text>     for each key press that types printable text, else
//   key <name>     with the key's name (Return, Backspace, ...); repeats
//                  print "repeat ..." instead
//   button <output> <x> <y> <pressed|released>
//   lost <reason>  the connection broke

#include <unistd.h>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeySequence>
#include <QPainter>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <map>

#include "waylandsessionlock.h"

namespace {

using umbrafold::WaylandSessionLock;

void say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

const QRect kPatch(0, 0, 16, 16);

void paintCurtain(WaylandSessionLock& lock, const QString& output) {
  const bool painted = lock.paint(
      output, QRect(QPoint(), lock.surfaceSize(output)), [](QImage& image, const QRegion&, QPoint) {
        const QSize size = image.deviceIndependentSize().toSize();
        QPainter painter(&image);
        painter.fillRect(QRect(QPoint(), size), Qt::white);
        painter.fillRect(QRect((size.width() - 260) / 2, (size.height() - 40) / 2, 260, 40),
                         Qt::black);
      });
  if (!painted) say(QStringLiteral("paint failed ") + output);
}

void paintPatch(WaylandSessionLock& lock, const QString& output, const QColor& colour) {
  lock.paint(output, kPatch, [colour](QImage& image, const QRegion& region, QPoint) {
    QPainter painter(&image);
    for (const QRect& r : region) painter.fillRect(r, r.intersects(kPatch) ? colour : Qt::white);
  });
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  WaylandSessionLock lock;
  if (!lock.isConnected()) {
    say(QStringLiteral("error ") + lock.errorString());
    return 1;
  }
  say(QStringLiteral("ready canlock=%1").arg(int(lock.canLock())));

  // Frame counting: while `animating`, each frameReady steps the patch.
  bool animating = false;
  std::map<QString, int> frames;

  QObject::connect(&lock, &WaylandSessionLock::outputAdded,
                   [](const QString& name) { say(QStringLiteral("output added ") + name); });
  QObject::connect(&lock, &WaylandSessionLock::outputRemoved,
                   [](const QString& name) { say(QStringLiteral("output removed ") + name); });
  QObject::connect(
      &lock, &WaylandSessionLock::configured, [&](const QString& name, const QSize& size) {
        say(QStringLiteral("configured %1 %2x%3").arg(name).arg(size.width()).arg(size.height()));
        paintCurtain(lock, name);
      });
  QObject::connect(&lock, &WaylandSessionLock::locked, [] { say(QStringLiteral("locked")); });
  QObject::connect(&lock, &WaylandSessionLock::finished, [] { say(QStringLiteral("finished")); });
  QObject::connect(&lock, &WaylandSessionLock::connectionLost,
                   [](const QString& reason) { say(QStringLiteral("lost ") + reason); });
  QObject::connect(&lock, &WaylandSessionLock::keyboardFocusChanged,
                   [](const QString& name) { say(QStringLiteral("focus ") + name); });
  QObject::connect(
      &lock, &WaylandSessionLock::keyEvent,
      [](QEvent::Type type, int key, Qt::KeyboardModifiers, const QString& text, bool autoRepeat) {
        if (type != QEvent::KeyPress) return;
        const bool printable = text.size() == 1 && text.at(0).isPrint();
        say(QString::fromLatin1(autoRepeat ? "repeat " : "key ") +
            (printable ? text : QKeySequence(key).toString()));
      });
  QObject::connect(&lock, &WaylandSessionLock::pointerButton,
                   [](const QString& output, const QPointF& at, Qt::MouseButton, bool pressed) {
                     say(QStringLiteral("button %1 %2 %3 %4")
                             .arg(output)
                             .arg(at.x())
                             .arg(at.y())
                             .arg(pressed ? "pressed" : "released"));
                   });
  QObject::connect(&lock, &WaylandSessionLock::frameReady, [&](const QString& name) {
    if (!animating) return;
    const int n = ++frames[name];
    paintPatch(lock, name, n % 2 ? Qt::gray : Qt::darkGray);
    lock.requestFrame(name);
  });

  const auto countFrames = [&](int milliseconds) {
    frames.clear();
    animating = true;
    for (const QString& name : lock.outputs()) {
      frames[name] = 0;
      lock.requestFrame(name);
    }
    QTimer::singleShot(milliseconds, &lock, [&] {
      animating = false;
      for (const QString& name : lock.outputs()) {
        paintPatch(lock, name, Qt::white);
        say(QStringLiteral("frames %1 %2").arg(name).arg(frames[name]));
      }
    });
  };

  QSocketNotifier input(0, QSocketNotifier::Read);
  QByteArray pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[256];
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) {
      QCoreApplication::quit();
      return;
    }
    pending.append(buffer, static_cast<int>(n));
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
      const QList<QByteArray> words = pending.left(end).trimmed().split(' ');
      pending.remove(0, end + 1);
      const QByteArray& command = words.front();
      if (command == "lock") {
        if (!lock.lock()) say(QStringLiteral("lock refused"));
      } else if (command == "unlock") {
        say(QString::fromLatin1(lock.unlock() ? "unlocked" : "unlock failed"));
      } else if (command == "frames" && words.size() == 2) {
        countFrames(words[1].toInt());
      } else if (command == "quit") {
        QCoreApplication::quit();
      }
    }
  });
  return app.exec();
}
