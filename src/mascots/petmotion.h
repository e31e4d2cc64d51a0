#pragma once

#include "randomsource.h"

namespace umbrafold {

// The motion state of one walking mascot, in the strip's points with the
// origin at the bottom-left and y growing upwards. Pure arithmetic; a plain
// value. The random source is borrowed and must outlive every call.
class PetMotion {
 public:
  // Starts resting at `position`; draws cruise, then y, then rest.
  PetMotion(double position, RandomSource& random);

  // One time step of `seconds` (>= 0) in a strip `width` wide, for a mascot
  // drawn in a square of side `side`.
  void advance(double seconds, double width, double side);

  // A lower bound on the seconds of motion, in steps of any size, before
  // the mascot can have walked `points` points or turned round: 0 when its
  // next step may turn it or end its walk; while it rests, the rest left;
  // while it walks, the time to cover `points`, or the part of its walk
  // after which it may stop when that is shorter, speeding up at its full
  // acceleration from its present velocity, never above its cruising speed.
  double secondsToWalk(double points) const;

  // How many more points the mascot walks before the whole part of its
  // stride grows (in (0, 5]).
  double pointsToNextStride() const;

  double x() const { return x_; }
  double y() const { return y_; }
  double stride() const { return stride_; }
  bool facesLeft() const { return facesLeft_; }

  // The model's own state, readable for tests and drawing.
  double goal() const { return goal_; }
  double goalY() const { return goalY_; }
  double cruise() const { return cruise_; }
  double rest() const { return rest_; }
  double velocity() const { return velocity_; }

 private:
  RandomSource* random_;
  double x_;
  double y_;
  double goal_;
  double goalY_;
  double cruise_;
  double rest_;
  double velocity_ = 0;
  double stride_ = 0;
  bool facesLeft_ = false;
};

}  // namespace umbrafold
