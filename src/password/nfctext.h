#pragma once

#include <QString>
#include <QStringView>

namespace umbrafold {

// The Unicode Normalization Form C of a text, for code that handles password
// text. The copy it owns is overwritten with zeros when it goes away. The
// caller's text is never copied more than normalisation needs: when it is
// already in NFC the view points into the caller's own buffer. (Scratch
// buffers that Qt frees while it normalises are outside our reach.)
class NfcText {
 public:
  explicit NfcText(QStringView text);
  ~NfcText();
  NfcText(const NfcText&) = delete;
  NfcText& operator=(const NfcText&) = delete;

  QStringView view() const { return text_; }

 private:
  QString text_;
};

// Overwrites with zeros every byte of `bytes` that this object owns alone,
// then empties it. Does nothing to a buffer shared with another owner or
// borrowed from raw data.
void wipe(QByteArray& bytes);

}  // namespace umbrafold
