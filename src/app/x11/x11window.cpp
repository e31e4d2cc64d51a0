#include "x11window.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>
#include <QGuiApplication>

#include "xcbconnection.h"

namespace umbrafold::x11 {

xcb_connection_t* qtConnection() {
  auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return app ? app->connection() : nullptr;
}

bool raiseAbove(WId window) {
  xcb_connection_t* c = qtConnection();
  if (!c || window == 0) return false;
  const std::uint32_t above = XCB_STACK_MODE_ABOVE;
  xcb_configure_window(c, static_cast<xcb_window_t>(window), XCB_CONFIG_WINDOW_STACK_MODE, &above);
  xcb_flush(c);
  return true;
}

bool setInputFocus(WId window) {
  xcb_connection_t* c = qtConnection();
  if (!c || window == 0) return false;
  xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, static_cast<xcb_window_t>(window),
                      XCB_CURRENT_TIME);
  xcb_flush(c);
  return true;
}

bool fillWhiteOnExpose(WId window) {
  xcb_connection_t* c = qtConnection();
  if (!c || window == 0) return false;
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen == nullptr) return false;
  const std::uint32_t white = screen->white_pixel;
  xcb_change_window_attributes(c, static_cast<xcb_window_t>(window), XCB_CW_BACK_PIXEL, &white);
  xcb_flush(c);
  return true;
}

bool displayReachable(const std::string& name) {
  xcb_connection_t* c = xcb_connect(name.c_str(), nullptr);
  const bool reached = xcb_connection_has_error(c) == 0;
  xcb_disconnect(c);
  return reached;
}

}  // namespace umbrafold::x11
