#pragma once

#include <QImage>
#include <QRegion>
#include <QSize>

#include <cstddef>
#include <memory>

struct wl_buffer;
struct wl_shm;

namespace umbrafold {

// One wl_shm buffer of XRGB8888 pixels, mapped into this process. The
// proxy belongs to whichever thread attaches it; the object itself keeps no
// lock.
struct ShmBuffer {
  wl_buffer* buffer = nullptr;
  void* data = nullptr;
  std::size_t bytes = 0;
  QSize pixels;
  int scale = 1;         // what its owner drew it for (a scale, in its owner's unit)
  bool busy = false;     // attached and not yet released by the compositor
  bool retired = false;  // of an old size or scale: destroyed once released
  QRegion stale;         // logical pixels whose content is older than the front buffer's
  // The pixels as an image, made once with the buffer: the paint engine a
  // painter needs is built on an image's first paint and kept with it, so
  // frames drawn into the same buffer do not build it again each time.
  // Painted through this object only: a copy would paint into its own pixels.
  QImage image;

  // A buffer of `pixels` from `shm`, tagged with `scale`; null when no
  // shared memory could be had or the size is empty or too large.
  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, QSize pixels, int scale);

  ShmBuffer() = default;
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;
  ~ShmBuffer();
  int stride() const { return pixels.width() * 4; }
};

}  // namespace umbrafold
