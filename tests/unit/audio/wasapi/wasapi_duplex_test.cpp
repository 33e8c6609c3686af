// The WASAPI route against the simulated endpoints: which format and period it opens
// with, what it plays per event, how it counts lost input, and what it does when the
// capture side or the whole device is not there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/audio_result.h"
#include "audio/wasapi/wasapi_duplex.h"
#include "audio/wasapi/wasapi_endpoints.h"
#include "platform/platform.h"
#include "synth/synth_rack.h"
#include "unit/audio/onset_delays.h"

namespace {

using sim::WasapiFormat;

class WasapiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::resetKernel();
    sim::resetWasapi();
    handlesBefore_ = sim::liveHandleCount();
    setUpSynth(rack);
  }

  void TearDown() override {
    engine.release();
    EXPECT_EQ(sim::liveWasapiReferences(), 0) << "WASAPI objects left behind";
    EXPECT_EQ(sim::liveCoTaskMemBlocks(), 0) << "CoTaskMemAlloc blocks not freed";
    EXPECT_EQ(sim::liveHandleCount(), handlesBefore_) << "handles left open";
    EXPECT_EQ(sim::wasapiMmcssRegistrations(), 0);
    sim::resetWasapi();
    sim::resetKernel();
  }

  // Slot 0 as the window sets it up: its last voice plays the start-up tone.
  static void setUpSynth(SynthRack& r) {
    r.createSynth(0, 1, 16, false);
    for (int p = 0; p <= 16; ++p) r.setParameter(0, p, 0.0f);
    r.activate(0);
  }

  int32_t openWith(WasapiMode mode) {
    WasapiOpenOptions options;
    options.mode = mode;
    return engine.open(&rack, options);
  }

  void tick(int periods) {
    for (int i = 0; i < periods; ++i) {
      sim::tickWasapi();
      ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
    }
  }

  SynthRack rack;
  WasapiDuplex engine;

 private:
  int handlesBefore_ = 0;
};

TEST_F(WasapiTest, ExclusiveTriesFloatThenIntegersAt48000ThenTheDeviceRateElseShared) {
  sim::setWasapiMixFormat(eRender, 44100, 2);
  sim::setWasapiExclusiveFormats({{16, 16, false, 44100}});
  ASSERT_EQ(openWith(WasapiMode::Exclusive), AudioOk);
  const std::vector<WasapiFormat> asked = {{32, 32, true, 48000},  {32, 24, false, 48000},
                                           {24, 24, false, 48000}, {16, 16, false, 48000},
                                           {32, 32, true, 44100},  {32, 24, false, 44100},
                                           {24, 24, false, 44100}, {16, 16, false, 44100}};
  EXPECT_EQ(sim::wasapiExclusiveQueries(), asked);
  EXPECT_EQ(engine.mode(), WasapiMode::Exclusive);
  EXPECT_FALSE(engine.sharedFallback());
  EXPECT_EQ(engine.sampleType(), ASIOSTInt16LSB);
  EXPECT_EQ(engine.sampleRate(), 44100);
  EXPECT_EQ(sim::wasapiRenderStream().mode, AUDCLNT_SHAREMODE_EXCLUSIVE);
  EXPECT_EQ(engine.periodFrames(), 132) << "the device's minimum period, 3 ms";
  engine.release();

  struct Refusal {
    const char* what;
    std::vector<WasapiFormat> formats;
    HRESULT refusal;
  };
  const Refusal refusals[] = {
      {"no format in common", {}, AUDCLNT_E_UNSUPPORTED_FORMAT},
      {"in use", {WasapiFormat{}}, AUDCLNT_E_DEVICE_IN_USE},
      {"not allowed", {WasapiFormat{}}, AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED}};
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    sim::setWasapiExclusiveFormats(r.formats);
    sim::setWasapiExclusiveRefusal(r.refusal == AUDCLNT_E_UNSUPPORTED_FORMAT ? S_OK : r.refusal);
    ASSERT_EQ(openWith(WasapiMode::Exclusive), AudioOk);
    EXPECT_EQ(engine.mode(), WasapiMode::Shared);
    EXPECT_TRUE(engine.sharedFallback());
    EXPECT_EQ(engine.exclusiveRefusal(), r.refusal);
    EXPECT_EQ(sim::wasapiRenderStream().mode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(engine.sampleType(), ASIOSTFloat32LSB);
    EXPECT_EQ(engine.sampleRate(), 44100) << "the engine's mix rate";
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    tick(3);
    EXPECT_FALSE(engine.lost());
    engine.release();
  }
}

TEST_F(WasapiTest, MisalignedExclusiveBufferIsOpenedAgainAtTheAlignedPeriod) {
  sim::setWasapiAlignment(128);  // the minimum period, 3 ms, is 144 frames
  ASSERT_EQ(openWith(WasapiMode::Exclusive), AudioOk);
  EXPECT_EQ(engine.mode(), WasapiMode::Exclusive);
  EXPECT_EQ(sim::wasapiRenderInitializeCount(), 2);
  EXPECT_EQ(engine.bufferFrames(), 256u);
  EXPECT_EQ(sim::wasapiRenderStream().bufferFrames, 256u);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  tick(4);
  EXPECT_EQ(sim::wasapiUnderruns(), 0);
  engine.release();

  // The capture stream's buffer (four of its 10 ms periods, 1920 frames) is misaligned
  // where the render stream's is not: it is opened again at the aligned size too.
  sim::setWasapiAlignment(256);
  ASSERT_EQ(openWith(WasapiMode::Exclusive), AudioOk);
  EXPECT_EQ(engine.bufferFrames(), 256u);
  EXPECT_EQ(engine.captureRefusal(), S_OK);
  EXPECT_FALSE(engine.outputOnly());
  EXPECT_EQ(sim::wasapiCaptureStream().bufferFrames, 2048u);
}

TEST_F(WasapiTest, EachEventRendersOnePeriodOfTheRackConvertedToTheDeviceFormat) {
  struct Case {
    WasapiMode mode;
    WasapiFormat format;
    int32_t period;
  };
  const Case cases[] = {{WasapiMode::Shared, {32, 32, true, 48000}, 128},
                        {WasapiMode::Exclusive, {24, 24, false, 48000}, 144}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format.bits);
    sim::resetWasapi();
    sim::setWasapiExclusiveFormats({c.format});
    SynthRack played;
    setUpSynth(played);
    SynthRack reference;
    setUpSynth(reference);
    WasapiOpenOptions options;
    options.mode = c.mode;
    ASSERT_EQ(engine.open(&played, options), AudioOk);
    ASSERT_EQ(engine.periodFrames(), c.period) << "the smallest period the engine allows";
    EXPECT_EQ(engine.sharedMinimumPeriod(), c.mode == WasapiMode::Shared);
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    EXPECT_EQ(sim::threadPriorityOf(engine.thread()), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(sim::wasapiMmcssTask(), L"Pro Audio");
    const int padding = sim::wasapiPaddingCalls();
    constexpr int kPeriods = 12;
    tick(kPeriods);
    if (c.mode == WasapiMode::Shared) {
      EXPECT_EQ(sim::wasapiPaddingCalls() - padding, kPeriods) << "one look per event";
    }
    engine.release();

    // What played: the silence written ahead at start, then the rack's periods.
    const std::vector<uint8_t> bytes = sim::wasapiPlayed();
    const int bytesPerSample = c.format.bits / 8;
    const size_t ahead = c.mode == WasapiMode::Shared ? 2 * c.period : c.period;
    ASSERT_EQ(bytes.size(), static_cast<size_t>(kPeriods) * c.period * 2 * bytesPerSample);
    for (size_t i = 0; i < ahead * 2 * bytesPerSample; ++i) ASSERT_EQ(bytes[i], 0) << i;
    std::vector<float> in(2 * c.period, 0.0f), out(2 * c.period);
    bool sounds = false;
    for (size_t frame = ahead; frame + c.period <= bytes.size() / (2 * bytesPerSample);
         frame += c.period) {
      reference.render(out.data(), in.data(), 2, 2, c.period, 48000.0f);
      for (int i = 0; i < c.period; ++i) {
        for (int ch = 0; ch < 2; ++ch) {
          const uint8_t* s = bytes.data() + ((frame + i) * 2 + ch) * bytesPerSample;
          const float x = out[ch * c.period + i];
          sounds = sounds || x != 0.0f;
          if (c.format.isFloat) {
            float v = 0.0f;
            std::memcpy(&v, s, 4);
            ASSERT_EQ(v, static_cast<float>(static_cast<double>(0.999f) * static_cast<double>(x)));
          } else {
            // 24-bit: truncated at 0.999 of 2^23.
            const int32_t v = s[0] | (s[1] << 8) | (static_cast<int8_t>(s[2]) * 65536);
            ASSERT_EQ(v, static_cast<int32_t>(8380218.5 * static_cast<double>(x)))
                << "frame " << frame + i;
          }
        }
      }
    }
    EXPECT_TRUE(sounds);
  }
}

float rampSource(uint64_t n) {
  return static_cast<float>(n % 1000) / 1000.0f;
}

TEST_F(WasapiTest, DiscontinuityAndLateCaptureCountOneDropoutEach) {
  sim::setWasapiCaptureSource(rampSource);
  ASSERT_EQ(openWith(WasapiMode::Shared), AudioOk);
  ASSERT_FALSE(engine.outputOnly());
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  sim::markWasapiDiscontinuity();  // the first packet: nothing before it was lost
  tick(20);
  EXPECT_EQ(engine.dropouts(), 0);

  sim::markWasapiDiscontinuity();
  tick(2);
  EXPECT_EQ(engine.dropouts(), 1);

  // Late by more than the slack: the input runs dry once, then waits for a longer slack,
  // which the next capture just as late fits in.
  sim::holdWasapiCapture(true);
  tick(8);
  sim::holdWasapiCapture(false);
  tick(20);
  EXPECT_EQ(engine.dropouts(), 2);
  EXPECT_FALSE(engine.lost());
  sim::holdWasapiCapture(true);
  tick(8);
  sim::holdWasapiCapture(false);
  tick(20);
  EXPECT_EQ(engine.dropouts(), 2);
}

TEST_F(WasapiTest, DeviceInvalidatedOrSilentIsLostAndTheWorkerEnds) {
  for (bool invalidated : {true, false}) {
    SCOPED_TRACE(invalidated ? "invalidated" : "events stop");
    sim::resetWasapi();
    ASSERT_EQ(openWith(WasapiMode::Shared), AudioOk);
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    tick(4);
    if (invalidated) {
      sim::invalidateWasapiDevice();
      sim::tickWasapi();
    } else {
      sim::silenceWasapiEvents(true);
    }
    EXPECT_EQ(WaitForSingleObject(engine.thread(), 3000), WAIT_OBJECT_0) << "the worker ended";
    EXPECT_TRUE(engine.lost());
    const int padding = sim::wasapiPaddingCalls();
    for (int i = 0; i < 5; ++i) sim::tickWasapi();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sim::wasapiPaddingCalls(), padding) << "nothing asked of the device any more";
    if (invalidated) {
      engine.release();
      EXPECT_EQ(openWith(WasapiMode::Shared), AudioDeviceInvalidated);
    }
    engine.release();
  }
}

TEST_F(WasapiTest, NoCaptureEndpointOrARefusingOneLeavesTheRouteOutputOnly) {
  for (bool present : {false, true}) {
    SCOPED_TRACE(present ? "refuses the format" : "no capture endpoint");
    sim::resetWasapi();
    sim::setWasapiCapturePresent(present);
    sim::setWasapiCaptureRefusesFormat(present);
    ASSERT_EQ(openWith(WasapiMode::Shared), AudioOk);
    EXPECT_TRUE(engine.outputOnly());
    EXPECT_EQ(engine.captureRefusal(), present ? AUDCLNT_E_UNSUPPORTED_FORMAT : E_NOTFOUND);
    ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
    tick(6);
    EXPECT_EQ(sim::wasapiUnderruns(), 0);
    EXPECT_EQ(engine.dropouts(), 0);
    engine.release();
  }
}

TEST_F(WasapiTest, EndpointsAreListedByNameAndTheWatchRaisesItsFlags) {
  sim::addWasapiEndpoint(eRender, L"{usb}", L"USB Audio (\u00e9)");
  std::vector<WasapiEndpoint> endpoints;
  ASSERT_EQ(listWasapiEndpoints(eRender, endpoints), AudioOk);
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0].name, L"Speakers (Sim)");
  EXPECT_EQ(endpoints[1].id, L"{usb}");
  EXPECT_EQ(endpoints[1].name, L"USB Audio (\u00e9)");
  EXPECT_EQ(defaultWasapiEndpointId(eRender), L"{render}");

  WasapiOpenOptions options;
  options.renderId = L"{usb}";
  ASSERT_EQ(engine.open(&rack, options), AudioOk);
  options.renderId = L"{gone}";
  EXPECT_EQ(engine.open(&rack, options), AudioNoEndpoint);

  WasapiEndpointWatch watch;
  ASSERT_EQ(watch.open(), AudioOk);
  EXPECT_FALSE(watch.takeDefaultChanged());
  sim::notifyWasapiDefaultChanged(eRender);
  sim::notifyWasapiStateChanged(L"{usb}", DEVICE_STATE_UNPLUGGED);
  EXPECT_TRUE(watch.takeDefaultChanged());
  EXPECT_FALSE(watch.takeDefaultChanged()) << "taken";
  EXPECT_TRUE(watch.takeDevicesChanged());
  watch.close();
  sim::notifyWasapiDefaultChanged(eRender);
  EXPECT_FALSE(watch.takeDefaultChanged()) << "no callback after close";
}

// Steady MIDI timing on the stream's clock: the worker wakes a varying time after each
// period (here 0.5 to 1.2 ms, once between two notes at once), yet every note sounds the
// same time after it arrived, as each block is timed by when the stream's position says
// it plays, and neither one early wake-up nor a stretch of late clock readings (which
// move the line the stream is timed by for a while) moves the notes after them.
TEST_F(WasapiTest, SteadyMidiSoundsAFixedTimeAfterItArrivesThoughTheWorkerWakesLate) {
  rack.setMidiTiming(MidiTiming::kSteady);
  sim::setManualPerformanceCounter(true);
  ASSERT_EQ(openWith(WasapiMode::Shared), AudioOk);
  ASSERT_EQ(engine.periodFrames(), 128);
  ASSERT_EQ(engine.start(DuplexOutput::Play), AudioOk);
  LARGE_INTEGER origin;
  QueryPerformanceCounter(&origin);
  int64_t frames = 0;  // the device's frames played, on its own clock
  int64_t at = 0;      // the counter, from origin
  const auto moveTo = [&](int64_t ticks) {
    sim::advancePerformanceCounter(ticks - at);
    at = ticks;
  };
  const auto ticksOf = [](double frame) {
    return static_cast<int64_t>(frame * sim::kPerformanceFrequency / 48000.0);
  };
  uint32_t seed = 7;
  bool early = false;
  const auto period = [&] {
    frames += 128;
    moveTo(ticksOf(static_cast<double>(frames)));
    sim::holdThreadWakeUps(engine.thread(), true);
    sim::tickWasapi();
    seed = seed * 1103515245u + 12345u;
    const int64_t tenths = early ? 0 : 5 + (seed >> 16) % 8;
    moveTo(at + tenths * sim::kPerformanceFrequency / 10000);
    sim::holdThreadWakeUps(engine.thread(), false);
    ASSERT_TRUE(sim::waitForThreadIdle(engine.thread(), 10000));
  };
  const auto send = [&](double fraction, uint8_t status) {
    const double frame = static_cast<double>(frames) + fraction * 128.0;
    moveTo(std::max(at, ticksOf(frame)));
    const uint8_t message[3] = {status, 69, 100};
    rack.processMidi(message, 3);
    return static_cast<double>(at) * 48000.0 / sim::kPerformanceFrequency;
  };
  for (int i = 0; i < 400; ++i) period();  // past the start-up tone
  std::vector<double> arrivals;
  for (const double fraction : {0.55, 0.7, 0.95, 0.62, 0.83, 0.51}) {
    arrivals.push_back(send(fraction, 0x90));
    for (int i = 0; i < 4; ++i) period();
    send(0.9, 0x80);
    for (int i = 0; i < 40; ++i) {
      early = arrivals.size() == 3 && i == 20;
      if (arrivals.size() == 4) sim::lagWasapiClock(i >= 10 && i < 18 ? ticksOf(192) : 0);
      period();
    }
  }
  engine.release();
  sim::setManualPerformanceCounter(false);

  // Each onset: the first sample heard after 5 ms of silence (32-bit float, stereo).
  const std::vector<uint8_t> bytes = sim::wasapiPlayed();
  const auto heard = [&](size_t frame) {
    float left = 0.0f;
    std::memcpy(&left, bytes.data() + frame * 8, 4);
    return std::fabs(left) > 2e-6f;  // a released note's tail may stay just above 0
  };
  const std::vector<double> delays = onsetDelays(bytes.size() / 8, heard, arrivals);
  ASSERT_GE(delays.size(), arrivals.size() - 1);
  const auto [low, high] = std::minmax_element(delays.begin(), delays.end());
  EXPECT_LE(*high - *low, 1.5) << "first delay " << delays[0] << " frames";
  EXPECT_GT(*low, 0.0);
}

}  // namespace
