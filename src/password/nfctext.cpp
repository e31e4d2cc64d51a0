#include "nfctext.h"

#include <openssl/crypto.h>

#include <QByteArray>

namespace umbrafold {

NfcText::NfcText(QStringView text)
    // Raw data makes no copy; normalized() allocates only if it changes
    // something.
    : text_(
          QString::fromRawData(text.data(), text.size()).normalized(QString::NormalizationForm_C)) {
}

NfcText::~NfcText() {
  // isDetached() is false for raw data (the caller's buffer) and true for a
  // buffer normalisation allocated, which only text_ holds.
  if (text_.isDetached()) {
    OPENSSL_cleanse(text_.data(), static_cast<std::size_t>(text_.size()) * sizeof(QChar));
  }
}

void wipe(QByteArray& bytes) {
  if (bytes.isDetached()) {
    OPENSSL_cleanse(bytes.data(), static_cast<std::size_t>(bytes.size()));
  }
  bytes.clear();
}

}  // namespace umbrafold
