#include "common/block_timing.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(BlockTiming, AverageSmoothsAndPeakHoldsUntilCleared) {
  BlockTiming timing;
  timing.record(1000);
  EXPECT_DOUBLE_EQ(timing.averageTicks(), 10.0);
  EXPECT_EQ(timing.peakTicks(), 1000.0);
  timing.record(500);
  EXPECT_DOUBLE_EQ(timing.averageTicks(), 0.01 * 500.0 + 0.99 * 10.0);
  EXPECT_EQ(timing.peakTicks(), 1000.0);
  timing.clear();
  EXPECT_EQ(timing.averageTicks(), 0.0);
  EXPECT_EQ(timing.peakTicks(), 0.0);
}

TEST(BlockTiming, LoadIsTheFractionOfOneBlocksDuration) {
  // 256 frames at 48 kHz last 5.333 ms; 2.667 ms of 10 MHz ticks is half of it.
  EXPECT_DOUBLE_EQ(blockLoad(26666.666666666668, 10'000'000, 48000.0, 256), 0.5);
  EXPECT_EQ(blockLoad(1000.0, 0, 48000.0, 256), -1.0);
  EXPECT_EQ(blockLoad(1000.0, 10'000'000, 48000.0, 0), -1.0);
}

TEST(BlockTiming, NowReadsThePerformanceCounter) {
  sim::setManualPerformanceCounter(true);
  const int64_t before = BlockTiming::now();
  sim::advancePerformanceCounter(1234);
  EXPECT_EQ(BlockTiming::now() - before, 1234);
  EXPECT_EQ(performanceFrequency(), sim::kPerformanceFrequency);
  sim::resetKernel();
}

}  // namespace
