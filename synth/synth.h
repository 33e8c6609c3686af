// One synthesizer instance: a bank of sine voices, the MIDI controller values and
// 256 parameters. Parameter 0 is the pitch factor, parameter 1 the audio-input level.
#pragma once

#include <cstdint>
#include <memory>

#include "common/relaxed.h"
#include "synth/render_path.h"
#include "synth/synth_voice.h"

class Synth {
 public:
  static constexpr int32_t kControllerCount = 122;
  static constexpr int32_t kParameterCount = 256;
  static constexpr int32_t kPitchBendController = 120;
  static constexpr int32_t kChannelPressureController = 121;
  static constexpr float kReleasedTarget = 1e-20f;
  static constexpr float kStartupOmega = 7000.0f;
  static constexpr float kStartupTarget = 0.05f;
  // The cycle the render folds the phase by.
  static constexpr float kTwoPi = 6.283185f;

  Synth() = default;
  Synth(const Synth&) = delete;
  Synth& operator=(const Synth&) = delete;

  bool allocateVoices(int32_t count);
  void reset();
  void resetControllers();

  void startVoice(int32_t voice, int32_t note, int32_t velocity);
  void releaseVoice(int32_t voice);
  void setVoicePressure(int32_t voice, float value);
  void setController(int32_t index, float value);
  void setParameter(int32_t index, float value);
  float getParameter(int32_t index) const;
  void clockTick() {}

  // Adds `frames` frames to planar `out` (and mixes planar `in`); each channel lies
  // `stride` frames after the one before (0: `frames`), so a block may be
  // rendered in parts.
  void render(float* out, const float* in, int32_t outChannels, int32_t inChannels, int32_t frames,
              float sampleRate, float secondsPerSample, int32_t stride = 0);

  // Read access for the rack's observers and for tests.
  int32_t voiceCount() const { return voiceCount_; }
  const SynthVoice& voice(int32_t index) const { return voices_[index]; }
  float controller(int32_t index) const {
    return index >= 0 && index < kControllerCount ? controllers_[index].get() : 0.0f;
  }
  int32_t controlTick() const { return controlTick_; }

  // The voice's angular frequency for a note, as startVoice sets it.
  static float noteOmega(int32_t note);

 private:
  void parameterChanged(int32_t) {}
  // Dispatches to the process-wide render path (render_path.h).
  void renderVoices(float* out, int32_t frames, float secondsPerSample);
  void renderVoicesReference(float* out, int32_t frames, float secondsPerSample);
  void renderVoicesWide(float* out, int32_t frames, float secondsPerSample, RenderPath path);
  // The phase a voice keeps after its pass over a block.
  static float keptPhase(float phase);

  Relaxed<float> controllers_[kControllerCount];
  Relaxed<float> parameters_[kParameterCount];
  std::unique_ptr<SynthVoice[]> voices_;
  int32_t voiceCount_ = 0;
  int32_t controlTick_ = 0;
};
