#include "common/stream_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr double kRate = 48000.0;
constexpr int64_t kRing = 896;  // 7 blocks of 128
constexpr int64_t kStep = 480;  // Wine's mixer: 480 frames every 10 ms
constexpr double kMs = kTicksPerSecond / 1000.0;

// A device whose position moves in mixer steps at its own rate, read by a thread
// woken a little after each step (a fixed seed's spread of 0.05 to 1 ms).
struct SteppingDevice {
  double rate = kRate;
  double startTicks = 1e9;
  int64_t stepped = 0;  // frames taken so far
  std::mt19937 random{12345};

  double ticksOf(int64_t frames) const {
    return startTicks + static_cast<double>(frames) * kTicksPerSecond / rate;
  }
  // The next step, read after the wake-up's delay: the ring position and the counter.
  void step(StreamClock& clock, double delayMs = -1.0) {
    stepped += kStep;
    if (delayMs < 0.0) delayMs = std::uniform_real_distribution<double>(0.05, 1.0)(random);
    clock.observe(stepped % kRing, static_cast<int64_t>(ticksOf(stepped) + delayMs * kMs));
  }
};

// How far the line's time for the frames just taken lies from the device's own, ms.
double offsetMs(const StreamClock& clock, const SteppingDevice& device) {
  return (static_cast<double>(clock.ticksAt(clock.position())) - device.ticksOf(device.stepped)) /
         kMs;
}

TEST(StreamClock, CoarseLateReadingsGiveASteadyLineThatFollowsDrift) {
  for (const double rate : {48000.0, 48009.6, 47990.4}) {  // on time, 200 ppm fast or slow
    SCOPED_TRACE(rate);
    StreamClock clock;
    clock.start(kRate, kTicksPerSecond, kRing);
    SteppingDevice device;
    device.rate = rate;
    for (int i = 0; i < 2000; ++i) device.step(clock);  // 20 s to settle
    // Blocks an exact block apart, and each frame's time within 0.1 ms of one offset:
    // that offset (the mean wake-up delay) is latency, its spread would be jitter.
    const double reference = offsetMs(clock, device);
    double low = reference;
    double high = reference;
    for (int i = 0; i < 1000; ++i) {
      device.step(clock, i % 97 == 0 ? 6.0 : -1.0);  // now and then a wake-up 6 ms late
      const double offset = offsetMs(clock, device);
      low = std::min(low, offset);
      high = std::max(high, offset);
      const int64_t block = clock.ticksAt(clock.position() + 128) - clock.ticksAt(clock.position());
      EXPECT_NEAR(static_cast<double>(block) / kMs, 128.0 / rate * 1000.0, 0.001);
    }
    EXPECT_LT(high - low, 0.1);
    EXPECT_NEAR(reference, 0.525, 0.2) << "the mean wake-up delay, whatever the drift";
    EXPECT_EQ(clock.anchors(), 1u);
  }
}

TEST(StreamClock, PositionsUnwrapAcrossLapsAndAThreadThatLooksLate) {
  StreamClock clock;
  clock.start(kRate, kTicksPerSecond, kRing);
  SteppingDevice device;
  for (int i = 0; i < 200; ++i) device.step(clock);
  EXPECT_EQ(clock.position(), device.stepped);
  // The thread sleeps through 3 steps (1440 frames, more than the ring): the device
  // went on, and the next reading lands in the right lap.
  device.stepped += 3 * kStep;
  device.step(clock);
  EXPECT_EQ(clock.position(), device.stepped);
  // The mixer falls 12 ms behind for a step and catches up over the next three, 5 ms
  // apart: the late reading is nearer the line a lap on, yet it is this lap's.
  device.stepped += kStep;
  clock.observe(device.stepped % kRing,
                static_cast<int64_t>(device.ticksOf(device.stepped) + 12.4 * kMs));
  EXPECT_EQ(clock.position(), device.stepped);
  for (double lateMs : {7.4, 2.4}) {
    device.step(clock, lateMs);
    EXPECT_EQ(clock.position(), device.stepped);
  }
  // A second look at the same position says nothing new.
  const int64_t before = clock.ticksAt(clock.position());
  clock.observe(device.stepped % kRing, static_cast<int64_t>(device.ticksOf(device.stepped)) +
                                            static_cast<int64_t>(5 * kMs));
  EXPECT_EQ(clock.ticksAt(clock.position()), before);
  EXPECT_EQ(clock.anchors(), 1u);
}

TEST(StreamClock, AStalledStreamOrARestartAnchorsTheLineAnew) {
  StreamClock clock;
  clock.start(kRate, kTicksPerSecond, kRing);
  SteppingDevice device;
  for (int i = 0; i < 200; ++i) device.step(clock);
  // The device stands still for 50 ms (a suspended sink) and goes on from where it
  // stood: the line keeps to the old timing for no more than a few readings.
  device.startTicks += 50 * kMs;
  for (int i = 0; i < 300; ++i) device.step(clock);
  EXPECT_EQ(clock.anchors(), 2u);
  EXPECT_LT(std::fabs(offsetMs(clock, device)), 1.0);
  const int64_t stalledAt = clock.position();

  // It stands still for 1.5 ms once more: each reading is late by no more than a late
  // thread may be, yet all of them are. Within a second the line is anew where the
  // readings are, as close as before.
  const double settled = offsetMs(clock, device);
  device.startTicks += 1.5 * kMs;
  for (int i = 0; i < 100; ++i) device.step(clock);
  EXPECT_EQ(clock.anchors(), 3u);
  EXPECT_NEAR(offsetMs(clock, device), settled, 0.1);

  // It reads 2.5 ms late for five readings only (the mean already tells a jump) and
  // then as before: the line does not follow those few.
  for (int i = 0; i < 200; ++i) device.step(clock);
  const double before = offsetMs(clock, device);
  for (int i = 0; i < 5; ++i) device.step(clock, 3.0);
  for (int i = 0; i < 20; ++i) {
    device.step(clock);
    EXPECT_NEAR(offsetMs(clock, device), before, 0.2) << i;
  }

  // A lost ring: the owner asks for a new anchor; positions still count up.
  clock.reanchor();
  device.stepped += 200;
  device.startTicks += 7 * kMs;
  device.step(clock, 0.5);
  EXPECT_EQ(clock.anchors(), 4u);
  EXPECT_GT(clock.position(), stalledAt);
  EXPECT_NEAR(offsetMs(clock, device), 0.5, 0.01);

  // A position that counts up (no ring) and goes back: the stream started again.
  clock.start(kRate, kTicksPerSecond, 0);
  clock.observe(96000, 2'000'000'000);
  clock.observe(96480, 2'000'100'000);
  clock.observe(480, 2'100'000'000);
  EXPECT_EQ(clock.anchors(), 2u);
  EXPECT_EQ(clock.ticksAt(960), 2'100'000'000 + 100'000);
}

}  // namespace
