#include "sessionpassword.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "pbkdf2.h"

namespace umbrafold {

namespace {

// Failures answered rejected before the back-off starts, and the failure
// count from which the delay stops doubling (2^(8-3) = 32 seconds).
constexpr std::int64_t kFreeFailures = 2;
constexpr std::int64_t kLongestDelayFailures = 8;

// Whole seconds from `now` to `until` (> now), rounded up, at least 1.
std::int64_t secondsLeft(double until, double now) {
  const double left = std::ceil(until - now);
  // Only a caller passing an absurd `now` gets anywhere near the limit.
  return static_cast<std::int64_t>(std::clamp(left, 1.0, 9.0e18));
}

}  // namespace

std::optional<SessionPassword> SessionPassword::make(QStringView password) {
  SessionPassword made;
  if (RAND_bytes(made.salt_.data(), static_cast<int>(made.salt_.size())) != 1) {
    return std::nullopt;
  }
  PasswordKey key = deriveKey(password, made.salt_);
  made.digest_ = key;
  OPENSSL_cleanse(key.data(), key.size());
  return made;
}

SessionPassword::~SessionPassword() { OPENSSL_cleanse(digest_.data(), digest_.size()); }

double SessionPassword::uptimeNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SessionPassword::Result SessionPassword::check(QStringView attempt, double now) {
  if (const std::optional<Result> wait = refusal(now)) return *wait;
  return judge(matches(attempt), now);
}

std::optional<SessionPassword::Result> SessionPassword::refusal(double now) const {
  if (now < nextAttempt_) return Result::wait(secondsLeft(nextAttempt_, now));
  return std::nullopt;
}

bool SessionPassword::matches(QStringView attempt) const {
  PasswordKey key = deriveKey(attempt, salt_);
  // Reads every byte whatever differs, so the time taken says nothing about
  // where the first difference lies.
  const bool same = CRYPTO_memcmp(key.data(), digest_.data(), digest_.size()) == 0;
  OPENSSL_cleanse(key.data(), key.size());
  return same;
}

SessionPassword::Result SessionPassword::judge(bool matched, double now) {
  if (matched) return Result::accepted();
  failures_ += 1;
  if (failures_ <= kFreeFailures) return Result::rejected();
  const std::int64_t delay = std::int64_t{1}
                             << (std::min(failures_, kLongestDelayFailures) - kFreeFailures - 1);
  nextAttempt_ = now + static_cast<double>(delay);
  return Result::wait(delay);
}

}  // namespace umbrafold
