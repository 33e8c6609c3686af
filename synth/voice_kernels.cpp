#include <cmath>

#include "synth/voice_bank.h"

namespace {

void libraryPhaseSine(const float* phase, double* sine, int32_t count) {
  for (int32_t i = 0; i < count; ++i) sine[i] = std::sin(static_cast<double>(phase[i]));
}

}  // namespace

VoiceBankKernel voiceBankKernel(RenderPath path) {
  switch (path) {
    case RenderPath::kSse2:
      return &renderVoiceBankSse2;
    case RenderPath::kAvx2:
      return &renderVoiceBankAvx2;
    case RenderPath::kAvx512:
      return &renderVoiceBankAvx512;
    case RenderPath::kReference:
      break;
  }
  return nullptr;
}

PhaseSineKernel phaseSineKernel(RenderPath path) {
  switch (path) {
    case RenderPath::kSse2:
      return &phaseSineSse2;
    case RenderPath::kAvx2:
      return &phaseSineAvx2;
    case RenderPath::kAvx512:
      return &phaseSineAvx512;
    case RenderPath::kReference:
      break;
  }
  return &libraryPhaseSine;
}
