#pragma once

#include <QStringView>

namespace umbrafold {

// Length in user-perceived characters (extended grapheme clusters): an
// emoji with a skin-tone modifier, or a letter with a combining mark, is one.
qsizetype userCharacterCount(QStringView text);

// True when the two texts are canonically equivalent (a precomposed letter
// equals the same letter written with a combining mark).
bool canonicallyEqual(QStringView a, QStringView b);

}  // namespace umbrafold
