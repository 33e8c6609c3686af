// A voice's phase after a block with an out-of-range pitch: on every path it must
// come back into one cycle, so the tone returns as soon as the pitch is sane again.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "synth/render_path.h"
#include "synth/synth.h"

namespace {

constexpr float kRate = 48000.0f;
constexpr float kSecondsPerSample = 1.0f / kRate;
constexpr int32_t kFrames = 128;
constexpr float kTwoPi = 6.283185f;

class PhaseRangeTest : public ::testing::TestWithParam<RenderPath> {
 protected:
  void SetUp() override {
    if (!renderPathSupported(GetParam())) GTEST_SKIP() << "path not available";
    previous_ = renderPath();
    ASSERT_TRUE(setRenderPath(GetParam()));
    ASSERT_TRUE(synth.allocateVoices(16));  // the last voice plays the start-up tone
    synth.setParameter(1, 0.0f);
  }
  void TearDown() override { setRenderPath(previous_); }

  // Peak-to-peak of one block.
  float renderSpread() {
    std::vector<float> out(kFrames, 0.0f);
    synth.render(out.data(), nullptr, 1, 0, kFrames, kRate, kSecondsPerSample);
    const auto [low, high] = std::minmax_element(out.begin(), out.end());
    return *high - *low;
  }

  void expectPhasesWithinOneCycle() {
    for (int32_t v = 0; v < synth.voiceCount(); ++v) {
      const float phase = synth.voice(v).phase.get();
      EXPECT_TRUE(phase >= 0.0f && phase <= kTwoPi) << "voice " << v << " phase " << phase;
    }
  }

  Synth synth;
  RenderPath previous_ = RenderPath::kReference;
};

TEST_P(PhaseRangeTest, ToneReturnsAtOnceAfterAHugePitch) {
  for (int b = 0; b < 8; ++b) renderSpread();  // the tone's glide settles
  const float sane = renderSpread();
  ASSERT_GT(sane, 0.05f);
  synth.setParameter(0, 1e6f);
  for (int b = 0; b < 10; ++b) {
    renderSpread();
    expectPhasesWithinOneCycle();
  }
  synth.setParameter(0, 0.0f);
  EXPECT_NEAR(renderSpread(), sane, 0.01f);
  expectPhasesWithinOneCycle();
}

TEST_P(PhaseRangeTest, NegativePitchFactorKeepsThePhaseInOneCycle) {
  synth.setParameter(0, -3.0f);  // the phase runs backwards
  for (int b = 0; b < 40; ++b) {
    EXPECT_GT(renderSpread(), 0.05f);
    expectPhasesWithinOneCycle();
  }
  // Far below: the reduction also holds where one block covers thousands of cycles.
  synth.setParameter(0, -5e5f);
  renderSpread();
  expectPhasesWithinOneCycle();
  synth.setParameter(0, 0.0f);
  EXPECT_GT(renderSpread(), 0.05f);
}

INSTANTIATE_TEST_SUITE_P(Paths, PhaseRangeTest,
                         ::testing::Values(RenderPath::kReference, RenderPath::kSse2,
                                           RenderPath::kAvx2, RenderPath::kAvx512),
                         [](const ::testing::TestParamInfo<RenderPath>& info) {
                           return std::string(renderPathName(info.param));
                         });

}  // namespace
