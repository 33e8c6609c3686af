#include "latency_analysis.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using midi_latency::Excuse;
using midi_latency::Switch;

// A synthetic run: 100 kHz counter, 48 kHz, 128-frame blocks; switch k is called at
// 1000 + k x 267 ticks and returns 20 ticks later.
std::vector<Switch> blocks(int count) {
  std::vector<Switch> out;
  for (int k = 0; k < count; ++k) {
    Switch s;
    s.called = 1000 + k * 267;
    s.returned = s.called + 20;
    s.samplePosition = static_cast<uint64_t>(k) * 128;
    s.recordedFrame = static_cast<uint64_t>(k) * 128;
    s.frames = 128;
    s.outputLatency = 128;
    s.rate = 48000.0;
    out.push_back(s);
  }
  return out;
}

bool passes(const midi_latency::Result& r) {
  return midi_latency::trainPasses(r.notes, r.inOrder, r.missing);
}

// A note's sine after silence, rising as the synth's glide does, then released.
void addNote(std::vector<float>& wave, size_t start, size_t held) {
  float amplitude = 0.0f;
  for (size_t i = start; i < wave.size(); ++i) {
    const float target = i < start + held ? 0.1f : 0.0f;
    amplitude = 0.99f * amplitude + 0.01f * target;
    wave[i] = amplitude * static_cast<float>(std::sin(0.0576 * static_cast<double>(i) + 1.0));
  }
}

TEST(MidiLatency, FindsEachNoteOnsetToTheFrameDespiteZeroCrossingsAndReleaseTails) {
  std::vector<float> wave(48000, 0.0f);
  const size_t starts[] = {1000, 5000, 9100, 13333};
  for (size_t start : starts) addNote(wave, start, 700);
  const auto onsets = midi_latency::findOnsets(wave.data(), wave.size(), 2e-6f, 240);
  ASSERT_EQ(onsets.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(onsets[i], starts[i]);
}

TEST(MidiLatency, MapsFramesThroughTheSwitchThatTookTheirBlock) {
  const auto switches = blocks(10);
  midi_latency::FrameTime t;
  // Frame 3 x 128 + 48: switch 3, 48 frames in, plus 128 frames of stated latency.
  ASSERT_TRUE(midi_latency::frameTime(switches, 3 * 128 + 48, 100000, t));
  EXPECT_NEAR(t.leaves, 1000 + 3 * 267 + (128 + 48) * 100000.0 / 48000.0, 1e-6);
  EXPECT_DOUBLE_EQ(t.blockEnd, 1000 + 3 * 267 + 20);
  // The same frame timed from switch 2, one nominal block (12800/48000 x 100000) on.
  EXPECT_NEAR(t.leavesOnSteadyClock, 1000 + 2 * 267 + (128 + 128 + 48) * 100000.0 / 48000.0, 1e-6);
  EXPECT_FALSE(midi_latency::frameTime(switches, 10 * 128, 100000, t));

  // A switch three blocks late leaves the one after it off the clock.
  auto stalled = switches;
  for (size_t k = 5; k < stalled.size(); ++k) stalled[k].called += 3 * 267;
  ASSERT_TRUE(midi_latency::frameTime(stalled, 5 * 128, 100000, t));
  EXPECT_EQ(t.leavesOnSteadyClock, 0.0);
  ASSERT_TRUE(midi_latency::frameTime(stalled, 6 * 128, 100000, t));
  EXPECT_GT(t.leavesOnSteadyClock, 0.0);
}

TEST(MidiLatency, PairsNotesWithOnsetsAndReportsMissingOnes) {
  const auto switches = blocks(100);
  std::vector<midi_latency::Delivery> deliveries;
  // A priming note before the train, then note 69 delivered inside blocks 10, 30, 50.
  deliveries.push_back({900, 0x90, 0x30, 0x64});
  for (int k : {10, 30, 50}) {
    deliveries.push_back({1000 + k * 267 + 100, 0x90, 69, 0x64});
    deliveries.push_back({1000 + k * 267 + 1000, 0x80, 69, 0});
  }
  // Priming onset at frame 0, each note at the start of the block after its delivery.
  const std::vector<size_t> onsets = {0, 11 * 128, 31 * 128, 51 * 128};
  auto result = midi_latency::analyse(deliveries, switches, 100000, onsets, 69);
  EXPECT_EQ(result.notes, 3u);
  EXPECT_EQ(result.onsets, 3u);
  EXPECT_TRUE(result.inOrder);
  ASSERT_EQ(result.programMs.size(), 3u);
  EXPECT_NEAR(result.programMs[0], (267 + 20 - 100) / 100.0, 1e-9);
  EXPECT_NEAR(result.outputMs[0], (267 - 100) / 100.0 + 128 / 48.0, 1e-9);

  EXPECT_TRUE(passes(result));

  // A note missing with nothing to excuse it fails the train.
  result = midi_latency::analyse(deliveries, switches, 100000, {0, 11 * 128, 51 * 128}, 69);
  EXPECT_EQ(result.matched, 2u);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::Unexplained);
  EXPECT_FALSE(passes(result));
  // Two onsets in one note's window break the pairing.
  result =
      midi_latency::analyse(deliveries, switches, 100000, {0, 11 * 128, 12 * 128, 51 * 128}, 69);
  EXPECT_FALSE(result.inOrder);

  // The second note is released 1 ms after its delivery, before the driver's next block
  // was due on its sample clock (switch 30's time, 9000, plus a block, 266.7 ticks):
  // counted, but the synth sounds it for a block all the same, so missing it fails.
  auto brief = deliveries;
  brief[4].counter = brief[3].counter + 100;
  EXPECT_NEAR(midi_latency::nextBlockDue(switches, brief[3].counter, 100000), 9266.67, 0.01);
  result = midi_latency::analyse(brief, switches, 100000, {0, 11 * 128, 51 * 128}, 69);
  EXPECT_EQ(result.unplayable, 1u);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::Unexplained);
  EXPECT_FALSE(passes(result));
  result = midi_latency::analyse(brief, switches, 100000, {0, 11 * 128, 31 * 128, 51 * 128}, 69);
  EXPECT_EQ(result.matched, 3u);
  EXPECT_TRUE(passes(result));

  // The program returns switch 30's block 15 ms late and the driver calls every later
  // switch that much late, after the second note's note-off. On the sample clock its
  // block was due 1.6 ms after its delivery: the program's own lateness excuses nothing.
  auto late = switches;
  late[30].returned += 1500;
  for (size_t k = 31; k < late.size(); ++k) {
    late[k].called += 1500;
    late[k].returned += 1500;
  }
  result = midi_latency::analyse(deliveries, late, 100000, {0, 11 * 128, 51 * 128}, 69);
  EXPECT_EQ(result.unplayable, 0u);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::Unexplained);
  // The log says what the driver did meanwhile: that call took 15 ms.
  EXPECT_NE(result.missing[0].evidence.find("longest_call_ms=15."), std::string::npos)
      << result.missing[0].evidence;
  EXPECT_FALSE(passes(result));

  // The second note's delivery wandered to 20 ms after the first one's note-off: its onset
  // may be lost in that note's release tail, so it may be missing; the third may not.
  auto wandered = deliveries;
  wandered[3].counter = wandered[2].counter + 2000;
  result = midi_latency::analyse(wandered, switches, 100000, {0, 11 * 128, 51 * 128}, 69);
  EXPECT_EQ(result.inTail, 1u);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::InTail);
  EXPECT_TRUE(passes(result));
  result = midi_latency::analyse(wandered, switches, 100000, {0, 11 * 128, 31 * 128}, 69);
  EXPECT_FALSE(passes(result));

  // The driver waits 50 ms after switch 17, so it asks for only four blocks between the
  // first note's note-off and the second's delivery: on the sample clock the second
  // starts 11 ms after that release, inside its tail, and may be missing. A call of ours
  // that took those 50 ms excuses nothing.
  auto waited = switches;
  for (size_t k = 18; k < waited.size(); ++k) {
    waited[k].called += 5000;
    waited[k].returned += 5000;
  }
  result = midi_latency::analyse(deliveries, waited, 100000, {0, 11 * 128, 51 * 128}, 69);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::InTail);
  EXPECT_NE(result.missing[0].evidence.find("frames_between=512"), std::string::npos)
      << result.missing[0].evidence;
  EXPECT_TRUE(passes(result));
  waited[17].returned += 5000;
  result = midi_latency::analyse(deliveries, waited, 100000, {0, 11 * 128, 51 * 128}, 69);
  ASSERT_EQ(result.missing.size(), 1u);
  EXPECT_EQ(result.missing[0].excuse, Excuse::Unexplained);
}

TEST(MidiLatency, SummaryGivesSpreadAndNearestRankPercentile) {
  std::vector<double> values;
  for (int i = 1; i <= 200; ++i) values.push_back(i);
  const auto s = midi_latency::summarize(values);
  EXPECT_DOUBLE_EQ(s.mean, 100.5);
  EXPECT_NEAR(s.stddev, 57.8792, 1e-4);
  EXPECT_DOUBLE_EQ(s.p99, 198.0);
  EXPECT_DOUBLE_EQ(s.min, 1.0);
  EXPECT_DOUBLE_EQ(s.max, 200.0);
}

TEST(MidiLatency, TrainIsRepeatableAndHasTheAskedNotes) {
  const std::string a = midi_latency::trainEvents(200, 7, 69);
  EXPECT_EQ(a, midi_latency::trainEvents(200, 7, 69));
  EXPECT_NE(a, midi_latency::trainEvents(200, 8, 69));
  size_t ons = 0;
  for (size_t at = a.find(" 90 45 64"); at != std::string::npos; at = a.find(" 90 45 64", at + 1))
    ++ons;
  EXPECT_EQ(ons, 200u);
}

}  // namespace
