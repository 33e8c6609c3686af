// Whether the program's own recording holds, sample for sample, what a driver recorded
// over the same stretch: the recording's frames are turned into the driver's file bytes
// (the program's conversion to the driver's sample type, then the driver's to WAV), and
// looked for in the driver's data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/asio/asio.h"
#include "wav_file.h"

namespace audio_analysis {

struct RecordingMatch {
  bool matched = false;
  int64_t offset = -1;      // the driver's frame where the recording begins
  int64_t frames = 0;       // the recording's frames, all compared
  int64_t equalFrames = 0;  // at the best offset, frames equal from the start
  std::string error;
};

// The recording (float32) as the driver's WAV bytes, interleaved, `frameBytes` per frame.
bool recordingAsDriverBytes(const WavData& recording, ASIOSampleType type,
                            std::vector<uint8_t>& bytes, size_t& frameBytes, std::string& error);
// Finds the first offset at which every frame of `ours` equals the driver's.
RecordingMatch matchRecording(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& driver,
                              size_t frameBytes);
// The bytes of a WAV file's data chunk to the end of the file (a file still being
// appended to), in whole frames of `frameBytes`.
bool wavDataBytes(const std::vector<unsigned char>& file, size_t frameBytes,
                  std::vector<uint8_t>& data, std::string& error);

// `audio_analysis match --type T OURS.wav DRIVER.wav`; returns the exit status.
int runMatch(int argc, char** argv);

}  // namespace audio_analysis
