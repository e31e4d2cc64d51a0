#include "stripsurface.h"

#include <wayland-client.h>

#include <algorithm>
#include <cstring>

#include "damagerects.h"
#include "viewporter-client-protocol.h"

namespace umbrafold {

namespace {

// Buffers of a strip: one shown, one drawn into, and one more while the
// compositor holds on to both.
constexpr std::size_t kMaxBuffers = 3;

// Damage closer than this many pixels is reported as one rectangle: about
// the space between two mascots that walk side by side.
constexpr int kDamageGap = 32;

// Buffer user data is the buffer itself; it is dispatched with the
// strip's mutex held.
const wl_buffer_listener kReleaseListener = {
    [](void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy = false; },
};

// Callback user data is the callback's slot in the strip, cleared when the
// compositor took the frame.
const wl_callback_listener kFrameListener = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      wl_callback_destroy(callback);
      *static_cast<wl_callback**>(data) = nullptr;
    },
};

void copyRect(const ShmBuffer& from, ShmBuffer& to, const QRect& r) {
  for (int y = r.top(); y <= r.bottom(); ++y) {
    const std::size_t offset =
        static_cast<std::size_t>(y) * to.stride() + static_cast<std::size_t>(r.left()) * 4;
    std::memcpy(static_cast<char*>(to.data) + offset, static_cast<const char*>(from.data) + offset,
                static_cast<std::size_t>(r.width()) * 4);
  }
}

}  // namespace

StripSurface::StripSurface(const Globals& globals) : globals_(globals) {
  queue_ = wl_display_create_queue(globals_.display);
}

StripSurface::~StripSurface() { close(); }

namespace {

// `logical` reached up and left to the nearest logical pixel on a whole
// device pixel at `scale`.
QRect fromWholePixel(const QRect& logical, SurfaceScale scale) {
  const int step = scale.step();
  const auto down = [step](int v) {
    return v >= 0 ? v / step * step : -((-v + step - 1) / step) * step;
  };
  return {QPoint(down(logical.left()), down(logical.top())), logical.bottomRight()};
}

}  // namespace

void StripSurface::attach(wl_surface* parent, const QRect& logical, SurfaceScale scale) {
  std::function<void()> lost;
  {
    std::lock_guard lock(mutex_);
    if (!queue_) return;
    destroyLocked();
    surface_ = wl_compositor_create_surface(globals_.compositor);
    // Requests made from it (frame callbacks) inherit the queue.
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(surface_), queue_);
    subsurface_ = wl_subcompositor_get_subsurface(globals_.subcompositor, surface_, parent);
    wl_subsurface_set_desync(subsurface_);
    // Presses go through to the lock surface beneath, whose coordinates
    // place them on the curtain.
    wl_region* none = wl_compositor_create_region(globals_.compositor);
    wl_surface_set_input_region(surface_, none);
    wl_region_destroy(none);
    logical_ = logical;
    scale_ = scale;
    covered_ = fromWholePixel(logical, scale);
    wl_subsurface_set_position(subsurface_, covered_.x(), covered_.y());
    if (globals_.viewporter) viewport_ = wp_viewporter_get_viewport(globals_.viewporter, surface_);
    whole_ = true;
    lost = lost_;
  }
  if (lost) lost();
}

bool StripSurface::place(const QRect& logical, SurfaceScale scale) {
  std::function<void()> lost;
  {
    std::lock_guard lock(mutex_);
    if (logical == logical_ && scale.scale120 == scale_.scale120) return false;
    const QRect covered = fromWholePixel(logical, scale);
    if (subsurface_ && covered.topLeft() != covered_.topLeft())
      wl_subsurface_set_position(subsurface_, covered.x(), covered.y());
    logical_ = logical;
    scale_ = scale;
    covered_ = covered;
    shownPixels_ = QSize();  // the viewport is set again
    whole_ = true;
    lost = lost_;
  }
  if (lost) lost();
  return true;
}

void StripSurface::detach() {
  std::lock_guard lock(mutex_);
  destroyLocked();
}

void StripSurface::close() {
  std::lock_guard lock(mutex_);
  destroyLocked();
  if (queue_) wl_event_queue_destroy(queue_);
  queue_ = nullptr;
}

bool StripSurface::attached() const {
  std::lock_guard lock(mutex_);
  return surface_ != nullptr;
}

void StripSurface::setHandlers(const void* owner, std::function<void()> lost,
                               std::function<void()> wanted) {
  std::lock_guard lock(mutex_);
  lost_ = std::move(lost);
  wanted_ = std::move(wanted);
  owner_ = owner;
}

void StripSurface::dropHandlers(const void* owner) {
  std::lock_guard lock(mutex_);
  if (owner_ != owner) return;
  lost_ = nullptr;
  wanted_ = nullptr;
  owner_ = nullptr;
}

void StripSurface::dispatch() {
  std::function<void()> wanted;
  {
    std::lock_guard lock(mutex_);
    if (!surface_ || !frame_) return;
    dispatchLocked();
    if (frame_) return;
    if (drawn_) {
      commitLocked();
      wl_display_flush(globals_.display);
      return;
    }
    wanted = wanted_;
  }
  if (wanted) wanted();
}

double StripSurface::pixelRatio() const {
  std::lock_guard lock(mutex_);
  return scale_.ratio();
}

bool StripSurface::hasBackBuffer() {
  std::lock_guard lock(mutex_);
  if (!surface_ || drawn_ || buffers_.size() < kMaxBuffers) return true;
  dispatchLocked();
  return std::any_of(buffers_.begin(), buffers_.end(),
                     [this](const auto& b) { return !b->busy && b.get() != front_; });
}

bool StripSurface::wantsFrame() const {
  std::lock_guard lock(mutex_);
  return !surface_ || !frame_;
}

void StripSurface::destroyLocked() {
  if (frame_) wl_callback_destroy(frame_);
  frame_ = nullptr;
  front_ = nullptr;
  drawn_ = nullptr;
  pending_ = QRegion();
  buffers_.clear();
  if (viewport_) wp_viewport_destroy(viewport_);
  if (subsurface_) wl_subsurface_destroy(subsurface_);
  if (surface_) wl_surface_destroy(surface_);
  viewport_ = nullptr;
  subsurface_ = nullptr;
  surface_ = nullptr;
  shownPixels_ = QSize();
  whole_ = true;
}

void StripSurface::dispatchLocked() {
  // Events the connection's reader queued for this strip: releases and
  // frame callbacks. Never blocks.
  wl_display_dispatch_queue_pending(globals_.display, queue_);
}

ShmBuffer* StripSurface::backLocked(QSize pixels) {
  for (auto& b : buffers_) {
    if (b->pixels != pixels) {
      b->retired = true;
      if (front_ == b.get()) front_ = nullptr;
      if (drawn_ == b.get()) drawn_ = nullptr;
    }
  }
  std::erase_if(buffers_, [](const auto& b) { return b->retired && !b->busy; });
  if (drawn_) return drawn_;
  for (auto& b : buffers_) {
    if (!b->busy && !b->retired && b.get() != front_) return b.get();
  }
  if (buffers_.size() >= kMaxBuffers) return nullptr;
  std::unique_ptr<ShmBuffer> b = ShmBuffer::create(globals_.shm, pixels, 1);
  if (!b) return nullptr;
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(b->buffer), queue_);
  wl_buffer_add_listener(b->buffer, &kReleaseListener, b.get());
  // White until drawn: no pixel of a new buffer is ever shown black.
  std::memset(b->data, 0xff, b->bytes);
  b->stale = QRegion(QRect(QPoint(), pixels));
  buffers_.push_back(std::move(b));
  return buffers_.back().get();
}

bool StripSurface::draw(const QRect& place, std::span<const QRect> area, const Paint& paint) {
  std::lock_guard lock(mutex_);
  const QSize pixels = scale_.pixels(covered_.size());
  if (!surface_ || pixels.isEmpty()) return true;
  dispatchLocked();
  ShmBuffer* b = backLocked(pixels);
  if (!b) return buffers_.size() >= kMaxBuffers;  // all held: the next frame draws
  const QRect all(QPoint(), pixels);
  // Where the strip's top-left corner lies in the buffer.
  const QPoint origin =
      place.topLeft() - scale_.pixels(covered_, QSize(1 << 20, 1 << 20)).topLeft();
  QRegion region;
  if (whole_ || (!front_ && b != drawn_)) {
    region = all;
  } else {
    for (const QRect& r : area) region += r.translated(origin) & all;
  }
  if (b != drawn_ && front_) {
    // Bring the pixels outside this frame up to date with what is shown.
    for (const QRect& r : b->stale - region) copyRect(*front_, *b, r);
  }
  QImage& image = b->image;
  if (region == QRegion(all) && (whole_ || !front_)) {
    const QRect one = all.translated(-origin);
    paint(image, origin, {&one, 1});
  } else {
    paint(image, origin, area);
  }
  for (auto& other : buffers_) {
    if (other.get() != b) other->stale += region;
  }
  b->stale = QRegion();
  whole_ = false;
  drawn_ = b;
  pending_ += region;
  if (!frame_) commitLocked();
  return true;
}

void StripSurface::flush() {
  std::lock_guard lock(mutex_);
  if (!queue_) return;
  if (surface_) {
    dispatchLocked();
    if (!frame_ && drawn_) commitLocked();
  }
  wl_display_flush(globals_.display);
}

void StripSurface::commitLocked() {
  ShmBuffer* b = drawn_;
  if (!b) return;
  if (b->pixels != shownPixels_) {
    // The strip covers its logical rectangle whatever its pixel ratio.
    if (viewport_) {
      wp_viewport_set_destination(viewport_, covered_.width(), covered_.height());
    } else {
      // A buffer scale must divide the buffer's size exactly.
      const int scale = std::max(1, b->pixels.width() / std::max(1, covered_.width()));
      wl_surface_set_buffer_scale(surface_, b->pixels == covered_.size() * scale ? scale : 1);
    }
    shownPixels_ = b->pixels;
    pending_ = QRegion(QRect(QPoint(), b->pixels));
  }
  wl_surface_attach(surface_, b->buffer, 0, 0);
  for (const QRect& r : damageRects(pending_, kDamageGap))
    wl_surface_damage_buffer(surface_, r.x(), r.y(), r.width(), r.height());
  frame_ = wl_surface_frame(surface_);
  wl_callback_add_listener(frame_, &kFrameListener, &frame_);
  wl_surface_commit(surface_);
  b->busy = true;
  front_ = b;
  drawn_ = nullptr;
  pending_ = QRegion();
}

}  // namespace umbrafold
