#include <sys/prctl.h>

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "appdelegate.h"
#include "commandline.h"
#include "keyboardstate.h"
#include "mascotimages.h"
#include "setupwindow.h"
#include "signalwatch.h"
#include "waylanddecorations.h"
#include "waylandplatform.h"
#include "x11stripscreen.h"
#include "x11window.h"

namespace {

using namespace umbrafold;

// Names the desktop session for a refusal: its desktop and its display.
std::string sessionName() {
  std::string name;
  if (const char* desktop = std::getenv("XDG_CURRENT_DESKTOP"); desktop && *desktop) {
    name = std::string(desktop) + " ";
  }
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return name + "Wayland session (WAYLAND_DISPLAY=" + (wayland ? wayland : "") + ")";
}

// The platform pieces, chosen once: the X11 ones on an X server of its own;
// under Wayland the compositor's session lock. Where there is no lock to
// take (a Wayland compositor without ext-session-lock-v1, where an X grab
// through XWayland would protect nothing), arming is refused rather than
// pretended.
Platform choosePlatform() {
  Platform platform;
  if (std::getenv("WAYLAND_DISPLAY") != nullptr) {
    QString problem;
    WaylandPlatform wayland = makeWaylandPlatform(problem);
    if (wayland.presentation) {
      platform.displays = std::move(wayland.displays);
      platform.presentation = std::move(wayland.presentation);
      platform.focus = std::move(wayland.focus);
      platform.keyboard = std::move(wayland.keyboard);
      platform.makeCurtain = std::move(wayland.makeCurtain);
    } else {
      platform.presentation = makeRefusingPresentation(
          problem.toStdString() + " in this " + sessionName() + ", so Umbrafold cannot lock it");
    }
  } else if (QGuiApplication::platformName() == QLatin1String("xcb")) {
    platform.presentation = makeX11Presentation();
    platform.focus = makeX11Focus();
    platform.keyboard = makeX11KeyboardState();
    platform.makeCurtain = [](const QRect& frame) {
      auto curtain = std::make_unique<CurtainWindow>(frame);
      curtain->mascots()->setScreen(x11::makeStripScreen());
      // The window is made now, so that it is white the moment it is
      // mapped, without waiting for the first paint of a whole monitor.
      x11::fillWhiteOnExpose(curtain->winId());
      return curtain;
    };
  } else {
    platform.presentation = makeRefusingPresentation(
        "the display platform \"" + QGuiApplication::platformName().toStdString() +
        "\" is not X11, so the keyboard cannot be held");
  }
  if (!platform.displays) platform.displays = makeQtDisplays();
  if (!platform.focus) platform.focus = makeQtFocus();
  platform.terminate = [](int status) { QCoreApplication::exit(status); };
  platform.iconFile = SetupWindow::defaultIconFile();
  return platform;
}

}  // namespace

int main(int argc, char* argv[]) {
  const CommandLine command = CommandLine::parse(std::vector<std::string>(argv, argv + argc));
  switch (command.action) {
    case CommandLine::Action::help:
      std::fputs(helpText(), stdout);
      return kExitUnlocked;
    case CommandLine::Action::version:
      std::fputs(versionText().c_str(), stdout);
      return kExitUnlocked;
    case CommandLine::Action::usage:
      std::fputs(usageError(command.offending).c_str(), stderr);
      return kExitUsage;
    case CommandLine::Action::run:
      break;
  }
  const std::string problem =
      displayProblem({&std::getenv, &x11::displayReachable, &waylandSocketReachable});
  if (!problem.empty()) {
    std::fputs(problem.c_str(), stderr);
    return kExitNoDisplay;
  }

  // No core dumps, and other processes of the same user may not attach to
  // us or read our memory: while armed it holds the password's digest, and
  // while the user types, the password itself.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

  // Under Wayland the setup window is a window of the compositor's own,
  // not one of XWayland, unless the user chose Qt's platform.
  if (std::getenv("WAYLAND_DISPLAY") != nullptr) {
    setenv("QT_QPA_PLATFORM", "wayland;xcb", 0);
    // Qt 6.4 draws window decorations of its own only through its EGL
    // client buffer integration, which loads Mesa (some 50 MB, LLVM
    // included) although nothing here draws with GL. Where the compositor
    // draws the title bar itself, Qt's would never be drawn: they are
    // turned off, and no GL is loaded. Elsewhere Qt draws them as before.
    if (std::getenv("QT_WAYLAND_DISABLE_WINDOWDECORATION") == nullptr &&
        compositorDecoratesWindows("umbrafold")) {
      setenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1", 0);
    }
  }

  int qtArgc = 1;  // Qt sees no arguments: the program takes none
  QApplication app(qtArgc, argv);
  QApplication::setApplicationName(QStringLiteral("Umbrafold"));
  QApplication::setDesktopFileName(QStringLiteral("umbrafold"));
  QApplication::setQuitOnLastWindowClosed(false);

  // Sprite sheets are read off the GUI thread while the user chooses the
  // password, so the curtains' first frames never wait for a disk.
  mascotimages::preloadSheets();
  Platform platform = choosePlatform();
  if (!platform.iconFile.isEmpty()) QApplication::setWindowIcon(QIcon(platform.iconFile));
  AppDelegate delegate(std::move(platform));
  SignalWatch signalWatch([&delegate](int number) { delegate.endSession(128 + number); });
  QObject::connect(&delegate, &AppDelegate::armedChanged, &signalWatch, &SignalWatch::setShielded);
  delegate.start();
  const int status = QApplication::exec();
  // Everything the session took has been given back by now. A scan may
  // still be running on the polling thread: it must not see the process's
  // objects torn down under it, so the process ends here, at once.
  std::fflush(nullptr);
  std::_Exit(status);
}
