// One sine oscillator with its amplitude glide. The MIDI thread writes omega and
// target; the audio thread reads them once per block and owns phase and amplitude.
#pragma once

#include "common/relaxed.h"

struct SynthVoice {
  Relaxed<float> pressure;   // polyphonic key pressure, 0..1, kept but not heard
  Relaxed<float> omega;      // radians per second before the pitch parameter
  Relaxed<float> phase;      // radians
  Relaxed<float> amplitude;  // current amplitude
  Relaxed<float> target;     // amplitude the glide moves toward
};
