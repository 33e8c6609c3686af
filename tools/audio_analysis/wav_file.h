// Reading a recorded WAV file into planar float samples (full scale +-1.0).
#pragma once

#include <string>
#include <vector>

namespace audio_analysis {

struct WavData {
  int sampleRate = 0;
  int channels = 0;
  std::string format;                       // "pcm16", "pcm24", "pcm32", "float32", ...
  std::vector<std::vector<float>> samples;  // one vector per channel
  size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

// Reads PCM (8, 16, 24, 32 bit) and IEEE float (32, 64 bit) files, plain or extensible.
// A data chunk whose size is unset or larger than the file (a recorder that was stopped
// before it could finish the header) is taken to run to the end of the file.
// Returns false with a reason in `error`.
bool readWav(const std::string& path, WavData& wav, std::string& error);

// The same from bytes already in memory.
bool parseWav(const std::vector<unsigned char>& bytes, WavData& wav, std::string& error);

}  // namespace audio_analysis
