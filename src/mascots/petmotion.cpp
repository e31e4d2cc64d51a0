#include "petmotion.h"

#include <algorithm>
#include <cmath>

namespace umbrafold {

namespace {

constexpr double kArrivalDistance = 0.6;
constexpr double kAcceleration = 110;  // points/s², also the braking deceleration
constexpr double kPointsPerFrame = 5;

}  // namespace

PetMotion::PetMotion(double position, RandomSource& random)
    : random_(&random), x_(position), goal_(position) {
  cruise_ = uniformDraw(random, 26, 88);
  y_ = uniformDraw(random, 2, 17);
  goalY_ = y_;
  rest_ = uniformDraw(random, 0, 1.1);
}

void PetMotion::advance(double seconds, double width, double side) {
  const double lo = std::min(side / 2 + 3, width / 2);
  const double hi = std::max(lo, width - lo);
  x_ = std::min(hi, std::max(lo, x_));
  goal_ = std::min(hi, std::max(lo, goal_));

  if (rest_ > 0) {
    rest_ -= seconds;
    return;
  }

  const double d = std::abs(goal_ - x_);
  if (d < kArrivalDistance) {
    velocity_ = 0;
    rest_ = uniformDraw(*random_, 0.4, 2.8);
    const double reach = std::max(2 * side, 0.3 * width);
    goal_ = uniformDraw(*random_, std::max(lo, x_ - reach), std::min(hi, x_ + reach));
    goalY_ = uniformDraw(*random_, 2, 17);
    cruise_ = uniformDraw(*random_, 26, 88);
    return;
  }

  const double cap = std::min(std::sqrt(2 * kAcceleration * d), cruise_);
  velocity_ = std::min(velocity_ + kAcceleration * seconds, cap);
  const double step = std::min(seconds * velocity_, d);
  facesLeft_ = goal_ - x_ < 0;
  y_ += (goalY_ - y_) * step / d;
  x_ = goal_ < x_ ? x_ - step : x_ + step;
  stride_ += step / kPointsPerFrame;
}

double PetMotion::secondsToWalk(double points) const {
  if (rest_ > 0) return rest_;
  const double d = std::abs(goal_ - x_);
  if (d < kArrivalDistance || facesLeft_ != (goal_ - x_ < 0)) return 0;
  // Past d - kArrivalDistance the walk may end, and the next one may turn.
  const double distance = std::min(points, d - kArrivalDistance);
  if (!(distance > 0)) return 0;
  // A step moves at most its length times (velocity_ + kAcceleration x the
  // time since now), and never faster than cruise_.
  if (velocity_ >= cruise_) return distance / cruise_;
  const double speedingUp =
      (std::sqrt(velocity_ * velocity_ + 4 * kAcceleration * distance) - velocity_) /
      (2 * kAcceleration);
  if (velocity_ + kAcceleration * speedingUp <= cruise_) return speedingUp;
  return distance / cruise_;
}

double PetMotion::pointsToNextStride() const {
  return (std::floor(stride_) + 1 - stride_) * kPointsPerFrame;
}

}  // namespace umbrafold
