#pragma once

#include <QApplication>

#include <cstdlib>

namespace umbrafold::testing {

// The one application object of a widget test binary, headless unless the
// environment chose a platform. Never destroyed: tearing it down among the
// other static objects at exit is not safe once windows were shown.
inline QApplication& application() {
  static int argc = 1;
  static char name[] = "mascots_test";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace umbrafold::testing
