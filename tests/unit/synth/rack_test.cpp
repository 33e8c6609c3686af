// The rack's slot lifecycle, mixing and clipping, timer and MIDI port.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/platform.h"
#include "synth/synth_rack.h"

namespace {

struct RecordingPort {
  bool accept = true;
  std::vector<std::vector<uint8_t>> sent;
  bool sendShort(uint8_t status, uint8_t data1, uint8_t data2) {
    sent.push_back({status, data1, data2});
    return accept;
  }
};

class Rack : public ::testing::Test {
 protected:
  void TearDown() override { sim::resetTimer(); }
  SynthRack rack;
};

TEST_F(Rack, CreateSynthSetsUpAnInactiveSlot) {
  EXPECT_EQ(rack.createSynth(0, 1, 16, false), 256);
  EXPECT_EQ(rack.channelOf(0), 0);
  EXPECT_EQ(rack.polyphonyOf(0), 16);
  EXPECT_FALSE(rack.isActive(0));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(rack.voiceEntry(0, i), static_cast<uint32_t>(i * 512));

  EXPECT_EQ(rack.createSynth(1, 0, 200, false), 256);
  EXPECT_EQ(rack.channelOf(1), -1);
  EXPECT_EQ(rack.polyphonyOf(1), 128);
  EXPECT_EQ(rack.createSynth(2, 17, -5, false), 256);
  EXPECT_EQ(rack.channelOf(2), -1);
  EXPECT_EQ(rack.polyphonyOf(2), 0);
  EXPECT_EQ(rack.createSynth(16, 1, 4, false), -1);
  EXPECT_EQ(rack.createSynth(-1, 1, 4, false), -1);
}

TEST_F(Rack, SlotLifecycle) {
  EXPECT_FALSE(rack.activate(0));  // empty
  EXPECT_FALSE(rack.activate(16));
  rack.createSynth(0, 1, 16, false);
  rack.setParameter(0, 5, 0.25f);
  EXPECT_EQ(rack.getParameter(0, 5), 0.25f);  // writable before activation
  EXPECT_TRUE(rack.activate(0));
  EXPECT_TRUE(rack.isActive(0));

  // Replacing an active slot's synth leaves a fresh, inactive slot.
  const Synth* before = rack.synthAt(0);
  rack.createSynth(0, 2, 8, false);
  EXPECT_FALSE(rack.isActive(0));
  EXPECT_NE(rack.synthAt(0), nullptr);
  EXPECT_EQ(rack.getParameter(0, 5), 0.0f);
  (void)before;

  rack.activate(0);
  rack.deactivate(0);
  EXPECT_FALSE(rack.isActive(0));
  EXPECT_NE(rack.synthAt(0), nullptr);

  rack.removeSynth(0);
  EXPECT_EQ(rack.synthAt(0), nullptr);
  EXPECT_EQ(rack.getParameter(0, 5), 0.0f);
  rack.setParameter(0, 5, 1.0f);  // empty slot: nothing
  EXPECT_EQ(rack.getParameter(3, 256), 0.0f);
}

TEST_F(Rack, DeactivateSilencesAndResetsTheVoiceTable) {
  rack.createSynth(0, 1, 4, false);
  rack.activate(0);
  const uint8_t notes[] = {0x90, 60, 100, 0x90, 62, 100};
  rack.processMidi(notes, 6);
  rack.deactivate(0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(rack.voiceEntry(0, i), static_cast<uint32_t>(i * 512));
  EXPECT_EQ(rack.synthAt(0)->voice(3).omega.get(), 7000.0f);
  EXPECT_EQ(rack.synthAt(0)->voice(2).amplitude.get(), 0.0f);
}

TEST_F(Rack, RenderMixesActiveSlotsInOrderAndClips) {
  std::vector<float> in = {3.0f, -5.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f, -1.0f, 0.25f,
                           0.0f, 0.0f};
  std::vector<float> out(8, 7.0f);
  rack.createSynth(0, 1, 0, false);  // no voices: passes input at parameter 1
  rack.setParameter(0, 1, 0.5f);
  rack.activate(0);
  rack.render(out.data(), in.data(), 1, 1, 8, 48000.0f);
  // 1.5 -> 1, -2.5 -> -1, NaN -> 0, exact values stay.
  EXPECT_EQ(out, (std::vector<float>{1.0f, -1.0f, 0.0f, 0.5f, -0.5f, 0.125f, 0.0f, 0.0f}));

  rack.createSynth(1, 1, 0, false);
  rack.setParameter(1, 1, 1.5f);
  rack.activate(1);
  rack.render(out.data(), in.data(), 1, 1, 8, 48000.0f);
  EXPECT_EQ(out[3], 1.0f);   // 0.5 + 1.5 clipped
  EXPECT_EQ(out[4], -1.0f);  // -0.5 - 1.5 clipped
  EXPECT_EQ(out[5], 0.5f);   // 0.125 + 0.375
}

TEST_F(Rack, NotANumberNeverReachesTheSpeakersAsFullScale) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> in = {0.5f, kInf, -kInf, 0.25f};
  std::vector<float> out(4, 7.0f);
  rack.createSynth(0, 1, 0, false);
  rack.setParameter(0, 1, 1.0f);
  rack.activate(0);
  RecordRing recording;
  ASSERT_TRUE(recording.allocate(2, 48000, 16));
  rack.setRecordTap(&recording);
  rack.render(out.data(), in.data(), 2, 2, 2, 48000.0f);
  EXPECT_EQ(out, (std::vector<float>{0.5f, 1.0f, -1.0f, 0.25f}));
  // The recording gets the block as the speakers do, clipped, its frames interleaved.
  std::vector<float> recorded(8, 7.0f);
  EXPECT_EQ(recording.take(recorded.data(), 4), 2);
  EXPECT_EQ(recorded, (std::vector<float>{0.5f, -1.0f, 1.0f, 0.25f, 7.0f, 7.0f, 7.0f, 7.0f}));
  rack.setRecordTap(nullptr);
  rack.render(out.data(), in.data(), 2, 2, 2, 48000.0f);
  EXPECT_EQ(recording.take(recorded.data(), 4), 0);

  // A corrupt sound: the input level is not a number.
  rack.setParameter(0, 1, kNaN);
  rack.render(out.data(), in.data(), 2, 2, 2, 48000.0f);
  EXPECT_EQ(out, std::vector<float>(4, 0.0f));

  // A pitch that is not a number makes the voices' sines NaN for a block.
  rack.createSynth(0, 1, 16, false);
  rack.setParameter(0, 0, kNaN);
  rack.activate(0);
  std::vector<float> voices(64, 7.0f);
  rack.render(voices.data(), nullptr, 1, 0, 64, 48000.0f);
  for (float sample : voices) EXPECT_EQ(sample, 0.0f);
}

TEST_F(Rack, RenderWithoutAUsableRateIsSilent) {
  rack.createSynth(0, 1, 0, false);
  rack.setParameter(0, 1, 1.0f);
  rack.activate(0);
  std::vector<float> in(4, 0.5f);
  for (float rate : {0.0f, 0.5f, -48000.0f, std::numeric_limits<float>::quiet_NaN()}) {
    std::vector<float> out(4, 9.0f);
    rack.render(out.data(), in.data(), 2, 2, 2, rate);
    EXPECT_EQ(out, std::vector<float>(4, 0.0f)) << "rate " << rate;
  }
  float untouched = 9.0f;
  rack.render(&untouched, in.data(), 1, 1, 0, 48000.0f);
  rack.render(&untouched, in.data(), 0, 1, 1, 48000.0f);
  EXPECT_EQ(untouched, 9.0f);
}

TEST_F(Rack, StartupToneSoundsInBothChannelsAfterActivation) {
  rack.createSynth(0, 1, 16, false);
  for (int p = 0; p < 17; ++p) rack.setParameter(0, p, 0.0f);
  rack.activate(0);
  std::vector<float> in(256, 0.0f);
  std::vector<float> out(256);
  float peak = 0.0f;
  for (int block = 0; block < 20; ++block) {
    rack.render(out.data(), in.data(), 2, 2, 128, 48000.0f);
    for (int j = 0; j < 128; ++j) {
      ASSERT_EQ(out[j], out[128 + j]);
      peak = std::max(peak, std::fabs(out[j]));
    }
  }
  EXPECT_NEAR(peak, 0.05f, 0.002f);
}

TEST_F(Rack, TimerResults) {
  RecordingPort port;
  EXPECT_EQ(rack.open(&port, 0), 0);
  EXPECT_EQ(rack.timerId(), 0u);
  EXPECT_TRUE(rack.hasMidiPort());

  sim::setTimerCaps(1, 1000);
  EXPECT_EQ(rack.open(&port, 1001), -1);
  EXPECT_TRUE(rack.hasMidiPort());
  EXPECT_EQ(sim::runningTimerCount(), 0);

  sim::failTimerCaps(true);
  EXPECT_EQ(rack.open(&port, 10), -1);
  sim::failTimerCaps(false);

  sim::failTimerSetEvent(true);
  EXPECT_EQ(rack.open(&port, 10), -1);
  sim::failTimerSetEvent(false);

  EXPECT_EQ(rack.open(&port, 10), 0);
  EXPECT_NE(rack.timerId(), 0u);
  EXPECT_EQ(sim::runningTimerCount(), 1);
  const auto call = sim::lastTimerSetEvent();
  EXPECT_EQ(call.delay, 10u);
  EXPECT_EQ(call.resolution, 0u);
  EXPECT_EQ(call.user, reinterpret_cast<DWORD_PTR>(&rack));
  EXPECT_EQ(call.event, static_cast<UINT>(TIME_PERIODIC));

  // Shutdown: no port, no timer, every slot emptied.
  rack.createSynth(3, 1, 4, false);
  rack.activate(3);
  EXPECT_EQ(rack.open(nullptr, 0), 0);
  EXPECT_EQ(sim::runningTimerCount(), 0);
  EXPECT_FALSE(rack.hasMidiPort());
  EXPECT_EQ(rack.synthAt(3), nullptr);
}

TEST_F(Rack, OpenEmptiesTheSlotsEvenWhenTheTimerFails) {
  rack.createSynth(0, 1, 4, false);
  sim::failTimerCaps(true);
  EXPECT_EQ(rack.open(nullptr, 10), -1);
  EXPECT_EQ(rack.synthAt(0), nullptr);
}

TEST_F(Rack, SendMidiReachesTheAttachedPort) {
  RecordingPort port;
  EXPECT_FALSE(rack.sendMidi(0x90, 60, 100));  // no port
  rack.open(&port, 0);
  EXPECT_TRUE(rack.sendMidi(0x90, 60, 100));
  port.accept = false;
  EXPECT_FALSE(rack.sendMidi(0x80, 60, 0));
  ASSERT_EQ(port.sent.size(), 2u);
  EXPECT_EQ(port.sent[1], (std::vector<uint8_t>{0x80, 60, 0}));
  rack.close();
  EXPECT_FALSE(rack.sendMidi(0x90, 60, 100));
  EXPECT_EQ(port.sent.size(), 2u);
}

TEST_F(Rack, MidiActivityIsTakenOnce) {
  EXPECT_FALSE(rack.takeMidiActivity());
  const uint8_t clock = 0xF8;
  rack.processMidi(&clock, 1);
  EXPECT_TRUE(rack.takeMidiActivity());
  EXPECT_FALSE(rack.takeMidiActivity());
  rack.processMidi(nullptr, -1);  // reset request: not activity
  EXPECT_FALSE(rack.takeMidiActivity());
  rack.processMidi(&clock, 0);
  EXPECT_TRUE(rack.takeMidiActivity());
}

}  // namespace
