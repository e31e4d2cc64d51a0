#include "petmotion.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fakes.h"

namespace umbrafold {
namespace {

using testing::ScriptedRandom;

constexpr double kFrame = 1.0 / 60;

class PetMotionTest : public ::testing::Test {
 protected:
  // A mascot at `x` with the given cruise, height and initial pause.
  PetMotion make(double x, double cruise = 26, double y = 5, double rest = 0) {
    random.draw(cruise, 26, 88).draw(y, 2, 17).draw(rest, 0, 1.1);
    return PetMotion(x, random);
  }
  // Scripts the four draws of a decision: pause, target, target height, cruise.
  void decide(double rest, double goalFraction, double goalY = 5, double cruise = 26) {
    random.draw(rest, 0.4, 2.8).push(ScriptedRandom::fraction(goalFraction)).draw(goalY, 2, 17);
    random.draw(cruise, 26, 88);
  }
  // From rest at its target, has `pet` decide on a new target and sit out the
  // shortest pause; its next step walks. In a 1000-point strip with side 48.
  void startLeg(PetMotion& pet, double goalFraction, double goalY = 5, double cruise = 26) {
    decide(0.4, goalFraction, goalY, cruise);
    pet.advance(kFrame, 1000, 48);
    pet.advance(0.4, 1000, 48);
    ASSERT_EQ(pet.rest(), 0);
  }

  ScriptedRandom random;
};

TEST_F(PetMotionTest, StartsRestingAtItsPositionWithDrawsInOrder) {
  const PetMotion pet = make(300, 40, 9.5, 0.55);
  EXPECT_EQ(pet.x(), 300);
  EXPECT_EQ(pet.goal(), 300);
  EXPECT_DOUBLE_EQ(pet.cruise(), 40);
  EXPECT_DOUBLE_EQ(pet.y(), 9.5);
  EXPECT_EQ(pet.goalY(), pet.y());
  EXPECT_DOUBLE_EQ(pet.rest(), 0.55);
  EXPECT_EQ(pet.velocity(), 0);
  EXPECT_EQ(pet.stride(), 0);
  EXPECT_FALSE(pet.facesLeft());
}

TEST_F(PetMotionTest, RestCountsDownWithoutMovingThenDecides) {
  PetMotion pet = make(500, 26, 5, 0.5);
  pet.advance(0.3, 1000, 48);
  EXPECT_NEAR(pet.rest(), 0.2, 1e-12);
  pet.advance(0.3, 1000, 48);
  EXPECT_NEAR(pet.rest(), -0.1, 1e-12);
  EXPECT_EQ(pet.x(), 500);
  EXPECT_EQ(random.taken, 3);

  // reach = max(2 * 48, 0.3 * 1000) = 300: the target is drawn from [200, 800].
  decide(1.5, 1.0, 12, 70);
  pet.advance(0.3, 1000, 48);
  EXPECT_EQ(random.taken, 7);
  EXPECT_DOUBLE_EQ(pet.rest(), 1.5);
  EXPECT_EQ(pet.goal(), 800);
  EXPECT_DOUBLE_EQ(pet.goalY(), 12);
  EXPECT_DOUBLE_EQ(pet.cruise(), 70);
  EXPECT_EQ(pet.x(), 500);
  EXPECT_DOUBLE_EQ(pet.y(), 5);
}

TEST_F(PetMotionTest, ZeroRestGoesStraightToTheDistanceTest) {
  PetMotion pet = make(500, 26, 5, 0);
  decide(1, 0.5);
  pet.advance(kFrame, 1000, 48);
  EXPECT_EQ(random.taken, 7);
}

TEST_F(PetMotionTest, WalksAlongTheLineToItsTarget) {
  PetMotion pet = make(500);
  startLeg(pet, 1.0, 17);  // target (800, 17)
  pet.advance(kFrame, 1000, 48);
  EXPECT_NEAR(pet.velocity(), 110 * kFrame, 1e-12);
  EXPECT_GT(pet.x(), 500);
  EXPECT_FALSE(pet.facesLeft());
  // Height and distance shrink by the same fraction.
  EXPECT_NEAR((17 - pet.y()) / 12, (800 - pet.x()) / 300, 1e-12);
  EXPECT_NEAR(pet.stride(), (pet.x() - 500) / 5, 1e-12);
}

TEST_F(PetMotionTest, CruiseIsReachedAndHeldUntilTheBrakingCurve) {
  PetMotion pet = make(500);
  startLeg(pet, 1.0);  // 300 points to the right at cruise 26
  double maxVelocity = 0;
  double brakingStartedAt = -1;
  int steps = 0;
  while (pet.rest() <= 0 && steps++ < 2000) {
    const double before = std::abs(pet.goal() - pet.x());
    const double previous = pet.velocity();
    pet.advance(kFrame, 1000, 48);
    maxVelocity = std::max(maxVelocity, pet.velocity());
    if (brakingStartedAt < 0 && previous == 26 && pet.velocity() < 26) brakingStartedAt = before;
    ASSERT_LE(pet.x(), 800);  // never overshoots
  }
  EXPECT_EQ(maxVelocity, 26);
  EXPECT_LT(brakingStartedAt, 3.0728);
  EXPECT_GT(brakingStartedAt, 3.0727 - 26.0 / 60);
  EXPECT_LT(800 - pet.x(), 0.6);
}

TEST_F(PetMotionTest, BrakingCapLeavesTheMascotShortOfItsTarget) {
  PetMotion pet = make(500);
  startLeg(pet, (501.8 - 200) / 600);  // target 1.8 to the right
  pet.advance(0.1, 1000, 48);          // 11 pt/s for 0.1 s: 0.7 left
  ASSERT_NEAR(pet.goal() - pet.x(), 0.7, 1e-9);
  pet.advance(kFrame, 1000, 48);
  EXPECT_NEAR(pet.velocity(), std::sqrt(220 * 0.7), 1e-9);             // the braking cap, ~12.4
  EXPECT_NEAR(pet.goal() - pet.x(), 0.7 - std::sqrt(154) / 60, 1e-9);  // moved ~0.21
  decide(2, 0.5);
  const double stoppedAt = pet.x();
  pet.advance(kFrame, 1000, 48);
  EXPECT_EQ(pet.velocity(), 0);
  EXPECT_DOUBLE_EQ(pet.rest(), 2);
  EXPECT_EQ(pet.x(), stoppedAt);  // not snapped onto the old target
}

TEST_F(PetMotionTest, StrideIsEightAfterFortyPoints) {
  PetMotion pet = make(500, 88);
  startLeg(pet, (540.0 - 200) / 600, 5, 88);
  pet.advance(10, 1000, 48);  // one long step lands on the target
  EXPECT_NEAR(pet.x(), 540, 1e-9);
  EXPECT_NEAR(pet.stride(), 8, 1e-9);
}

TEST_F(PetMotionTest, ZeroSecondsWhileWalkingOnlySetsHeading) {
  PetMotion pet = make(500);
  startLeg(pet, 0.0);  // target 200, to the left
  pet.advance(0, 1000, 48);
  EXPECT_EQ(pet.x(), 500);
  EXPECT_EQ(pet.velocity(), 0);
  EXPECT_TRUE(pet.facesLeft());
}

TEST_F(PetMotionTest, HeadingSurvivesPausesAndDecisions) {
  PetMotion pet = make(500);
  startLeg(pet, (498.0 - 200) / 600);  // two points to the left
  pet.advance(1, 1000, 48);            // lands on the target
  ASSERT_TRUE(pet.facesLeft());
  decide(1, 1.0);
  pet.advance(kFrame, 1000, 48);
  pet.advance(0.5, 1000, 48);
  EXPECT_TRUE(pet.facesLeft());
}

TEST_F(PetMotionTest, ZeroWidthPinsTheMascotAndItNeverWalks) {
  PetMotion pet = make(120, 26, 5, 0);
  random.fallback = ScriptedRandom::fraction(1.0);
  for (int i = 0; i < 50; ++i) {
    pet.advance(0.08, 0, 0);
    ASSERT_EQ(pet.x(), 0);
    ASSERT_EQ(pet.goal(), 0);
    pet.advance(10, 0, 0);  // finish the pause
  }
  EXPECT_EQ(pet.stride(), 0);
}

TEST_F(PetMotionTest, NarrowStripKeepsTheMascotInTheMiddle) {
  PetMotion pet = make(3, 26, 5, 0.5);
  pet.advance(0.1, 50, 48);  // side >= width - 6: band is the single point 25
  EXPECT_EQ(pet.x(), 25);
  EXPECT_EQ(pet.goal(), 25);
  EXPECT_NEAR(pet.rest(), 0.4, 1e-12);
}

TEST_F(PetMotionTest, NarrowingStripPullsRestingMascotAndTargetInside) {
  PetMotion pet = make(500);
  decide(2.8, 1.0);  // target 800, then a long pause
  pet.advance(kFrame, 1000, 48);
  pet.advance(kFrame, 400, 48);  // band [27, 373]
  EXPECT_EQ(pet.x(), 373);
  EXPECT_EQ(pet.goal(), 373);
}

TEST_F(PetMotionTest, SecondsToWalkNeverPromisesMoreQuietThanTheStepsGive) {
  // Walks, rests and turns for 15 s at 60 steps a second; from every state,
  // no run of steps shorter than the bound walks that far or turns.
  random.fallback = ScriptedRandom::fraction(0.3);
  PetMotion pet = make(500, 60);
  startLeg(pet, 1.0);
  for (int frame = 0; frame < 900; ++frame) {
    for (const double points : {0.3, 2.0, 40.0}) {
      const double bound = pet.secondsToWalk(points);
      PetMotion ahead = pet;
      for (double t = kFrame; t < bound; t += kFrame) {
        ahead.advance(kFrame, 1000, 48);
        ASSERT_LT(std::abs(ahead.x() - pet.x()), points) << frame;
        ASSERT_EQ(ahead.facesLeft(), pet.facesLeft()) << frame;
      }
    }
    if (pet.velocity() == pet.cruise()) {
      EXPECT_DOUBLE_EQ(pet.secondsToWalk(2), 2 / pet.cruise());  // exact at cruising speed
    }
    const double toStride = pet.pointsToNextStride();
    const double stride = pet.stride();
    pet.advance(kFrame, 1000, 48);
    EXPECT_EQ(std::floor(pet.stride()) > std::floor(stride),
              (pet.stride() - stride) * 5 >= toStride - 1e-9)
        << frame;
  }
}

}  // namespace
}  // namespace umbrafold
