// Drawing the lock surfaces: their buffers, the white beneath and beyond
// them, and the band with the field as a sub-surface of its own.
#include <algorithm>
#include <cstring>
#include <vector>

#include "waylandlockprivate.h"

namespace umbrafold {

using Impl = WaylandSessionLockPrivate;
using Output = WaylandSessionLockPrivate::Output;

namespace {

const wl_callback_listener kFrameListener = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      auto* o = static_cast<Output*>(data);
      wl_callback_destroy(callback);
      o->frame = nullptr;
      o->frameWanted = false;
      o->d->post([q = o->d->q, name = o->name] { emit q->frameReady(name); });
    },
};

// Buffer user data is the Output; the buffer itself is found by its proxy.
const wl_buffer_listener kBufferListener = {
    [](void* data, wl_buffer* released) {
      auto* o = static_cast<Output*>(data);
      for (auto it = o->buffers.begin(); it != o->buffers.end(); ++it) {
        if ((*it)->buffer != released) continue;
        (*it)->busy = false;
        if ((*it)->retired) o->buffers.erase(it);
        return;
      }
    },
};

}  // namespace

// -- painting ---------------------------------------------------------------------

wl_buffer* Impl::whitePixel() {
  if (singlePixel) {
    if (!solidWhite) {
      solidWhite = wp_single_pixel_buffer_manager_v1_create_u32_rgba_buffer(
          singlePixel, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX);
    }
    return solidWhite;
  }
  if (!white) {
    white = ShmBuffer::create(shm, QSize(1, 1), 0);
    if (white) std::memset(white->data, 0xff, white->bytes);
  }
  return white ? white->buffer : nullptr;
}

void Impl::coverEdges(Output& o) {
  if (!o.backdrop) return;
  // At a whole-number scale the surface fills its output to the last pixel:
  // no backdrop then, which would reach onto the output beside it.
  const bool needed = scaleOf(o).scale120 % 120 != 0;
  const QSize wanted = needed ? o.size : QSize();
  if (o.backdropSize == wanted) return;
  o.backdropSize = wanted;
  // A synchronised sub-surface: this takes effect with the lock surface's
  // commit.
  if (!needed) {
    wl_surface_attach(o.backdrop, nullptr, 0, 0);
    wl_surface_commit(o.backdrop);
    return;
  }
  wl_buffer* pixel = whitePixel();
  if (!pixel) return;
  wp_viewport_set_destination(o.backdropViewport, o.size.width() + 1, o.size.height() + 1);
  wl_surface_attach(o.backdrop, pixel, 0, 0);
  wl_surface_damage_buffer(o.backdrop, 0, 0, 1, 1);
  wl_surface_commit(o.backdrop);
}

SurfaceScale Impl::scaleOf(const Output& o) const {
  if (o.viewport && o.preferred120 > 0) return {o.preferred120};
  return {o.scale * 120};
}

ShmBuffer* Impl::freeBuffer(Output& o) {
  const SurfaceScale scale = scaleOf(o);
  const QSize pixels = scale.pixels(o.size);
  // Buffers of an old size or scale go once the compositor lets them go.
  for (auto& b : o.buffers) {
    if (b->pixels != pixels || b->scale != scale.scale120) {
      b->retired = true;
      if (o.front == b.get()) o.front = nullptr;
    }
  }
  std::erase_if(o.buffers, [](const auto& b) { return b->retired && !b->busy; });
  for (auto& b : o.buffers) {
    if (!b->busy && !b->retired && b.get() != o.front) return b.get();
  }
  const auto current =
      std::count_if(o.buffers.begin(), o.buffers.end(), [](const auto& b) { return !b->retired; });
  // Two buffers of the current size: one shown, one drawn into.
  if (current >= 2) return nullptr;
  std::unique_ptr<ShmBuffer> b = ShmBuffer::create(shm, pixels, scale.scale120);
  if (!b) return nullptr;
  wl_buffer_add_listener(b->buffer, &kBufferListener, &o);
  // White where a fractional scale leaves an edge pixel half drawn.
  std::memset(b->data, 0xff, b->bytes);
  b->stale = QRegion(QRect(QPoint(), o.size));
  o.buffers.push_back(std::move(b));
  return o.buffers.back().get();
}

void Impl::commitSurface(Output& o) {
  if (!o.surface || !o.hasContent || o.ackPending) return;
  wl_surface_commit(o.surface);
  flush();
}

void Impl::addFrameCallback(Output& o) {
  if (o.frame) return;
  o.frame = wl_surface_frame(o.surface);
  wl_callback_add_listener(o.frame, &kFrameListener, &o);
}

namespace {

// `band` on whole device pixels at `scale`, so that its buffer is drawn
// 1:1, never filtered: its top reaching up and its bottom down to the
// nearest logical pixel that lies on one, its width cut to the last such
// pixel (white lies beneath it anyway), all within `bounds`.
QRect onWholePixels(const QRect& band, SurfaceScale scale, const QRect& bounds) {
  const int step = scale.step();
  const int top = std::max(0, band.top()) / step * step;
  int bottom = (band.bottom() + 1 + step - 1) / step * step;
  if (bottom > bounds.bottom() + 1) bottom = (bounds.bottom() + 1) / step * step;
  const int width = bounds.width() / step * step;
  return QRect(0, top, width, bottom - top) & bounds;
}

}  // namespace

bool Impl::showPlain(Output& o) {
  // White, in a buffer of the configured size at the surface's scale,
  // drawn once. A configure is acknowledged with it, in the same commit.
  const SurfaceScale scale = scaleOf(o);
  const QSize pixels = scale.pixels(o.size);
  if (!o.plain || o.plain->pixels != pixels) {
    std::unique_ptr<ShmBuffer> plain = ShmBuffer::create(shm, pixels, scale.scale120);
    if (!plain) return false;
    std::memset(plain->data, 0xff, plain->bytes);
    o.plain = std::move(plain);  // one it replaces is destroyed; the compositor keeps its copy
  }
  if (o.ackPending) {
    ext_session_lock_surface_v1_ack_configure(o.lockSurface, o.serial);
    o.ackPending = false;
  }
  if (o.viewport) {
    if (o.destination != o.size) {
      wp_viewport_set_destination(o.viewport, o.size.width(), o.size.height());
      o.destination = o.size;
    }
  } else if (o.bufferScale != o.scale) {
    wl_surface_set_buffer_scale(o.surface, o.scale);
    o.bufferScale = o.scale;
  }
  coverEdges(o);
  if (o.strip && o.stripRect.isValid()) o.strip->place(o.stripRect, scale);
  wl_surface_attach(o.surface, o.plain->buffer, 0, 0);
  wl_surface_damage_buffer(o.surface, 0, 0, pixels.width(), pixels.height());
  if (o.frameWanted) addFrameCallback(o);
  wl_surface_commit(o.surface);
  // Whole-surface buffers of before are no longer needed.
  o.front = nullptr;
  o.buffers.clear();
  o.whiteShown = true;
  o.hasContent = true;
  flush();
  return true;
}

bool Impl::paintContent(Output& o, const QRegion& damage, const WaylandSessionLock::Draw& draw) {
  const QRect whole(QPoint(), o.size);
  const SurfaceScale scale = scaleOf(o);
  const QRect band = onWholePixels(o.contentRect, scale, whole);
  bool redraw = false;
  if (!band.isEmpty()) {
    if (!o.content->attached()) {
      o.content->attach(o.surface, band, scale);
      redraw = true;
    } else {
      redraw = o.content->place(band, scale);
    }
  }
  if (o.ackPending || !o.whiteShown) {
    if (!showPlain(o)) return false;
    redraw = true;
  }
  const QRegion region = redraw ? QRegion(band) : (damage & band);
  if (!region.isEmpty() && !o.content->hasBackBuffer()) {
    // Every buffer of the band is still with the compositor: drawn at a
    // later frame.
    flush();
    return false;
  }
  if (!region.isEmpty()) {
    const QSize pixels = scale.pixels(band.size());
    std::vector<QRect> area;
    for (const QRect& r : region)
      area.push_back(scale.pixels(r.translated(-band.topLeft()), pixels));
    const QRect place = scale.pixels(band, QSize(1 << 20, 1 << 20));
    o.content->draw(place, area, [&](QImage& image, QPoint, std::span<const QRect>) {
      image.setDevicePixelRatio(scale.ratio());
      draw(image, region, band.topLeft());
    });
  }
  flush();
  return true;
}

bool WaylandSessionLock::paint(const QString& output, const QRegion& damage, const Draw& draw) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->lockSurface || !o->configured || o->size.isEmpty()) return false;
  if (o->content && o->contentRect.isValid()) return d_->paintContent(*o, damage, draw);
  const QRect whole(QPoint(), o->size);
  ShmBuffer* b = d_->freeBuffer(*o);
  if (!b) return false;
  // With no content of this size on screen, every pixel is drawn anew.
  QRegion region = o->front ? (damage & whole) : QRegion(whole);
  if (region.isEmpty() && !o->ackPending) return true;

  QImage& image = b->image;
  const SurfaceScale scale = d_->scaleOf(*o);
  image.setDevicePixelRatio(scale.ratio());
  if (o->front) {
    // Bring the pixels outside the damage up to date with what is shown.
    for (const QRect& r : b->stale - region) {
      const QRect px = scale.pixels(r, b->pixels);
      for (int y = px.top(); y <= px.bottom(); ++y) {
        const std::size_t offset = static_cast<std::size_t>(y) * b->stride() + px.left() * 4;
        std::memcpy(static_cast<char*>(b->data) + offset,
                    static_cast<const char*>(o->front->data) + offset,
                    static_cast<std::size_t>(px.width()) * 4);
      }
    }
  }
  draw(image, region, QPoint());
  for (auto& other : o->buffers) {
    if (other.get() != b) other->stale += region;
  }
  b->stale = QRegion();

  // A configure is acknowledged only with a buffer of its size, in the same
  // commit: anything else is a protocol error that leaves the session locked
  // with nobody to unlock it.
  if (o->ackPending) {
    ext_session_lock_surface_v1_ack_configure(o->lockSurface, o->serial);
    o->ackPending = false;
  }
  if (o->viewport) {
    // The buffer, whatever its scale, covers the configured size exactly.
    if (o->destination != o->size) {
      wp_viewport_set_destination(o->viewport, o->size.width(), o->size.height());
      o->destination = o->size;
    }
  } else if (o->bufferScale != o->scale) {
    wl_surface_set_buffer_scale(o->surface, o->scale);
    o->bufferScale = o->scale;
  }
  d_->coverEdges(*o);
  // The strip follows the surface's scale; its place is shown with this
  // commit.
  if (o->strip && o->stripRect.isValid()) o->strip->place(o->stripRect, scale);
  wl_surface_attach(o->surface, b->buffer, 0, 0);
  for (const QRect& r : region) {
    const QRect px = scale.pixels(r, b->pixels);
    wl_surface_damage_buffer(o->surface, px.x(), px.y(), px.width(), px.height());
  }
  if (o->frameWanted) d_->addFrameCallback(*o);
  wl_surface_commit(o->surface);
  b->busy = true;
  o->front = b;
  o->hasContent = true;
  o->whiteShown = false;
  d_->flush();
  return true;
}

bool WaylandSessionLock::paintWhite(const QString& output) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->lockSurface || !o->configured || o->size.isEmpty()) return false;
  if (o->content) {
    o->content->detach();
    o->contentRect = QRect();
  }
  if (!o->ackPending && o->whiteShown) return true;
  return d_->showPlain(*o);
}

void WaylandSessionLock::placeContent(const QString& output, const QRect& logical) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !d_->subcompositor || !d_->viewporter || !d_->compositor || !d_->shm ||
      logical == o->contentRect) {
    return;
  }
  if (!o->content) {
    o->content = std::make_shared<StripSurface>(StripSurface::Globals{
        d_->display, d_->compositor, d_->subcompositor, d_->shm, d_->viewporter});
    std::lock_guard lock(d_->stripsMutex);
    d_->strips.push_back(o->content);
  }
  o->contentRect = logical;
  o->whiteShown = false;
}

}  // namespace umbrafold
