// The full-duplex engine against a device that behaves as Wine's DirectSound does: a
// mixer that moves the play cursor a whole period's stretch at once and only then
// signals the notifications inside it one by one, while the worker already runs; a
// write cursor far ahead of the play cursor; a play cursor that cannot always be read.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <random>

#include "dsound_fixture.h"
#include "unit/audio/onset_delays.h"

namespace {

constexpr int kFrames = 128;
constexpr int kBlockSamples = 2 * kFrames;
constexpr DWORD kMixFrames = 480;        // 10 ms at 48 kHz: 3.75 blocks
constexpr DWORD kWriteLeadBytes = 1920;  // 10 ms of stereo 16-bit frames

// Busy-waits a few microseconds: the gap between two of the mixer's SetEvent calls.
void spin(std::chrono::nanoseconds gap) {
  const auto until = std::chrono::steady_clock::now() + gap;
  while (std::chrono::steady_clock::now() < until) {
  }
}

class DsoundWine : public DsoundFixture {
 protected:
  // The blocks a rack set up like the engine's renders over `periods` of Wine's mixer.
  static std::vector<int16_t> toneOfMixPeriods(int periods) {
    SynthRack reference;
    setUpSynth(reference, 16);
    return referenceBlocks(reference, periods * static_cast<int>(kMixFrames) / kFrames, kFrames);
  }
};

class WineMixer {
 public:
  explicit WineMixer(DsoundDuplex& engine) : engine_(engine) {}

  // Runs `periods` mixer periods; between two signals of a burst the worker may wake
  // and look at the events while the mixer goes on setting the rest.
  void run(int periods) {
    for (int p = 0; p < periods; ++p) {
      sim::mixDsoundStretch(kMixFrames, [this] { spin(std::chrono::nanoseconds(gap_(rng_))); });
      ASSERT_TRUE(sim::waitForThreadIdle(engine_.thread(), 10000));
    }
  }

 private:
  DsoundDuplex& engine_;
  std::mt19937 rng_{12345};
  std::uniform_int_distribution<int> gap_{0, 60000};
};

// What the ring played is the rack's output block after block, one ring late, with
// nothing skipped or repeated.
void expectContinuousTone(const std::vector<int16_t>& played,
                          const std::vector<int16_t>& expected) {
  const size_t silent = 7u * kBlockSamples;
  ASSERT_GT(played.size(), silent);
  for (size_t i = 0; i < silent; ++i) ASSERT_EQ(played[i], 0) << "sample " << i;
  size_t mismatches = 0;
  size_t first = 0;
  for (size_t i = silent; i < played.size() && i - silent < expected.size(); ++i) {
    if (played[i] != expected[i - silent] && mismatches++ == 0) first = i;
  }
  EXPECT_EQ(mismatches, 0u) << "the played stream departs from the rendered one at block "
                            << first / kBlockSamples;
}

TEST_F(DsoundWine, BurstsOfNotificationsAreRefilledInPlayOrderWithoutFalseDropouts) {
  setUpSynth(rack, 16);
  constexpr int kPeriods = 600;
  const std::vector<int16_t> expected = toneOfMixPeriods(kPeriods);
  sim::setDsoundWriteLead(kWriteLeadBytes);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);

  WineMixer(engine).run(kPeriods);

  EXPECT_EQ(engine.dropouts(), 0);
  EXPECT_TRUE(engine.inSync());
  expectContinuousTone(sim::dsoundPlayed(), expected);
}

// A capture device slow to start is no dropout. Once it flows, the service hands a
// capture period over one period late, both at once with the next: the input read
// meanwhile must still be there, so it goes on without a jump.
TEST_F(DsoundWine, CapturePeriodHandedOverLateKeepsTheInputContinuous) {
  setUpSynth(rack, 0, 1.0f);  // no voices: the output is the input alone
  // A ramp, one step per frame, wrapping at 16384.
  sim::setDsoundCaptureSource([](uint64_t n) { return static_cast<int16_t>(n / 2 % 16384); });
  sim::holdDsoundCapture(true);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  WineMixer(engine).run(6);
  EXPECT_EQ(engine.dropouts(), 0) << "the capture has not begun yet";
  sim::holdDsoundCapture(false);
  WineMixer(engine).run(6);
  const size_t steady = sim::dsoundPlayed().size() + 7u * kBlockSamples;
  for (int phase = 0; phase < 8; ++phase) {  // the late period at every phase of the ring
    WineMixer(engine).run(3);
    sim::holdDsoundCapture(true);
    WineMixer(engine).run(1);
    sim::holdDsoundCapture(false);
    sim::advanceDsoundCapture(kMixFrames);
    WineMixer(engine).run(1 + phase % 3);
  }
  EXPECT_EQ(engine.dropouts(), 0);
  // Each left sample is one step on from the one before (the sample conversions may
  // round by one), but where the ramp wraps.
  const std::vector<int16_t> played = sim::dsoundPlayed();
  size_t jumps = 0;
  for (size_t i = steady; i < played.size(); i += 2) {
    const int step = played[i] - played[i - 2];
    if (std::abs(step - 1) > 1 && step > -16000) ++jumps;
  }
  EXPECT_EQ(jumps, 0u);
}

// The worker refills a whole stretch on the first notification of a burst, the cursor
// being already at its end; the rest of the burst comes after. If the worker is slow to
// take those, the next burst sets every event, yet the cursor went on only 3.75 blocks.
TEST_F(DsoundWine, LateNotificationsOfBlocksAlreadyRefilledAreNoLostRing) {
  setUpSynth(rack, 16);
  SynthRack reference;
  setUpSynth(reference, 16);
  const std::vector<int16_t> expected = referenceBlocks(reference, 60, kFrames);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  const HANDLE worker = engine.thread();

  sim::mixDsoundStretch(kMixFrames);  // blocks 0..2; the cursor in block 3
  ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
  bool first = true;
  sim::mixDsoundStretch(kMixFrames, [&] {  // blocks 3..6; the cursor in block 0
    if (!first) return;
    first = false;
    ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
    sim::holdThreadWakeUps(worker, true);
  });
  sim::mixDsoundStretch(kMixFrames);  // blocks 0..3; the cursor in block 4
  for (uint32_t b = 0; b < 7; ++b) ASSERT_TRUE(blockEventSignaled(b)) << b;
  sim::holdThreadWakeUps(worker, false);
  ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
  EXPECT_EQ(engine.dropouts(), 0);
  EXPECT_TRUE(engine.inSync());

  WineMixer(engine).run(12);
  EXPECT_EQ(engine.dropouts(), 0);
  expectContinuousTone(sim::dsoundPlayed(), expected);
}

// As above, but held for one stretch more: the cursor went on into block 1, round the
// ring. Only blocks 0..3 are fresh, yet 2 and 3 lie ahead of the cursor in this lap.
TEST_F(DsoundWine, RingLostBehindLateNotificationsIsCounted) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  const HANDLE worker = engine.thread();

  sim::mixDsoundStretch(kMixFrames);
  ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
  bool first = true;
  sim::mixDsoundStretch(kMixFrames, [&] {
    if (!first) return;
    first = false;
    ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
    sim::holdThreadWakeUps(worker, true);
  });
  sim::mixDsoundStretch(kMixFrames);  // blocks 0..3; the cursor in block 4
  sim::mixDsoundStretch(kMixFrames);  // blocks 4..6, 0; the cursor in block 1
  const int locks = sim::dsoundRenderLockCount();
  sim::holdThreadWakeUps(worker, false);
  ASSERT_TRUE(sim::waitForThreadIdle(worker, 10000));
  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks) << "nothing written into a lost ring";
  EXPECT_EQ(engine.captureReadPos(), DsoundDuplex::kNoCapturePosition);

  WineMixer(engine).run(12);
  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_TRUE(engine.inSync());
}

// A service that signals with the cursor exactly on a block's last frame: the cursor is
// still inside that block, so it is refilled at the next notification, still a ring
// minus a block ahead of the cursor. No ring is lost and nothing is skipped.
TEST_F(DsoundWine, SignalsExactlyAtTheOffsetPlayOnWithoutDropouts) {
  setUpSynth(rack, 16);
  SynthRack reference;
  setUpSynth(reference, 16);
  const std::vector<int16_t> expected = referenceBlocks(reference, 70, kFrames);
  sim::setDsoundSignalAtOffset(true);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);

  sim::advanceDsound(kFrames - 1);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  ASSERT_EQ(sim::dsoundPlayPosition(), 508u);
  playBlocks(7 * 10);

  EXPECT_EQ(engine.dropouts(), 0);
  expectContinuousTone(sim::dsoundPlayed(), expected);
}

TEST_F(DsoundWine, UnreadablePlayCursorFallsBackOnTheNotifications) {
  setUpSynth(rack, 16);
  constexpr int kPeriods = 120;
  const std::vector<int16_t> expected = toneOfMixPeriods(kPeriods);
  sim::setDsoundWriteLead(kWriteLeadBytes);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);

  WineMixer mixer(engine);
  mixer.run(20);
  sim::failDsound(sim::DsoundCall::RenderPosition, 1000000);
  mixer.run(40);
  sim::failDsound(sim::DsoundCall::RenderPosition, 0);
  mixer.run(kPeriods - 60);

  EXPECT_EQ(engine.dropouts(), 0);
  expectContinuousTone(sim::dsoundPlayed(), expected);
}

TEST_F(DsoundWine, TraceIsWrittenWhileTheStreamRunsAndEndsWithASummary) {
  const std::string path = ::testing::TempDir() + "tonbrik_dsound_trace.txt";
  std::remove(path.c_str());
  setenv("TONBRIK_DSOUND_TRACE", path.c_str(), 1);
  setUpSynth(rack, 16);
  const int32_t opened = openWindowSettings();
  unsetenv("TONBRIK_DSOUND_TRACE");
  ASSERT_EQ(opened, 0);
  const auto readLines = [&] {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  };
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  sim::holdThreadWakeUps(engine.thread(), true);  // one wake-up for the whole burst
  sim::mixDsoundStretch(kMixFrames);              // blocks 0..2 due; the cursor at byte 1920
  sim::holdThreadWakeUps(engine.thread(), false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  playBlocksLate(7);  // a whole ring
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));

  // The burst's record is complete once the next wake-up has begun: it reaches the file
  // while the stream still runs.
  std::vector<std::string> lines;
  for (int waited = 0; waited < 2000 && (lines = readLines()).size() < 3; waited += 10) Sleep(10);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("48000 Hz, 7 blocks of 128 frames (512 bytes); counter frequency="),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find(" wall="), std::string::npos) << lines[0];
  // The tone starts from silence in block 0, the first block written.
  EXPECT_NE(lines[2].find(" 1920 0 0,1,2 0..2(3)@"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(" 0 0:"), std::string::npos) << lines[2];

  ASSERT_EQ(engine.stop(), AudioOk);
  lines = readLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[3].find(" 0,1,2,3,4,5,6 - 1 - whole-ring"), std::string::npos) << lines[3];
  EXPECT_EQ(lines[4], "summary wakeups=2 dropouts=1");
  std::remove(path.c_str());
}

TEST_F(DsoundWine, RingGoneRoundWhileABlockIsWrittenResumesAtThePlayCursor) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(2);
  const int locks = sim::dsoundRenderLockCount();

  // Held up writing block 2 while the play cursor goes on 6.5 blocks, into block 2 again.
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(kFrames);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  sim::advanceDsound(6 * kFrames + kFrames / 2);
  sim::blockDsoundRenderLock(false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));

  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_FALSE(engine.inSync());
  EXPECT_EQ(engine.captureReadPos(), DsoundDuplex::kNoCapturePosition);
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1) << "nothing more after block 2";
  for (uint32_t b = 0; b < 7; ++b) EXPECT_FALSE(blockEventSignaled(b)) << b;
  EXPECT_FALSE(engine.ringOutrun()) << "the worker was the one late";

  // Block 2 is written again once the play cursor has left it, and only then.
  sim::advanceDsound(kFrames / 4);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1);
  sim::advanceDsound(kFrames / 4);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 2);
  EXPECT_TRUE(engine.inSync());
  EXPECT_EQ(engine.dropouts(), 1);
}

TEST_F(DsoundWine, StallOfMoreThanARingIsCountedAlthoughTheCursorShowsLess) {
  setUpSynth(rack, 16);
  sim::setManualPerformanceCounter(true);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(2);
  const int locks = sim::dsoundRenderLockCount();

  // The cursor only shows 1.5 blocks more, but the counter says a ring and more went by.
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(kFrames);
  while (!sim::dsoundRenderLockBlocked()) Sleep(1);
  sim::advanceDsound(kFrames + kFrames / 2);
  sim::advancePerformanceCounter(sim::kPerformanceFrequency / 50);  // 20 ms > 18.7 ms
  sim::blockDsoundRenderLock(false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));

  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_FALSE(engine.inSync());
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks + 1);
  EXPECT_FALSE(engine.ringOutrun());
  sim::setManualPerformanceCounter(false);
}

// Only a ring lost while the worker waited, everything due refilled, and in less than
// the ring's time asks for a longer ring: a worker asleep for longer may have been the
// one late; a mixer a period late that catches up with two periods at once, more than
// the ring, outruns any worker.
TEST_F(DsoundWine, CatchUpOfMoreThanTheRingWhileTheWorkerWaitedAsksForALongerRing) {
  setUpSynth(rack, 16);
  sim::setManualPerformanceCounter(true);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  WineMixer mixer(engine);
  mixer.run(6);

  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  sim::holdThreadWakeUps(engine.thread(), true);
  sim::advancePerformanceCounter(sim::kPerformanceFrequency / 50);  // 20 ms > 18.7 ms
  sim::mixDsoundStretch(kMixFrames);
  sim::mixDsoundStretch(kMixFrames);
  sim::holdThreadWakeUps(engine.thread(), false);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  EXPECT_EQ(engine.dropouts(), 1);
  EXPECT_FALSE(engine.ringOutrun());

  mixer.run(6);
  ASSERT_TRUE(engine.inSync());
  sim::mixDsoundStretch(2 * kMixFrames);
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  mixer.run(2);
  EXPECT_EQ(engine.dropouts(), 2);
  EXPECT_TRUE(engine.ringOutrun());
  sim::setManualPerformanceCounter(false);
}

// Steady MIDI timing: Wine's mixer takes a period at once and the worker renders its
// blocks back to back, yet each note sounds the same time after it arrived, wherever
// in the period that was: the blocks are timed by when they will play.
TEST_F(DsoundWine, SteadyMidiSoundsAFixedTimeAfterItArrivesThoughBlocksAreRenderedInBursts) {
  setUpSynth(rack, 16);
  rack.setMidiTiming(MidiTiming::kSteady);
  sim::setManualPerformanceCounter(true);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  constexpr LONGLONG kPeriodTicks = sim::kPerformanceFrequency / 100;  // 480 frames
  LARGE_INTEGER origin;
  QueryPerformanceCounter(&origin);
  const auto period = [&] {
    sim::advancePerformanceCounter(kPeriodTicks);
    sim::mixDsoundStretch(kMixFrames);
    ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  };
  const auto sendAt = [&](double fraction, uint8_t status) {
    const auto part = static_cast<LONGLONG>(fraction * kPeriodTicks);
    sim::advancePerformanceCounter(part);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint8_t message[3] = {status, 69, 100};
    rack.processMidi(message, 3);
    sim::advancePerformanceCounter(kPeriodTicks - part);
    sim::mixDsoundStretch(kMixFrames);
    EXPECT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
    // The device frame at that moment: the mixer has taken one period per 10 ms.
    return static_cast<double>(now.QuadPart - origin.QuadPart) * 48000.0 /
           static_cast<double>(sim::kPerformanceFrequency);
  };
  for (int i = 0; i < 100; ++i) period();  // past the start-up tone
  std::vector<double> arrivals;
  for (const double fraction : {0.03, 0.41, 0.77, 0.98, 0.25, 0.6}) {
    arrivals.push_back(sendAt(fraction, 0x90));
    period();
    sendAt(0.5, 0x80);
    for (int i = 0; i < 10; ++i) period();
  }
  EXPECT_EQ(engine.stop(), AudioOk);
  sim::setManualPerformanceCounter(false);

  // Each onset: the first sample heard after 5 ms of silence.
  const std::vector<int16_t> played = sim::dsoundPlayed();
  const std::vector<double> delays = onsetDelays(
      played.size() / 2,
      [&](size_t frame) { return played[frame * 2] != 0 || played[frame * 2 + 1] != 0; }, arrivals);
  ASSERT_GE(delays.size(), arrivals.size() - 1);
  const auto [low, high] = std::minmax_element(delays.begin(), delays.end());
  EXPECT_LE(*high - *low, 1.5) << "first delay " << delays[0] << " frames";
  // A ring and a millisecond at most: the block after a message's own plays a ring
  // less a block after it is rendered.
  EXPECT_GT(*low, 0.0);
  EXPECT_LE(*high, 896 + 48 + 2);
}

}  // namespace
