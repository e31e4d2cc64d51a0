#pragma once

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QSize>

#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "shmbuffer.h"
#include "surfacescale.h"

struct wl_callback;
struct wl_compositor;
struct wl_display;
struct wl_event_queue;
struct wl_shm;
struct wl_subcompositor;
struct wl_subsurface;
struct wl_surface;
struct wp_viewport;
struct wp_viewporter;

namespace umbrafold {

// The mascot strip of one lock surface as a sub-surface of its own, drawn
// into wl_shm buffers of its own and committed on its own (desynchronised
// from the lock surface), so a frame sends only the strip's changed
// rectangles and the compositor composites only them. Its frame callbacks
// and buffer releases arrive on an event queue of its own, dispatched by
// the thread that draws and by the connection's reader (dispatch()), never
// by the main thread's event loop.
//
// Threads: attach(), place(), detach(), close() and setHandlers() on the
// thread that owns the Wayland connection (the main thread); draw() and
// flush() on any one thread at a time; dispatch(), wantsFrame() and
// pixelRatio() on any thread. One mutex covers them all.
class StripSurface {
 public:
  // The connection's objects the strip needs; none may be null but the
  // viewporter (without it the buffer scale is set, integer ratios only).
  struct Globals {
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_subcompositor* subcompositor = nullptr;
    wl_shm* shm = nullptr;
    wp_viewporter* viewporter = nullptr;
  };

  explicit StripSurface(const Globals& globals);
  ~StripSurface();
  StripSurface(const StripSurface&) = delete;
  StripSurface& operator=(const StripSurface&) = delete;

  // -- the owning thread ------------------------------------------------------
  // Makes the strip a sub-surface of `parent` at `logical` (surface
  // coordinates of the parent), whose buffers have the scale `scale`. The
  // sub-surface starts on a whole pixel: it reaches up and left from
  // `logical` to the nearest logical pixel that does, white there. Takes
  // effect with the parent's next commit; the next draw() is whole.
  // Replaces an earlier attachment.
  void attach(wl_surface* parent, const QRect& logical, SurfaceScale scale);
  // Moves the strip or changes its scale; like attach(), shown with the
  // parent's next commit. Whether anything changed.
  bool place(const QRect& logical, SurfaceScale scale);
  // Destroys the sub-surface and its buffers; draw() then shows nothing
  // until the next attach().
  void detach();
  // detach(), and the connection is going away: nothing is sent from now on.
  void close();
  bool attached() const;

  // `lost` is called when what the strip shows was lost (a new attachment
  // or place): the strip must be drawn whole again; `wanted` when
  // wantsFrame() turned true. Both with no lock held, from the owning
  // thread. One pair at a time, set by `owner`; dropHandlers() removes them
  // only when `owner` set the current ones.
  void setHandlers(const void* owner, std::function<void()> lost, std::function<void()> wanted);
  void dropHandlers(const void* owner);
  // Dispatches the strip's events that the connection's reader queued: a
  // frame the compositor took lets the next be committed (what was drawn
  // meanwhile is committed here) and calls `wanted`.
  void dispatch();

  // -- the drawing thread -----------------------------------------------------
  // Draws the next content of the strip that lies at `place` (device
  // pixels of the parent at the strip's scale): `paint` gets the strip's
  // buffer as an image, holding its current content, white where nothing
  // was drawn, with the strip's top-left corner at `origin`, and must draw
  // at least `area` (device pixels of the strip). Shown at the compositor's
  // next frame callback: at once when the last frame was taken, else by a
  // later draw() or flush(). True when drawn, or when there is nothing to
  // draw into (no attachment); false when no shared memory could be had.
  using Paint = std::function<void(QImage& image, QPoint origin, std::span<const QRect> area)>;
  bool draw(const QRect& place, std::span<const QRect> area, const Paint& paint);
  // Commits what was drawn and not shown yet if the compositor has taken
  // the last frame, and sends every request.
  void flush();
  // Whether the compositor took the last frame (or nothing is shown).
  bool wantsFrame() const;
  // Whether draw() has a buffer to draw into now (the compositor does not
  // hold every one).
  bool hasBackBuffer();
  // Device pixels per logical pixel of the strip's buffers.
  double pixelRatio() const;

 private:
  struct Frame;
  void commitLocked();
  void destroyLocked();
  ShmBuffer* backLocked(QSize pixels);
  void dispatchLocked();

  mutable std::mutex mutex_;
  Globals globals_;
  wl_event_queue* queue_ = nullptr;
  wl_surface* surface_ = nullptr;
  wl_subsurface* subsurface_ = nullptr;
  wp_viewport* viewport_ = nullptr;
  wl_callback* frame_ = nullptr;  // asked for with the last commit; null once it came
  QRect logical_;                 // the strip in the parent, surface coordinates
  QRect covered_;                 // the sub-surface: logical_ from a whole pixel on
  SurfaceScale scale_;
  QSize shownPixels_;  // the buffer size the viewport or scale was set for
  bool whole_ = true;  // the next draw must cover every pixel
  std::vector<std::unique_ptr<ShmBuffer>> buffers_;
  ShmBuffer* front_ = nullptr;  // the last committed
  ShmBuffer* drawn_ = nullptr;  // drawn into, not committed yet
  QRegion pending_;             // device pixels drawn and not committed
  std::function<void()> lost_;
  std::function<void()> wanted_;
  const void* owner_ = nullptr;
};

}  // namespace umbrafold
