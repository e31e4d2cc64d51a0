#include <algorithm>
#include <cstring>
#include <vector>

#include "waylandlockprivate.h"
#include "waylandstripscreen.h"

namespace umbrafold {

namespace {

using Impl = WaylandSessionLockPrivate;
using Output = WaylandSessionLockPrivate::Output;

// -- outputs ------------------------------------------------------------------

const wl_output_listener kOutputListener = {
    // geometry
    [](void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
       const char*, const char*, std::int32_t) {},
    // mode
    [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
    // done
    [](void* data, wl_output*) {
      auto* o = static_cast<Output*>(data);
      const bool scaleChanged = o->scale != o->pendingScale;
      o->scale = o->pendingScale;
      if (!o->announced) {
        o->d->announce(*o);
      } else if (scaleChanged && o->configured) {
        o->d->post(
            [q = o->d->q, name = o->name, size = o->size] { emit q->configured(name, size); });
      }
    },
    // scale
    [](void* data, wl_output*, std::int32_t factor) {
      static_cast<Output*>(data)->pendingScale = std::clamp(factor, 1, 16);
    },
    // name
    [](void* data, wl_output*, const char* name) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced) o->name = QString::fromUtf8(name);
    },
    // description
    [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    // logical_position
    [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
    // logical_size
    [](void*, zxdg_output_v1*, std::int32_t, std::int32_t) {},
    // done
    [](void* data, zxdg_output_v1*) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced && !o->name.isEmpty()) o->d->announce(*o);
    },
    // name
    [](void* data, zxdg_output_v1*, const char* name) {
      auto* o = static_cast<Output*>(data);
      if (!o->announced && o->name.isEmpty()) o->name = QString::fromUtf8(name);
    },
    // description
    [](void*, zxdg_output_v1*, const char*) {},
};

const ext_session_lock_surface_v1_listener kLockSurfaceListener = {
    // configure: acknowledged only together with a buffer of that size
    [](void* data, ext_session_lock_surface_v1*, std::uint32_t serial, std::uint32_t width,
       std::uint32_t height) {
      auto* o = static_cast<Output*>(data);
      o->serial = serial;
      o->ackPending = true;
      o->configured = true;
      o->size = QSize(static_cast<int>(std::min(width, 1u << 15)),
                      static_cast<int>(std::min(height, 1u << 15)));
      if (o->announced)
        o->d->post(
            [q = o->d->q, name = o->name, size = o->size] { emit q->configured(name, size); });
    },
};

const wl_callback_listener kFrameListener = {
    [](void* data, wl_callback* callback, std::uint32_t) {
      auto* o = static_cast<Output*>(data);
      wl_callback_destroy(callback);
      o->frame = nullptr;
      o->frameWanted = false;
      o->d->post([q = o->d->q, name = o->name] { emit q->frameReady(name); });
    },
};

const wp_fractional_scale_v1_listener kFractionalListener = {
    // preferred_scale: the surface is drawn again, at the new scale
    [](void* data, wp_fractional_scale_v1*, std::uint32_t scale) {
      auto* o = static_cast<Output*>(data);
      const int preferred = static_cast<int>(std::clamp(scale, 30u, 16u * 120u));
      if (preferred == o->preferred120) return;
      o->preferred120 = preferred;
      if (o->announced && o->configured)
        o->d->post(
            [q = o->d->q, name = o->name, size = o->size] { emit q->configured(name, size); });
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

// -- outputs ----------------------------------------------------------------------

void Impl::addOutput(std::uint32_t global, std::uint32_t version) {
  auto o = std::make_unique<Output>();
  o->d = this;
  o->global = global;
  o->version = std::min(version, 4u);
  o->output =
      static_cast<wl_output*>(wl_registry_bind(registry, global, &wl_output_interface, o->version));
  wl_output_add_listener(o->output, &kOutputListener, o.get());
  if (o->version < 4) watchXdgOutput(*o);
  Output& added = *o;
  outputs.push_back(std::move(o));
  // Version 1 sends no done event.
  if (added.version < 2 && !added.xdgOutput) announce(added);
  if (lock) createLockSurface(added);
}

void Impl::watchXdgOutput(Output& o) {
  if (o.xdgOutput || o.version >= 4 || !xdgOutputManager) return;
  o.xdgOutput = zxdg_output_manager_v1_get_xdg_output(xdgOutputManager, o.output);
  zxdg_output_v1_add_listener(o.xdgOutput, &kXdgOutputListener, &o);
}

void Impl::announce(Output& o) {
  if (o.announced) return;
  if (o.name.isEmpty()) o.name = QStringLiteral("wl_output-%1").arg(o.global);
  o.announced = true;
  post([q = q, name = o.name] { emit q->outputAdded(name); });
  if (o.configured) post([q = q, name = o.name, size = o.size] { emit q->configured(name, size); });
}

void Impl::removeOutput(std::uint32_t global) {
  const auto it = std::find_if(outputs.begin(), outputs.end(),
                               [global](const auto& o) { return o->global == global; });
  if (it == outputs.end()) return;
  Output& o = **it;
  destroyLockSurface(o);
  for (const auto& sub : {o.strip, o.content}) {
    if (!sub) continue;
    sub->close();
    std::lock_guard lock(stripsMutex);
    std::erase(strips, sub);
  }
  if (pointerFocus == &o) pointerFocus = nullptr;
  if (o.announced) post([q = q, name = o.name] { emit q->outputRemoved(name); });
  if (o.xdgOutput) zxdg_output_v1_destroy(o.xdgOutput);
  if (o.version >= 3)
    wl_output_release(o.output);
  else
    wl_output_destroy(o.output);
  outputs.erase(it);
}

Output* Impl::find(const QString& name) const {
  for (const auto& o : outputs) {
    if (o->announced && o->name == name) return o.get();
  }
  return nullptr;
}

void Impl::createLockSurface(Output& o) {
  if (o.lockSurface || !lock || !compositor) return;
  o.surface = wl_compositor_create_surface(compositor);
  wl_surface_set_user_data(o.surface, &o);
  o.lockSurface = ext_session_lock_v1_get_lock_surface(lock, o.surface, o.output);
  ext_session_lock_surface_v1_add_listener(o.lockSurface, &kLockSurfaceListener, &o);
  if (viewporter && subcompositor) {
    o.backdrop = wl_compositor_create_surface(compositor);
    o.backdropSubsurface = wl_subcompositor_get_subsurface(subcompositor, o.backdrop, o.surface);
    wl_subsurface_place_below(o.backdropSubsurface, o.surface);
    o.backdropViewport = wp_viewporter_get_viewport(viewporter, o.backdrop);
  }
  if (viewporter) {
    o.viewport = wp_viewporter_get_viewport(viewporter, o.surface);
    if (fractionalManager) {
      o.fractional =
          wp_fractional_scale_manager_v1_get_fractional_scale(fractionalManager, o.surface);
      wp_fractional_scale_v1_add_listener(o.fractional, &kFractionalListener, &o);
    }
  }
  if (o.strip && o.stripRect.isValid()) o.strip->attach(o.surface, o.stripRect, scaleOf(o));
}

void Impl::destroyLockSurface(Output& o) {
  if (keyboardFocus == &o) setKeyboardFocus(nullptr);
  if (o.strip) o.strip->detach();
  if (o.content) o.content->detach();
  o.whiteShown = false;
  o.plain.reset();
  if (o.frame) wl_callback_destroy(o.frame);
  o.frame = nullptr;
  o.frameWanted = false;
  o.front = nullptr;
  o.buffers.clear();
  if (o.backdropViewport) wp_viewport_destroy(o.backdropViewport);
  if (o.backdropSubsurface) wl_subsurface_destroy(o.backdropSubsurface);
  if (o.backdrop) wl_surface_destroy(o.backdrop);
  o.backdropViewport = nullptr;
  o.backdropSubsurface = nullptr;
  o.backdrop = nullptr;
  o.backdropSize = QSize();
  if (o.fractional) wp_fractional_scale_v1_destroy(o.fractional);
  if (o.viewport) wp_viewport_destroy(o.viewport);
  o.fractional = nullptr;
  o.viewport = nullptr;
  o.preferred120 = 0;
  o.destination = QSize();
  if (o.lockSurface) ext_session_lock_surface_v1_destroy(o.lockSurface);
  if (o.surface) wl_surface_destroy(o.surface);
  o.lockSurface = nullptr;
  o.surface = nullptr;
  o.configured = false;
  o.ackPending = false;
  o.size = QSize();
  o.hasContent = false;
  o.bufferScale = 1;
}

void Impl::destroyLockSurfaces() {
  for (auto& o : outputs) destroyLockSurface(*o);
}

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

// -- public -------------------------------------------------------------------------

QStringList WaylandSessionLock::outputs() const {
  QStringList names;
  for (const auto& o : d_->outputs) {
    if (o->announced) names << o->name;
  }
  return names;
}

QSize WaylandSessionLock::surfaceSize(const QString& output) const {
  const WaylandSessionLockPrivate::Output* o = d_->find(output);
  return o && o->configured ? o->size : QSize();
}

namespace {

// `band` from its top reaching up to the nearest logical pixel on a whole
// device pixel at `scale`, so that the sub-surface holding it starts there.
QRect fromWholePixelRow(const QRect& band, SurfaceScale scale) {
  const int step = scale.step();
  const int top = band.top() >= 0 ? band.top() / step * step : 0;
  return {QPoint(band.left(), top), band.bottomRight()};
}

}  // namespace

bool Impl::paintContent(Output& o, const QRegion& damage, const WaylandSessionLock::Draw& draw) {
  const QRect whole(QPoint(), o.size);
  const SurfaceScale scale = scaleOf(o);
  const QRect band = fromWholePixelRow(
      QRect(0, o.contentRect.top(), o.size.width(), o.contentRect.height()) & whole, scale);
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
    // The lock surface itself: white, in a buffer of the configured size at
    // the surface's scale, drawn once. A configure is acknowledged with it,
    // in the same commit.
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
    if (o.destination != o.size) {
      wp_viewport_set_destination(o.viewport, o.size.width(), o.size.height());
      o.destination = o.size;
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

  QImage image(static_cast<uchar*>(b->data), b->pixels.width(), b->pixels.height(), b->stride(),
               QImage::Format_RGB32);
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
  d_->flush();
  return true;
}

std::unique_ptr<StripScreen> WaylandSessionLock::stripScreen(const QString& output) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !d_->subcompositor || !d_->compositor || !d_->shm) return nullptr;
  if (!o->strip) {
    o->strip = std::make_shared<StripSurface>(StripSurface::Globals{
        d_->display, d_->compositor, d_->subcompositor, d_->shm, d_->viewporter});
    std::lock_guard lock(d_->stripsMutex);
    d_->strips.push_back(o->strip);
  }
  return makeWaylandStripScreen(o->strip);
}

void WaylandSessionLock::placeStrip(const QString& output, const QRect& logical) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->strip || logical == o->stripRect) return;
  o->stripRect = logical;
  if (!o->surface) return;
  if (!o->strip->attached()) {
    o->strip->attach(o->surface, logical, d_->scaleOf(*o));
  } else if (!o->strip->place(logical, d_->scaleOf(*o))) {
    return;
  }
  d_->commitSurface(*o);
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

void WaylandSessionLock::requestFrame(const QString& output) {
  WaylandSessionLockPrivate::Output* o = d_->find(output);
  if (!d_->usable() || !o || !o->lockSurface || o->frame) return;
  o->frameWanted = true;
  // A commit without a new buffer keeps the content; it is allowed only once
  // a buffer is there, and only while no new size awaits its buffer.
  if (!o->hasContent || o->ackPending) return;
  d_->addFrameCallback(*o);
  wl_surface_commit(o->surface);
  d_->flush();
}

}  // namespace umbrafold
