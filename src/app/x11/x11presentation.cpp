#include "presentation.h"

namespace umbrafold {

std::unique_ptr<Presentation> makeX11Presentation() { return makeRefusingPresentation(); }

}  // namespace umbrafold
