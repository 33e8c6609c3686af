// The voice bank through the vector kernels: voice state is copied into plain
// arrays on the stack a chunk at a time (the audio thread must not allocate),
// rendered, and written back. Chunks go in voice order, so the mix order holds.
#include "synth/synth.h"
#include "synth/voice_bank.h"

void Synth::renderVoicesWide(float* out, int32_t frames, float secondsPerSample, RenderPath path) {
  constexpr int32_t kChunk = 64;
  const VoiceBankKernel kernel = voiceBankKernel(path);
  if (kernel == nullptr) {
    renderVoicesReference(out, frames, secondsPerSample);
    return;
  }
  float phase[kChunk], amplitude[kChunk], increment[kChunk], target[kChunk];
  uint32_t start[kChunk];
  for (int32_t first = 0; first < voiceCount_; first += kChunk) {
    const int32_t count = voiceCount_ - first < kChunk ? voiceCount_ - first : kChunk;
    for (int32_t i = 0; i < count; ++i) {
      const SynthVoice& voice = voices_[first + i];
      // The same float expression as the reference loop, parameter 0 read per voice.
      increment[i] = secondsPerSample * voice.omega.get() * (parameters_[0].get() + 1.0f);
      target[i] = voice.blockTarget(kReleasedTarget, start[i]);
      phase[i] = voice.phase.get();
      amplitude[i] = voice.amplitude.get();
    }
    const VoiceBank bank{phase, amplitude, increment, target, count};
    kernel(out, frames, bank);
    for (int32_t i = 0; i < count; ++i) {
      voices_[first + i].phase.set(keptPhase(phase[i]));
      voices_[first + i].amplitude.set(amplitude[i]);
      voices_[first + i].sounded(start[i]);
    }
  }
}
