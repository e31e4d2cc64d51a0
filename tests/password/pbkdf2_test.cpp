#include "pbkdf2.h"

#include <gtest/gtest.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>
#include <pthread.h>

#include <QByteArray>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace umbrafold {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes derived(const Bytes& password, const Bytes& salt, unsigned rounds, std::size_t length) {
  Bytes key(length);
  pbkdf2HmacSha256(password, salt, rounds, key);
  return key;
}

Bytes openSslDerived(const Bytes& password, const Bytes& salt, unsigned rounds,
                     std::size_t length) {
  Bytes key(length);
  const int ok = PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()),
                                   static_cast<int>(password.size()), salt.data(),
                                   static_cast<int>(salt.size()), static_cast<int>(rounds),
                                   EVP_sha256(), static_cast<int>(key.size()), key.data());
  EXPECT_EQ(ok, 1);
  return key;
}

QByteArray hex(const Bytes& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()))
      .toHex();
}

struct Vector {
  std::string_view password;
  std::string_view salt;
  unsigned rounds;
  const char* key;  // hex; its length is the key length
};

// Published PBKDF2-HMAC-SHA-256 vectors: RFC 7914 section 11, and the
// RFC 6070 inputs with SHA-256 as they circulate with the RFC (embedded NUL,
// a key longer than one digest). The last row has a 115-byte password, which
// HMAC hashes before use; its key was computed with Python's
// hashlib.pbkdf2_hmac.
const Vector kVectors[] = {
    {"passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
     "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
    {"Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
     "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    {"password", "salt", 1, "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"},
    {"password", "salt", 2, "ae4d0c95af6b46d32d0adff928f06dd02a303f8ef3c251dfd6e2d85a95474c43"},
    {"password", "salt", 4096, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"},
    {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
     "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9"},
    {std::string_view("pass\0word", 9), std::string_view("sa\0lt", 5), 4096,
     "89b69d0516f829893c696226650a8687"},
    {" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
     "abcdefghijklmnopqrstuvwxyz{|}~ !\"#$%&'()*+,-./0123",
     "saltSALTsaltSALTsaltSALTsaltSALTsalt", 1000,
     "02ffdc6b9be333ff5f574b72282588bd761b20b8ad391ad7f3a4fff00085149d"
     "08e50d5168ce32d8e7e8ab81ed96e7ac"},
};

TEST(Pbkdf2HmacSha256, GivesThePublishedKeys) {
  for (const Vector& row : kVectors) {
    SCOPED_TRACE(testing::Message() << row.password << " / " << row.rounds);
    const std::size_t length = std::string_view(row.key).size() / 2;
    EXPECT_EQ(hex(derived(bytesOf(row.password), bytesOf(row.salt), row.rounds, length)),
              QByteArray(row.key));
  }
}

// Every password length from empty to past three SHA-256 blocks (a password
// longer than a block is hashed first), with salts and key lengths that
// straddle block and digest boundaries, against OpenSSL's PBKDF2.
TEST(Pbkdf2HmacSha256, AgreesWithOpenSslOnRandomInputs) {
  std::mt19937 random(20261210);
  auto randomBytes = [&random](std::size_t size) {
    Bytes bytes(size);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
  };
  for (std::size_t length = 0; length <= 200; ++length) {
    const Bytes password = randomBytes(length);
    const Bytes salt = randomBytes(random() % 80);
    const auto rounds = static_cast<unsigned>(1 + random() % 3);
    const std::size_t keyLength = 1 + random() % 100;
    SCOPED_TRACE(testing::Message() << "password " << hex(password).constData() << ", salt "
                                    << hex(salt).constData() << ", rounds " << rounds);
    ASSERT_EQ(hex(derived(password, salt, rounds, keyLength)),
              hex(openSslDerived(password, salt, rounds, keyLength)));
  }
}

// What a derivation must not leave on its thread's stack, named: the start
// of the password, of the HMAC key XOR ipad and XOR opad blocks, the SHA-256
// states after absorbing them (as nettle holds them) and, for a password
// longer than a block, its digest (the HMAC key).
std::map<std::string, Bytes> secretsOf(const Bytes& password) {
  Bytes key = password;
  if (key.size() > SHA256_BLOCK_SIZE) {
    key.assign(SHA256_DIGEST_SIZE, 0);
    sha256_ctx hash;
    sha256_init(&hash);
    sha256_update(&hash, password.size(), password.data());
    sha256_digest(&hash, key.size(), key.data());
  }
  key.resize(SHA256_BLOCK_SIZE);
  Bytes inner(key), outer(key);
  for (unsigned char& byte : inner) byte ^= 0x36;
  for (unsigned char& byte : outer) byte ^= 0x5c;
  hmac_sha256_ctx mac;
  hmac_sha256_set_key(&mac, password.size(), password.data());
  auto bytesAt = [](const void* data, std::size_t size) {
    const auto* begin = static_cast<const unsigned char*>(data);
    return Bytes(begin, begin + size);
  };
  std::map<std::string, Bytes> secrets = {
      {"password", Bytes(password.begin(), password.begin() + 16)},
      {"key XOR ipad", Bytes(inner.begin(), inner.begin() + 16)},
      {"key XOR opad", Bytes(outer.begin(), outer.begin() + 16)},
      {"inner state", bytesAt(mac.inner.state, sizeof mac.inner.state)},
      {"outer state", bytesAt(mac.outer.state, sizeof mac.outer.state)}};
  if (password.size() > SHA256_BLOCK_SIZE) {
    secrets.emplace("hashed password", Bytes(key.begin(), key.begin() + SHA256_DIGEST_SIZE));
  }
  return secrets;
}

// Runs `work` on a thread of its own whose stack is memory this object owns,
// filled with a pattern beforehand, and returns the names of the `secrets`
// that stack holds once the thread has ended.
class StackProbe {
 public:
  static constexpr std::size_t kSize = 1 << 20;

  std::vector<std::string> secretsLeftBy(std::function<void()> work,
                                         const std::map<std::string, Bytes>& secrets) {
    std::fill_n(stack_.get(), kSize, static_cast<unsigned char>(0xa5));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack_.get(), kSize);
    pthread_t thread;
    const int created = pthread_create(
        &thread, &attributes,
        [](void* job) -> void* {
          (*static_cast<std::function<void()>*>(job))();
          return nullptr;
        },
        &work);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(created, 0);
    if (created != 0) return {};
    pthread_join(thread, nullptr);
    std::vector<std::string> found;
    for (const auto& [name, secret] : secrets) {
      if (std::search(stack_.get(), stack_.get() + kSize, secret.begin(), secret.end()) !=
          stack_.get() + kSize) {
        found.push_back(name);
      }
    }
    return found;
  }

 private:
  struct Free {
    void operator()(unsigned char* memory) const { std::free(memory); }
  };
  std::unique_ptr<unsigned char, Free> stack_{
      static_cast<unsigned char*>(std::aligned_alloc(4096, kSize))};
};

// A password within one SHA-256 block, and one longer that HMAC hashes first.
class Pbkdf2StackTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Pbkdf2StackTest, LeavesNothingOfThePasswordOnItsThreadsStack) {
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  Bytes password(GetParam());
  for (unsigned char& byte : password) byte = static_cast<unsigned char>(random());
  const Bytes salt = bytesOf("salt");
  const std::map<std::string, Bytes> secrets = secretsOf(password);
  StackProbe probe;
  Bytes key(32);
  // nettle's own PBKDF2, which wipes nothing, leaves some of them behind: the
  // probe sees what a derivation leaves.
  EXPECT_NE(probe.secretsLeftBy(
                [&] {
                  pbkdf2_hmac_sha256(password.size(), password.data(), 2, salt.size(), salt.data(),
                                     key.size(), key.data());
                },
                secrets),
            std::vector<std::string>());
  const Bytes expected = key;
  EXPECT_EQ(probe.secretsLeftBy([&] { pbkdf2HmacSha256(password, salt, 2, key); }, secrets),
            std::vector<std::string>());
  EXPECT_EQ(key, expected);
}

INSTANTIATE_TEST_SUITE_P(PasswordLengths, Pbkdf2StackTest, ::testing::Values(20, 100));

}  // namespace
}  // namespace umbrafold
