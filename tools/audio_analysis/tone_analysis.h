// Finding the dominant sine tones of a stretch of samples and measuring their levels.
#pragma once

#include <cstddef>
#include <vector>

namespace audio_analysis {

struct Tone {
  double frequency = 0;  // Hz
  double amplitude = 0;  // of the sine, full scale 1.0
};

struct Levels {
  double peak = 0;  // largest absolute sample
  double rms = 0;
};

struct ToneSearch {
  int maxTones = 3;
  double minAmplitude = 5e-4;   // quieter tones are not reported
  double relativeFloor = 1e-3;  // nor tones 60 dB below the loudest
  double minFrequency = 20;     // Hz; below this is taken as offset or drift
};

Levels measureLevels(const float* samples, size_t count);

// The loudest tones, loudest first. A Blackman-Harris window keeps side lobes 92 dB down, so
// one tone yields one peak; each peak found on a zero-padded FFT is then refined by
// maximising the windowed correlation, which places a clean tone to well under 0.1 Hz
// in a one-second window.
std::vector<Tone> dominantTones(const float* samples, size_t count, double sampleRate,
                                const ToneSearch& search);

// Amplitude of the sine at `frequency`: the Blackman-Harris windowed correlation, scaled
// so that a sine of amplitude A at exactly that frequency gives A.
double amplitudeAt(const float* samples, size_t count, double sampleRate, double frequency);

// Discontinuities in a stretch that holds one steady sine of `frequency` (a dropped or
// repeated block): places where the sine's recurrence x[n+1] + x[n-1] = 2 cos(w) x[n]
// breaks by more than a tenth of the stretch's peak level. Breaks less than 1 ms apart
// count as one; a small phase jump that happens to fall where the two phases give nearly
// the same sample value goes unseen, so the count is a lower bound.
int countGlitches(const float* samples, size_t count, double sampleRate, double frequency);

// The same discontinuities told apart by where they come from. A stretch of exact digital
// silence (1 ms or more) inside the tone is a gap: the sound server had nothing from the
// player for that long and played silence (an underrun below the program, whose ring
// always holds sound). Every other discontinuity is a break in the program's own signal.
struct Discontinuities {
  int breaks = 0;
  int gaps = 0;
};
Discontinuities classifyGlitches(const float* samples, size_t count, double sampleRate,
                                 double frequency);

}  // namespace audio_analysis
