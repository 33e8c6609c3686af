// The window's audio route against the simulated DirectSound and WASAPI devices: one
// route at a time plays the rack and its name lines tell which devices and mode; a
// lost route is told and played again by a retry, on the output it was chosen for; an
// engine whose worker never came back is kept until it does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/audio_route.h"
#include "platform/platform.h"
#include "synth/synth_rack.h"

namespace {

using std::chrono::milliseconds;

class AudioRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::resetKernel();
    sim::resetDsound();
    sim::resetWasapi();
    handlesBefore_ = sim::liveHandleCount();
    rack.createSynth(0, 1, 16, false);
    for (int p = 0; p <= 16; ++p) rack.setParameter(0, p, 0.0f);
    rack.activate(0);
    route = std::make_unique<AudioRouteHost>();
    route->attach(&rack, nullptr, window);
  }

  void TearDown() override {
    sim::setDsoundRealTime(false);
    route->close();
    route.reset();
    EXPECT_EQ(sim::liveDsoundReferences(), 0) << "DirectSound objects left behind";
    EXPECT_EQ(sim::liveWasapiReferences(), 0) << "WASAPI objects left behind";
    EXPECT_EQ(sim::liveHandleCount(), handlesBefore_) << "handles left open";
    sim::resetWasapi();
    sim::resetDsound();
    sim::resetKernel();
  }

  template <typename Condition>
  static bool eventually(Condition condition) {
    for (int waited = 0; waited < 3000; waited += 2) {
      if (condition()) return true;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return condition();
  }

  static bool anyNonZero(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
      if (b != 0) return true;
    }
    return false;
  }

  // The rack's tone reaches the DirectSound ring as the device clock runs.
  static bool dsoundSounds() {
    sim::setDsoundRealTime(true);
    const bool sounds = eventually([] { return anyNonZero(sim::dsoundRenderRing()); });
    sim::setDsoundRealTime(false);
    return sounds;
  }

  // The rack's tone is played by the WASAPI render stream, period by period.
  static bool wasapiSounds() {
    return eventually([] {
      sim::tickWasapi();
      return anyNonZero(sim::wasapiPlayed());
    });
  }

  bool openRoute(const AudioRouteSetup& setup) { return route->open(setup, inName, outName); }

  static AudioRouteSetup dsoundSetup() { return AudioRouteSetup{}; }

  static AudioRouteSetup wasapiSetup(bool exclusive = false, const std::wstring& output = L"") {
    AudioRouteSetup setup;
    setup.kind = AudioRouteKind::kWasapi;
    setup.exclusive = exclusive;
    setup.renderEndpoint = output;
    return setup;
  }

  SynthRack rack;
  std::unique_ptr<AudioRouteHost> route;
  HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242));
  std::wstring inName;
  std::wstring outName;

 private:
  int handlesBefore_ = 0;
};

TEST_F(AudioRouteTest, OneRouteAtATimePlaysTheRackAndItsNameLinesTellTheDevicesAndMode) {
  ASSERT_TRUE(openRoute(dsoundSetup()));
  EXPECT_EQ(inName, L"Primary Sound Capture Driver");
  EXPECT_EQ(outName, L"Primary Sound Driver");
  int32_t rate = 0;
  int32_t channels = 0;
  ASSERT_TRUE(route->renderFormat(rate, channels));
  EXPECT_EQ(rate, 48000);
  EXPECT_EQ(channels, 2);
  EXPECT_TRUE(dsoundSounds());

  ASSERT_TRUE(openRoute(wasapiSetup()));
  EXPECT_FALSE(sim::dsoundRenderPlaying()) << "the full-duplex stream was closed first";
  EXPECT_EQ(sim::liveDsoundReferences(), 0);
  EXPECT_EQ(inName, L"Microphone (Sim) (WASAPI shared)");
  EXPECT_EQ(outName, L"Speakers (Sim) (WASAPI shared)");
  EXPECT_TRUE(wasapiSounds());

  // Exclusive refused: the route plays shared, and the output's line says so.
  sim::setWasapiExclusiveRefusal(AUDCLNT_E_DEVICE_IN_USE);
  ASSERT_TRUE(openRoute(wasapiSetup(true)));
  EXPECT_EQ(sim::wasapiRenderStream().mode, AUDCLNT_SHAREMODE_SHARED);
  EXPECT_EQ(inName, L"Microphone (Sim) (WASAPI shared)");
  EXPECT_EQ(outName, L"Speakers (Sim) (WASAPI, exclusive refused)");

  route->close();
  EXPECT_FALSE(route->renderFormat(rate, channels));
  EXPECT_FALSE(sim::wasapiRenderStream().open);
}

TEST_F(AudioRouteTest, LostRouteIsToldAndARetryPlaysAgainOnTheOutputItWasChosenFor) {
  sim::addWasapiEndpoint(eRender, L"{usb}", L"USB Audio");
  ASSERT_TRUE(openRoute(wasapiSetup(false, L"USB Audio")));
  EXPECT_EQ(outName, L"USB Audio (WASAPI shared)");
  EXPECT_TRUE(wasapiSounds());
  EXPECT_FALSE(route->lost());
  sim::invalidateWasapiDevice();
  sim::tickWasapi();
  EXPECT_TRUE(eventually([this] { return route->lost(); }));
  route->close();

  // The service is back without the chosen output: a retry waits for it rather than
  // playing on a stand-in.
  sim::resetWasapi();
  AudioRouteSetup retry = wasapiSetup(false, L"USB Audio");
  retry.retry = true;
  EXPECT_FALSE(openRoute(retry));
  EXPECT_EQ(outName, L"Speakers (Sim) (WASAPI shared) (USB Audio not found)");
  EXPECT_FALSE(sim::wasapiRenderStream().open);

  sim::addWasapiEndpoint(eRender, L"{usb}", L"USB Audio");
  ASSERT_TRUE(openRoute(retry));
  EXPECT_EQ(outName, L"USB Audio (WASAPI shared)");
  EXPECT_FALSE(route->lost());
  EXPECT_TRUE(wasapiSounds());
}

// A worker stuck in a call of the sound service may come back and reach its engine and
// the rack: its engine is kept, no system route opens beside it, and it is freed once
// the worker has ended.
TEST_F(AudioRouteTest, EngineWhoseWorkerDidNotEndIsKeptUntilItEnds) {
  ASSERT_TRUE(openRoute(dsoundSetup()));
  sim::blockDsoundRenderLock(true);
  sim::advanceDsound(128);
  ASSERT_TRUE(eventually([] { return sim::dsoundRenderLockBlocked(); }));
  route->close();
  EXPECT_TRUE(route->hasStranded());
  EXPECT_GT(sim::liveDsoundReferences(), 0) << "kept with what the worker reaches";
  EXPECT_FALSE(route->freeStranded());

  EXPECT_FALSE(openRoute(wasapiSetup()));
  EXPECT_EQ(outName, L"Speakers (Sim) (WASAPI shared)");
  EXPECT_FALSE(sim::wasapiRenderStream().open);
  EXPECT_FALSE(openRoute(dsoundSetup()));
  EXPECT_EQ(outName, L"Primary Sound Driver");

  sim::blockDsoundRenderLock(false);
  sim::advanceDsound(3 * 128);
  EXPECT_TRUE(eventually([this] { return route->freeStranded(); }));
  EXPECT_FALSE(route->hasStranded());
  EXPECT_EQ(sim::liveDsoundReferences(), 0);
  ASSERT_TRUE(openRoute(dsoundSetup()));
  EXPECT_TRUE(dsoundSounds());
}

}  // namespace
