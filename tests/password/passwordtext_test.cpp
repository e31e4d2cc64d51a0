#include "passwordtext.h"

#include <gtest/gtest.h>

#include <QString>

namespace umbrafold {
namespace {

struct CountCase {
  const char* name;
  QString text;
  qsizetype characters;
};

class UserCharacterCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(UserCharacterCountTest, CountsGraphemeClusters) {
  EXPECT_EQ(userCharacterCount(GetParam().text), GetParam().characters);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UserCharacterCountTest,
    ::testing::Values(
        CountCase{"Empty", QString(), 0}, CountCase{"Ascii", QStringLiteral("password"), 8},
        CountCase{"Composed", QStringLiteral("p\u00E4ssw\u00F6rd"), 8},
        CountCase{"Decomposed", QStringLiteral("pa\u0308sswo\u0308rd"), 8},
        // Thumbs up + medium skin tone: two code points, four UTF-16 units.
        CountCase{"SkinTone", QStringLiteral("\U0001F44D\U0001F3FD"), 1},
        // Man, ZWJ, woman, ZWJ, girl, ZWJ, boy.
        CountCase{"ZwjFamily",
                  QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"), 1},
        CountCase{"FlagAndLetters", QStringLiteral("a\U0001F1E9\U0001F1EAb"), 3},
        // Hangul syllable GAG as conjoining jamo and as one precomposed code point.
        CountCase{"HangulJamo", QStringLiteral("\u1100\u1161\u11A8\u1100\u1161"), 2},
        CountCase{"HangulSyllable", QStringLiteral("\uAC01\uAC00"), 2},
        CountCase{"CrLf", QStringLiteral("a\r\nb"), 3}),
    [](const ::testing::TestParamInfo<CountCase>& row) { return std::string(row.param.name); });

TEST(CanonicallyEqual, ComposedAndDecomposedFormsAreEqual) {
  EXPECT_TRUE(canonicallyEqual(u"caf\u00E9", u"cafe\u0301"));
  EXPECT_TRUE(canonicallyEqual(u"\uAC01", u"\u1100\u1161\u11A8"));
  // Combining marks in either order of a canonical reordering.
  EXPECT_TRUE(canonicallyEqual(u"q\u0307\u0323", u"q\u0323\u0307"));
  EXPECT_TRUE(canonicallyEqual(u"", QStringView()));
}

TEST(CanonicallyEqual, DifferentTextsAreNot) {
  EXPECT_FALSE(canonicallyEqual(u"caf\u00E9", u"cafe"));
  EXPECT_FALSE(canonicallyEqual(u"Password", u"password"));
  EXPECT_FALSE(canonicallyEqual(u"password", u"password "));
  // Compatibility forms are not canonical ones: the ligature fi stays itself.
  EXPECT_FALSE(canonicallyEqual(u"\uFB01", u"fi"));
  EXPECT_FALSE(canonicallyEqual(u"a", u""));
}

}  // namespace
}  // namespace umbrafold
