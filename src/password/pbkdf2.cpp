#include "pbkdf2.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <QByteArray>
#include <limits>

#include "nfctext.h"

namespace umbrafold {

std::optional<PasswordKey> deriveKey(QStringView password,
                                     std::span<const unsigned char, 16> salt) {
  QByteArray utf8;
  {
    const NfcText nfc(password);
    utf8 = nfc.view().toUtf8();
  }
  std::optional<PasswordKey> key;
  if (utf8.size() <= std::numeric_limits<int>::max()) {
    key.emplace();
    const int ok = PKCS5_PBKDF2_HMAC(utf8.constData(), static_cast<int>(utf8.size()), salt.data(),
                                     static_cast<int>(salt.size()), kPasswordIterations,
                                     EVP_sha256(), static_cast<int>(key->size()), key->data());
    if (ok != 1) {
      OPENSSL_cleanse(key->data(), key->size());
      key.reset();
    }
  }
  wipe(utf8);
  return key;
}

}  // namespace umbrafold
