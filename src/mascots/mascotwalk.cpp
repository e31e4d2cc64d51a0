#include "mascotwalk.h"

namespace umbrafold {

struct MascotWalk::State {
  Services services;
  AgentActivity activity;
  std::map<std::string, PetMotion> pets;
};

MascotWalk::Services MascotWalk::systemServices() {
  return {std::make_shared<SecureRandomSource>(), std::make_shared<SteadyMediaClock>(),
          [] { return false; }};
}

MascotWalk::MascotWalk(QWidget* parent) : MascotWalk(systemServices(), parent) {}
MascotWalk::MascotWalk(Services services, QWidget* parent)
    : QWidget(parent), d(std::make_unique<State>()) {
  d->services = std::move(services);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}
MascotWalk::~MascotWalk() = default;
void MascotWalk::show(const AgentActivity& activity) { d->activity = activity; }
const AgentActivity& MascotWalk::activity() const { return d->activity; }
const std::map<std::string, PetMotion>& MascotWalk::pets() const { return d->pets; }
bool MascotWalk::isAnimating() const { return false; }
bool MascotWalk::reducedMotion() const { return false; }
std::int64_t MascotWalk::speakerIndex() const { return 0; }
double MascotWalk::bubbleAt() const { return 0; }
void MascotWalk::tick() {}
void MascotWalk::paintEvent(QPaintEvent*) {}
void MascotWalk::hideEvent(QHideEvent*) {}

}  // namespace umbrafold
