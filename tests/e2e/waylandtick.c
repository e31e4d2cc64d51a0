/* umbrafold_wayland_tick: the least a session locker that animates costs.
 *
 * Locks the session (ext-session-lock-v1), covers every output with a white
 * lock surface, and then, every PERIOD milliseconds (argument 1, default
 * 32), changes one 64x64 square of each surface and commits it with only
 * that square damaged, from one of two wl_shm buffers per output. Prints
 * "locked" once the compositor confirms the lock; unlocks and ends when its
 * standard input closes. tools/measure sets Umbrafold against it. */

#define _GNU_SOURCE
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "ext-session-lock-v1-client-protocol.h"

#define MAX_OUTPUTS 8
#define SQUARE 64

struct buffer {
  struct wl_buffer* buffer;
  uint32_t* pixels;
  int busy;
};

struct output {
  struct wl_output* output;
  struct wl_surface* surface;
  struct ext_session_lock_surface_v1* lock_surface;
  int width, height;
  struct buffer buffers[2];
  int next, tick;
};

static struct wl_compositor* compositor;
static struct wl_shm* shm;
static struct ext_session_lock_manager_v1* manager;
static struct output outputs[MAX_OUTPUTS];
static int output_count;
static int locked;

static void release(void* data, struct wl_buffer* buffer) {
  (void)buffer;
  ((struct buffer*)data)->busy = 0;
}
static const struct wl_buffer_listener release_listener = {release};

static void make_buffer(struct output* o, struct buffer* b) {
  const int stride = o->width * 4, bytes = stride * o->height;
  const int fd = memfd_create("umbrafold-tick", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, bytes) != 0) exit(1);
  b->pixels = mmap(NULL, (size_t)bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (b->pixels == MAP_FAILED) exit(1);
  memset(b->pixels, 0xff, (size_t)bytes);
  struct wl_shm_pool* pool = wl_shm_create_pool(shm, fd, bytes);
  b->buffer =
      wl_shm_pool_create_buffer(pool, 0, o->width, o->height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_buffer_add_listener(b->buffer, &release_listener, b);
  wl_shm_pool_destroy(pool);
  close(fd);
}

static void configure(void* data, struct ext_session_lock_surface_v1* lock_surface,
                      uint32_t serial, uint32_t width, uint32_t height) {
  struct output* o = data;
  if ((int)width != o->width || (int)height != o->height) {
    for (int i = 0; i < 2; ++i) {
      if (o->buffers[i].buffer) {
        wl_buffer_destroy(o->buffers[i].buffer);
        munmap(o->buffers[i].pixels, (size_t)o->width * o->height * 4);
      }
    }
    o->width = (int)width;
    o->height = (int)height;
    for (int i = 0; i < 2; ++i) make_buffer(o, &o->buffers[i]);
  }
  ext_session_lock_surface_v1_ack_configure(lock_surface, serial);
  wl_surface_attach(o->surface, o->buffers[0].buffer, 0, 0);
  wl_surface_damage_buffer(o->surface, 0, 0, o->width, o->height);
  wl_surface_commit(o->surface);
  o->buffers[0].busy = 1;
  o->next = 1;
}
static const struct ext_session_lock_surface_v1_listener lock_surface_listener = {configure};

static void on_locked(void* data, struct ext_session_lock_v1* lock) {
  (void)data;
  (void)lock;
  locked = 1;
  puts("locked");
  fflush(stdout);
}
static void on_finished(void* data, struct ext_session_lock_v1* lock) {
  (void)data;
  (void)lock;
  fputs("umbrafold_wayland_tick: the lock was refused\n", stderr);
  exit(1);
}
static const struct ext_session_lock_v1_listener lock_listener = {on_locked, on_finished};

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
  (void)data;
  (void)version;
  if (strcmp(interface, wl_compositor_interface.name) == 0) {
    compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
  } else if (strcmp(interface, wl_shm_interface.name) == 0) {
    shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
  } else if (strcmp(interface, ext_session_lock_manager_v1_interface.name) == 0) {
    manager = wl_registry_bind(registry, name, &ext_session_lock_manager_v1_interface, 1);
  } else if (strcmp(interface, wl_output_interface.name) == 0 && output_count < MAX_OUTPUTS) {
    outputs[output_count++].output = wl_registry_bind(registry, name, &wl_output_interface, 1);
  }
}
static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}
static const struct wl_registry_listener registry_listener = {global, global_remove};

/* One square of `o` changes colour, and only it is damaged. */
static void step(struct output* o) {
  struct buffer* b = &o->buffers[o->next];
  if (!o->width || b->busy) return;
  const uint32_t colour = (++o->tick & 1) ? 0xff000000u : 0xffffffffu;
  const int x0 = (o->tick * 8) % (o->width - SQUARE), y0 = o->height - SQUARE;
  /* Each buffer the compositor does not hold gets the square. */
  for (int i = 0; i < 2; ++i) {
    if (o->buffers[i].busy) continue;
    for (int y = y0; y < y0 + SQUARE; ++y) {
      for (int x = x0; x < x0 + SQUARE; ++x) o->buffers[i].pixels[y * o->width + x] = colour;
    }
  }
  wl_surface_attach(o->surface, b->buffer, 0, 0);
  wl_surface_damage_buffer(o->surface, x0, y0, SQUARE, SQUARE);
  wl_surface_commit(o->surface);
  b->busy = 1;
  o->next ^= 1;
}

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  const int period = argc > 1 ? atoi(argv[1]) : 32;
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) return 1;
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, NULL);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !manager || period <= 0) return 1;
  struct ext_session_lock_v1* lock = ext_session_lock_manager_v1_lock(manager);
  ext_session_lock_v1_add_listener(lock, &lock_listener, NULL);
  for (int i = 0; i < output_count; ++i) {
    struct output* o = &outputs[i];
    o->surface = wl_compositor_create_surface(compositor);
    o->lock_surface = ext_session_lock_v1_get_lock_surface(lock, o->surface, o->output);
    ext_session_lock_surface_v1_add_listener(o->lock_surface, &lock_surface_listener, o);
  }
  double next = now_ms() + period;
  for (;;) {
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    struct pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {0, POLLIN, 0}};
    const double wait = next - now_ms();
    if (poll(fds, 2, wait > 0 ? (int)wait + 1 : 0) < 0) {
      wl_display_cancel_read(display);
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      if (wl_display_read_events(display) < 0) return 1;
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) return 1;
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      char c;
      if (read(0, &c, 1) <= 0) break;
    }
    if (now_ms() >= next) {
      if (locked) {
        for (int i = 0; i < output_count; ++i) step(&outputs[i]);
      }
      next += period;
      if (next < now_ms()) next = now_ms() + period;
    }
  }
  if (locked) ext_session_lock_v1_unlock_and_destroy(lock);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return 0;
}
