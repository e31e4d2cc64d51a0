// Derives keys from arbitrary password and salt bytes with a few rounds and
// checks them against OpenSSL's PBKDF2-HMAC-SHA-256. The first three bytes
// choose the rounds (1 to 4), the key length (1 to 96 bytes) and the salt
// length; the salt follows, and the rest is the password.

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "pbkdf2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const unsigned rounds = 1 + data[0] % 4;
  const std::size_t keyLength = 1 + data[1] % 96;
  const std::size_t saltLength = std::min<std::size_t>(data[2], size - 3);
  const std::span<const unsigned char> salt(data + 3, saltLength);
  const std::span<const unsigned char> password(data + 3 + saltLength, size - 3 - saltLength);

  std::vector<unsigned char> ours(keyLength);
  umbrafold::pbkdf2HmacSha256(password, salt, rounds, ours);
  std::vector<unsigned char> expected(keyLength);
  const int ok = PKCS5_PBKDF2_HMAC(
      reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
      salt.data(), static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
      static_cast<int>(expected.size()), expected.data());
  if (ok != 1) std::abort();
  if (ours != expected) std::abort();
  return 0;
}
