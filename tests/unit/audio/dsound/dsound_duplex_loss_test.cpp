// The full-duplex engine when its device fails: a render buffer reported lost is
// restored and plays on; a device that goes away (silently as under Wine, with failing
// calls as on Windows, with locks that keep failing, or with notifications that stop
// while the cursor runs) marks the engine lost within a fraction of a second, after
// which the worker costs nothing; an engine opened anew once the device is back plays
// again.
#include <chrono>
#include <ctime>
#include <thread>

#include "dsound_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class DsoundLoss : public DsoundFixture {
 protected:
  void TearDown() override {
    sim::setDsoundRealTime(false);
    DsoundFixture::TearDown();
  }

  // Waits for `condition` up to `limit`; the time it took, or limit when it never held.
  template <typename Condition>
  static milliseconds waitFor(Condition condition, milliseconds limit) {
    const auto begin = steady_clock::now();
    while (!condition()) {
      const auto waited = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
      if (waited >= limit) return limit;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
  }

  // Some of the ring holds sound: the rack's tone has been written.
  bool ringSounds() {
    for (uint32_t b = 0; b < engine.blockCount(); ++b) {
      for (int16_t sample : ringBlock(b)) {
        if (sample != 0) return true;
      }
    }
    return false;
  }
};

TEST_F(DsoundLoss, LostRenderBufferIsRestoredAndPlaysOn) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  playBlocks(14);
  ASSERT_EQ(engine.dropouts(), 0);

  sim::loseDsoundRenderBuffer();  // it stops playing and signals nothing more
  EXPECT_LT(waitFor([] { return sim::dsoundRenderPlaying(); }, milliseconds(2000)).count(), 2000)
      << "restored and played again";
  ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  const int locks = sim::dsoundRenderLockCount();
  playBlocks(14);

  EXPECT_FALSE(engine.lost());
  EXPECT_EQ(engine.dropouts(), 1) << "the ring that the loss cost";
  EXPECT_GE(sim::dsoundRenderLockCount(), locks + 13);
  EXPECT_TRUE(ringSounds());
}

TEST_F(DsoundLoss, DeviceGoneIsLostSoonCostsNothingAndAReopenedEnginePlays) {
  struct Case {
    const char* what;
    HRESULT callsFail;
    bool locksFail;
    bool notificationsStop = false;  // the cursor runs on: the ring loops what it holds
  };
  const Case cases[] = {{"silent, as under Wine", S_OK, false},
                        {"calls fail", DSERR_NODRIVER, false},
                        {"locks keep failing", S_OK, true},
                        {"notifications stop, the cursor runs", S_OK, false, true}};
  setUpSynth(rack, 16);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(openWindowSettings(), AudioOk);
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    sim::setDsoundRealTime(true);
    ASSERT_LT(waitFor([this] { return ringSounds(); }, milliseconds(2000)).count(), 2000);

    const int dropouts = engine.dropouts();
    if (c.locksFail) {
      sim::failDsound(sim::DsoundCall::RenderLock, 1000000, DSERR_NODRIVER);
    } else if (c.notificationsStop) {
      sim::silenceDsoundNotifications(true);
    } else {
      sim::removeDsoundDevice(c.callsFail);
    }
    const milliseconds noticed = waitFor([this] { return engine.lost(); }, milliseconds(3000));
    EXPECT_LT(noticed.count(), 1500) << "noticed within a fraction of a second";
    EXPECT_GE(noticed.count(), 400) << "not before half a second without a sign of life";
    if (c.notificationsStop) {
      EXPECT_GT(engine.dropouts(), dropouts) << "the rings that went round unanswered";
    }

    // Lost: the worker waits for its stop and nothing else.
    sim::setDsoundRealTime(false);
    const std::clock_t cpuBefore = std::clock();
    const int locks = sim::dsoundRenderLockCount();
    std::this_thread::sleep_for(milliseconds(500));
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    EXPECT_LT(cpuMs, 50.0) << "a lost engine spins";
    EXPECT_EQ(sim::dsoundRenderLockCount(), locks);
    EXPECT_TRUE(engine.lost());

    engine.release();  // as the window does with a lost route
    sim::silenceDsoundNotifications(false);
    if (!c.locksFail && !c.notificationsStop) {
      EXPECT_EQ(openWindowSettings(), AudioFailed) << "the device is still away";
      sim::returnDsoundDevice();
    }
    sim::failDsound(sim::DsoundCall::RenderLock, 0);

    ASSERT_EQ(openWindowSettings(), AudioOk);
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    EXPECT_FALSE(engine.lost());
    playBlocks(14);
    EXPECT_FALSE(engine.lost());
    EXPECT_EQ(engine.dropouts(), 0);
    EXPECT_TRUE(ringSounds());
    engine.release();
  }
}

// Wine's mixer with its sink suspended: the cursor runs at two thirds of the pace and
// nothing is heard, while the capture runs at full pace and overtakes the read position
// about ten times a second. A storm of dropouts for seconds is a device gone.
TEST_F(DsoundLoss, DropoutStormForSecondsIsALostDevice) {
  setUpSynth(rack, 16);
  sim::setDsoundRenderPace(67);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  sim::setDsoundRealTime(true);
  const milliseconds noticed = waitFor([this] { return engine.lost(); }, milliseconds(6000));
  EXPECT_LT(noticed.count(), 4000) << "dropouts counted on and on, the route kept";
  EXPECT_GE(engine.dropouts(), 10);
  const int locks = sim::dsoundRenderLockCount();
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(sim::dsoundRenderLockCount(), locks) << "a lost engine works on";
}

// A capture that hands nothing over while the render side plays would pass silence (or
// one stale stretch) as the input for good, with the route shown active. It may take its
// time to start, as Wine's does, and may pause; standing still for 3 s it is stuck, and
// the output plays on until the owner opens the route anew.
TEST_F(DsoundLoss, CaptureThatStandsStillForSecondsIsStuckWhileTheOutputPlaysOn) {
  setUpSynth(rack, 16);
  ASSERT_EQ(openWindowSettings(), AudioOk);
  sim::holdDsoundCapture(true);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  const auto play = [this](int ms) { playBlocks(ms * 48000 / 128 / 1000); };
  play(2500);
  EXPECT_FALSE(engine.lost()) << "a capture still starting";
  sim::holdDsoundCapture(false);
  play(2000);
  EXPECT_FALSE(engine.lost()) << "a capture that flows";
  sim::holdDsoundCapture(true);
  play(2800);
  EXPECT_FALSE(engine.lost()) << "not before 3 s";
  EXPECT_FALSE(engine.captureStuck());
  play(400);
  EXPECT_TRUE(engine.captureStuck()) << "a capture stuck for good, the route kept";
  EXPECT_FALSE(engine.lost()) << "the output silenced for a capture";
  const int locks = sim::dsoundRenderLockCount();
  play(200);
  EXPECT_GT(sim::dsoundRenderLockCount(), locks) << "the output stopped playing";
  EXPECT_FALSE(engine.lost());
}

}  // namespace
