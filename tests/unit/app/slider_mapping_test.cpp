#include "app/slider_mapping.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

// Every slider of the window has the range 0..100.
constexpr int32_t kMin = 0;
constexpr int32_t kMax = 100;

int32_t shownPosition(float value) {
  return clampToRange(kMin, kMax, sliderPosition(kMin, kMax, value));
}

TEST(SliderMapping, PositionToValueRunsFromTopToBottom) {
  EXPECT_EQ(sliderValue(kMin, kMax, 0), 1.0f);
  EXPECT_EQ(sliderValue(kMin, kMax, 100), 0.0f);
  EXPECT_EQ(sliderValue(kMin, kMax, 37), 0.63f);
  // The division happens in double and is rounded once to float.
  for (int32_t pos = 0; pos <= 100; ++pos) {
    EXPECT_EQ(sliderValue(kMin, kMax, pos), static_cast<float>((100 - pos) / 100.0)) << pos;
  }
}

TEST(SliderMapping, ValueUsesMagnitudesOfBothEndsOfTheRange) {
  // Range -50..50: a = b = 50, scale 50; the top (-50) is (100 + 50) / 50.
  EXPECT_EQ(sliderValue(-50, 50, -50), 3.0f);
  EXPECT_EQ(sliderValue(-50, 50, 50), 1.0f);
  EXPECT_EQ(sliderValue(0, 0, 0), 0.0f);  // empty range: no scale, no value
}

TEST(SliderMapping, ValueToPositionRoundsHalfAwayFromZeroAndClamps) {
  EXPECT_EQ(shownPosition(0.5f), 50);
  EXPECT_EQ(sliderPosition(kMin, kMax, 0.125f), 87);    // 12.5 rounds up to 13
  EXPECT_EQ(sliderPosition(kMin, kMax, -0.125f), 113);  // -12.5 rounds to -13
  EXPECT_EQ(shownPosition(-0.125f), 100);
  EXPECT_EQ(sliderPosition(kMin, kMax, 2.0f), -100);
  EXPECT_EQ(shownPosition(2.0f), 0);
  EXPECT_EQ(shownPosition(1.0f), 0);
  EXPECT_EQ(shownPosition(0.0f), 100);
}

TEST(SliderMapping, RoundingDoesNotRoundTheHalfItAdds) {
  // Range 0..1 has scale 1, so the value itself is rounded. Just below a half
  // rounds down; past 2^23 every float is whole and must stay as it is.
  const float belowHalf = std::nextafter(0.5f, 0.0f);
  EXPECT_EQ(sliderPosition(0, 1, belowHalf), 1);
  EXPECT_EQ(sliderPosition(0, 1, -belowHalf), 1);
  EXPECT_EQ(sliderPosition(0, 1, 8388609.0f), 1 - 8388609);
  EXPECT_EQ(sliderPosition(0, 1, -8388609.0f), 1 + 8388609);
}

TEST(SliderMapping, EveryPositionSurvivesTheRoundTrip) {
  for (int32_t pos = kMin; pos <= kMax; ++pos) {
    EXPECT_EQ(sliderPosition(kMin, kMax, sliderValue(kMin, kMax, pos)), pos) << pos;
  }
}

TEST(SliderMapping, ValuesNoTrackbarCanShowGiveADefinedEnd) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(shownPosition(1e30f), 0);
  EXPECT_EQ(shownPosition(inf), 0);
  EXPECT_EQ(shownPosition(-1e30f), 100);
  EXPECT_EQ(shownPosition(-inf), 100);
  EXPECT_EQ(shownPosition(std::nanf("")), 100);
  EXPECT_EQ(sliderPosition(INT32_MIN, INT32_MAX, 1e30f),
            sliderPosition(INT32_MIN, INT32_MAX, inf));  // no overflow on the widest range
}

}  // namespace
