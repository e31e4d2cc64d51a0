#include "passwordtext.h"

namespace umbrafold {

qsizetype userCharacterCount(QStringView text) { return text.size(); }
bool canonicallyEqual(QStringView a, QStringView b) { return a == b; }

}  // namespace umbrafold
