// Choosing the render path: what the processor offers, and switching.
#include <gtest/gtest.h>

#include "synth/render_path.h"
#include "synth/voice_bank.h"

namespace {

TEST(RenderPathTest, SupportFollowsTheProcessor) {
  EXPECT_TRUE(renderPathSupported(RenderPath::kReference));
  EXPECT_TRUE(renderPathSupported(RenderPath::kSse2));
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  EXPECT_EQ(renderPathSupported(RenderPath::kAvx2), avx2);
  EXPECT_EQ(renderPathSupported(RenderPath::kAvx512), avx2 && __builtin_cpu_supports("avx512f"));
}

TEST(RenderPathTest, FastestIsTheWidestSupported) {
  const RenderPath fastest = fastestRenderPath();
  EXPECT_TRUE(renderPathSupported(fastest));
  EXPECT_NE(fastest, RenderPath::kReference);
  for (RenderPath wider : {RenderPath::kAvx2, RenderPath::kAvx512}) {
    if (renderPathSupported(wider)) {
      EXPECT_GE(static_cast<int>(fastest), static_cast<int>(wider));
    }
  }
}

TEST(RenderPathTest, SwitchingTakesOnlySupportedPaths) {
  const RenderPath previous = renderPath();
  for (RenderPath path :
       {RenderPath::kReference, RenderPath::kSse2, RenderPath::kAvx2, RenderPath::kAvx512}) {
    const RenderPath before = renderPath();
    if (renderPathSupported(path)) {
      EXPECT_TRUE(setRenderPath(path));
      EXPECT_EQ(renderPath(), path);
      EXPECT_EQ(voiceBankKernel(path) == nullptr, path == RenderPath::kReference);
    } else {
      EXPECT_FALSE(setRenderPath(path));
      EXPECT_EQ(renderPath(), before);
    }
  }
  setRenderPath(previous);
}

}  // namespace
