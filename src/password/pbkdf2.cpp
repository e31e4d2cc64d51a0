#include "pbkdf2.h"

#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <openssl/crypto.h>

#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "nfctext.h"

namespace umbrafold {

namespace {

// The HMAC-SHA-256 operations with the signatures pbkdf2() calls through.
void macUpdate(void* mac, std::size_t length, const std::uint8_t* data) {
  hmac_sha256_update(static_cast<hmac_sha256_ctx*>(mac), length, data);
}

void macDigest(void* mac, std::size_t length, std::uint8_t* digest) {
  hmac_sha256_digest(static_cast<hmac_sha256_ctx*>(mac), length, digest);
}

// The derivation itself, in a frame of its own just below its caller's, with
// nettle's frames below that. Wipes its HMAC context, which holds the inner
// and outer pad states (and a running state that starts over from the inner
// one after every digest), but not the stack nettle used.
[[gnu::noinline]] void deriveWithNettle(std::span<const unsigned char> password,
                                        std::span<const unsigned char> salt, unsigned rounds,
                                        std::span<unsigned char> key) {
  hmac_sha256_ctx mac;
  hmac_sha256_set_key(&mac, password.size(), password.data());
  pbkdf2(&mac, &macUpdate, &macDigest, SHA256_DIGEST_SIZE, rounds, salt.size(), salt.data(),
         key.size(), key.data());
  OPENSSL_cleanse(&mac, sizeof mac);
}

// How much stack below its caller's frame is wiped after a derivation.
// nettle's HMAC and SHA-256 code goes well under 1 KiB deeper than
// deriveWithNettle (a 64-byte key block, a digest, a message schedule and
// saved registers in each of a few frames); 8 KiB covers that with room to
// spare and costs microseconds against a derivation's tenth of a second.
constexpr std::size_t kStackWipeBytes = 8192;

// Overwrites with zeros kStackWipeBytes of stack just below its caller's
// frame, less the top of its own frame (return address, saved registers and
// any padding a sanitizer adds around the buffer). nettle's
// hmac_sha256_set_key builds the key XOR ipad and key XOR opad blocks (and
// the digest of a key longer than a block) in its own stack frame and leaves
// them there, and SHA-256 code leaves states and message schedules on the
// stack. Stack memory is not given back when a function returns, nor when a
// thread ends (its stack is kept for the next thread), so those bytes would
// stay readable until something happened to overwrite them. Called right
// after deriveWithNettle returns, from the function that called it, this
// covers every frame nettle used; the top of its frame, which it leaves
// alone, lies over deriveWithNettle's frame, not nettle's. Never inlined, so
// that its frame lies where theirs did.
[[gnu::noinline]] void wipeStackBelowCaller() {
  std::array<unsigned char, kStackWipeBytes> region;
  OPENSSL_cleanse(region.data(), region.size());
}

}  // namespace

void pbkdf2HmacSha256(std::span<const unsigned char> password, std::span<const unsigned char> salt,
                      unsigned rounds, std::span<unsigned char> key) {
  deriveWithNettle(password, salt, rounds, key);
  wipeStackBelowCaller();
}

PasswordKey deriveKey(QStringView password, std::span<const unsigned char, 16> salt) {
  QByteArray utf8;
  {
    const NfcText nfc(password);
    utf8 = nfc.view().toUtf8();
  }
  PasswordKey key;
  const std::span<const unsigned char> bytes(
      reinterpret_cast<const unsigned char*>(utf8.constData()),
      static_cast<std::size_t>(utf8.size()));
  pbkdf2HmacSha256(bytes, salt, kPasswordIterations, key);
  wipe(utf8);
  return key;
}

}  // namespace umbrafold
