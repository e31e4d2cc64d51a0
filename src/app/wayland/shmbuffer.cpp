#include "shmbuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>

namespace umbrafold {

ShmBuffer::~ShmBuffer() {
  image = QImage();  // before the pixels it points at go
  if (buffer) wl_buffer_destroy(buffer);
  if (data) munmap(data, bytes);
}

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, QSize pixels, int scale) {
  const std::size_t stride = static_cast<std::size_t>(pixels.width()) * 4;
  const std::size_t bytes = stride * static_cast<std::size_t>(pixels.height());
  if (pixels.isEmpty() || bytes > INT32_MAX) return nullptr;
  const int fd = memfd_create("umbrafold-lock-surface", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return nullptr;
  void* data = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
    data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    close(fd);
    return nullptr;
  }
  // The compositor may rely on the file never shrinking under it.
  fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL);
  auto b = std::make_unique<ShmBuffer>();
  b->data = data;
  b->bytes = bytes;
  b->pixels = pixels;
  b->scale = scale;
  b->image = QImage(static_cast<uchar*>(data), pixels.width(), pixels.height(),
                    static_cast<qsizetype>(stride), QImage::Format_RGB32);
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
  b->buffer = wl_shm_pool_create_buffer(pool, 0, pixels.width(), pixels.height(),
                                        static_cast<std::int32_t>(stride), WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  return b;
}

}  // namespace umbrafold
