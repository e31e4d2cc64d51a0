#include "x11monitors.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <QByteArray>
#include <QString>

#include "xcbconnection.h"

namespace umbrafold::x11 {

std::optional<Rect> monitorFrame(const QString& display) {
  xcb_connection_t* c = qtConnection();
  if (!c) return std::nullopt;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const QByteArray name = display.toUtf8();
  auto monitors =
      reply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
  if (!monitors) return std::nullopt;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
       xcb_randr_monitor_info_next(&it)) {
    auto atom = reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, it.data->name), nullptr));
    if (!atom) continue;
    const QByteArray monitor(xcb_get_atom_name_name(atom.get()),
                             xcb_get_atom_name_name_length(atom.get()));
    if (monitor == name) return Rect{it.data->x, it.data->y, it.data->width, it.data->height};
  }
  return std::nullopt;
}

}  // namespace umbrafold::x11
