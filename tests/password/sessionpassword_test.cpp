#include "sessionpassword.h"

#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <numeric>

#include "pbkdf2.h"

namespace umbrafold {
namespace {

using Result = SessionPassword::Result;

// "pässwörd" with precomposed letters (NFC) and with combining diaereses (NFD).
const QString kComposed = QStringLiteral("p\u00E4ssw\u00F6rd");
const QString kDecomposed = QStringLiteral("pa\u0308sswo\u0308rd");

PasswordSalt countingSalt() {
  PasswordSalt salt{};
  std::iota(salt.begin(), salt.end(), static_cast<unsigned char>(0));
  return salt;
}

PasswordKey keyFromHex(const char* hex) {
  const QByteArray bytes = QByteArray::fromHex(hex);
  PasswordKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

// Expected keys computed independently with Python's standard library:
//   hashlib.pbkdf2_hmac('sha256', unicodedata.normalize('NFC', text).encode(),
//                       bytes(range(16)), 600000).hex()
TEST(DeriveKey, MatchesIndependentPbkdf2ForComposedAndDecomposedText) {
  ASSERT_EQ(kDecomposed.size(), 10);
  const PasswordKey expected =
      keyFromHex("974b974305dece95a0b581d71f5eefb1351bc76b5380dafd90c68f6c35eec5f3");
  EXPECT_EQ(deriveKey(kComposed, countingSalt()), expected);
  EXPECT_EQ(deriveKey(kDecomposed, countingSalt()), expected);
}

TEST(DeriveKey, EmptyTextIsDerivedLikeAnyOther) {
  // Same Python call with text ''.
  EXPECT_EQ(deriveKey(QString(), countingSalt()),
            keyFromHex("ffa81c4acdf4b1394384005f0aaf083dd4c7bae97d8dc466581ecf75bb005eb9"));
}

class SessionPasswordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { made_ = SessionPassword::make(kComposed); }
  static void TearDownTestSuite() { made_.reset(); }

  void SetUp() override { ASSERT_TRUE(made_.has_value()); }

  // A fresh copy for each test, so the suite pays for one derivation at most.
  SessionPassword fresh() const { return *made_; }

  // Fails `count` checks at `now` and returns the last verdict.
  static Result failTimes(SessionPassword& password, int count, double now) {
    Result last = Result::rejected();
    for (int i = 0; i < count; ++i) {
      last = password.check(u"wrong", now);
    }
    return last;
  }

  static inline std::optional<SessionPassword> made_;
};

TEST_F(SessionPasswordTest, AcceptsItsTextInEitherFormAndNotAnotherCase) {
  SessionPassword password = fresh();
  EXPECT_EQ(password.check(kComposed, 10), Result::accepted());
  EXPECT_EQ(password.check(kDecomposed, 10), Result::accepted());
  EXPECT_EQ(password.failures(), 0);
  EXPECT_EQ(password.nextAttempt(), 0);
  EXPECT_EQ(password.check(QStringLiteral("P\u00E4ssw\u00F6rd"), 10), Result::rejected());
  EXPECT_EQ(password.failures(), 1);
}

TEST_F(SessionPasswordTest, InstancesFromTheSameTextHaveTheirOwnSalt) {
  std::optional<SessionPassword> other = SessionPassword::make(kComposed);
  ASSERT_TRUE(other.has_value());
  EXPECT_NE(other->salt(), made_->salt());
  EXPECT_EQ(other->check(kDecomposed, 0), Result::accepted());
}

TEST_F(SessionPasswordTest, BackOffDoublesFromTheThirdFailureUpToThirtyTwoSeconds) {
  struct Row {
    std::int64_t failures;
    Result verdict;
  };
  const Row rows[] = {{1, Result::rejected()}, {2, Result::rejected()}, {3, Result::wait(1)},
                      {4, Result::wait(2)},    {5, Result::wait(4)},    {6, Result::wait(8)},
                      {7, Result::wait(16)},   {8, Result::wait(32)},   {9, Result::wait(32)}};
  SessionPassword password = fresh();
  double now = 100;
  double expectedNext = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failures);
    EXPECT_EQ(password.check(u"wrong", now), row.verdict);
    EXPECT_EQ(password.failures(), row.failures);
    if (row.verdict.kind == Result::Kind::wait) {
      expectedNext = now + static_cast<double>(row.verdict.seconds);
    }
    EXPECT_EQ(password.nextAttempt(), expectedNext);
    now = std::max(now, expectedNext);
  }
}

TEST_F(SessionPasswordTest, WaitRefusesEvenTheRightTextAndChangesNothing) {
  SessionPassword password = fresh();
  ASSERT_EQ(failTimes(password, 3, 100), Result::wait(1));
  ASSERT_EQ(password.nextAttempt(), 101);
  for (const QString& attempt : {kComposed, QString(), QStringLiteral("wrong")}) {
    EXPECT_EQ(password.check(attempt, 100.2), Result::wait(1));
  }
  EXPECT_EQ(password.failures(), 3);
  EXPECT_EQ(password.nextAttempt(), 101);
  // At exactly nextAttempt the check is made again.
  EXPECT_EQ(password.check(u"wrong", 101), Result::wait(2));
  EXPECT_EQ(password.failures(), 4);
  EXPECT_EQ(password.nextAttempt(), 103);
}

TEST_F(SessionPasswordTest, WaitIsRoundedUpToWholeSeconds) {
  SessionPassword password = fresh();
  failTimes(password, 3, 100);
  failTimes(password, 1, 101);
  ASSERT_EQ(failTimes(password, 1, 103), Result::wait(4));
  ASSERT_EQ(password.nextAttempt(), 107);
  EXPECT_EQ(password.check(u"wrong", 104), Result::wait(3));
  EXPECT_EQ(password.check(u"wrong", 103.99), Result::wait(4));
  EXPECT_EQ(password.check(u"wrong", 106.999), Result::wait(1));
  EXPECT_EQ(password.failures(), 5);
}

TEST_F(SessionPasswordTest, RightTextAfterAnExpiredWaitKeepsTheFailureCount) {
  SessionPassword password = fresh();
  failTimes(password, 3, 100);
  EXPECT_EQ(password.check(kComposed, 101), Result::accepted());
  EXPECT_EQ(password.failures(), 3);
  EXPECT_EQ(password.nextAttempt(), 101);
  // The count carries on where it was: the next failure waits 2 seconds.
  EXPECT_EQ(password.check(u"wrong", 101), Result::wait(2));
}

TEST_F(SessionPasswordTest, EmptyAttemptCountsAsAFailure) {
  SessionPassword password = fresh();
  EXPECT_EQ(password.check(u"", 5), Result::rejected());
  EXPECT_EQ(password.failures(), 1);
}

}  // namespace
}  // namespace umbrafold
