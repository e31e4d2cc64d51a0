#pragma once

#include <QStringView>

#include <array>
#include <cstdint>
#include <optional>

namespace umbrafold {

// The session password, held only as a random salt and a slow salted digest
// (PBKDF2-HMAC-SHA-256, 600000 iterations, of the NFC form in UTF-8). The
// plain text is never kept. After the third failed check, further checks are
// refused unchecked for a delay that doubles with each failure, up to 32
// seconds. A plain value. The const operations may run on any thread, also
// on a copy while the original is in use; the others on one thread.
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

  // Makes a session password from `password` with a fresh random salt.
  // Nothing when no secure random salt can be had.
  // Blocks for one derivation.
  static std::optional<SessionPassword> make(QStringView password);

  // Seconds on the monotonic clock (never the wall clock).
  static double uptimeNow();

  // Judges `attempt` at time `now` (seconds on the monotonic clock). Before
  // nextAttempt() answers wait (whole seconds left, rounded up) without
  // deriving anything or changing any state, whatever the attempt. Otherwise
  // derives the attempt (blocking for one derivation) and answers accepted, or
  // counts a failure and answers rejected for the first two failures and
  // wait(2^(min(failures, 8) - 3)) from the third on, moving nextAttempt to
  // now plus that delay.
  Result check(QStringView attempt, double now = uptimeNow());

  // The three steps of check(), for callers that derive on another thread:
  // refusal() is the wait answered before nextAttempt(), matches() the
  // derivation and comparison (const, blocking for one derivation), judge()
  // counts a failure for a mismatch and gives the verdict.
  std::optional<Result> refusal(double now) const;
  bool matches(QStringView attempt) const;
  Result judge(bool matched, double now);

  // Failed checks so far; never reset, not even by an accepted check.
  std::int64_t failures() const { return failures_; }
  // Before this instant every check answers wait; 0 until the third failure.
  double nextAttempt() const { return nextAttempt_; }
  // The random salt, fixed at creation (public by nature, like any salt).
  const std::array<unsigned char, 16>& salt() const { return salt_; }

  SessionPassword(const SessionPassword&) = default;
  SessionPassword& operator=(const SessionPassword&) = default;
  // Overwrites the digest with zeros.
  ~SessionPassword();

 private:
  SessionPassword() = default;

  std::array<unsigned char, 16> salt_{};
  std::array<unsigned char, 32> digest_{};
  std::int64_t failures_ = 0;
  double nextAttempt_ = 0;
};

}  // namespace umbrafold
