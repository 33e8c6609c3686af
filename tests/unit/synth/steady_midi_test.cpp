// Steady MIDI timing: the stamped queue between the MIDI and audio threads, and
// the render split at the places the messages arrived.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "synth/synth_rack.h"

namespace {

using Message = StampedMidiQueue::Message;

std::vector<Message> takeAll(StampedMidiQueue& queue, int64_t until) {
  std::vector<Message> taken;
  queue.takeUpTo(until, [&](const Message& m) { taken.push_back(m); });
  return taken;
}

TEST(StampedMidiQueue, TakesInOrderUpToTheStampAndAFullQueueLosesTheOldest) {
  auto queue = std::make_unique<StampedMidiQueue>();
  const uint8_t noteOn[3] = {0x90, 60, 100};
  const uint8_t program[2] = {0xC0, 5};
  queue->push(10, noteOn, 3);
  queue->push(20, program, 2);
  queue->push(30, noteOn, 3);
  auto taken = takeAll(*queue, 20);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].stamp, 10);
  EXPECT_EQ(taken[0].count, 3);
  EXPECT_EQ(std::memcmp(taken[0].bytes, noteOn, 3), 0);
  EXPECT_EQ(taken[1].count, 2);
  EXPECT_EQ(std::memcmp(taken[1].bytes, program, 2), 0);

  // The one left, then more than the queue holds: the oldest six are lost.
  constexpr int64_t kMore = StampedMidiQueue::kCapacity + 5;
  for (int64_t i = 0; i < kMore; ++i) queue->push(100 + i, noteOn, 3);
  taken = takeAll(*queue, 1'000'000);
  ASSERT_EQ(taken.size(), StampedMidiQueue::kCapacity);
  EXPECT_EQ(taken.front().stamp, 100 + 5);
  EXPECT_EQ(taken.back().stamp, 100 + kMore - 1);
  EXPECT_EQ(queue->dropped(), 6u);
  EXPECT_TRUE(takeAll(*queue, 1'000'000).empty());
}

TEST(StampedMidiQueue, OneProducerAndOneConsumerLoseNothingTheyDoNotCount) {
  // The consumer pauses now and then for longer than the producer takes to go
  // round the queue (most messages are overtaken), so both the plain path and
  // the overwritten one run; every message must arrive whole and in order, or
  // be counted.
  auto queue = std::make_unique<StampedMidiQueue>();
  constexpr int64_t kMessages = 200'000;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int64_t i = 1; i <= kMessages; ++i) {
      const uint8_t bytes[3] = {static_cast<uint8_t>(0x80 | (i & 0x7F)),
                                static_cast<uint8_t>(i & 0x7F), static_cast<uint8_t>(i % 3)};
      queue->push(i, bytes, 1 + static_cast<int32_t>(i % 3));
      if (i % 256 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    done = true;
  });
  int64_t received = 0;
  int64_t last = 0;
  int64_t bad = 0;
  std::mt19937 rng(3);
  for (bool finished = false; !finished;) {
    finished = done.load();
    queue->takeUpTo(kMessages, [&](const Message& m) {
      bad += m.stamp <= last || m.count != 1 + m.stamp % 3 ||
             m.bytes[0] != (0x80 | (m.stamp & 0x7F)) ||
             (m.count > 1 && m.bytes[1] != (m.stamp & 0x7F));
      last = m.stamp;
      ++received;
    });
    if (rng() % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  producer.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(received + static_cast<int64_t>(queue->dropped()), kMessages);
  EXPECT_EQ(last, kMessages);
}

TEST(WindowNoteQueue, AFullQueueDropsTheNewestNoteOnButNeverANoteOff) {
  WindowNoteQueue queue;
  // The window holds 128 notes while nothing takes from the queue; a retrigger of a
  // held note still fits, any further note-on does not.
  int32_t accepted = 0;
  for (int round = 0; round < 3; ++round) {
    for (uint8_t note = 0; note < 128; ++note) accepted += queue.noteOn(round, 2, note, 90);
  }
  EXPECT_EQ(queue.heldCount(), 128);
  EXPECT_EQ(accepted, static_cast<int32_t>(WindowNoteQueue::kCapacity) - 128);
  // Every release is delivered, on the channel its note began on.
  for (uint8_t note = 0; note < 128; ++note) queue.noteOff(10, note);
  queue.noteOff(10, 60);  // no longer held: nothing to end
  int32_t ons = 0;
  bool offs[128] = {};
  queue.takeUpTo(INT64_MAX, [&](const WindowNoteQueue::Message& m) {
    if (m.bytes[0] == 0x92) ++ons;
    if (m.bytes[0] == 0x82) {
      EXPECT_FALSE(offs[m.bytes[1]]);
      offs[m.bytes[1]] = true;
    }
  });
  EXPECT_EQ(ons, accepted);
  EXPECT_EQ(std::count(std::begin(offs), std::end(offs), true), 128);
  EXPECT_EQ(queue.heldCount(), 0);
}

TEST(WindowNotes, SoundFromTheNextBlockInEitherTimingOrFromTheWindowsTimer) {
  for (const MidiTiming timing : {MidiTiming::kImmediate, MidiTiming::kSteady}) {
    sim::setManualPerformanceCounter(true);
    SynthRack rack;
    rack.createSynth(0, 1, 16, false);
    rack.activate(0);
    rack.setMidiTiming(timing);
    std::vector<float> out(128);
    const auto render = [&] {
      LARGE_INTEGER count;
      QueryPerformanceCounter(&count);
      rack.render(out.data(), nullptr, 1, 0, 128, 48000.0f, count.QuadPart);
    };
    ASSERT_TRUE(rack.playWindowNote(0, 60, 100));
    EXPECT_FALSE(rack.isNoteSounding(60));
    render();
    EXPECT_TRUE(rack.isNoteSounding(60));
    EXPECT_EQ(rack.voiceEntry(0, 0) & SynthRack::kNoteMask, 60u);
    // No block comes (the route is lost): the window's timer ends the note once it
    // is older than any block would have let it become.
    ASSERT_TRUE(rack.playWindowNote(0, 60, 0));
    rack.dispatchStaleMidi();
    EXPECT_TRUE(rack.isNoteSounding(60));
    sim::advancePerformanceCounter(10'000'000 * SynthRack::kStaleMidiMs / 1000 + 1);
    rack.dispatchStaleMidi();
    EXPECT_FALSE(rack.isNoteSounding(60));
    EXPECT_EQ(rack.lastActiveEntry(0), -1);
    sim::setManualPerformanceCounter(false);
  }
}

// Blocks of 120 frames at 48 kHz last 25000 ticks of the simulated counter;
// a frame lasts 208.33 ticks.
constexpr int32_t kFrames = 120;
constexpr float kRate = 48000.0f;
constexpr int64_t kBlockTicks = 25000;
constexpr double kTicksPerFrame = 1e7 / 48000.0;

class SteadyTiming : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::setManualPerformanceCounter(true);
    for (SynthRack* rack : {&immediate_, &steady_, &control_}) {
      rack->createSynth(0, 1, 16, false);
      rack->activate(0);
    }
    steady_.setMidiTiming(MidiTiming::kSteady);
    control_.setMidiTiming(MidiTiming::kSteady);
    start_ = now();
  }
  void TearDown() override { sim::setManualPerformanceCounter(false); }

  static int64_t now() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
  }
  // Moves the counter to `ticks` after the first block's start.
  void at(int64_t ticks) { sim::advancePerformanceCounter(start_ + ticks - now()); }
  // Renders block `k` of `rack` at its start time; mono, no input.
  std::vector<float> block(SynthRack& rack, int64_t k) {
    at(k * kBlockTicks);
    std::vector<float> out(kFrames);
    rack.render(out.data(), nullptr, 1, 0, kFrames, kRate, now());
    return out;
  }

  // Block `k` of the steady rack, and the first frame in which it differs from
  // the control rack, which hears nothing but its start-up voice.
  int32_t firstChange(int64_t k) {
    const auto out = block(steady_, k);
    const auto quiet = block(control_, k);
    int32_t frame = 0;
    while (frame < kFrames && out[frame] == quiet[frame]) ++frame;
    return frame;
  }

  SynthRack immediate_;
  SynthRack steady_;
  SynthRack control_;
  int64_t start_ = 0;
};

TEST_F(SteadyTiming, MessagesAtTheFirstFrameSoundBitForBitAsImmediately) {
  std::mt19937 rng(5);
  block(immediate_, 0);
  block(steady_, 0);
  for (int64_t k = 1; k < 200; ++k) {
    // Within the first frame after the block before began.
    at((k - 1) * kBlockTicks + 1 + static_cast<int64_t>(rng() % 200));
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
      const uint8_t message[3] = {static_cast<uint8_t>((rng() % 2 ? 0x90 : 0x80)),
                                  static_cast<uint8_t>(40 + rng() % 40),
                                  static_cast<uint8_t>(rng() % 128)};
      immediate_.processMidi(message, 3);
      steady_.processMidi(message, 3);
    }
    const auto expected = block(immediate_, k);
    const auto got = block(steady_, k);
    ASSERT_EQ(std::memcmp(got.data(), expected.data(), sizeof(float) * kFrames), 0)
        << "block " << k;
  }
}

TEST_F(SteadyTiming, EveryNoteStartsOneBlockAfterItArrivedWhereverItArrived) {
  const uint8_t on[3] = {0x90, 69, 100};
  const uint8_t off[3] = {0x80, 69, 0};
  for (int32_t place : {0, 1, 37, 64, 119}) {
    // Arrives `place` frames into block 0, in a rack started afresh.
    SetUp();
    firstChange(0);
    at(static_cast<int64_t>(place * kTicksPerFrame) + 1);
    steady_.processMidi(on, 3);
    // The new voice's first frame adds nothing (its amplitude starts from 0);
    // the frame after it does. The frames before are untouched by the split.
    EXPECT_EQ(firstChange(1), place + 1) << "arrived at frame " << place;
  }
  // Two messages in one block split it twice: a note from frame 10, released
  // from frame 90, against the same note left on.
  SetUp();
  SynthRack& leftOn = immediate_;
  leftOn.setMidiTiming(MidiTiming::kSteady);
  block(leftOn, 0);
  block(steady_, 0);
  at(static_cast<int64_t>(10 * kTicksPerFrame) + 1);
  steady_.processMidi(on, 3);
  leftOn.processMidi(on, 3);
  at(static_cast<int64_t>(90 * kTicksPerFrame) + 1);
  steady_.processMidi(off, 3);
  const auto released = block(steady_, 1);
  const auto held = block(leftOn, 1);
  int32_t frame = 0;
  while (frame < kFrames && released[frame] == held[frame]) ++frame;
  EXPECT_EQ(frame, 91) << "the release glides from the frame after its own";
}

TEST_F(SteadyTiming, LateMessagesGoToTheFirstFrameAndAResetFollowsThemAll) {
  const uint8_t on[3] = {0x90, 69, 100};
  firstChange(0);
  // A stall: the note came during block 0, the next block starts three later.
  at(kBlockTicks / 2);
  steady_.processMidi(on, 3);
  EXPECT_EQ(firstChange(4), 1) << "an old message belongs at the first frame";

  // A note queued before input stopped must not outlive the stop.
  at(4 * kBlockTicks + 1000);
  const uint8_t other[3] = {0x90, 72, 100};
  steady_.processMidi(other, 3);
  steady_.processMidi(nullptr, kMidiResetRequest);
  firstChange(5);
  for (int32_t i = 0; i < steady_.polyphonyOf(0); ++i) {
    EXPECT_EQ(steady_.voiceEntry(0, i), static_cast<uint32_t>(i) << SynthRack::kVoiceShift)
        << "voice table as after a reset";
  }
  for (int32_t v = 0; v < steady_.synthAt(0)->voiceCount(); ++v) {
    EXPECT_NE(steady_.synthAt(0)->voice(v).omega.get(), Synth::noteOmega(72));
  }

  // Input and audio stopped with a note and the closing reset still queued, then
  // the timing changed: the reset is not lost with the queue.
  at(6 * kBlockTicks);
  steady_.processMidi(other, 3);
  steady_.processMidi(nullptr, kMidiResetRequest);
  steady_.setMidiTiming(MidiTiming::kImmediate);
  EXPECT_EQ(steady_.voiceEntry(0, 0), 0u);
  EXPECT_EQ(steady_.lastActiveEntry(0), -1);
}

TEST_F(SteadyTiming, ANoteOffOutlivesAnOutageWithTheMidiClockRunning) {
  const uint8_t on[3] = {0x90, 69, 100};
  const uint8_t off[3] = {0x80, 69, 0};
  const uint8_t clock[1] = {0xF8};
  block(steady_, 0);
  at(kBlockTicks / 2);
  steady_.processMidi(on, 3);
  block(steady_, 1);
  ASSERT_EQ(steady_.lastActiveEntry(0), 0) << "the note is held";
  // The route is lost: no block comes for 23 s, while the clock ticks 48 times a
  // second and the window's timer looks in every 100 ms.
  at(2 * kBlockTicks);
  steady_.processMidi(off, 3);
  constexpr int64_t kClockTicks = 10'000'000 / 48;
  for (int64_t i = 1; i <= 1100; ++i) {
    at(2 * kBlockTicks + i * kClockTicks);
    steady_.processMidi(clock, 1);
    if (i % 5 == 0) steady_.dispatchStaleMidi();
  }
  // The route is back.
  const int64_t back = (2 * kBlockTicks + 1101 * kClockTicks) / kBlockTicks + 1;
  block(steady_, back);
  block(steady_, back + 1);
  EXPECT_EQ(steady_.lastActiveEntry(0), -1) << "the note was released";
  EXPECT_EQ(steady_.droppedMidiMessages(), 0u);
}

// The window plays notes too, in either timing: its notes and the MIDI thread's
// reach the voice table one writer at a time (which ThreadSanitizer checks).
class MidiTimingThreads : public ::testing::TestWithParam<MidiTiming> {};

TEST_P(MidiTimingThreads, RenderMidiWindowNotesAndParametersTogether) {
  SynthRack rack;
  for (int slot = 0; slot < 4; ++slot) {
    rack.createSynth(slot, 1 + slot % 2, 16, false);
    rack.activate(slot);
  }
  rack.setMidiTiming(GetParam());
  std::atomic<bool> stop{false};
  std::atomic<long> badSamples{0};
  std::thread audio([&] {
    std::vector<float> out(256);
    while (!stop) {
      LARGE_INTEGER count;
      QueryPerformanceCounter(&count);
      rack.render(out.data(), nullptr, 2, 0, 128, 48000.0f, count.QuadPart);
      for (float x : out) badSamples += std::isnan(x) || x < -1.0f || x > 1.0f;
    }
  });
  std::thread midi([&] {
    std::mt19937 rng(7);
    for (int i = 0; i < 100'000; ++i) {
      const uint8_t message[3] = {static_cast<uint8_t>(0x80 | (rng() % 0x70) | (rng() % 2)),
                                  static_cast<uint8_t>(rng() % 128),
                                  static_cast<uint8_t>(rng() % 128)};
      rack.processMidi(message, 3);
      if (rng() % 1000 == 0) rack.processMidi(nullptr, kMidiResetRequest);
    }
  });
  std::thread window([&] {
    std::mt19937 rng(11);
    while (!stop) {
      rack.setParameter(rng() % 4, rng() % 17, static_cast<float>(rng() % 101) / 100.0f);
      (void)rack.takeMidiActivity();
      (void)rack.droppedMidiMessages();
      rack.dispatchStaleMidi();
      const auto note = static_cast<int32_t>(40 + rng() % 8);
      rack.playWindowNote(0, note, rng() % 2 == 0 ? 0 : 100);
      (void)rack.isNoteSounding(note);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (int32_t note = 40; note < 48; ++note) rack.playWindowNote(0, note, 0);
  });
  midi.join();
  stop = true;
  audio.join();
  window.join();
  EXPECT_EQ(badSamples, 0);
}

INSTANTIATE_TEST_SUITE_P(BothTimings, MidiTimingThreads,
                         ::testing::Values(MidiTiming::kImmediate, MidiTiming::kSteady));

}  // namespace
