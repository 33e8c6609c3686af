// The vector render paths, for tests that run once per path. A path this
// processor cannot run is skipped, not failed.
#pragma once

#include <gtest/gtest.h>

#include "synth/render_path.h"

class VectorPathTest : public ::testing::TestWithParam<RenderPath> {
 protected:
  void SetUp() override {
    if (!renderPathSupported(GetParam())) {
      GTEST_SKIP() << renderPathName(GetParam()) << " not available on this processor";
    }
    previous_ = renderPath();
  }
  void TearDown() override { setRenderPath(previous_); }

  RenderPath previous_ = RenderPath::kReference;
};

inline std::string vectorPathName(const ::testing::TestParamInfo<RenderPath>& info) {
  return renderPathName(info.param);
}

#define INSTANTIATE_VECTOR_PATHS(suite)                                                           \
  INSTANTIATE_TEST_SUITE_P(                                                                       \
      Paths, suite, ::testing::Values(RenderPath::kSse2, RenderPath::kAvx2, RenderPath::kAvx512), \
      vectorPathName)
