#pragma once

#include <QEvent>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "stripscreen.h"

namespace umbrafold {

struct WaylandSessionLockPrivate;

// The session lock of a Wayland compositor (ext-session-lock-v1), over a
// wl_display connection of its own that Qt's event loop drives. While
// locked, the compositor shows only this object's lock surfaces, one per
// output, and sends every key to them; nothing else on the desktop is seen
// or reached until unlock().
//
// Threads: create, use and destroy it on one thread that runs a Qt event
// loop. Every signal is emitted from that event loop, never from inside a
// call on this object, so slots may call any method here. Do not delete the
// object from inside a paint callback; from a slot, deleteLater() is safe.
//
// Outputs are keyed by their name (wl_output.name, or xdg-output's name on
// older compositors), e.g. "DP-1" or "HEADLESS-2".
class WaylandSessionLock : public QObject {
  Q_OBJECT

 public:
  enum class State {
    Unlocked,  // no lock asked for, or it ended
    Locking,   // asked for; waiting for locked() or finished()
    Locked,    // the compositor shows only our surfaces
  };

  // Connects to $WAYLAND_DISPLAY (a socket name in $XDG_RUNTIME_DIR or an
  // absolute path) and learns the compositor's globals and outputs before
  // returning. On failure isConnected() is false and errorString() says why.
  // outputAdded() follows, from the event loop, for each output present.
  explicit WaylandSessionLock(QObject* parent = nullptr);
  // Disconnects. A lock still held is not released: the compositor keeps
  // the session locked, as it does when the program dies; unlock() first.
  ~WaylandSessionLock() override;

  // False when no connection could be made, or after it broke.
  bool isConnected() const;
  // Why there is no connection; empty while connected.
  QString errorString() const;
  // Connected, and the compositor offers the session lock. GNOME, KDE
  // Plasma and sway before 1.8 do not.
  bool canLock() const;
  State state() const;
  // The names of the outputs the compositor has announced, in that order.
  QStringList outputs() const;
  // The size, in logical pixels, that `output`'s lock surface was last
  // configured to; invalid before its first configure or without a surface.
  QSize surfaceSize(const QString& output) const;

  // Asks for the lock and creates a lock surface for every output. Returns
  // false, sending nothing, unless canLock() and state() is Unlocked; then
  // state() is Locking until locked() or finished() is emitted. Outputs
  // that appear while locking or locked get a surface at once, outputs
  // that go lose theirs.
  bool lock();
  // REQUIRES: state() is Locked. Unlocks the session, destroys every lock
  // surface and waits until the compositor has processed the request.
  // Returns true when it has (the desktop is visible again), false when the
  // connection broke first or there was no lock to give back.
  bool unlock();
  // Gives up a lock asked for that has not arrived: after a round trip
  // that lets a locked() already on its way arrive first, the request is
  // withdrawn and its surfaces destroyed. Returns true when state() is
  // Unlocked afterwards, false when the session turned out to be locked
  // (locked() follows) or the connection broke.
  bool withdraw();

  // Draws into `image`, which holds the surface's current content, at
  // least the pixels of `region` (logical coordinates of the surface; the
  // image's device pixel ratio is the surface's scale), with the surface's
  // point `origin` at the image's top-left corner. Must not call this
  // object.
  using Draw = std::function<void(QImage& image, const QRegion& region, QPoint origin)>;
  // Draws the next content of `output`'s lock surface and shows it: the
  // region handed to `draw` is `damage` clipped to the surface, or the
  // whole surface when there is no earlier content of the configured size
  // to keep (always after configured()). Returns true when it was committed,
  // or when there was nothing to draw. Returns false, calling nothing, when
  // the output has no configured lock surface, when both of its buffers are
  // still held by the compositor (paint again after frameReady()), when no
  // shared memory could be had, or without a connection.
  bool paint(const QString& output, const QRegion& damage, const Draw& draw);
  // Asks for one frameReady(output) when the compositor next wants a new
  // frame of the surface, which takes a committed buffer (the first paint()
  // carries the request otherwise). Outputs that are off send none. A
  // second request before the signal is the same request.
  void requestFrame(const QString& output);

  // A screen for the mascot strip of `output`'s lock surface: a sub-surface
  // of it, drawn from any thread (see StripScreen). Null without such an
  // output, or when the compositor offers no sub-surfaces. Every screen of
  // one output shows the same sub-surface, which outlives lock surfaces:
  // it is shown on each new one, once placeStrip() said where.
  std::unique_ptr<StripScreen> stripScreen(const QString& output);
  // Where `output`'s strip lies on its lock surface (logical pixels); shown
  // there with the lock surface's next commit, which this makes when it can.
  void placeStrip(const QString& output, const QRect& logical);
  // Everything the curtain of `output` draws but white and the strip lies
  // within `logical` (surface coordinates). Where the compositor offers
  // sub-surfaces and a viewporter, the lock surface from then on shows one
  // white buffer, drawn once for each size and scale, and only the band of
  // the surface's width around `logical` has buffers that change, as a
  // sub-surface of its own: a curtain then holds one buffer of the whole
  // output, not two. paint() draws only there; the next paint() is whole.
  void placeContent(const QString& output, const QRect& logical);

  // Shows `output`'s lock surface all white, from one buffer drawn once for
  // each size and scale, with no band (see placeContent(); a later one
  // places it again). True when shown or already showing; false, as
  // paint(), when the surface is not configured or no shared memory could
  // be had.
  bool paintWhite(const QString& output);

  // `handler` is called once, with the reason, the moment the connection
  // is found broken, on whichever thread finds it (most often the thread
  // that reads the connection), before connectionLost() is emitted. It may
  // end the process. Set it before the connection can break.
  void onConnectionLost(std::function<void(const QString& reason)> handler);

 signals:
  // The compositor shows only our surfaces: the session is locked.
  void locked();
  // The lock ended without unlock(): another client holds the session
  // lock, or the compositor ended it. Every lock surface is gone and
  // state() is Unlocked; outputs and keyboard are as they were.
  void finished();
  // The connection broke (the compositor went away, or a protocol error).
  // The object does nothing from now on.
  void connectionLost(const QString& reason);

  void outputAdded(const QString& name);
  void outputRemoved(const QString& name);
  // `name`'s lock surface must now be `size` logical pixels; paint() it.
  // Emitted again when the output's scale changes.
  void configured(const QString& name, const QSize& size);
  void frameReady(const QString& name);

  // The lock surface that receives the keys; empty when none does.
  void keyboardFocusChanged(const QString& output);
  // A key as QKeyEvent takes it: KeyPress or KeyRelease, a Qt::Key (0 for
  // keys Qt has no name for), modifiers, the text typed. A held key repeats
  // at the compositor's rate as pairs of release and press with
  // `autoRepeat` set.
  void keyEvent(QEvent::Type type, int key, Qt::KeyboardModifiers modifiers, const QString& text,
                bool autoRepeat);
  // Caps Lock went on or off, or the active layout changed; `layout` is
  // its name when the keymap has more than one, empty otherwise.
  void keyboardIndicatorsChanged(bool capsLock, const QString& layout);
  // A pointer button went down (`pressed`) or up over `output`'s lock
  // surface at `position` (logical surface coordinates).
  void pointerButton(const QString& output, const QPointF& position, Qt::MouseButton button,
                     bool pressed);

 private:
  std::unique_ptr<WaylandSessionLockPrivate> d_;
};

}  // namespace umbrafold
