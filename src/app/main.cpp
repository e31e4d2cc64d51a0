#include <sys/prctl.h>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdlib>
#include <utility>

#include "appdelegate.h"
#include "setupwindow.h"

namespace {

using namespace umbrafold;

// The platform pieces, chosen once: the X11 ones on an X server of its own;
// under Wayland (even through XWayland) an X grab protects nothing, so
// arming is refused there rather than pretended.
Platform choosePlatform() {
  Platform platform;
  platform.displays = makeQtDisplays();
  const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb") &&
                   std::getenv("WAYLAND_DISPLAY") == nullptr;
  if (x11) {
    platform.presentation = makeX11Presentation();
    platform.focus = makeX11Focus();
  }
  if (!platform.presentation) platform.presentation = makeRefusingPresentation();
  if (!platform.focus) platform.focus = makeQtFocus();
  platform.terminate = [] { QCoreApplication::exit(0); };
  platform.iconFile = SetupWindow::defaultIconFile();
  return platform;
}

}  // namespace

int main(int argc, char* argv[]) {
  // No core dumps, and other processes of the same user may not attach to
  // us or read our memory: while armed it holds the password's digest, and
  // while the user types, the password itself.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Umbrafold"));
  QApplication::setDesktopFileName(QStringLiteral("umbrafold"));
  QApplication::setQuitOnLastWindowClosed(false);

  Platform platform = choosePlatform();
  if (!platform.iconFile.isEmpty()) QApplication::setWindowIcon(QIcon(platform.iconFile));
  AppDelegate delegate(std::move(platform));
  delegate.start();
  return QApplication::exec();
}
