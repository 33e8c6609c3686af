// The voice bank: one double-precision sine per voice per frame, mixed into channel 0.
#include <cmath>

#include "synth/synth.h"

float Synth::keptPhase(float phase) {
  // A pitch parameter of NaN or infinity (a sound file may hold one) leaves the
  // phase not a number. Kept, it would make the voice a full-scale clip for good,
  // long after the parameter is sane again; the voice starts over at 0 instead.
  return std::isfinite(phase) ? phase : 0.0f;
}

void Synth::renderVoices(float* out, int32_t frames, float secondsPerSample) {
  const RenderPath path = renderPath();
  if (path == RenderPath::kReference) {
    renderVoicesReference(out, frames, secondsPerSample);
  } else {
    renderVoicesWide(out, frames, secondsPerSample, path);
  }
}

void Synth::renderVoicesReference(float* out, int32_t frames, float secondsPerSample) {
  constexpr float kTwoPi = 6.283185f;
  for (int32_t v = 0; v < voiceCount_; ++v) {
    SynthVoice& voice = voices_[v];
    // Read once per block: a note that changes mid-block is heard from the next one.
    const float increment = secondsPerSample * voice.omega.get() * (parameters_[0].get() + 1.0f);
    const float target = voice.target.get();
    float phase = voice.phase.get();
    float amplitude = voice.amplitude.get();
    for (int32_t j = 0; j < frames; ++j) {
      out[j] = static_cast<float>(out[j] + amplitude * std::sin(static_cast<double>(phase)));
      phase += increment;
      if (phase > kTwoPi) phase -= kTwoPi;
      amplitude = 0.99f * amplitude + 0.01f * target;
    }
    voice.phase.set(keptPhase(phase));
    voice.amplitude.set(amplitude);
  }
}
