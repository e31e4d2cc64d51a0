#pragma once

// The state behind WaylandSessionLock, shared by the files that implement
// it: the connection and registry (waylandsessionlock.cpp), the outputs and
// their lock surfaces (waylandlockoutputs.cpp) and the seat's input
// (waylandlockinput.cpp). Main thread only, like the object itself.

#include <wayland-client.h>

#include <QPointF>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "connectionreader.h"
#include "ext-session-lock-v1-client-protocol.h"
#include "fractional-scale-v1-client-protocol.h"
#include "shmbuffer.h"
#include "single-pixel-buffer-v1-client-protocol.h"
#include "stripsurface.h"
#include "surfacescale.h"
#include "viewporter-client-protocol.h"
#include "waylandsessionlock.h"
#include "xdg-output-unstable-v1-client-protocol.h"
#include "xkbkeyboard.h"

namespace umbrafold {

struct WaylandSessionLockPrivate {
  using State = WaylandSessionLock::State;
  // An output and, while a lock exists, its lock surface.
  struct Output {
    WaylandSessionLockPrivate* d = nullptr;
    std::uint32_t global = 0;
    std::uint32_t version = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    QString name;
    bool announced = false;
    int scale = 1;         // as of the last done event
    int pendingScale = 1;  // as sent since

    wl_surface* surface = nullptr;
    ext_session_lock_surface_v1* lockSurface = nullptr;
    bool configured = false;  // a configure arrived
    bool ackPending = false;  // its serial has not been acknowledged yet
    std::uint32_t serial = 0;
    QSize size;               // logical, from the last configure
    bool hasContent = false;  // a buffer has been committed
    int bufferScale = 1;      // as last set on the surface
    // With a viewporter the buffer may have any scale, the compositor's
    // preferred one where it says (fractional scale), else the output's.
    wp_viewport* viewport = nullptr;
    wp_fractional_scale_v1* fractional = nullptr;
    int preferred120 = 0;  // 0 until the compositor says
    QSize destination;     // the viewport's, as last set
    // White beneath the lock surface and one logical pixel beyond its right
    // and bottom edges: at a fractional scale the surface's whole logical
    // pixels may end short of the output's last row and column of pixels.
    wl_surface* backdrop = nullptr;
    wl_subsurface* backdropSubsurface = nullptr;
    wp_viewport* backdropViewport = nullptr;
    QSize backdropSize;
    wl_callback* frame = nullptr;
    bool frameWanted = false;
    std::vector<std::unique_ptr<ShmBuffer>> buffers;
    ShmBuffer* front = nullptr;           // the last one committed, while still of the current size
    std::shared_ptr<StripSurface> strip;  // the mascot strip's sub-surface, once asked for
    QRect stripRect;                      // where it lies, surface coordinates
    // The band that holds the field, once placeContent() said where; then
    // the lock surface itself shows `plain`, white, drawn once for each
    // size and scale and left with the compositor.
    std::shared_ptr<StripSurface> content;
    QRect contentRect;        // as placeContent() said, surface coordinates
    bool whiteShown = false;  // `plain` is committed for this configure
    std::unique_ptr<ShmBuffer> plain;
  };

  explicit WaylandSessionLockPrivate(WaylandSessionLock* owner) : q(owner) {}
  ~WaylandSessionLockPrivate();

  WaylandSessionLock* q;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_subcompositor* subcompositor = nullptr;
  wp_viewporter* viewporter = nullptr;
  wp_single_pixel_buffer_manager_v1* singlePixel = nullptr;
  wp_fractional_scale_manager_v1* fractionalManager = nullptr;
  wl_seat* seat = nullptr;
  std::uint32_t seatGlobal = 0;
  std::uint32_t seatVersion = 0;
  wl_keyboard* keyboard = nullptr;
  wl_pointer* pointer = nullptr;
  ext_session_lock_manager_v1* manager = nullptr;
  zxdg_output_manager_v1* xdgOutputManager = nullptr;
  ext_session_lock_v1* lock = nullptr;
  State state = State::Unlocked;
  std::vector<std::unique_ptr<Output>> outputs;

  QString error;
  bool broken = false;
  std::function<void(const QString&)> lossHandler;
  std::atomic<bool> lossTold = false;
  // Why the connection broke, from its error; any thread.
  QString describeError() const;
  // Calls lossHandler once, on this thread.
  void tellLoss(const QString& reason);
  // Reads every event; the main thread dispatches the default queue when
  // the reader says it holds some.
  std::unique_ptr<ConnectionReader> reader;
  std::atomic<bool> dispatchPosted = false;
  // The strips, for the reader to dispatch their queues.
  std::mutex stripsMutex;
  std::vector<std::shared_ptr<StripSurface>> strips;
  std::unique_ptr<QSocketNotifier> writeNotifier;

  XkbKeyboard xkb;
  bool capsLock = false;  // as last told, with the layout below
  QString layout;
  Output* keyboardFocus = nullptr;
  QTimer repeatTimer;
  std::uint32_t repeatCode = 0;
  int repeatRate = 25;  // keys per second; 0: no repeat
  int repeatDelay = 600;
  Output* pointerFocus = nullptr;
  QPointF pointerPosition;

  std::vector<std::function<void()>> pendingSignals;
  bool emitScheduled = false;

  // -- connection ---------------------------------------------------------
  bool connect();
  void dispatchEvents();
  void dispatchStrips();
  void flush();
  void fail();
  bool usable() const { return display && !broken; }

  // Queues a signal for the event loop, so that no slot ever runs inside
  // libwayland's dispatch or inside a call on this object.
  void post(std::function<void()> emitSignal);
  void emitPending();

  // -- outputs and lock surfaces -------------------------------------------
  void addOutput(std::uint32_t global, std::uint32_t version);
  void removeOutput(std::uint32_t global);
  void watchXdgOutput(Output& o);
  void announce(Output& o);
  Output* find(const QString& name) const;
  void createLockSurface(Output& o);
  void destroyLockSurface(Output& o);
  void destroyLockSurfaces();
  ShmBuffer* freeBuffer(Output& o);
  // The scale `o`'s buffers are drawn at.
  SurfaceScale scaleOf(const Output& o) const;
  // Makes `o`'s backdrop cover its configured size and the edges beyond,
  // shown with the lock surface's next commit.
  void coverEdges(Output& o);
  std::unique_ptr<ShmBuffer> white;  // one white pixel in shared memory
  wl_buffer* solidWhite = nullptr;   // the compositor's own white pixel
  // One white pixel to be scaled to a surface's size (the backdrops), made
  // on first use: the compositor's single-pixel buffer where it offers one,
  // else one of shared memory; null without either. Some compositors
  // filter a scaled pixel into a vignette: it serves only where a few
  // pixels of it show.
  wl_buffer* whitePixel();
  // Commits `o`'s lock surface all white, from `plain` (made for the current
  // size and scale when needed), acknowledging a pending configure. False,
  // sending nothing, without shared memory.
  bool showPlain(Output& o);
  // paint() for an output whose content lies in a band of its own.
  bool paintContent(Output& o, const QRegion& damage, const WaylandSessionLock::Draw& draw);
  void addFrameCallback(Output& o);
  // Commits the lock surface without a new buffer, so that requests that
  // wait for its commit (a sub-surface's position) take effect; only once
  // it has content and no configure awaits its buffer.
  void commitSurface(Output& o);

  // -- input ----------------------------------------------------------------
  void addSeat(std::uint32_t global, std::uint32_t version);
  void setCapabilities(std::uint32_t capabilities);
  void releaseKeyboard();
  void releasePointer();
  void setKeyboardFocus(Output* o);
  void postKey(QEvent::Type type, const XkbKeyboard::Key& key, bool autoRepeat);
  // Tells keyboardIndicatorsChanged() when Caps Lock or the layout changed.
  void noteIndicators();
  void repeatKey();
};

// The output whose lock surface `surface` is; null for none.
inline WaylandSessionLockPrivate::Output* outputOfSurface(wl_surface* surface) {
  return surface
             ? static_cast<WaylandSessionLockPrivate::Output*>(wl_surface_get_user_data(surface))
             : nullptr;
}

}  // namespace umbrafold
