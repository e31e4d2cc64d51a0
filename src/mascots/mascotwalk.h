#pragma once

#include <QRegion>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>

#include "agentactivity.h"
#include "mediaclock.h"
#include "petmotion.h"
#include "randomsource.h"

class QTimer;

namespace umbrafold {

class StripScreen;

// The strip along the bottom of a curtain in which one mascot walks for each
// working agent. Transparent to the mouse. Main thread only; a strip shown
// through a screen that draws from any thread has its frames stepped and
// drawn on a frame thread of its own, under a lock every strip shares, so
// that a frame does not wake the main thread.
class MascotWalk : public QWidget {
  Q_OBJECT

 public:
  // What the strip needs from the platform; production uses systemServices().
  struct Services {
    std::shared_ptr<RandomSource> random;     // uniform draws for motion and bubbles
    std::shared_ptr<const MediaClock> clock;  // monotonic seconds
    std::function<bool()> reduceMotion;       // read at each show(activity)
  };
  // The OS secure random source, the steady clock and the desktop portal's
  // animation setting (unavailable reads as "no reduced motion").
  static Services systemServices();

  explicit MascotWalk(QWidget* parent = nullptr);
  explicit MascotWalk(Services services, QWidget* parent = nullptr);
  ~MascotWalk() override;

  // From now on the strip is shown through `screen` rather than painted with
  // its window, where its window has a native handle; a null screen goes
  // back to painting.
  void setScreen(std::unique_ptr<StripScreen> screen);

  using QWidget::show;
  // Hands the strip the current activity: adds mascots for new agents at the
  // centre of their slot, keeps existing ones, drops those that left, and
  // starts or stops the frame timer. An unchanged activity (and unchanged
  // reduce-motion setting) changes nothing and requests no repaint.
  void show(const AgentActivity& activity);

  // Read access, for drawing and for tests. A strip animated off the main
  // thread moves its mascots between frames: pets() is for strips that are
  // not.
  const AgentActivity& activity() const;
  const std::map<std::string, PetMotion>& pets() const;
  bool isAnimating() const;  // the frame timer runs
  bool reducedMotion() const;
  std::int64_t speakerIndex() const;
  double bubbleAt() const;

  // What one animation frame did: whether it repainted anything, and a
  // lower bound on the seconds of media time before the strip can change
  // again (infinity when it cannot).
  struct Frame {
    bool repainted = false;
    double quietSeconds = 0;
  };
  // One animation frame: steps every mascot by the elapsed media time (at
  // most 0.08 s), advances the bubble schedule, and repaints at once the
  // places where a mascot's drawing (picture, frame, facing, or position in
  // whole device pixels) or the bubble changed. Called by the frame timer;
  // public so benchmarks can drive frames. Main thread.
  Frame tick();

 signals:
  // The part of the strip (its own coordinates) that looks different now,
  // sent with every repaint the strip asks for, so that a strip drawn
  // somewhere other than a window of its own can be redrawn there. A strip
  // shown through a screen asks for no repaints.
  void areaChanged(const QRegion& area);

 protected:
  void paintEvent(QPaintEvent* event) override;
  // A strip hidden with its window, or taken out of its window, is shown the
  // empty activity: the animation stops and every mascot is dropped.
  void hideEvent(QHideEvent* event) override;
  bool event(QEvent* event) override;

 private:
  friend class FrameTimers;

  // tick() with the strips' lock held, from where the strip was last seen.
  Frame step();
  // Notes where the strip is, its size and pixel ratio, and whether it is
  // seen, for frames stepped off the main thread; whether any of it
  // changed. Main thread.
  bool notePlacement();
  // The whole strip through the screen again, from where it is now. Main
  // thread.
  void redrawWhole();
  // Shows `area` (rectangles in strip coordinates) through the screen at
  // the strip's pixel ratio `ratio`, or everything when the strip's place in
  // its window changed since the last time.
  void drawOnScreen(std::span<const QRect> area, double ratio);
  void drawWhole();
  void withdrawFromScreen();

  struct State;
  std::unique_ptr<State> d;
};

}  // namespace umbrafold
