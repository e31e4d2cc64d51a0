#include "presentation.h"

namespace umbrafold {

namespace {

// Takes nothing over: where a grab protects nothing, pretending to hold the
// keyboard would be worse than refusing to arm.
class RefusingPresentation : public Presentation {
 public:
  PresentationOptions options() const override { return {}; }
  bool setOptions(PresentationOptions options) override { return options == PresentationOptions{}; }
  void cover(QWidget*) override {}
  void uncover(QWidget*) override {}
};

}  // namespace

std::unique_ptr<Presentation> makeRefusingPresentation() {
  return std::make_unique<RefusingPresentation>();
}

}  // namespace umbrafold
