#include "petmotion.h"

namespace umbrafold {

PetMotion::PetMotion(double position, RandomSource& random)
    : random_(&random), x_(position), y_(2), goal_(position), goalY_(2), cruise_(26), rest_(0) {}

void PetMotion::advance(double, double, double) {}

}  // namespace umbrafold
