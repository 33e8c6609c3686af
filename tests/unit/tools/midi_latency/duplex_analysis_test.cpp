#include "duplex_analysis.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// A synthetic run on a counter of 48 kHz, so one tick is one frame: 48 kHz stereo 16-bit,
// 7 blocks of 128 frames (a ring of 896 frames, 3584 bytes), the play cursor at frame
// t - 1000 of the stream at counter t. Each wake-up begins rendering 3 ticks after it wakes.
constexpr int64_t kStart = 1000;
constexpr int64_t kRing = 896;

struct Wake {
  int64_t ticks;
  const char* onset;  // block:frame, or nullptr
  const char* event;  // "" or " whole-ring"
  int blocks = 1;     // blocks written, when the event is ""
};

std::string traceLine(const Wake& w) {
  char line[160];
  const int64_t frames = w.ticks - kStart;
  char onset[48] = "-";
  if (w.onset)
    std::snprintf(onset, sizeof onset, "%s@%.3f", w.onset, (w.ticks + 5 - kStart) / 48.0);
  char wrote[48] = "-";
  if (!*w.event)
    std::snprintf(wrote, sizeof wrote, "0..%d(%d)@%.3f", w.blocks - 1, w.blocks,
                  (w.ticks + 3 - kStart) / 48.0);
  const double ms = (w.ticks - kStart) / 48.0;
  std::snprintf(line, sizeof line, "%.3f %.3f %lld 3 - %s 0 %s%s\n", ms, ms + 0.1,
                static_cast<long long>(frames % kRing * 4), wrote, onset, w.event);
  return line;
}

std::string trace(const std::vector<Wake>& wakes) {
  std::string text =
      "# full-duplex worker: 48000 Hz, 7 blocks of 128 frames (512 bytes); 3 wake-ups, the "
      "last 3 follow; counter frequency=48000 origin=1000\n# ms ended cursor woken taken wrote "
      "dropouts onset event\n";
  for (const Wake& w : wakes) text += traceLine(w);
  return text + "summary wakeups=3 dropouts=1\n";
}

TEST(DuplexLatency, TimesOnsetsOnThePlayCursorAcrossTheRingsWrapAndALostRing) {
  std::vector<Wake> wakes;
  for (int64_t t = kStart; t <= 3560; t += 256) wakes.push_back({t, nullptr, ""});
  wakes[3].onset = "5:10";   // at frame 768, in block 6: block 5 next starts at 1536
  wakes[5].onset = "2:100";  // at 1280 (384 in the ring's second lap): block 2 from 2048
  wakes[10].onset = "5:20";  // at 2560: block 5 next starts at 3328, during the stall
  // The worker is held 1196 frames (more than a ring); the cursor shows only 300.
  wakes.push_back({4756, nullptr, " whole-ring"});
  for (int64_t t = 5012; t <= 6804; t += 256) wakes.push_back({t, nullptr, ""});
  wakes[12].onset = "2:0";  // at 4012 (428 in the ring): block 2 next starts at 4736

  midi_latency::WorkerTrace parsed;
  ASSERT_TRUE(midi_latency::parseWorkerTrace(trace(wakes), parsed));
  ASSERT_EQ(parsed.runs.size(), 1u);
  EXPECT_EQ(parsed.frequency, 48000);

  std::vector<midi_latency::Delivery> deliveries = {{900, 0x90, 0x30, 0x64}};
  // The fourth note is held while the worker stalls: nothing renders it.
  for (int64_t on : {1718, 2250, 3500, 3700, 4800}) {
    deliveries.push_back({on, 0x90, 69, 0x64});
    deliveries.push_back({on + (on == 3700 ? 600 : 150), 0x80, 69, 0});
  }
  // The last comes after the wake-up at 6036 had begun rendering, and its note-off after
  // the one at 6292 woke but before it began rendering: held between two renders, which
  // excuses nothing, as the synth sounds such a note in the next block.
  deliveries.push_back({6040, 0x90, 69, 0x64});
  deliveries.push_back({6293, 0x80, 69, 0});
  const auto result = midi_latency::analyseDuplex(deliveries, parsed, 69);
  EXPECT_EQ(result.notes, 6u);
  EXPECT_EQ(result.onsets, 4u);
  EXPECT_EQ(result.matched, 4u);
  EXPECT_TRUE(result.inOrder);
  ASSERT_EQ(result.missing.size(), 2u);
  EXPECT_EQ(result.missing[0].delivered, 3700);
  EXPECT_EQ(result.missing[0].excuse, midi_latency::Excuse::LostRing);
  EXPECT_EQ(result.missing[1].delivered, 6040);
  EXPECT_EQ(result.missing[1].excuse, midi_latency::Excuse::Unexplained);
  // 1.5 % of the notes may be excused, rounded up: 1 of 6, 3 of 200.
  EXPECT_EQ(midi_latency::excuseCap(6), 1u);
  EXPECT_EQ(midi_latency::excuseCap(200), 3u);
  EXPECT_FALSE(midi_latency::trainPasses(result.notes, result.inOrder, result.missing));
  EXPECT_TRUE(midi_latency::trainPasses(result.notes, result.inOrder, {result.missing[0]}));
  // Delivery to the first wake-up that found the cursor past the onset (which passed it
  // at kStart + its place in the stream: 2546, 3148, 4348 and 5736). Not interpolated:
  // a cursor that moves in steps may stand still until just before that reading.
  const double played[] = {2792 - 1718, 3304 - 2250, 4756 - 3500, 5780 - 4800};
  const double written[] = {1773 - 1718, 2285 - 2250, 3565 - 3500, 5017 - 4800};
  ASSERT_EQ(result.cursorMs.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(result.cursorMs[i], played[i] / 48.0, 0.01) << i;
    EXPECT_NEAR(result.programMs[i], written[i] / 48.0, 0.01) << i;
  }

  // Had the wake-up at 6036 written two blocks, the second may have begun rendering after
  // the last note came, before the worker went back to waiting: nothing excuses it.
  wakes[16].blocks = 2;
  ASSERT_TRUE(midi_latency::parseWorkerTrace(trace(wakes), parsed));
  auto missing = midi_latency::analyseDuplex(deliveries, parsed, 69).missing;
  ASSERT_EQ(missing.size(), 2u);
  EXPECT_EQ(missing[1].excuse, midi_latency::Excuse::Unexplained);
  wakes[16].blocks = 1;

  // Without the fourth note, the third (held 3500 to 3650, rendered at 3563) loses its
  // onset: the ring lost at 4756 comes more than a ring (896) after its note-off, so
  // it excuses nothing, and the train fails.
  wakes[10].onset = nullptr;
  ASSERT_TRUE(midi_latency::parseWorkerTrace(trace(wakes), parsed));
  auto fewer = deliveries;
  fewer.erase(fewer.begin() + 7, fewer.begin() + 9);
  const auto unexplained = midi_latency::analyseDuplex(fewer, parsed, 69);
  ASSERT_EQ(unexplained.missing.size(), 2u);
  EXPECT_EQ(unexplained.missing[0].delivered, 3500);
  EXPECT_EQ(unexplained.missing[0].excuse, midi_latency::Excuse::Unexplained);
  EXPECT_FALSE(
      midi_latency::trainPasses(unexplained.notes, unexplained.inOrder, {unexplained.missing[0]}));
  wakes[10].onset = "5:20";

  // The stream started afresh while a note was held: no run of the trace saw it through,
  // so nothing proves that no block rendered it.
  auto restarted = deliveries;
  restarted.push_back({7000, 0x90, 69, 0x64});
  restarted.push_back({7200, 0x80, 69, 0});
  ASSERT_TRUE(midi_latency::parseWorkerTrace(
      trace(wakes) + trace({{8000, nullptr, ""}, {8256, nullptr, ""}}), parsed));
  missing = midi_latency::analyseDuplex(restarted, parsed, 69).missing;
  ASSERT_EQ(missing.size(), 3u);
  EXPECT_EQ(missing[2].delivered, 7000);
  EXPECT_EQ(missing[2].excuse, midi_latency::Excuse::Unexplained);

  // A second onset in one note's window: the pairing no longer holds.
  wakes[4].onset = "6:0";
  ASSERT_TRUE(midi_latency::parseWorkerTrace(trace(wakes), parsed));
  EXPECT_FALSE(midi_latency::analyseDuplex(deliveries, parsed, 69).inOrder);
}

// Wine's mixer steps 480 frames every 10 ms and wakes the worker, which writes each note's
// onset 700 frames ahead of the cursor; 13 ms into the run's third second the mixer falls
// behind for good (the stream jumps later). The clock figure follows the stream on each
// side of the jump, and the one note rendered before it but played after is left out of
// that figure, excused, only while the worker was waiting through the stall. Earlier,
// in the second second, one wake-up may keep the processor for a ring and more (taking
// every notification), so the next reading comes 1440 frames on with the cursor 544
// on in the ring: it went round once as well.
midi_latency::DuplexResult jumpRun(bool workerWaited, bool busyForARing = false) {
  std::string text =
      "# full-duplex worker: 48000 Hz, 7 blocks of 128 frames (512 bytes); counter "
      "frequency=48000 origin=0\n";
  std::vector<midi_latency::Delivery> deliveries = {{-100, 0x90, 0x30, 0x64}};
  for (int64_t n = 0; n < 420; ++n) {
    if (busyForARing && (n == 101 || n == 102)) continue;
    const int64_t frames = 480 * n;
    const int64_t ticks = frames + (n >= 200 ? 624 : 0);
    // Held up, the wake-up before the jump ends just before the next one starts.
    int64_t ended = ticks + (n == 199 && !workerWaited ? 1090 : 10);
    const char* taken = "3,4,5";
    if (busyForARing && n == 100) {
      ended = ticks + 1400;
      taken = "0,1,2,3,4,5,6";
    }
    char onset[48] = "-";
    if (n % 10 == 9 && n < 400) {
      const int64_t at = (frames + 700) % kRing;
      std::snprintf(onset, sizeof onset, "%lld:%lld@%.3f", static_cast<long long>(at / 128),
                    static_cast<long long>(at % 128), (ticks + 5) / 48.0);
      deliveries.push_back({ticks - 100, 0x90, 69, 0x64});
      deliveries.push_back({ticks + 200, 0x80, 69, 0});
    }
    char line[160];
    std::snprintf(line, sizeof line, "%.3f %.3f %lld 3 %s 0..3(4)@%.3f 0 %s\n", ticks / 48.0,
                  ended / 48.0, static_cast<long long>(frames % kRing * 4), taken,
                  (ticks + 3) / 48.0, onset);
    text += line;
  }
  midi_latency::WorkerTrace trace;
  EXPECT_TRUE(midi_latency::parseWorkerTrace(text, trace));
  return midi_latency::analyseDuplex(deliveries, trace, 69);
}

TEST(DuplexLatency, AJumpOfTheStreamSplitsItsClockAndExcusesOnlyTheNoteAcrossIt) {
  const auto waited = jumpRun(true, true);
  EXPECT_EQ(waited.matched, 40u);
  ASSERT_EQ(waited.offClock.size(), 1u);
  EXPECT_EQ(waited.offClock[0].note, 19u);
  EXPECT_EQ(waited.offClock[0].excuse, midi_latency::Excuse::StreamJump);
  EXPECT_NE(waited.offClock[0].evidence.find("jump_ms=13.000"), std::string::npos)
      << waited.offClock[0].evidence;
  const auto steady = midi_latency::summarize(waited.clockMs);
  EXPECT_EQ(steady.count, 39u);
  EXPECT_LT(steady.stddev, 0.01);
  EXPECT_TRUE(midi_latency::trainPasses(waited.notes, waited.inOrder, waited.offClock));

  // The worker held the processor through the stall: nothing proves the stream jumped by
  // itself, so every note stays in the figure, and it shows the jump.
  const auto held = jumpRun(false);
  EXPECT_TRUE(held.offClock.empty());
  EXPECT_GT(midi_latency::summarize(held.clockMs).stddev, 1.0);
}

}  // namespace
