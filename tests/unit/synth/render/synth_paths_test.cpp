// One synth on each vector path against the reference loop: every shape of bank
// (partial voice groups, more voices than one stack chunk) and block (tails
// shorter than a tile, blocks shorter than a chunk), and the synth's own figures.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "render_path_params.h"
#include "synth/synth.h"

namespace {

constexpr float kSampleRate = 48000.0f;
constexpr float kSecondsPerSample = 1.0f / kSampleRate;

class SynthPathsTest : public VectorPathTest {};

// Renders `blocks` blocks of `frames` into a fresh buffer per block, on `path`.
std::vector<float> renderBlocks(Synth& synth, RenderPath path, int32_t frames, int blocks) {
  EXPECT_TRUE(setRenderPath(path));
  std::vector<float> all;
  std::vector<float> in(static_cast<size_t>(frames), 0.25f);
  for (int b = 0; b < blocks; ++b) {
    std::vector<float> out(static_cast<size_t>(frames), 0.0f);
    synth.render(out.data(), in.data(), 1, 1, frames, kSampleRate, kSecondsPerSample);
    all.insert(all.end(), out.begin(), out.end());
  }
  return all;
}

void prepare(Synth& synth, int32_t voices, uint32_t seed) {
  ASSERT_TRUE(synth.allocateVoices(voices));
  synth.setParameter(0, 0.37f);
  synth.setParameter(1, 0.5f);
  std::mt19937 random(seed);
  for (int32_t v = 0; v < voices; v += 1 + static_cast<int32_t>(random() % 3)) {
    synth.startVoice(v, static_cast<int32_t>(random() % 128),
                     1 + static_cast<int32_t>(random() % 127));
  }
  if (voices > 2) synth.releaseVoice(1);
}

TEST_P(SynthPathsTest, EveryBankAndBlockShapeMatchesTheReference) {
  const int32_t voiceCounts[] = {0, 1, 5, 16, 17, 33, 64, 65, 128, 200};
  const int32_t frameCounts[] = {1, 2, 3, 7, 8, 9, 31, 32, 33, 64, 100, 128, 129, 300};
  int64_t identical = 0, compared = 0;
  for (int32_t voices : voiceCounts) {
    for (int32_t frames : frameCounts) {
      SCOPED_TRACE(::testing::Message() << voices << " voices, " << frames << " frames");
      const uint32_t seed = static_cast<uint32_t>(voices * 1000 + frames);
      Synth reference, vector;
      prepare(reference, voices, seed);
      prepare(vector, voices, seed);
      const std::vector<float> expected =
          renderBlocks(reference, RenderPath::kReference, frames, 3);
      const std::vector<float> actual = renderBlocks(vector, GetParam(), frames, 3);
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_NEAR(actual[i], expected[i], 2.4e-7) << "sample " << i;
        identical += std::memcmp(&actual[i], &expected[i], sizeof(float)) == 0 ? 1 : 0;
      }
      compared += static_cast<int64_t>(expected.size());
      for (int32_t v = 0; v < voices; ++v) {
        ASSERT_EQ(vector.voice(v).phase.get(), reference.voice(v).phase.get()) << "voice " << v;
        ASSERT_EQ(vector.voice(v).amplitude.get(), reference.voice(v).amplitude.get())
            << "voice " << v;
      }
    }
  }
  EXPECT_GE(static_cast<double>(identical), 0.99999 * static_cast<double>(compared));
}

TEST_P(SynthPathsTest, FreshSynthStartsWithTheStartUpTone) {
  Synth synth;
  ASSERT_TRUE(synth.allocateVoices(16));
  synth.setParameter(0, 0.0f);
  synth.setParameter(1, 0.0f);
  const std::vector<float> out = renderBlocks(synth, GetParam(), 128, 1);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 7.2658e-5f, 1e-9f);
  EXPECT_NEAR(out[2], 2.8611e-4f, 1e-8f);
  EXPECT_NEAR(out[3], 6.2918e-4f, 1e-8f);

  Synth reference;
  ASSERT_TRUE(reference.allocateVoices(16));
  reference.setParameter(0, 0.0f);
  reference.setParameter(1, 0.0f);
  const std::vector<float> expected = renderBlocks(reference, RenderPath::kReference, 128, 1);
  EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0);
}

TEST_P(SynthPathsTest, GlideReachesTheVelocityTarget) {
  Synth synth;
  ASSERT_TRUE(synth.allocateVoices(16));
  synth.setParameter(0, 0.0f);
  synth.startVoice(3, 69, 127);
  EXPECT_NEAR(synth.voice(3).omega.get(), 2764.37f, 0.01f);
  renderBlocks(synth, GetParam(), 115, 4);  // 460 frames
  EXPECT_NEAR(synth.voice(3).amplitude.get(), 0.127f, 0.00127f);
}

TEST_P(SynthPathsTest, VoicesRecoverFromANonFinitePitchParameter) {
  const float nonFinite[] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity()};
  for (RenderPath path : {RenderPath::kReference, GetParam()}) {
    for (float pitch : nonFinite) {
      SCOPED_TRACE(::testing::Message() << renderPathName(path) << ", pitch " << pitch);
      Synth synth;
      ASSERT_TRUE(synth.allocateVoices(16));
      synth.setParameter(0, pitch);
      synth.startVoice(3, 69, 127);
      renderBlocks(synth, path, 128, 1);

      synth.setParameter(0, 0.0f);
      for (float sample : renderBlocks(synth, path, 128, 2)) ASSERT_TRUE(std::isfinite(sample));
      for (int32_t v = 0; v < 16; ++v) EXPECT_TRUE(std::isfinite(synth.voice(v).phase.get()));
    }
  }
}

INSTANTIATE_VECTOR_PATHS(SynthPathsTest);

}  // namespace
