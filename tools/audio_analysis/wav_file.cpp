#include "wav_file.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace audio_analysis {
namespace {

uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

constexpr uint16_t kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;

float sampleAt(const unsigned char* p, uint16_t format, int bits) {
  if (format == kFloat) {
    if (bits == 32) {
      uint32_t raw = le32(p);
      float value;
      std::memcpy(&value, &raw, sizeof value);
      return value;
    }
    uint64_t raw = le32(p) | uint64_t(le32(p + 4)) << 32;
    double value;
    std::memcpy(&value, &raw, sizeof value);
    return static_cast<float>(value);
  }
  switch (bits) {
    case 8:
      return (int(p[0]) - 128) / 128.0f;
    case 16:
      return static_cast<int16_t>(le16(p)) / 32768.0f;
    case 24: {
      int32_t value = static_cast<int32_t>((p[0] << 8 | p[1] << 16 | uint32_t(p[2]) << 24)) >> 8;
      return value / 8388608.0f;
    }
    default:
      return static_cast<float>(static_cast<int32_t>(le32(p)) / 2147483648.0);
  }
}

}  // namespace

bool parseWav(const std::vector<unsigned char>& bytes, WavData& wav, std::string& error) {
  const size_t size = bytes.size();
  if (size < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    error = "not a RIFF/WAVE file";
    return false;
  }
  uint16_t format = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  bool haveFormat = false;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const unsigned char* chunk = bytes.data() + pos;
    uint32_t length = le32(chunk + 4);
    size_t body = pos + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (length < 16 || body + 16 > size) break;
      format = le16(chunk + 8);
      channels = le16(chunk + 10);
      rate = le32(chunk + 12);
      bits = le16(chunk + 22);
      if (format == kExtensible && length >= 40 && body + 40 <= size) format = le16(chunk + 32);
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) {
        error = "data before format";
        return false;
      }
      bool integer = format == kPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
      bool real = format == kFloat && (bits == 32 || bits == 64);
      if (!(integer || real) || channels == 0 || rate == 0) {
        error = "unsupported format " + std::to_string(format) + "/" + std::to_string(bits);
        return false;
      }
      size_t available = size - body;
      size_t dataBytes = (length == 0 || length > available) ? available : length;
      size_t frameBytes = size_t(channels) * (bits / 8);
      size_t frames = dataBytes / frameBytes;
      wav.sampleRate = static_cast<int>(rate);
      wav.channels = channels;
      wav.format = (real ? "float" : "pcm") + std::to_string(bits);
      wav.samples.assign(channels, std::vector<float>(frames));
      const unsigned char* p = bytes.data() + body;
      for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c, p += bits / 8)
          wav.samples[c][f] = sampleAt(p, format, bits);
      }
      return true;
    }
    pos = body + length + (length & 1);
  }
  error = haveFormat ? "no data chunk" : "no format chunk";
  return false;
}

bool readWav(const std::string& path, WavData& wav, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
  return parseWav(bytes, wav, error);
}

}  // namespace audio_analysis
