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
