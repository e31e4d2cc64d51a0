// A small X client for the end-to-end tests, playing "another client":
//
//   umbrafold_xprobe grab keyboard|pointer
//       Tries once to grab the device on the root window. Prints "grabbed"
//       and holds the grab until standard input closes, or prints
//       "busy <status>" and exits 1.
//   umbrafold_xprobe window RRGGBB X Y W H [override]
//       Maps a window of one colour (override-redirect if asked), prints
//       "mapped <id>" once it is viewable, and raises itself again for each
//       line "raise" on standard input, until standard input closes.
//   umbrafold_xprobe send-keys WINDOW KEYSYM...
//       Sends a press and a release of each key (hexadecimal keysym, no
//       modifiers) to the window as synthetic events, which reach it even
//       while another client holds the keyboard.
//   umbrafold_xprobe fight RRGGBB X Y W H
//       Maps an override-redirect window of one colour that raises itself
//       again whenever anything covers any part of it; prints "mapped <id>"
//       and fights until standard input closes.
//   umbrafold_xprobe lower WINDOW
//       Puts the window below all its siblings.
//   umbrafold_xprobe sample DURATION_MS X,Y [RRGGBB]
//       Reads the root window's pixel at the point as often as it can for
//       the duration and prints "share <fraction> longest <ms>": the share
//       of samples that were not white (or, given a colour, that were of
//       that colour) and the longest such stretch.
//   umbrafold_xprobe tick INTERVAL_MS
//       Wakes every INTERVAL_MS and sends the server one request, flushed,
//       until standard input closes: the least an animating client and the
//       server can cost at that frame rate, as a reference for measurements.
//   umbrafold_xprobe find NAME
//       Prints "<id> <x> <y> <width> <height>" for every viewable window
//       named NAME, among the root's descendants and the Composite Overlay
//       Window's (which the root's tree does not list). Looking at the
//       overlay takes it for a moment: when nobody else holds it, the
//       server creates and destroys it, and the windows under it are
//       exposed again.
//   umbrafold_xprobe compositing
//       Exits 0 when a compositing manager owns the selection
//       _NET_WM_CM_S0, else 1.
//   umbrafold_xprobe grab-breaking
//       Exits 0 when a key of the core keyboard's map carries an XKB action
//       that breaks grabs or kills their holders ("Ungrab", "ClsGrb"),
//       else 1.
//   umbrafold_xprobe hang
//       Plays a compositing manager that stopped painting: redirects every
//       child of the root and draws nothing, until standard input closes.
//       Prints "redirected", or "busy" when another client redirects them.
//   umbrafold_xprobe wait-white TIMEOUT_MS X,Y [X,Y...]
//       Polls the root window's pixels at the points until all are white and
//       prints the CLOCK_MONOTONIC time of that moment in seconds, or prints
//       "timeout" and exits 1.

#include <poll.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/xcb.h>

#include "xcbxkb.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Connection {
  xcb_connection_t* c = nullptr;
  xcb_screen_t* screen = nullptr;

  Connection() {
    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
      std::fprintf(stderr, "no X display\n");
      std::exit(2);
    }
    screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  }
  ~Connection() { xcb_disconnect(c); }
};

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Blocks until standard input closes; calls `onLine` for each line.
template <typename F>
void untilStdinCloses(F onLine) {
  std::string pending;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      onLine(pending.substr(0, eol));
      pending.erase(0, eol + 1);
    }
  }
}

int grab(const std::string& device) {
  Connection x;
  std::uint8_t status = XCB_GRAB_STATUS_FROZEN;
  if (device == "keyboard") {
    auto* reply =
        xcb_grab_keyboard_reply(x.c,
                                xcb_grab_keyboard(x.c, 1, x.screen->root, XCB_CURRENT_TIME,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                nullptr);
    if (reply) status = reply->status;
    std::free(reply);
  } else {
    auto* reply = xcb_grab_pointer_reply(
        x.c,
        xcb_grab_pointer(x.c, 1, x.screen->root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                         XCB_WINDOW_NONE, XCB_CURSOR_NONE, XCB_CURRENT_TIME),
        nullptr);
    if (reply) status = reply->status;
    std::free(reply);
  }
  if (status != XCB_GRAB_STATUS_SUCCESS) {
    say("busy " + std::to_string(status));
    return 1;
  }
  say("grabbed");
  untilStdinCloses([](const std::string&) {});
  return 0;
}

// Creates and maps a window of the colour RRGGBB at argv[0], placed by X Y W
// H at argv[1..4], with the given override-redirect flag and event mask.
xcb_window_t mapWindow(const Connection& x, char** argv, bool override, std::uint32_t events) {
  const std::uint32_t colour = static_cast<std::uint32_t>(std::strtoul(argv[0], nullptr, 16));
  const auto at = [&](int i) { return static_cast<std::int16_t>(std::atoi(argv[i])); };
  const xcb_window_t w = xcb_generate_id(x.c);
  const std::uint32_t values[] = {colour, override ? 1u : 0u, events};
  xcb_create_window(x.c, XCB_COPY_FROM_PARENT, w, x.screen->root, at(1), at(2),
                    static_cast<std::uint16_t>(at(3)), static_cast<std::uint16_t>(at(4)), 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
  xcb_map_window(x.c, w);
  return w;
}

int window(char** argv, int argc) {
  Connection x;
  const bool override = argc > 5 && std::string(argv[5]) == "override";
  const xcb_window_t w = mapWindow(x, argv, override, XCB_EVENT_MASK_STRUCTURE_NOTIFY);
  xcb_flush(x.c);
  while (xcb_generic_event_t* event = xcb_wait_for_event(x.c)) {
    const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
    std::free(event);
    if (mapped) break;
  }
  say("mapped " + std::to_string(w));
  untilStdinCloses([&](const std::string& line) {
    if (line != "raise") return;
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(x.c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    xcb_flush(x.c);
    say("raised");
  });
  return 0;
}

int fight(char** argv) {
  Connection x;
  const xcb_window_t w =
      mapWindow(x, argv, true, XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_VISIBILITY_CHANGE);
  xcb_flush(x.c);
  bool announced = false;
  pollfd fds[2] = {{xcb_get_file_descriptor(x.c), POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(x.c)) {
      const std::uint8_t type = event->response_type & 0x7f;
      if (type == XCB_MAP_NOTIFY && !announced) {
        say("mapped " + std::to_string(w));
        announced = true;
      }
      if (type == XCB_VISIBILITY_NOTIFY &&
          reinterpret_cast<xcb_visibility_notify_event_t*>(event)->state !=
              XCB_VISIBILITY_UNOBSCURED) {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(x.c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_flush(x.c);
      }
      std::free(event);
    }
    if (xcb_connection_has_error(x.c)) return 1;
    poll(fds, 2, -1);
    if (fds[1].revents) {
      char buffer[64];
      if (read(0, buffer, sizeof buffer) <= 0) return 0;
    }
  }
}

int lower(char** argv) {
  Connection x;
  const auto window = static_cast<xcb_window_t>(std::strtoul(argv[0], nullptr, 0));
  const std::uint32_t below = XCB_STACK_MODE_BELOW;
  xcb_configure_window(x.c, window, XCB_CONFIG_WINDOW_STACK_MODE, &below);
  std::free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
  return 0;
}

bool isWhite(Connection& x, int px, int py);
std::uint32_t pixel(Connection& x, int px, int py);

int tick(char** argv) {
  Connection x;
  const auto interval = std::chrono::milliseconds(std::atoi(argv[0]));
  if (interval.count() <= 0) return 2;
  auto next = std::chrono::steady_clock::now() + interval;
  for (;;) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        next - std::chrono::steady_clock::now());
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, static_cast<int>(std::max<long>(wait.count(), 0)));
    if (ready > 0) return 0;  // input, or standard input closed
    if (ready < 0 && errno != EINTR) return 1;
    if (ready == 0) {
      xcb_no_operation(x.c);
      xcb_flush(x.c);
      next += interval;
    }
  }
}

int sample(char** argv, int argc) {
  Connection x;
  const auto duration = std::chrono::milliseconds(std::atoi(argv[0]));
  int px = 0, py = 0;
  if (std::sscanf(argv[1], "%d,%d", &px, &py) != 2) return 2;
  const std::optional<std::uint32_t> colour =
      argc > 2 ? std::optional(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16)))
               : std::nullopt;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  long samples = 0, covered = 0;
  Clock::duration longest{}, stretch{};
  auto last = start;
  bool wasCovered = false;
  while (Clock::now() - start < duration) {
    const bool white = colour ? pixel(x, px, py) != *colour : isWhite(x, px, py);
    const auto now = Clock::now();
    ++samples;
    if (!white) {
      ++covered;
      if (wasCovered) stretch += now - last;
      longest = std::max(longest, stretch);
    } else {
      stretch = {};
    }
    wasCovered = !white;
    last = now;
  }
  std::printf("share %.4f longest %.1f\n", samples ? double(covered) / double(samples) : 0.0,
              std::chrono::duration<double, std::milli>(longest).count());
  return 0;
}

int sendKeys(char** argv, int argc) {
  Connection x;
  const auto window = static_cast<xcb_window_t>(std::strtoul(argv[0], nullptr, 0));
  const xcb_setup_t* setup = xcb_get_setup(x.c);
  const std::uint8_t count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  auto* mapping = xcb_get_keyboard_mapping_reply(
      x.c, xcb_get_keyboard_mapping(x.c, setup->min_keycode, count), nullptr);
  if (!mapping) return 1;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
  const int perCode = mapping->keysyms_per_keycode;
  for (int i = 1; i < argc; ++i) {
    const auto wanted = static_cast<xcb_keysym_t>(std::strtoul(argv[i], nullptr, 16));
    xcb_keycode_t code = 0;
    for (int k = 0; k < count * perCode && code == 0; ++k) {
      if (keysyms[k] == wanted) code = static_cast<xcb_keycode_t>(setup->min_keycode + k / perCode);
    }
    if (code == 0) {
      std::free(mapping);
      return 1;
    }
    for (const std::uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      xcb_key_press_event_t event{};
      event.response_type = type;
      event.detail = code;
      event.time = XCB_CURRENT_TIME;
      event.root = x.screen->root;
      event.event = window;
      event.child = XCB_WINDOW_NONE;
      event.same_screen = 1;
      xcb_send_event(x.c, 1, window,
                     type == XCB_KEY_PRESS ? XCB_EVENT_MASK_KEY_PRESS : XCB_EVENT_MASK_KEY_RELEASE,
                     reinterpret_cast<const char*>(&event));
    }
  }
  std::free(mapping);
  std::free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), nullptr));
  return 0;
}

// A window's text property (of any type), or empty.
std::string propertyText(Connection& x, xcb_window_t w, xcb_atom_t property) {
  auto* value = xcb_get_property_reply(
      x.c, xcb_get_property(x.c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
  std::string text;
  if (value) {
    text.assign(static_cast<const char*>(xcb_get_property_value(value)),
                static_cast<std::size_t>(xcb_get_property_value_length(value)));
  }
  std::free(value);
  return text;
}

xcb_atom_t netWmName(Connection& x) {
  static xcb_atom_t atom = [&x] {
    constexpr char name[] = "_NET_WM_NAME";
    auto* reply =
        xcb_intern_atom_reply(x.c, xcb_intern_atom(x.c, 0, sizeof name - 1, name), nullptr);
    const xcb_atom_t found = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return found;
  }();
  return atom;
}

// The viewable descendants of `parent` named `name`, printed as find does.
void printNamed(Connection& x, xcb_window_t parent, const std::string& name) {
  auto* tree = xcb_query_tree_reply(x.c, xcb_query_tree(x.c, parent), nullptr);
  if (!tree) return;
  const xcb_window_t* children = xcb_query_tree_children(tree);
  const int count = xcb_query_tree_children_length(tree);
  for (int i = 0; i < count; ++i) {
    const xcb_window_t w = children[i];
    auto* attributes =
        xcb_get_window_attributes_reply(x.c, xcb_get_window_attributes(x.c, w), nullptr);
    const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(attributes);
    if (!viewable) continue;
    const bool named =
        propertyText(x, w, XCB_ATOM_WM_NAME) == name || propertyText(x, w, netWmName(x)) == name;
    if (named) {
      auto* geometry = xcb_get_geometry_reply(x.c, xcb_get_geometry(x.c, w), nullptr);
      auto* at = xcb_translate_coordinates_reply(
          x.c, xcb_translate_coordinates(x.c, w, x.screen->root, 0, 0), nullptr);
      if (geometry && at) {
        std::printf("%u %d %d %u %u\n", w, at->dst_x, at->dst_y, geometry->width, geometry->height);
      }
      std::free(geometry);
      std::free(at);
    }
    printNamed(x, w, name);
  }
  std::free(tree);
}

int find(const std::string& name) {
  Connection x;
  printNamed(x, x.screen->root, name);
  const xcb_query_extension_reply_t* composite = xcb_get_extension_data(x.c, &xcb_composite_id);
  if (composite && composite->present) {
    std::free(
        xcb_composite_query_version_reply(x.c, xcb_composite_query_version(x.c, 0, 4), nullptr));
    auto* overlay = xcb_composite_get_overlay_window_reply(
        x.c, xcb_composite_get_overlay_window(x.c, x.screen->root), nullptr);
    if (overlay) printNamed(x, overlay->overlay_win, name);
    std::free(overlay);
    xcb_composite_release_overlay_window(x.c, x.screen->root);
  }
  std::fflush(stdout);
  return 0;
}

int compositing() {
  Connection x;
  constexpr char name[] = "_NET_WM_CM_S0";
  auto* atom = xcb_intern_atom_reply(x.c, xcb_intern_atom(x.c, 0, sizeof name - 1, name), nullptr);
  if (!atom) return 2;
  auto* owner =
      xcb_get_selection_owner_reply(x.c, xcb_get_selection_owner(x.c, atom->atom), nullptr);
  const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
  std::free(owner);
  std::free(atom);
  return owned ? 0 : 1;
}

int grabBreaking() {
  Connection x;
  std::free(xcb_xkb_use_extension_reply(x.c, xcb_xkb_use_extension(x.c, 1, 0), nullptr));
  auto* map = xcb_xkb_get_map_reply(
      x.c,
      xcb_xkb_get_map(x.c, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_MAP_PART_KEY_ACTIONS, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0),
      nullptr);
  if (!map) return 2;
  xcb_xkb_get_map_map_t parts{};
  xcb_xkb_get_map_map_unpack(xcb_xkb_get_map_map(map), map->nTypes, map->nKeySyms, map->nKeyActions,
                             map->totalActions, map->totalKeyBehaviors, map->virtualMods,
                             map->totalKeyExplicit, map->totalModMapKeys, map->totalVModMapKeys,
                             map->present, &parts);
  bool found = false;
  for (int i = 0; i < map->totalActions && parts.acts_rtrn_acts; ++i) {
    char action[9] = {};
    std::memcpy(action, &parts.acts_rtrn_acts[i], 8);
    found = found ||
            (static_cast<unsigned char>(action[0]) == 0x86 &&
             (std::strcmp(action + 1, "ClsGrb") == 0 || std::strcmp(action + 1, "Ungrab") == 0));
  }
  std::free(map);
  return found ? 0 : 1;
}

int hang() {
  Connection x;
  std::free(
      xcb_composite_query_version_reply(x.c, xcb_composite_query_version(x.c, 0, 4), nullptr));
  auto* error = xcb_request_check(x.c, xcb_composite_redirect_subwindows_checked(
                                           x.c, x.screen->root, XCB_COMPOSITE_REDIRECT_MANUAL));
  const bool busy = error != nullptr;
  std::free(error);
  say(busy ? "busy" : "redirected");
  if (busy) return 1;
  untilStdinCloses([](const std::string&) {});
  return 0;
}

// The root window's pixel at the point as 0xRRGGBB (a depth-24 visual).
std::uint32_t pixel(Connection& x, int px, int py) {
  auto* reply = xcb_get_image_reply(
      x.c,
      xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.screen->root, static_cast<std::int16_t>(px),
                    static_cast<std::int16_t>(py), 1, 1, ~0u),
      nullptr);
  std::uint32_t value = 0;
  if (reply && xcb_get_image_data_length(reply) >= 3) {
    const std::uint8_t* data = xcb_get_image_data(reply);
    value = std::uint32_t{data[2]} << 16 | std::uint32_t{data[1]} << 8 | data[0];
  }
  std::free(reply);
  return value;
}

bool isWhite(Connection& x, int px, int py) {
  auto* reply = xcb_get_image_reply(
      x.c,
      xcb_get_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.screen->root, static_cast<std::int16_t>(px),
                    static_cast<std::int16_t>(py), 1, 1, ~0u),
      nullptr);
  bool white = false;
  if (reply && xcb_get_image_data_length(reply) >= 3) {
    const std::uint8_t* data = xcb_get_image_data(reply);
    white = data[0] == 0xff && data[1] == 0xff && data[2] == 0xff;
  }
  std::free(reply);
  return white;
}

int waitWhite(char** argv, int argc, bool white) {
  Connection x;
  const auto timeout = std::chrono::milliseconds(std::atoi(argv[0]));
  std::vector<std::pair<int, int>> points;
  for (int i = 1; i < argc; ++i) {
    int px = 0, py = 0;
    if (std::sscanf(argv[i], "%d,%d", &px, &py) == 2) points.emplace_back(px, py);
  }
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < timeout) {
    bool all = true;
    for (const auto& [px, py] : points) all = all && isWhite(x, px, py);
    if (all == white) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      std::printf("%ld.%09ld\n", static_cast<long>(now.tv_sec), now.tv_nsec);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  say("timeout");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "grab" && argc == 3) return grab(argv[2]);
  if (command == "window" && argc >= 7) return window(argv + 2, argc - 2);
  if (command == "send-keys" && argc >= 4) return sendKeys(argv + 2, argc - 2);
  if (command == "fight" && argc == 7) return fight(argv + 2);
  if (command == "lower" && argc == 3) return lower(argv + 2);
  if (command == "sample" && (argc == 4 || argc == 5)) return sample(argv + 2, argc - 2);
  if (command == "tick" && argc == 3) return tick(argv + 2);
  if (command == "find" && argc == 3) return find(argv[2]);
  if (command == "hang" && argc == 2) return hang();
  if (command == "compositing" && argc == 2) return compositing();
  if (command == "grab-breaking" && argc == 2) return grabBreaking();
  if (command == "wait-white" && argc >= 4) return waitWhite(argv + 2, argc - 2, true);
  if (command == "wait-uncovered" && argc >= 4) return waitWhite(argv + 2, argc - 2, false);
  std::fprintf(stderr, "usage: see the top of xprobe.cpp\n");
  return 2;
}
