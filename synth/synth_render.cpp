// The voice bank: one double-precision sine per voice per frame, mixed into channel 0.
#include <cmath>

#include "synth/synth.h"

float Synth::keptPhase(float phase) {
  // A pitch parameter of NaN or infinity (a sound file may hold one) leaves the
  // phase not a number. Kept, it would make the voice a full-scale clip for good,
  // long after the parameter is sane again; the voice starts over at 0 instead.
  if (!std::isfinite(phase)) return 0.0f;
  // In range the render folds one cycle per frame, which holds the phase within
  // [0, kTwoPi]. A pitch beyond that range (or a negative one) carries it off; left
  // there, a phase past 2^27 no longer moves by a frame's step at all and the voice
  // stays frozen after the pitch is sane again. The remainder is exact.
  if (phase >= 0.0f && phase <= kTwoPi) return phase;
  const float rest = std::fmod(phase, kTwoPi);
  if (rest < 0.0f) return rest + kTwoPi;
  return rest == 0.0f ? 0.0f : rest;  // no -0
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
  for (int32_t v = 0; v < voiceCount_; ++v) {
    SynthVoice& voice = voices_[v];
    // Read once per block: a note that changes mid-block is heard from the next one.
    const float increment = secondsPerSample * voice.omega.get() * (parameters_[0].get() + 1.0f);
    uint32_t start = 0;
    const float target = voice.blockTarget(kReleasedTarget, start);
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
    voice.sounded(start);
  }
}
