#include "passwordtext.h"

#include <QTextBoundaryFinder>

#include "nfctext.h"

namespace umbrafold {

qsizetype userCharacterCount(QStringView text) {
  // This constructor reads the caller's buffer in place instead of copying
  // the text.
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
  qsizetype count = 0;
  while (finder.toNextBoundary() != -1) {
    ++count;
  }
  return count;
}

bool canonicallyEqual(QStringView a, QStringView b) {
  const NfcText nfcA(a);
  const NfcText nfcB(b);
  return nfcA.view() == nfcB.view();
}

}  // namespace umbrafold
