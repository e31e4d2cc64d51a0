#pragma once

#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace umbrafold {

// The session password, held only as a random salt and a slow salted digest
// (PBKDF2-HMAC-SHA-256, 600000 iterations, of the NFC form in UTF-8). The
// plain text is never kept. A plain value; main thread only.
class SessionPassword {
 public:
  // The verdict of a check.
  struct Result {
    enum class Kind { wait, accepted, rejected };
    Kind kind;
    std::int64_t seconds = 0;  // for wait: whole seconds, at least 1

    static Result wait(std::int64_t seconds) { return {Kind::wait, seconds}; }
    static Result accepted() { return {Kind::accepted, 0}; }
    static Result rejected() { return {Kind::rejected, 0}; }
    friend bool operator==(const Result&, const Result&) = default;
  };

  // Makes a session password from `password`. Nothing when no secure random
  // salt can be had or the derivation fails.
  static std::optional<SessionPassword> make(QStringView password);

  // Seconds on the monotonic clock (never the wall clock).
  static double uptimeNow();

  // Judges `attempt` at time `now` (seconds on the monotonic clock). During a
  // back-off wait answers wait without deriving anything. Updates failures
  // and nextAttempt in place.
  Result check(QStringView attempt, double now = uptimeNow());

  std::int64_t failures() const { return failures_; }
  double nextAttempt() const { return nextAttempt_; }

 private:
  SessionPassword() = default;

  std::array<unsigned char, 16> salt_{};
  std::array<unsigned char, 32> digest_{};
  std::int64_t failures_ = 0;
  double nextAttempt_ = 0;
};

}  // namespace umbrafold
