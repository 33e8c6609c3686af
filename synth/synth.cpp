#include "synth/synth.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

// Semitone step of the equal-tempered scale, held in single precision on purpose:
// the note frequencies follow from this rounded value.
const float kSemitone = static_cast<float>(std::log(2.0) / 12.0);

}  // namespace

float Synth::noteOmega(int32_t note) {
  return static_cast<float>(51.3657 *
                            std::exp(static_cast<double>(static_cast<float>(note) * kSemitone)));
}

bool Synth::allocateVoices(int32_t count) {
  voiceCount_ = 0;
  voices_.reset();
  if (count > 0) {
    voices_.reset(new (std::nothrow) SynthVoice[static_cast<size_t>(count)]);
    if (!voices_) return false;
    voiceCount_ = count;
  }
  reset();
  return true;
}

void Synth::reset() {
  resetControllers();
  for (int32_t v = 0; v < voiceCount_; ++v) {
    voices_[v].phase.set(0.0f);
    voices_[v].amplitude.set(0.0f);
    voices_[v].omega.set(0.0f);
    // As a note that starts released: a release still waiting for its block is dropped,
    // so the start-up tone armed below is not taken for it.
    voices_[v].start(kReleasedTarget);
  }
  // The last voice plays a quiet steady tone until a note takes it, so a freshly
  // started rack is audibly alive.
  if (voiceCount_ > 0) {
    voices_[voiceCount_ - 1].omega.set(kStartupOmega);
    voices_[voiceCount_ - 1].target.set(kStartupTarget);
  }
}

void Synth::resetControllers() {
  for (auto& controller : controllers_) controller.set(0.0f);
  controllers_[11].set(1.0f);
  controllers_[7].set(1.0f);
  controllers_[10].set(0.5f);
  for (int32_t v = 0; v < voiceCount_; ++v) voices_[v].pressure.set(0.0f);
}

void Synth::startVoice(int32_t voice, int32_t note, int32_t velocity) {
  if (voice < 0 || voice >= voiceCount_) return;
  voices_[voice].omega.set(noteOmega(note));
  voices_[voice].start(static_cast<float>(velocity * 0.001));
}

void Synth::releaseVoice(int32_t voice) {
  if (voice < 0 || voice >= voiceCount_) return;
  // Not 0.0: the glide approaches its target and never needs to reach it.
  voices_[voice].release(kReleasedTarget);
}

void Synth::setVoicePressure(int32_t voice, float value) {
  if (voice < 0 || voice >= voiceCount_) return;
  voices_[voice].pressure.set(value);
}

void Synth::setController(int32_t index, float value) {
  if (index < 0 || index >= kControllerCount) return;
  controllers_[index].set(value);
}

void Synth::setParameter(int32_t index, float value) {
  if (index < 0 || index >= kParameterCount) return;
  parameters_[index].set(value);
  parameterChanged(index);
}

float Synth::getParameter(int32_t index) const {
  if (index < 0 || index >= kParameterCount) return 0.0f;
  return parameters_[index].get();
}

void Synth::render(float* out, const float* in, int32_t outChannels, int32_t inChannels,
                   int32_t frames, float /*sampleRate*/, float secondsPerSample, int32_t stride) {
  if (outChannels <= 0 || frames <= 0 || out == nullptr) return;
  if (stride < frames) stride = frames;

  renderVoices(out, frames, secondsPerSample);

  if (outChannels == 2) std::copy(out, out + frames, out + stride);

  if (in != nullptr && inChannels > 0) {
    const int32_t channels = std::min(outChannels, inChannels);
    for (int32_t c = 0; c < channels; ++c) {
      const int64_t first = static_cast<int64_t>(c) * stride;
      for (int64_t i = first; i < first + frames; ++i) out[i] += parameters_[1].get() * in[i];
    }
  }

  controlTick_ = (controlTick_ + frames % 8) % 8;
}
