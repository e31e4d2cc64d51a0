#include "waylanddecorations.h"

#include <wayland-client.h>

#include <cstring>

#include "xdg-decoration-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace umbrafold {

namespace {

struct Probe {
  wl_compositor* compositor = nullptr;
  xdg_wm_base* shell = nullptr;
  zxdg_decoration_manager_v1* decorations = nullptr;
  bool configured = false;
  uint32_t mode = 0;
};

void onGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t) {
  auto* probe = static_cast<Probe*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    probe->compositor =
        static_cast<wl_compositor*>(wl_registry_bind(registry, id, &wl_compositor_interface, 1));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    probe->shell =
        static_cast<xdg_wm_base*>(wl_registry_bind(registry, id, &xdg_wm_base_interface, 1));
  } else if (std::strcmp(interface, zxdg_decoration_manager_v1_interface.name) == 0) {
    probe->decorations = static_cast<zxdg_decoration_manager_v1*>(
        wl_registry_bind(registry, id, &zxdg_decoration_manager_v1_interface, 1));
  }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

void onPing(void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); }

const xdg_wm_base_listener kShellListener = {onPing};

void onSurfaceConfigure(void* data, xdg_surface*, uint32_t) {
  static_cast<Probe*>(data)->configured = true;
}

const xdg_surface_listener kSurfaceListener = {onSurfaceConfigure};

void onToplevelConfigure(void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {}
void onToplevelClose(void*, xdg_toplevel*) {}
void onToplevelBounds(void*, xdg_toplevel*, int32_t, int32_t) {}
void onToplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}

const xdg_toplevel_listener kToplevelListener = {onToplevelConfigure, onToplevelClose,
                                                 onToplevelBounds, onToplevelCapabilities};

void onDecorationConfigure(void* data, zxdg_toplevel_decoration_v1*, uint32_t mode) {
  static_cast<Probe*>(data)->mode = mode;
}

const zxdg_toplevel_decoration_v1_listener kDecorationListener = {onDecorationConfigure};

// Creates the window, commits it without a buffer and reads the mode the
// compositor configures it with (sent before xdg_surface.configure).
uint32_t askMode(wl_display* display, Probe& probe, const char* appId) {
  wl_surface* surface = wl_compositor_create_surface(probe.compositor);
  xdg_surface* shellSurface = xdg_wm_base_get_xdg_surface(probe.shell, surface);
  xdg_surface_add_listener(shellSurface, &kSurfaceListener, &probe);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(shellSurface);
  xdg_toplevel_add_listener(toplevel, &kToplevelListener, &probe);
  xdg_toplevel_set_app_id(toplevel, appId);
  zxdg_toplevel_decoration_v1* decoration =
      zxdg_decoration_manager_v1_get_toplevel_decoration(probe.decorations, toplevel);
  zxdg_toplevel_decoration_v1_add_listener(decoration, &kDecorationListener, &probe);
  wl_surface_commit(surface);
  for (int round = 0; round < 4 && !probe.configured; ++round) {
    if (wl_display_roundtrip(display) < 0) break;
  }
  zxdg_toplevel_decoration_v1_destroy(decoration);
  xdg_toplevel_destroy(toplevel);
  xdg_surface_destroy(shellSurface);
  wl_surface_destroy(surface);
  wl_display_roundtrip(display);
  return probe.configured ? probe.mode : 0;
}

}  // namespace

bool compositorDecoratesWindows(const char* appId) {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return false;
  Probe probe;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &probe);
  uint32_t mode = 0;
  if (wl_display_roundtrip(display) >= 0 && probe.compositor && probe.shell && probe.decorations) {
    xdg_wm_base_add_listener(probe.shell, &kShellListener, &probe);
    mode = askMode(display, probe, appId);
  }
  if (probe.decorations) zxdg_decoration_manager_v1_destroy(probe.decorations);
  if (probe.shell) xdg_wm_base_destroy(probe.shell);
  if (probe.compositor) wl_compositor_destroy(probe.compositor);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return mode == ZXDG_TOPLEVEL_DECORATION_V1_MODE_SERVER_SIDE;
}

}  // namespace umbrafold
