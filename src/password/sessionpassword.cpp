#include "sessionpassword.h"

namespace umbrafold {

std::optional<SessionPassword> SessionPassword::make(QStringView) { return std::nullopt; }
double SessionPassword::uptimeNow() { return 0; }
SessionPassword::Result SessionPassword::check(QStringView, double) { return Result::rejected(); }

}  // namespace umbrafold
