// The voice bank as the vector kernels see it: per-voice state in plain arrays,
// and one entry point per instruction set. Each kernel adds the bank's voices into
// out in voice order, every sum rounded to float, exactly as the scalar loop does;
// only its sine may differ from the library's in the last bit.
#pragma once

#include <cstdint>

#include "synth/render_path.h"

struct VoiceBank {
  float* phase;            // in: at the block's start; out: after its last frame
  float* amplitude;        // likewise
  const float* increment;  // phase step per frame
  const float* target;     // amplitude the glide moves toward
  int32_t count;
};

using VoiceBankKernel = void (*)(float* out, int32_t frames, const VoiceBank& bank);
// The render's sine of count phases, each rounded to double.
using PhaseSineKernel = void (*)(const float* phase, double* sine, int32_t count);

void renderVoiceBankSse2(float* out, int32_t frames, const VoiceBank& bank);
void renderVoiceBankAvx2(float* out, int32_t frames, const VoiceBank& bank);
void renderVoiceBankAvx512(float* out, int32_t frames, const VoiceBank& bank);

void phaseSineSse2(const float* phase, double* sine, int32_t count);
void phaseSineAvx2(const float* phase, double* sine, int32_t count);
void phaseSineAvx512(const float* phase, double* sine, int32_t count);

// The kernels of a vector path; the reference path has no bank kernel (null) and
// the library's sine as its phase sine.
VoiceBankKernel voiceBankKernel(RenderPath path);
PhaseSineKernel phaseSineKernel(RenderPath path);
