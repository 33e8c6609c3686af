// The analysis that judges recordings must itself be exact: the end-to-end checks allow
// only a couple of hertz, so a biased estimator would pass broken audio or fail good audio.
#include "tone_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace audio_analysis;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000;

void addSine(std::vector<float>& x, double frequency, double amplitude, double phase = 0.3) {
  for (size_t i = 0; i < x.size(); ++i)
    x[i] += static_cast<float>(amplitude * std::sin(2 * kPi * frequency * i / kRate + phase));
}

}  // namespace

TEST(ToneAnalysis, StartupToneInOneSecondIsPlacedWithinATenthOfAHertz) {
  std::vector<float> x(48000);
  addSine(x, 7000 / (2 * kPi), 0.05);  // 1114.08 Hz
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0, 0.001f);
  for (float& v : x) v = std::round((v + noise(random)) * 32768) / 32768;  // 16-bit as recorded

  std::vector<Tone> tones = dominantTones(x.data(), x.size(), kRate, ToneSearch{});
  ASSERT_EQ(tones.size(), 1u);
  EXPECT_NEAR(tones[0].frequency, 1114.085, 0.1);
  EXPECT_NEAR(tones[0].amplitude, 0.05, 0.0005);
  Levels levels = measureLevels(x.data(), x.size());
  EXPECT_NEAR(levels.peak, 0.05, 0.005);
  EXPECT_NEAR(levels.rms, 0.05 / std::sqrt(2.0), 0.001);
}

TEST(ToneAnalysis, RandomFrequenciesBetweenBinsAreAccurate) {
  const unsigned seed = 20261207;
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> frequency(40, 15000), amplitude(0.001, 0.9);
  for (int trial = 0; trial < 20; ++trial) {
    double f = frequency(random), a = amplitude(random);
    std::vector<float> x(24000);  // half a second
    addSine(x, f, a, trial);
    std::vector<Tone> tones = dominantTones(x.data(), x.size(), kRate, ToneSearch{});
    ASSERT_EQ(tones.size(), 1u) << "seed " << seed << " trial " << trial << " f=" << f;
    EXPECT_NEAR(tones[0].frequency, f, 0.1) << "seed " << seed << " trial " << trial;
    EXPECT_NEAR(tones[0].amplitude, a, a * 0.01) << "seed " << seed << " trial " << trial;
  }
}

TEST(ToneAnalysis, SeveralTonesComeLoudestFirstWithoutSideLobePeaks) {
  std::vector<float> x(48000);
  addSine(x, 440, 0.1);
  addSine(x, 1114.085, 0.05);
  addSine(x, 2228.17, 0.02);
  ToneSearch search;
  search.maxTones = 6;
  search.minAmplitude = 1e-5;
  std::vector<Tone> tones = dominantTones(x.data(), x.size(), kRate, search);
  ASSERT_EQ(tones.size(), 3u);
  EXPECT_NEAR(tones[0].frequency, 440, 0.05);
  EXPECT_NEAR(tones[1].frequency, 1114.085, 0.05);
  EXPECT_NEAR(tones[2].frequency, 2228.17, 0.05);
  EXPECT_NEAR(tones[2].amplitude, 0.02, 0.0002);
}

TEST(ToneAnalysis, SilenceAndAbsentFrequenciesGiveNothing) {
  std::vector<float> x(48000);
  EXPECT_TRUE(dominantTones(x.data(), x.size(), kRate, ToneSearch{}).empty());
  addSine(x, 1114.085, 0.05);
  EXPECT_LT(amplitudeAt(x.data(), x.size(), kRate, 440), 1e-5);
  EXPECT_NEAR(amplitudeAt(x.data(), x.size(), kRate, 1114.085), 0.05, 1e-4);
}

TEST(ToneAnalysis, ToneBelowTheFloorIsNotReported) {
  std::vector<float> x(48000);
  addSine(x, 1000, 0.0002);
  EXPECT_TRUE(dominantTones(x.data(), x.size(), kRate, ToneSearch{}).empty());
}

TEST(ToneAnalysis, SilentGapsAreToldApartFromBreaksOfTheSignal) {
  std::vector<float> x(48000);
  addSine(x, 1114.085, 0.05);
  // 10 ms of the sound server's silence, and a stale block elsewhere.
  for (size_t i = 20000; i < 20480; ++i) x[i] = 0.0f;
  Discontinuities d = classifyGlitches(x.data(), x.size(), kRate, 1114.085);
  EXPECT_EQ(d.gaps, 1);
  EXPECT_EQ(d.breaks, 0);
  EXPECT_GE(countGlitches(x.data(), x.size(), kRate, 1114.085), 2);
  for (size_t i = 0; i < 128; ++i) x[40000 + i] = x[40000 - 896 + i];
  d = classifyGlitches(x.data(), x.size(), kRate, 1114.085);
  EXPECT_EQ(d.gaps, 1);
  EXPECT_GE(d.breaks, 1);
  // A gap cut by the start of a stretch counts once and breaks nothing; a sample that
  // is 0 on its own is no gap.
  d = classifyGlitches(x.data() + 20100, 19000, kRate, 1114.085);
  EXPECT_EQ(d.gaps, 1);
  EXPECT_EQ(d.breaks, 0);
  EXPECT_EQ(classifyGlitches(x.data() + 20100, 300, kRate, 1114.085).gaps, 0);
  std::vector<float> zeroCrossing(4800);
  addSine(zeroCrossing, 1000, 0.5);
  zeroCrossing[48] = 0.0f;
  EXPECT_EQ(classifyGlitches(zeroCrossing.data(), zeroCrossing.size(), kRate, 1000).gaps, 0);
}

TEST(ToneAnalysis, GlitchesAreCountedPerBrokenBlockBoundary) {
  std::vector<float> x(48000);
  addSine(x, 1114.085, 0.05);
  EXPECT_EQ(countGlitches(x.data(), x.size(), kRate, 1114.085), 0);
  // A 128-frame block left over from one ring (7 blocks) earlier, at two places, as a late
  // audio thread leaves it: each block breaks the sine at its start, its end, or both.
  for (size_t at : {9600u, 30000u})
    for (size_t i = 0; i < 128; ++i) x[at + i] = x[at - 896 + i];
  int glitches = countGlitches(x.data(), x.size(), kRate, 1114.085);
  EXPECT_GE(glitches, 2);
  EXPECT_LE(glitches, 4);
  // A note's glide in and out is no glitch.
  std::vector<float> glide(48000);
  double amplitude = 0;
  for (size_t i = 0; i < glide.size(); ++i) {
    double target = (i > 10000 && i < 30000) ? 0.1 : 1e-20;
    glide[i] = static_cast<float>(amplitude * std::sin(2 * kPi * 440 * i / kRate));
    amplitude += (target - amplitude) * 0.01;
  }
  EXPECT_EQ(countGlitches(glide.data(), glide.size(), kRate, 440), 0);
}
