#include "recording_match.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "audio/sample_conversion.h"
#include "tools/asio_driver/sample_codec.h"

namespace audio_analysis {

bool recordingAsDriverBytes(const WavData& recording, ASIOSampleType type,
                            std::vector<uint8_t>& bytes, size_t& frameBytes, std::string& error) {
  if (recording.format != "float32") {
    error =
        "the recording must be 32-bit float to compare it exactly (it is " + recording.format + ")";
    return false;
  }
  const size_t element = sampleBytes(type);
  if (element == 0 || !isSupportedSampleType(type)) {
    error = "sample type not handled";
    return false;
  }
  const size_t frames = recording.frames();
  const auto channels = static_cast<size_t>(recording.channels);
  std::vector<uint8_t> converted(element * frames);
  uint8_t wav[8] = {};
  frameBytes = 0;
  bytes.clear();
  std::vector<std::vector<uint8_t>> perChannel(channels);
  for (size_t c = 0; c < channels; ++c) {
    convertOutputChannel(type, recording.samples[c].data(), converted.data(),
                         static_cast<int32_t>(frames), false);
    for (size_t i = 0; i < frames; ++i) {
      const size_t n = toWavSample(converted.data() + i * element, type, wav);
      perChannel[c].insert(perChannel[c].end(), wav, wav + n);
    }
  }
  const size_t sample = frames > 0 ? perChannel[0].size() / frames : 0;
  frameBytes = sample * channels;
  bytes.reserve(frameBytes * frames);
  for (size_t i = 0; i < frames; ++i) {
    for (size_t c = 0; c < channels; ++c) {
      const uint8_t* from = perChannel[c].data() + i * sample;
      bytes.insert(bytes.end(), from, from + sample);
    }
  }
  return true;
}

RecordingMatch matchRecording(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& driver,
                              size_t frameBytes) {
  RecordingMatch result;
  if (frameBytes == 0 || ours.empty()) {
    result.error = "the recording is empty";
    return result;
  }
  result.frames = static_cast<int64_t>(ours.size() / frameBytes);
  const size_t driverFrames = driver.size() / frameBytes;
  for (size_t offset = 0; offset + static_cast<size_t>(result.frames) <= driverFrames; ++offset) {
    const uint8_t* at = driver.data() + offset * frameBytes;
    if (std::memcmp(at, ours.data(), frameBytes) != 0) continue;
    int64_t equal = 0;
    while (equal < result.frames &&
           std::memcmp(at + static_cast<size_t>(equal) * frameBytes,
                       ours.data() + static_cast<size_t>(equal) * frameBytes, frameBytes) == 0) {
      ++equal;
    }
    if (equal > result.equalFrames) {
      result.equalFrames = equal;
      result.offset = static_cast<int64_t>(offset);
    }
    if (equal == result.frames) {
      result.matched = true;
      return result;
    }
  }
  result.error = result.offset < 0 ? "the recording's first frame is nowhere in the driver's"
                                   : "no offset where every frame is equal";
  return result;
}

namespace {

uint32_t le32(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

bool wavDataBytes(const std::vector<unsigned char>& file, size_t frameBytes,
                  std::vector<uint8_t>& data, std::string& error) {
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0) {
    error = "not a RIFF file";
    return false;
  }
  for (size_t at = 12; at + 8 <= file.size();) {
    const uint32_t size = le32(file, at + 4);
    if (std::memcmp(file.data() + at, "data", 4) == 0) {
      // The driver appends as it plays and brings its header up to date only now and
      // then: what follows the chunk's start is all data.
      size_t bytes = file.size() - at - 8;
      bytes -= frameBytes > 0 ? bytes % frameBytes : 0;
      data.assign(file.begin() + static_cast<ptrdiff_t>(at + 8),
                  file.begin() + static_cast<ptrdiff_t>(at + 8 + bytes));
      return true;
    }
    at += 8 + size + (size & 1);
  }
  error = "no data chunk";
  return false;
}

int runMatch(int argc, char** argv) {
  const char* usage =
      "usage: audio_analysis match --type SAMPLETYPE OURS.wav DRIVER.wav\n"
      "  OURS.wav: the program's recording (32-bit float); DRIVER.wav: the virtual ASIO\n"
      "  driver's recording of its outputs in SAMPLETYPE (Int32LSB, Float32LSB, ...).\n"
      "output: match offset=N frames=N equal=N (exit 0 only when every frame is equal)\n";
  if (argc != 5 || std::string(argv[1]) != "--type") {
    std::fputs(usage, stderr);
    return 2;
  }
  ASIOSampleType type = 0;
  if (!sampleTypeFromText(argv[2], &type)) {
    std::fprintf(stderr, "unknown sample type %s\n", argv[2]);
    return 2;
  }
  WavData ours;
  std::string error;
  if (!readWav(argv[3], ours, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[3], error.c_str());
    return 2;
  }
  std::vector<uint8_t> expected;
  size_t frameBytes = 0;
  if (!recordingAsDriverBytes(ours, type, expected, frameBytes, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[3], error.c_str());
    return 2;
  }
  std::ifstream in(argv[4], std::ios::binary);
  const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  std::vector<uint8_t> driver;
  if (!wavDataBytes(file, frameBytes, driver, error)) {
    std::fprintf(stderr, "%s: %s\n", argv[4], error.c_str());
    return 2;
  }
  const RecordingMatch match = matchRecording(expected, driver, frameBytes);
  std::printf("match offset=%lld frames=%lld equal=%lld%s%s\n",
              static_cast<long long>(match.offset), static_cast<long long>(match.frames),
              static_cast<long long>(match.equalFrames),
              match.matched ? "" : " error=", match.error.c_str());
  return match.matched ? 0 : 1;
}

}  // namespace audio_analysis
