// The output peak meter: what it holds between looks, and that the rack feeds it with
// exactly what it rendered.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "synth/peak_meter.h"
#include "synth/synth_rack.h"

namespace {

TEST(PeakMeterTest, HoldsTheLargestMagnitudeUntilTaken) {
  PeakMeter meter;
  EXPECT_EQ(meter.take(), 0.0f);
  const float first[] = {0.1f, -0.7f, 0.3f};
  const float second[] = {0.2f, std::nanf(""), -0.4f};
  meter.measure(first, 3);
  meter.measure(second, 3);  // smaller: the held peak stays; NaN is no level
  EXPECT_EQ(meter.take(), 0.7f);
  EXPECT_EQ(meter.take(), 0.0f);  // a new interval starts empty
  meter.measure(second, 3);
  EXPECT_EQ(meter.take(), 0.4f);
  meter.measure(second, 0);
  EXPECT_EQ(meter.take(), 0.0f);
}

TEST(PeakMeterTest, RackMeasuresItsClippedOutput) {
  SynthRack rack;
  ASSERT_GE(rack.createSynth(0, 1, 16, false), 0);
  for (int p = 0; p < 17; ++p) rack.setParameter(0, p, 0.0f);
  rack.activate(0);
  std::vector<float> in(256, 0.0f), out(256);
  float expected = 0.0f;
  for (int block = 0; block < 8; ++block) {
    rack.render(out.data(), in.data(), 2, 2, 128, 48000.0f);
    for (float x : out) expected = std::max(expected, std::fabs(x));
  }
  EXPECT_GT(expected, 0.0f);
  EXPECT_EQ(rack.takeOutputPeak(), expected);
  EXPECT_EQ(rack.takeOutputPeak(), 0.0f);

  // The audio input slider at the top and a loud input drive the mix into the clip.
  rack.setParameter(0, 1, 1.0f);
  std::fill(in.begin(), in.end(), 4.0f);
  rack.render(out.data(), in.data(), 2, 2, 128, 48000.0f);
  EXPECT_EQ(rack.takeOutputPeak(), 1.0f);
}

TEST(PeakMeterTest, TakesWhileTheAudioThreadMeasuresLoseNoPeak) {
  PeakMeter meter;
  std::atomic<bool> done{false};
  float seen = 0.0f;
  std::thread window([&] {
    while (!done.load()) seen = std::max(seen, meter.take());
    seen = std::max(seen, meter.take());
  });
  std::vector<float> block(64);
  float loudest = 0.0f;
  for (int i = 1; i <= 20000; ++i) {
    const float level = static_cast<float>(i % 997) / 997.0f;
    std::fill(block.begin(), block.end(), -level);
    meter.measure(block.data(), static_cast<int64_t>(block.size()));
    loudest = std::max(loudest, level);
  }
  done = true;
  window.join();
  EXPECT_EQ(seen, loudest);
}

}  // namespace
