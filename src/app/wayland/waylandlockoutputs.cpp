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
