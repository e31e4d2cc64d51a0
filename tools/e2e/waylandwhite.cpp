// Waits until every output shows white, for tools/measure --wayland: copies
// one pixel of each output with wlr-screencopy-unstable-v1 (offered by
// wlroots compositors), all outputs at once, round after round, and when in
// one round every pixel is white prints
//
//   white SECONDS
//
// with SECONDS the CLOCK_MONOTONIC time the round ended (microseconds), and
// exits 0. Each round costs one frame of the compositor.
//
//   umbrafold_wayland_white [X Y]
//
// X and Y are logical pixels from each output's top left corner (5 5 unless
// told). A copy that fails (an output that is off) is repeated next round.
// Exit status 1 when the compositor lacks what the probe needs.

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace {

struct Output {
  wl_output* output = nullptr;
  zwlr_screencopy_frame_v1* frame = nullptr;
  wl_buffer* buffer = nullptr;
  void* pixels = nullptr;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool done = false, white = false, failed = false;
};

struct Globals {
  wl_shm* shm = nullptr;
  zwlr_screencopy_manager_v1* screencopy = nullptr;
  uint32_t screencopyVersion = 0;
  std::vector<std::unique_ptr<Output>> outputs;
};

Globals globals;

[[noreturn]] void fail(const char* message) {
  std::fprintf(stderr, "umbrafold_wayland_white: %s\n", message);
  std::exit(1);
}

// A wl_shm buffer of the frame's format and size, made once and kept while
// the compositor asks for the same.
void copy(Output* o) {
  if (!o->buffer) {
    const size_t bytes = size_t{o->stride} * o->height;
    const int fd = memfd_create("umbrafold-white", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) fail("no shared memory");
    o->pixels = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (o->pixels == MAP_FAILED) fail("cannot map shared memory");
    wl_shm_pool* pool = wl_shm_create_pool(globals.shm, fd, static_cast<int32_t>(bytes));
    o->buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(o->width),
                                          static_cast<int32_t>(o->height),
                                          static_cast<int32_t>(o->stride), o->format);
    wl_shm_pool_destroy(pool);
    close(fd);
  }
  zwlr_screencopy_frame_v1_copy(o->frame, o->buffer);
}

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width,
              uint32_t height, uint32_t stride) {
  auto* o = static_cast<Output*>(data);
  // Formats of 8-bit channels whose colour is the low 24 bits of a
  // little-endian word.
  if (format != WL_SHM_FORMAT_XRGB8888 && format != WL_SHM_FORMAT_ARGB8888 &&
      format != WL_SHM_FORMAT_XBGR8888 && format != WL_SHM_FORMAT_ABGR8888) {
    fail("the compositor copies pixels in a format the probe does not read");
  }
  if (o->buffer &&
      (format != o->format || width != o->width || height != o->height || stride != o->stride)) {
    wl_buffer_destroy(o->buffer);
    munmap(o->pixels, size_t{o->stride} * o->height);
    o->buffer = nullptr;
  }
  o->format = format;
  o->width = width;
  o->height = height;
  o->stride = stride;
  if (globals.screencopyVersion < 3) copy(o);
}

void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { copy(static_cast<Output*>(data)); }

void finish(Output* o, bool ready) {
  o->white = ready && (*static_cast<const uint32_t*>(o->pixels) & 0xffffff) == 0xffffff;
  o->failed = !ready;
  o->done = true;
  zwlr_screencopy_frame_v1_destroy(o->frame);
  o->frame = nullptr;
}

void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
  finish(static_cast<Output*>(data), true);
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) { finish(static_cast<Output*>(data), false); }
void onFlags(void*, zwlr_screencopy_frame_v1*, uint32_t) {}
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}

const zwlr_screencopy_frame_v1_listener kFrameListener = {onBuffer, onFlags,  onReady,     onFailed,
                                                          onDamage, onDmabuf, onBufferDone};

void onGlobal(void*, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
  const std::string name = interface;
  if (name == wl_shm_interface.name) {
    globals.shm = static_cast<wl_shm*>(wl_registry_bind(registry, id, &wl_shm_interface, 1));
  } else if (name == zwlr_screencopy_manager_v1_interface.name) {
    globals.screencopyVersion = version < 3 ? version : 3;
    globals.screencopy = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
        registry, id, &zwlr_screencopy_manager_v1_interface, globals.screencopyVersion));
  } else if (name == wl_output_interface.name) {
    auto output = std::make_unique<Output>();
    output->output =
        static_cast<wl_output*>(wl_registry_bind(registry, id, &wl_output_interface, 1));
    globals.outputs.push_back(std::move(output));
  }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 1 && argc != 3) {
    std::fputs("usage: umbrafold_wayland_white [X Y]\n", stderr);
    return 2;
  }
  const int32_t x = argc == 3 ? std::atoi(argv[1]) : 5;
  const int32_t y = argc == 3 ? std::atoi(argv[2]) : 5;

  wl_display* display = wl_display_connect(nullptr);
  if (!display) fail("cannot connect to $WAYLAND_DISPLAY");
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, nullptr);
  wl_display_roundtrip(display);
  if (!globals.shm) fail("the compositor offers no wl_shm");
  if (!globals.screencopy) fail("the compositor offers no zwlr_screencopy_manager_v1");
  if (globals.outputs.empty()) fail("the compositor has no outputs");

  for (;;) {
    for (auto& o : globals.outputs) {
      o->done = false;
      o->frame = zwlr_screencopy_manager_v1_capture_output_region(globals.screencopy, 0, o->output,
                                                                  x, y, 1, 1);
      zwlr_screencopy_frame_v1_add_listener(o->frame, &kFrameListener, o.get());
    }
    bool white = true, failed = false;
    for (auto& o : globals.outputs) {
      while (!o->done) {
        if (wl_display_dispatch(display) < 0) fail("the connection broke");
      }
      white = white && o->white;
      failed = failed || o->failed;
    }
    if (white) break;
    if (failed) usleep(10000);  // an output that is off fails at once
  }
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::printf("white %lld.%06ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
  std::fflush(stdout);
  wl_display_disconnect(display);
  return 0;
}
