// The synth's voices, glide, start-up tone and channel rules.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "synth/synth.h"

namespace {

constexpr float kRate = 48000.0f;
const float kSecondsPerSample = 1.0f / kRate;

std::vector<float> renderMono(Synth& synth, int frames) {
  std::vector<float> out(frames, 0.0f);
  synth.render(out.data(), nullptr, 1, 0, frames, kRate, kSecondsPerSample);
  return out;
}

TEST(Synth, AllocateVoicesArmsTheStartupToneOnTheLastVoice) {
  Synth synth;
  ASSERT_TRUE(synth.allocateVoices(16));
  ASSERT_EQ(synth.voiceCount(), 16);
  for (int v = 0; v < 15; ++v) {
    EXPECT_EQ(synth.voice(v).omega.get(), 0.0f);
    EXPECT_EQ(synth.voice(v).target.get(), 1e-20f);
  }
  EXPECT_EQ(synth.voice(15).omega.get(), 7000.0f);
  EXPECT_EQ(synth.voice(15).target.get(), 0.05f);
  for (int c = 0; c < Synth::kControllerCount; ++c) {
    const float expected = c == 7 || c == 11 ? 1.0f : c == 10 ? 0.5f : 0.0f;
    EXPECT_EQ(synth.controller(c), expected) << "controller " << c;
  }
}

TEST(Synth, NoVoicesForZeroOrNegativeCount) {
  Synth synth;
  ASSERT_TRUE(synth.allocateVoices(4));
  EXPECT_TRUE(synth.allocateVoices(0));
  EXPECT_EQ(synth.voiceCount(), 0);
  EXPECT_TRUE(synth.allocateVoices(-3));
  EXPECT_EQ(synth.voiceCount(), 0);
}

TEST(Synth, FirstSamplesOfTheStartupTone) {
  Synth synth;
  synth.allocateVoices(16);
  synth.setParameter(0, 0.0f);
  synth.setParameter(1, 0.0f);
  const auto out = renderMono(synth, 4);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 7.2658e-5, 5e-9);
  EXPECT_NEAR(out[2], 2.8611e-4, 5e-8);
  EXPECT_NEAR(out[3], 6.2918e-4, 5e-8);
  // The tone's increment per frame: 7000 / 48000 radians.
  EXPECT_NEAR(synth.voice(15).phase.get(), 4 * 0.14583333f, 1e-6);
  EXPECT_EQ(synth.voice(0).phase.get(), 0.0f);
}

TEST(Synth, StartVoiceSetsPitchAndGlidesToTheVelocityLevel) {
  Synth synth;
  synth.allocateVoices(16);
  synth.startVoice(3, 69, 127);
  EXPECT_NEAR(synth.voice(3).omega.get(), 2764.37f, 0.01f);
  EXPECT_NEAR(synth.voice(3).omega.get() / (2 * M_PI), 439.96, 0.01);
  EXPECT_EQ(synth.voice(3).target.get(), 0.127f);
  renderMono(synth, 460);
  EXPECT_NEAR(synth.voice(3).amplitude.get(), 0.127f, 0.00127f);
  // A restart keeps phase and amplitude: the voice glides on from where it is.
  const float phase = synth.voice(3).phase.get();
  const float amplitude = synth.voice(3).amplitude.get();
  synth.startVoice(3, 60, 10);
  EXPECT_EQ(synth.voice(3).phase.get(), phase);
  EXPECT_EQ(synth.voice(3).amplitude.get(), amplitude);
  EXPECT_EQ(synth.voice(3).target.get(), static_cast<float>(10 * 0.001));
}

TEST(Synth, ReleaseFallsByTheGlideFactorOnceTheNoteHasSounded) {
  Synth synth;
  synth.allocateVoices(2);
  synth.startVoice(0, 69, 100);
  renderMono(synth, 2000);
  synth.releaseVoice(0);
  EXPECT_EQ(synth.voice(0).target.get(), 1e-20f);
  float previous = synth.voice(0).amplitude.get();
  for (int block = 0; block < 50; ++block) {
    renderMono(synth, 1);
    const float now = synth.voice(0).amplitude.get();
    EXPECT_NEAR(now, 0.99f * previous, 1e-6f * previous);
    previous = now;
  }
  renderMono(synth, 48000 * 2);
  EXPECT_GT(synth.voice(0).amplitude.get(), 0.0f);

  // A note released before any block sounded it (a drum pad's hit between two blocks)
  // sounds for one block, then falls as any other.
  synth.startVoice(1, 81, 100);
  synth.releaseVoice(1);
  EXPECT_FALSE(synth.voice(1).held(Synth::kReleasedTarget));
  renderMono(synth, 480);
  const float sounded = synth.voice(1).amplitude.get();
  EXPECT_GT(sounded, 0.09f);
  renderMono(synth, 480);
  EXPECT_LT(synth.voice(1).amplitude.get(), 0.01f * sounded);
  // That was the start-up tone's voice: a reset arms the tone again, and it sounds.
  synth.reset();
  renderMono(synth, 4800);
  EXPECT_NEAR(synth.voice(1).amplitude.get(), Synth::kStartupTarget, 0.001f);
}

// Frequency of the strongest zero-crossing rate: counts rising crossings.
double risingCrossingsPerSecond(const std::vector<float>& samples) {
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings * kRate / samples.size();
}

TEST(Synth, PitchParameterOneRaisesEveryVoiceAnOctave) {
  Synth plain;
  Synth octave;
  plain.allocateVoices(16);
  octave.allocateVoices(16);
  octave.setParameter(0, 1.0f);
  const auto low = renderMono(plain, 48000);
  const auto high = renderMono(octave, 48000);
  EXPECT_NEAR(risingCrossingsPerSecond(low), 7000 / (2 * M_PI), 2.0);
  EXPECT_NEAR(risingCrossingsPerSecond(high), 2 * 7000 / (2 * M_PI), 2.0);
}

TEST(Synth, ChannelRules) {
  Synth synth;
  synth.allocateVoices(16);
  synth.setParameter(1, 0.5f);
  const int frames = 64;
  std::vector<float> in(3 * frames);
  for (size_t i = 0; i < in.size(); ++i) in[i] = 0.001f * static_cast<float>(i);

  // Stereo: channel 1 is a copy of channel 0, then each channel adds its own input.
  Synth reference;
  reference.allocateVoices(16);
  std::vector<float> voicesOnly(frames, 0.0f);
  reference.render(voicesOnly.data(), nullptr, 1, 0, frames, kRate, kSecondsPerSample);

  std::vector<float> stereo(2 * frames, 0.0f);
  synth.render(stereo.data(), in.data(), 2, 3, frames, kRate, kSecondsPerSample);
  for (int j = 0; j < frames; ++j) {
    EXPECT_EQ(stereo[j], voicesOnly[j] + 0.5f * in[j]);
    EXPECT_EQ(stereo[frames + j], voicesOnly[j] + 0.5f * in[frames + j]);
  }

  // No outputs: nothing written, the frame counter stays.
  const int tick = synth.controlTick();
  float untouched = 42.0f;
  synth.render(&untouched, in.data(), 0, 2, 1, kRate, kSecondsPerSample);
  EXPECT_EQ(untouched, 42.0f);
  EXPECT_EQ(synth.controlTick(), tick);

  // No inputs: no input added; three outputs: channels 1 and 2 carry input only.
  Synth three;
  three.allocateVoices(16);
  three.setParameter(1, 1.0f);
  std::vector<float> out3(3 * frames, 0.0f);
  three.render(out3.data(), in.data(), 3, 3, frames, kRate, kSecondsPerSample);
  for (int j = 0; j < frames; ++j) {
    EXPECT_EQ(out3[frames + j], in[frames + j]);
    EXPECT_EQ(out3[2 * frames + j], in[2 * frames + j]);
  }
  std::vector<float> noInput(frames, 0.0f);
  Synth four;
  four.allocateVoices(16);
  four.setParameter(1, 1.0f);
  four.render(noInput.data(), in.data(), 1, 0, frames, kRate, kSecondsPerSample);
  EXPECT_EQ(noInput, voicesOnly);
}

TEST(Synth, WithoutVoicesOnlyInputPassesAndStereoStillCopies) {
  Synth synth;
  synth.allocateVoices(0);
  synth.setParameter(1, 1.0f);
  std::vector<float> in = {0.1f, 0.2f, 0.3f, 0.4f};
  std::vector<float> out = {0.5f, 0.5f, 0.9f, 0.9f};  // channel 1 gets channel 0 first
  synth.render(out.data(), in.data(), 2, 2, 2, kRate, kSecondsPerSample);
  EXPECT_EQ(out, (std::vector<float>{0.5f + 0.1f, 0.5f + 0.2f, 0.5f + 0.3f, 0.5f + 0.4f}));
}

TEST(Synth, OutOfRangeIndicesChangeNothing) {
  Synth synth;
  synth.allocateVoices(4);
  synth.setController(122, 0.3f);
  synth.setController(-1, 0.3f);
  synth.setParameter(256, 0.3f);
  synth.setVoicePressure(4, 0.7f);
  synth.startVoice(4, 60, 100);
  synth.releaseVoice(-1);
  EXPECT_EQ(synth.getParameter(-1), 0.0f);
  EXPECT_EQ(synth.getParameter(256), 0.0f);
  for (int v = 0; v < 4; ++v) EXPECT_EQ(synth.voice(v).pressure.get(), 0.0f);
  EXPECT_EQ(synth.voice(3).omega.get(), 7000.0f);
}

TEST(Synth, ControlTickCyclesThroughEight) {
  Synth synth;
  synth.allocateVoices(1);
  renderMono(synth, 5);
  EXPECT_EQ(synth.controlTick(), 5);
  renderMono(synth, 5);
  EXPECT_EQ(synth.controlTick(), 2);
  renderMono(synth, 128);
  EXPECT_EQ(synth.controlTick(), 2);
}

TEST(Synth, IncrementAboveTwoPiIsFoldedOnlyOnceWithinABlock) {
  Synth synth;
  synth.allocateVoices(1);
  synth.startVoice(0, 127, 100);  // 12.5 kHz, rendered at a 100 Hz sample rate
  std::vector<float> out(3, 0.0f);
  const float sps = 1.0f / 100.0f;
  const float increment = sps * synth.voice(0).omega.get();
  ASSERT_GT(increment, 6.283185f);
  synth.render(out.data(), nullptr, 1, 0, 3, 100.0f, sps);
  // Within the block the phase sheds one cycle per frame and keeps the rest.
  float phase = 0.0f, amplitude = 0.0f;
  for (int j = 0; j < 3; ++j) {
    EXPECT_NEAR(out[j], amplitude * std::sin(static_cast<double>(phase)), 1e-9) << j;
    phase += increment;
    if (phase > 6.283185f) phase -= 6.283185f;
    amplitude = 0.99f * amplitude + 0.01f * synth.voice(0).target.get();
  }
  ASSERT_GT(phase, 6.283185f);
  // What the voice keeps for the next block is the same angle within one cycle.
  EXPECT_NEAR(synth.voice(0).phase.get(), std::fmod(phase, 6.283185f), 1e-3);
}

}  // namespace
