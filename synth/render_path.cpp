#include "synth/render_path.h"

#include <atomic>

#include "synth/cpu_features.h"

namespace {

constexpr int32_t kUnset = -1;
std::atomic<int32_t> currentPath{kUnset};

}  // namespace

bool renderPathSupported(RenderPath path) {
  switch (path) {
    case RenderPath::kReference:
    case RenderPath::kSse2:
      return true;  // SSE2 is part of x86-64
    case RenderPath::kAvx2:
      return CpuFeatures::host().avx2Fma;
    case RenderPath::kAvx512:
      return CpuFeatures::host().avx512;
  }
  return false;
}

RenderPath fastestRenderPath() {
  if (renderPathSupported(RenderPath::kAvx512)) return RenderPath::kAvx512;
  if (renderPathSupported(RenderPath::kAvx2)) return RenderPath::kAvx2;
  return RenderPath::kSse2;
}

bool setRenderPath(RenderPath path) {
  if (!renderPathSupported(path)) return false;
  currentPath.store(static_cast<int32_t>(path), std::memory_order_relaxed);
  return true;
}

RenderPath renderPath() {
  int32_t path = currentPath.load(std::memory_order_relaxed);
  if (path == kUnset) {
    // A choice made meanwhile by setRenderPath wins over the default.
    int32_t expected = kUnset;
    path = static_cast<int32_t>(fastestRenderPath());
    if (!currentPath.compare_exchange_strong(expected, path, std::memory_order_relaxed)) {
      path = expected;
    }
  }
  return static_cast<RenderPath>(path);
}

const char* renderPathName(RenderPath path) {
  switch (path) {
    case RenderPath::kReference:
      return "reference";
    case RenderPath::kSse2:
      return "sse2";
    case RenderPath::kAvx2:
      return "avx2";
    case RenderPath::kAvx512:
      return "avx512";
  }
  return "unknown";
}
