#include <cstdio>
#include <string>
#include <utility>

#include "presentation.h"

namespace umbrafold {

namespace {

// Takes nothing over: where a grab protects nothing, pretending to hold the
// keyboard would be worse than refusing to arm. Each refusal says why on
// standard error; the setup window shows its one sentence.
class RefusingPresentation : public Presentation {
 public:
  explicit RefusingPresentation(std::string reason) : reason_(std::move(reason)) {}

  PresentationOptions options() const override { return {}; }
  bool setOptions(PresentationOptions options) override {
    if (options == PresentationOptions{}) return true;
    if (!reason_.empty()) std::fprintf(stderr, "umbrafold: %s\n", reason_.c_str());
    return false;
  }
  void cover(QWidget*, const QString&) override {}
  void uncover(QWidget*) override {}

 private:
  std::string reason_;
};

}  // namespace

std::unique_ptr<Presentation> makeRefusingPresentation(std::string reason) {
  return std::make_unique<RefusingPresentation>(std::move(reason));
}

}  // namespace umbrafold
