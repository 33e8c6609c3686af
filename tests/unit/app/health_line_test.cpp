// The health line's text for the figures an engine can report.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "app/health_line.h"

namespace {

TEST(HealthLineTest, ReadsAsTheWindowShowsIt) {
  EngineHealth health;
  health.running = true;
  health.averageLoad = 0.004;
  health.peakLoad = 0.03;
  health.dropouts = 0;
  health.peakLevel = 0.05f;
  EXPECT_EQ(healthLine(health), "Load 0.4 % (peak 3 %)   Dropouts 0   Level -26 dB");
  health.grownRingMs = 24.0;
  EXPECT_EQ(
      healthLine(health),
      "Load 0.4 % (peak 3 %)   Dropouts 0   Level -26 dB   Ring 24 ms (grown after a lost ring)");
  health.running = false;
  EXPECT_EQ(healthLine(health), "Audio stopped");
  health.lost = true;
  EXPECT_EQ(healthLine(health), "Audio device lost: retrying");
}

TEST(HealthLineTest, LoadFromZeroToOverload) {
  EXPECT_EQ(formatLoadPercent(0.0), "0");
  EXPECT_EQ(formatLoadPercent(1e-9), "< 0.01");
  EXPECT_EQ(formatLoadPercent(0.013), "0.013");
  EXPECT_EQ(formatLoadPercent(0.13), "0.13");
  EXPECT_EQ(formatLoadPercent(2.96), "3");
  EXPECT_EQ(formatLoadPercent(9.94), "9.9");
  EXPECT_EQ(formatLoadPercent(9.96), "10");
  EXPECT_EQ(formatLoadPercent(250.4), "250");
  // The engines answer -1 when the counter has no frequency.
  EXPECT_EQ(formatLoadPercent(-100.0), "?");
  EXPECT_EQ(formatLoadPercent(std::numeric_limits<double>::quiet_NaN()), "?");
  EXPECT_EQ(formatLoadPercent(std::numeric_limits<double>::infinity()), "?");
}

TEST(HealthLineTest, LevelInWholeDecibelsAndSilenceAsMinusInfinity) {
  EXPECT_EQ(formatLevelDb(1.0f), "0");
  EXPECT_EQ(formatLevelDb(0.999f), "0");  // never "-0"
  EXPECT_EQ(formatLevelDb(0.5f), "-6");
  EXPECT_EQ(formatLevelDb(1e-6f), "-120");
  EXPECT_EQ(formatLevelDb(1e-20f), "-inf");  // the tail of a released voice
  EXPECT_EQ(formatLevelDb(0.0f), "-inf");
  EXPECT_EQ(formatLevelDb(std::nanf("")), "-inf");

  EngineHealth health;
  health.running = true;
  health.averageLoad = 1.5;
  health.peakLoad = 3.0;
  health.dropouts = 12;
  EXPECT_EQ(healthLine(health), "Load 150 % (peak 300 %)   Dropouts 12   Level -inf dB");
}

TEST(HealthLineTest, ALongOutageIsTriedLessOften) {
  // Ten minutes of a route that never comes back, as the window's timer tries it.
  std::vector<uint64_t> tries;
  uint64_t delay = 0;
  for (uint64_t at = 0; at < 600000; at += delay) {
    tries.push_back(at);
    delay = audioRetryDelayMs(at, delay);
  }
  EXPECT_EQ(tries[1], 2000u);
  EXPECT_EQ(tries[30], 60000u);  // every 2 s through the first minute
  EXPECT_EQ(tries[31] - tries[30], 4000u);
  EXPECT_EQ(tries.back() - tries[tries.size() - 2], 30000u);
  EXPECT_LE(tries.size(), 51u);  // instead of 300
}

}  // namespace
