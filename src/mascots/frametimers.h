#pragma once

// The strips' frame timers and frame thread, for the strip's own source files
// only.

#include <chrono>
#include <map>
#include <mutex>
#include <vector>

#include "mascotwalk.h"

namespace umbrafold {

// Steps and draws the animating strips. Strips shown through a screen that
// draws from any thread are stepped on one frame thread, which sleeps until
// the next frame is due and touches nothing of Qt's event loop, so a frame
// costs one wake-up of that thread alone; other strips have one timer per
// frame interval on the main thread. Either way the strips of all displays
// step and draw in the same wake-up, and after each frame the wait is what
// ticksToNextFrame() says: until the first tick at which any of the strips
// may change (each strip's frame foresees that), every other tick at most
// while they change all the time. Called with stripLock() held.
class FrameTimers {
 public:
  // Steps walk on the grid of `interval` milliseconds until leave(walk), the
  // first time one interval from now.
  static void join(MascotWalk* walk, int interval);

  // Stops the steps of walk; a timer left without strips stops, the frame
  // thread sleeps until a strip joins.
  static void leave(MascotWalk* walk);

  // The next frame of walk comes at most one interval from now: for a change
  // the timers could not foresee.
  static void hurry(MascotWalk* walk);

  // The frame thread looks again at which strips want a frame. Any thread;
  // takes stripLock().
  static void wake();

 private:
  using Clock = std::chrono::steady_clock;

  // Whether walk is stepped on the frame thread rather than the main one.
  static bool offMainThread(const MascotWalk* walk);

  struct Entry;   // a timer on the main thread and the strips it steps
  struct Thread;  // the frame thread's strips and schedule

  static std::map<int, Entry>& entries();

  // Started when first needed and never stopped or destroyed: without
  // strips it waits for one without waking.
  static Thread& frameThread();

  // One frame of each strip in `walks` that `joined` still holds (a strip
  // can leave during a frame), stepped by `step`; then what was drawn goes
  // to the display. The wait before the next frame, in milliseconds.
  static int frame(const std::vector<MascotWalk*>& walks, const std::vector<MascotWalk*>& joined,
                   int interval, MascotWalk::Frame (*step)(MascotWalk*));

  // Waits until woken, marked as a thread that wake() must wake.
  static void waitIdle(Thread& thread, std::unique_lock<std::recursive_mutex>& lock);

  static void fire(int interval);
  static void run();

  static inline Thread* thread_ = nullptr;
};

}  // namespace umbrafold
