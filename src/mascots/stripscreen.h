#pragma once

#include <QtGui/qwindowdefs.h>
#include <QImage>
#include <QPoint>
#include <QRect>

#include <functional>
#include <span>
#include <utility>

namespace umbrafold {

// A way to show a mascot strip other than through its widget's painting: a
// surface of the display server that keeps the strip's pictures itself, so
// that a frame only says which part to make white again and where each
// picture now stands. Main thread only, unless drawsFromAnyThread().
class StripScreen {
 public:
  // A picture, with the top-left corner at `at` in device pixels of the
  // strip. Pictures are premultiplied ARGB; one whose cacheKey() is
  // unchanged may be assumed to hold the same pixels as before.
  struct Layer {
    const QImage* image = nullptr;
    QPoint at;
  };

  virtual ~StripScreen() = default;

  // Shows the strip at `place` (device pixels) in the native window
  // `window`: makes `area` white, draws `layers` over it in order, clipped
  // to `area`, and shows the result at once. `area` is rectangles of device
  // pixels of the strip, inside it, which may overlap. The first call, and
  // every call after `window` or `place` changed, has the whole strip as
  // `area`. False when the strip cannot be shown there at all; it must
  // then be painted some other way.
  virtual bool draw(WId window, const QRect& place, std::span<const QRect> area,
                    std::span<const Layer> layers) = 0;
  // Takes the strip off the window, until the next draw (which has the
  // whole strip), and sends that at once.
  virtual void withdraw() = 0;
  // Sends what was drawn to the display server now: the strips of every
  // display drawn in one frame go in one write.
  virtual void flush() {}
  // Whether draw(), withdraw() and flush() may be called from a thread other
  // than the main one (one at a time); then so may the loss handler.
  virtual bool drawsFromAnyThread() const { return false; }
  // Whether a frame drawn now would be shown: false while the display
  // server has not taken the last one (a display that is off takes none).
  // A strip is not stepped while its screen wants no frame; the screen calls
  // the handler of onFrameWanted() when it wants one again. Called like
  // draw().
  virtual bool wantsFrame() const { return true; }
  // Device pixels per point the strip is drawn at here; 0 for its window's.
  // Main thread.
  virtual double pixelRatio() const { return 0; }

  // `handler` is called whenever the display server lost what was shown
  // (the window was covered, say): the strip must then be drawn whole again.
  // On the main thread, or, for a screen that draws from any thread, from
  // within draw().
  void onLost(std::function<void()> handler) { lost_ = std::move(handler); }
  // `handler` is called, from any thread, when wantsFrame() turned true.
  void onFrameWanted(std::function<void()> handler) { frameWanted_ = std::move(handler); }

 protected:
  void lost() const {
    if (lost_) lost_();
  }
  void frameWanted() const {
    if (frameWanted_) frameWanted_();
  }

 private:
  std::function<void()> lost_;
  std::function<void()> frameWanted_;
};

}  // namespace umbrafold
