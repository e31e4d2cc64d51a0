#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <QByteArray>
#include <QString>
#include <array>

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

}  // namespace
