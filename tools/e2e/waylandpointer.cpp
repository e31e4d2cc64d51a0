// A virtual pointer for the Wayland end-to-end tests: moves to a position on
// one output and clicks the left button there (or only moves), through
// wlr-virtual-pointer-unstable-v1 (offered by wlroots compositors).
//
//   umbrafold_wayland_pointer [--wait MS] OUTPUT X Y [click|move]
//
// X and Y are logical pixels from the output's top left corner (its size as
// xdg-output reports it). The pointer device exists only while the program
// runs: the seat gains its pointer capability when it starts, and clients
// need a moment to take a wl_pointer for it, so the events wait --wait
// milliseconds (300 unless told) after the device appears.
//
// Exit status: 0 when the events were sent, 1 when the output or the
// protocol is missing, 2 for wrong arguments.

#include <linux/input-event-codes.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace {

struct Output {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  std::string name;
  int32_t width = 0;
  int32_t height = 0;
};

struct Globals {
  wl_seat* seat = nullptr;
  zxdg_output_manager_v1* xdgOutputs = nullptr;
  zwlr_virtual_pointer_manager_v1* pointers = nullptr;
  uint32_t pointersVersion = 0;
  std::vector<std::unique_ptr<Output>> outputs;
};

void onLogicalPosition(void*, zxdg_output_v1*, int32_t, int32_t) {}
void onLogicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* output = static_cast<Output*>(data);
  output->width = width;
  output->height = height;
}
void onXdgDone(void*, zxdg_output_v1*) {}
void onXdgName(void* data, zxdg_output_v1*, const char* name) {
  static_cast<Output*>(data)->name = name;
}
void onXdgDescription(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener kXdgOutputListener = {onLogicalPosition, onLogicalSize, onXdgDone,
                                                    onXdgName, onXdgDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t id, const char* interface,
              uint32_t version) {
  auto* globals = static_cast<Globals*>(data);
  const std::string name = interface;
  if (name == wl_seat_interface.name && !globals->seat) {
    globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, id, &wl_seat_interface, 1));
  } else if (name == wl_output_interface.name) {
    auto output = std::make_unique<Output>();
    output->output =
        static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, 1));
    globals->outputs.push_back(std::move(output));
  } else if (name == zxdg_output_manager_v1_interface.name && version >= 2) {
    globals->xdgOutputs = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, id, &zxdg_output_manager_v1_interface, 2));
  } else if (name == zwlr_virtual_pointer_manager_v1_interface.name) {
    globals->pointersVersion = version < 2 ? version : 2;
    globals->pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(wl_registry_bind(
        registry, id, &zwlr_virtual_pointer_manager_v1_interface, globals->pointersVersion));
  }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

uint32_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

int fail(const char* message) {
  std::fprintf(stderr, "umbrafold_wayland_pointer: %s\n", message);
  return 1;
}

int usage() {
  std::fputs("usage: umbrafold_wayland_pointer [--wait MS] OUTPUT X Y [click|move]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int waitMs = 300;
  if (args.size() >= 2 && args[0] == "--wait") {
    waitMs = std::atoi(args[1].c_str());
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 3 && args.size() != 4) return usage();
  const std::string action = args.size() == 4 ? args[3] : "click";
  if (action != "click" && action != "move") return usage();
  const long x = std::strtol(args[1].c_str(), nullptr, 10);
  const long y = std::strtol(args[2].c_str(), nullptr, 10);

  wl_display* display = wl_display_connect(nullptr);
  if (!display) return fail("cannot connect to $WAYLAND_DISPLAY");
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  wl_display_roundtrip(display);
  if (!globals.pointers) return fail("the compositor offers no zwlr_virtual_pointer_manager_v1");
  if (globals.pointersVersion < 2) return fail("zwlr_virtual_pointer_manager_v1 is older than 2");
  if (!globals.xdgOutputs) return fail("the compositor offers no zxdg_output_manager_v1 v2");
  for (auto& output : globals.outputs) {
    output->xdg = zxdg_output_manager_v1_get_xdg_output(globals.xdgOutputs, output->output);
    zxdg_output_v1_add_listener(output->xdg, &kXdgOutputListener, output.get());
  }
  wl_display_roundtrip(display);

  Output* target = nullptr;
  for (auto& output : globals.outputs) {
    if (output->name == args[0]) target = output.get();
  }
  if (!target || target->width <= 0 || target->height <= 0) return fail("no such output");
  if (x < 0 || y < 0 || x >= target->width || y >= target->height) {
    return fail("the position is outside the output");
  }

  zwlr_virtual_pointer_v1* pointer =
      zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(
          globals.pointers, globals.seat, target->output);
  wl_display_roundtrip(display);
  usleep(static_cast<useconds_t>(waitMs) * 1000);

  zwlr_virtual_pointer_v1_motion_absolute(
      pointer, nowMs(), static_cast<uint32_t>(x), static_cast<uint32_t>(y),
      static_cast<uint32_t>(target->width), static_cast<uint32_t>(target->height));
  zwlr_virtual_pointer_v1_frame(pointer);
  if (action == "click") {
    zwlr_virtual_pointer_v1_button(pointer, nowMs(), BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
    zwlr_virtual_pointer_v1_frame(pointer);
    zwlr_virtual_pointer_v1_button(pointer, nowMs(), BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(pointer);
  }
  const bool sent = wl_display_roundtrip(display) >= 0;
  zwlr_virtual_pointer_v1_destroy(pointer);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return sent ? 0 : fail("the connection broke");
}
