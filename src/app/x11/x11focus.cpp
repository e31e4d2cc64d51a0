#include "focus.h"

namespace umbrafold {

std::unique_ptr<Focus> makeX11Focus() { return nullptr; }

}  // namespace umbrafold
