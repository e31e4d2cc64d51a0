#include <benchmark/benchmark.h>
#include <nettle/pbkdf2.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

#include "pbkdf2.h"
#include "sessionpassword.h"

namespace {

// An eight-letter password with two non-ASCII letters, so normalisation and
// UTF-8 encoding do real work.
const QString kPassword = QStringLiteral("p\u00E4ssw\u00F6rd");

// One whole session password: secure salt, NFC, UTF-8, PBKDF2, wiping.
void BM_SessionPasswordDerive(benchmark::State& state) {
  for (auto _ : state) {
    auto password = umbrafold::SessionPassword::make(kPassword);
    benchmark::DoNotOptimize(password);
  }
}
BENCHMARK(BM_SessionPasswordDerive)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);

// The derivation alone: NFC, UTF-8, PBKDF2 and every wipe, without the
// random salt.
void BM_DeriveKey(benchmark::State& state) {
  const umbrafold::PasswordSalt salt{};
  for (auto _ : state) {
    umbrafold::PasswordKey key = umbrafold::deriveKey(kPassword, salt);
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_DeriveKey)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);

// The same derivation (same bytes, salt length, iterations, key length)
// straight through OpenSSL: the floor the session password is measured against.
void BM_OpenSslPbkdf2Reference(benchmark::State& state) {
  const QByteArray utf8 = kPassword.normalized(QString::NormalizationForm_C).toUtf8();
  std::array<unsigned char, 16> salt{};
  std::array<unsigned char, 32> key{};
  for (auto _ : state) {
    const int ok = PKCS5_PBKDF2_HMAC(utf8.constData(), static_cast<int>(utf8.size()), salt.data(),
                                     static_cast<int>(salt.size()), 600000, EVP_sha256(),
                                     static_cast<int>(key.size()), key.data());
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_OpenSslPbkdf2Reference)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);

// The same derivation through nettle's own one-call PBKDF2, whose context
// nobody wipes: what deriveKey's wiping and text handling add to it.
void BM_NettlePbkdf2Reference(benchmark::State& state) {
  const QByteArray utf8 = kPassword.normalized(QString::NormalizationForm_C).toUtf8();
  std::array<unsigned char, 16> salt{};
  std::array<unsigned char, 32> key{};
  for (auto _ : state) {
    pbkdf2_hmac_sha256(static_cast<std::size_t>(utf8.size()),
                       reinterpret_cast<const std::uint8_t*>(utf8.constData()), 600000, salt.size(),
                       salt.data(), key.size(), key.data());
    benchmark::DoNotOptimize(key);
  }
}
BENCHMARK(BM_NettlePbkdf2Reference)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);

// The SHA-256 compressions alone that any PBKDF2-HMAC-SHA-256 with these
// parameters needs (two per round, 1.2 million blocks hashed in a row,
// each after the last as in a derivation): the floor under every library.
void BM_Pbkdf2CompressionFloor(benchmark::State& state) {
  constexpr std::size_t kBlocksPerUpdate = 1000;
  const std::array<std::uint8_t, kBlocksPerUpdate * SHA256_BLOCK_SIZE> blocks{};
  for (auto _ : state) {
    sha256_ctx hash;
    sha256_init(&hash);
    for (unsigned i = 0; i < 2 * 600000 / kBlocksPerUpdate; ++i) {
      sha256_update(&hash, blocks.size(), blocks.data());
    }
    benchmark::DoNotOptimize(hash);
  }
}
BENCHMARK(BM_Pbkdf2CompressionFloor)->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(5);

}  // namespace
