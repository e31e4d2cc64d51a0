#include "mediaclock.h"

namespace umbrafold {

double SteadyMediaClock::now() const { return 0; }

}  // namespace umbrafold
