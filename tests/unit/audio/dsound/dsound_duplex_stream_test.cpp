// Streaming against the simulated device: what reaches the render ring, when, and
// how late wake-ups and overruns are handled.
#include <atomic>
#include <thread>

#include "dsound_fixture.h"

namespace {

using DsoundStream = DsoundFixture;

constexpr int kFrames = 128;
constexpr int kBlockSamples = 2 * kFrames;
// What the capture is read behind the readable data: a render ring and the slack.
constexpr int32_t kLag = 3584 + static_cast<int32_t>(DsoundDuplex::kCaptureSlackBlocks) * 512;

TEST_F(DsoundStream, StartUpToneIsHeardOneRingAfterItWasRendered) {
  setUpSynth(rack, 16);
  SynthRack reference;
  setUpSynth(reference, 16);
  const std::vector<int16_t> expected = referenceBlocks(reference, 7, kFrames);

  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(14);

  const std::vector<int16_t> played = sim::dsoundPlayed();
  ASSERT_EQ(played.size(), 14u * kBlockSamples);
  for (size_t i = 0; i < 7u * kBlockSamples; ++i) ASSERT_EQ(played[i], 0) << "sample " << i;
  int peak = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(played[7 * kBlockSamples + i], expected[i]) << "sample " << i;
    peak = std::max(peak, std::abs(static_cast<int>(expected[i])));
  }
  EXPECT_GT(peak, 1000) << "the tone should be well under way after a ring";
  EXPECT_EQ(engine.dropouts(), 0);
  EXPECT_TRUE(engine.inSync());
  EXPECT_GT(engine.peakTicks(), 0.0);
  EXPECT_GE(engine.peakTicks(), engine.averageTicks());
}

TEST_F(DsoundStream, CapturedInputIsMixedIntoTheOutput) {
  setUpSynth(rack, 0, 1.0f);  // no voices: the output is the input alone
  sim::setDsoundCaptureSource([](uint64_t n) -> int16_t { return n % 2 == 0 ? 8192 : -4096; });
  sim::setDsoundCaptureLead(64);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(4 * 7);

  // The input lags by a ring and the slack, and sounds a ring later: the last ring is
  // all input.
  const std::vector<int16_t> played = sim::dsoundPlayed();
  ASSERT_EQ(played.size(), 28u * kBlockSamples);
  for (size_t i = 21u * kBlockSamples; i < played.size(); i += 2) {
    ASSERT_EQ(played[i], expected16(0.25f)) << "left sample " << i;
    ASSERT_EQ(played[i + 1], expected16(-0.125f)) << "right sample " << i;
  }
  EXPECT_EQ(engine.dropouts(), 0);
  // Placed a render ring and the slack behind the read position, moved on a block per block.
  const int32_t expectedPos = (29 * 512 - kLag) % static_cast<int32_t>(engine.captureBytes());
  EXPECT_EQ(engine.captureReadPos(), expectedPos);
}

TEST_F(DsoundStream, MonoStreamsStraightThrough) {
  setUpSynth(rack, 0, 0.5f);
  sim::setDsoundCaptureSource(
      [](uint64_t n) -> int16_t { return static_cast<int16_t>(n % 64) * 256; });
  ASSERT_EQ(engine.open(&rack, window, 1, 48000, 128, 3), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(9);
  // Block 8 was read a ring (3 blocks) and the slack (2) behind the read position.
  const std::vector<int16_t> played = sim::dsoundPlayed();
  ASSERT_EQ(played.size(), 9u * 128u);
  const size_t firstSample = 8 * 128;                // block 8 holds what block 5's wake-up wrote
  const int64_t captured = 5 * 128 + 128 - 5 * 128;  // sample index read for that block
  for (size_t i = 0; i < 128; ++i) {
    const int16_t in = static_cast<int16_t>((captured + i) % 64) * 256;
    ASSERT_EQ(played[firstSample + i], expected16(0.5f * (in / 32768.0f))) << i;
  }
}

TEST_F(DsoundStream, LateWakeUpCatchesUpInPlayOrderAcrossTheRingEnd) {
  setUpSynth(rack, 16);
  SynthRack reference;
  setUpSynth(reference, 16);
  const std::vector<int16_t> expected = referenceBlocks(reference, 9, kFrames);
  auto segment = [&](int k) {
    return std::vector<int16_t>(expected.begin() + k * kBlockSamples,
                                expected.begin() + (k + 1) * kBlockSamples);
  };

  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(5);
  // Blocks 5, 6, 0 and 1 fall due while the worker sleeps.
  playBlocksLate(4);

  EXPECT_EQ(ringBlock(5), segment(5));
  EXPECT_EQ(ringBlock(6), segment(6));
  EXPECT_EQ(ringBlock(0), segment(7));
  EXPECT_EQ(ringBlock(1), segment(8));
  EXPECT_EQ(ringBlock(2), segment(2)) << "a block not yet played is left alone";
  EXPECT_EQ(engine.dropouts(), 0);
  for (uint32_t b = 0; b < 7; ++b) EXPECT_FALSE(blockEventSignaled(b)) << b;
}

TEST_F(DsoundStream, WholeRingMissedCountsOneDropoutAndPlacesCaptureAnew) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(1);
  ASSERT_TRUE(engine.inSync());
  ASSERT_GE(engine.captureReadPos(), 0);
  const int locks = sim::dsoundRenderLockCount();
  const std::vector<uint8_t> ringBefore = sim::dsoundRenderRing();

  playBlocksLate(7);
  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_FALSE(engine.inSync());
  EXPECT_EQ(engine.captureReadPos(), DsoundDuplex::kNoCapturePosition);
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks) << "nothing may be processed";
  EXPECT_EQ(sim::dsoundRenderRing(), ringBefore);
  for (uint32_t b = 0; b < 7; ++b) EXPECT_FALSE(blockEventSignaled(b)) << b;

  // Missing a ring again while out of step is not counted twice.
  playBlocksLate(8);
  EXPECT_EQ(engine.dropouts(), 1);

  playBlocks(1);
  EXPECT_TRUE(engine.inSync());
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1);
  // Placed a render ring and the slack behind the read position, then moved on by the
  // block read.
  const int32_t readPos = 17 * 512 % static_cast<int32_t>(engine.captureBytes());
  EXPECT_EQ(engine.captureReadPos(), readPos - kLag + 512);
  EXPECT_EQ(engine.dropouts(), 1);
}

TEST_F(DsoundStream, RingMissedWhileWritingABlockSkipsToThePlayCursor) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(2);
  const int locks = sim::dsoundRenderLockCount();

  // The worker is held up writing block 2 while the play position goes round once.
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(kFrames);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  sim::advanceDsound(7 * kFrames);
  sim::blockDsoundRenderLock(false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));

  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_FALSE(engine.inSync());
  // Block 2 only: blocks 3..6, 0 and 1 have played stale once already.
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1);
  for (uint32_t b = 0; b < 7; ++b) EXPECT_FALSE(blockEventSignaled(b)) << b;

  // Refilling resumes with the block the play cursor was in.
  playBlocks(1);
  EXPECT_TRUE(engine.inSync());
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 2);
  EXPECT_EQ(engine.dropouts(), 1);
}

// Held up in a Lock while the cursor moves on through blocks already refilled, the
// worker refills them again in the same wake-up; the notifications of that second pass
// come after it and are no sign of a lost ring.
TEST_F(DsoundStream, BlocksRefilledTwiceInOneWakeUpAreNoLostRing) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(1);
  // Blocks 1..6 fall due while the worker sleeps; it stops in block 3's Lock.
  sim::holdThreadWakeUps(engine.thread(), true);
  sim::blockDsoundRenderLockAt(3 * 512);
  sim::advanceDsound(6 * kFrames);
  sim::holdThreadWakeUps(engine.thread(), false);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  // Meanwhile the cursor plays blocks 0 and 1 and goes on into block 2, all refilled.
  sim::advanceDsound(2 * kFrames + kFrames / 2);
  sim::blockDsoundRenderLock(false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  EXPECT_EQ(engine.dropouts(), 0);
  EXPECT_TRUE(engine.inSync());

  playBlocks(14);
  EXPECT_EQ(engine.dropouts(), 0);
}

TEST_F(DsoundStream, CaptureOverrunIsResynchronisedWithinTheBlock) {
  setUpSynth(rack, 0, 1.0f);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(14);  // long enough for the capture to prove it flows
  ASSERT_EQ(engine.dropouts(), 0);
  const int32_t next = engine.captureReadPos();
  ASSERT_EQ(next, 15 * 512 - kLag);

  // The capture clock runs ahead by what lies between the read position and the next
  // read: it reaches the next read.
  const int32_t ahead = (static_cast<int32_t>(engine.captureBytes()) - kLag) / 512;
  sim::advanceDsoundCapture(static_cast<DWORD>(ahead * kFrames));
  playBlocks(1);
  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_TRUE(engine.inSync()) << "only the capture side is placed anew";
  EXPECT_EQ(engine.captureReadPos(), ((15 + ahead) * 512 - kLag) + 512);

  // A capture position inside the data still to be read makes a block unusable too.
  playBlocks(10);
  sim::setDsoundCaptureLead(engine.captureBytes() - kLag + 256);
  playBlocks(1);
  EXPECT_EQ(engine.dropouts(), 2);
  sim::setDsoundCaptureLead(0);
  playBlocks(1);
  EXPECT_EQ(engine.dropouts(), 2);
}

TEST_F(DsoundStream, FailedLocksLoseOnlyTheirBlock) {
  setUpSynth(rack, 0, 1.0f);
  // Every captured block carries its own level.
  sim::setDsoundCaptureSource([](uint64_t n) -> int16_t {
    return static_cast<int16_t>(1000 * ((n / kBlockSamples) % 8 + 1));
  });
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(14);
  ASSERT_NE(ringBlock(6), ringBlock(5));
  const std::vector<int16_t> block1Before = ringBlock(1);

  // A failed capture read repeats the previous input; a failed write keeps the old block.
  sim::failDsound(sim::DsoundCall::CaptureLock);
  playBlocks(1);
  EXPECT_EQ(ringBlock(0), ringBlock(6));
  sim::failDsound(sim::DsoundCall::RenderLock);
  playBlocks(1);
  EXPECT_EQ(ringBlock(1), block1Before);
  EXPECT_EQ(engine.dropouts(), 0);
  playBlocks(1);
  EXPECT_NE(ringBlock(2), ringBlock(0)) << "streaming goes on";
}

TEST_F(DsoundStream, OutputModeOneRendersButWritesSilence) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(7);
  ASSERT_EQ(engine.start(DuplexOutput::SilenceWhileRendering), AudioOk);
  const float phase = rack.synthAt(0)->voice(15).phase.get();
  playBlocks(7);
  for (uint8_t byte : sim::dsoundRenderRing()) ASSERT_EQ(byte, 0);
  EXPECT_NE(rack.synthAt(0)->voice(15).phase.get(), phase) << "the rack still renders";
}

TEST_F(DsoundStream, OutputModeTwoLeavesTheRackAlone) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::NoRender), AudioOk);
  const float phase = rack.synthAt(0)->voice(15).phase.get();
  playBlocks(7);
  EXPECT_EQ(rack.synthAt(0)->voice(15).phase.get(), phase);
  EXPECT_EQ(sim::dsoundRenderLockCount(), 1 + 7) << "silence is still written";
  for (uint8_t byte : sim::dsoundRenderRing()) ASSERT_EQ(byte, 0);
}

TEST_F(DsoundStream, SteadyMidiIsTakenByTheNextBlockTheWorkerRenders) {
  setUpSynth(rack, 16);
  rack.setMidiTiming(MidiTiming::kSteady);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(1);
  const uint8_t on[3] = {0x90, 69, 100};
  rack.processMidi(on, 3);
  EXPECT_EQ(rack.lastActiveEntry(0), -1) << "queued, not yet dispatched";
  Sleep(1);  // the next block starts after the message arrived
  playBlocks(2);
  EXPECT_EQ(rack.lastActiveEntry(0), 0);
  EXPECT_EQ(rack.voiceEntry(0, 0) & SynthRack::kNoteMask, 69u);
  EXPECT_EQ(engine.stop(), AudioOk);
}

// Real-time clock, MIDI from another thread: ThreadSanitizer must stay silent.
TEST_F(DsoundStream, RunsInRealTimeWhileMidiArrives) {
  setUpSynth(rack, 16, 0.5f);
  sim::setDsoundCaptureSource([](uint64_t n) -> int16_t { return static_cast<int16_t>(n * 7); });
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  sim::setDsoundRealTime(true);

  std::atomic<bool> done{false};
  std::thread midi([&] {
    uint8_t note = 40;
    while (!done.load()) {
      const uint8_t on[3] = {0x90, note, 100};
      const uint8_t off[3] = {0x80, note, 0};
      rack.processMidi(on, 3);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      rack.processMidi(off, 3);
      note = static_cast<uint8_t>(40 + (note - 39) % 40);
    }
  });
  for (int i = 0; i < 30; ++i) {
    Sleep(10);
    (void)engine.dropouts();
    (void)engine.averageTicks();
    rack.setParameter(0, 0, static_cast<float>(i) / 30.0f);
  }
  done = true;
  midi.join();
  EXPECT_EQ(engine.stop(), AudioOk);
  sim::setDsoundRealTime(false);

  const std::vector<int16_t> played = sim::dsoundPlayed();
  EXPECT_GT(played.size(), 48000u / 10 * 2);
  int peak = 0;
  for (int16_t s : played) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_GT(peak, 1000);
}

}  // namespace
