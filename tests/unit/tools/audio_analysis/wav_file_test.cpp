// Recordings come from a recorder that may be stopped mid-write; the reader must still
// yield every whole frame and keep the channels apart.
#include "wav_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace audio_analysis;

namespace {

void put16(std::vector<unsigned char>& b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void put32(std::vector<unsigned char>& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}
void putTag(std::vector<unsigned char>& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(tag[i]));
}

// A WAV header; `extensible` writes the 40-byte format with the sub-format code.
std::vector<unsigned char> header(uint16_t format, uint16_t channels, uint16_t bits,
                                  uint32_t dataSize, bool extensible = false) {
  std::vector<unsigned char> b;
  putTag(b, "RIFF");
  put32(b, 0xFFFFFFFF);
  putTag(b, "WAVE");
  putTag(b, "fmt ");
  put32(b, extensible ? 40 : 16);
  put16(b, extensible ? 0xFFFE : format);
  put16(b, channels);
  put32(b, 48000);
  put32(b, 48000 * channels * bits / 8);
  put16(b, channels * bits / 8);
  put16(b, bits);
  if (extensible) {
    put16(b, 22);
    put16(b, bits);
    put32(b, 3);
    put16(b, format);
    for (int i = 0; i < 14; ++i) b.push_back(0);
  }
  putTag(b, "LIST");  // odd-sized chunk: the reader must skip its pad byte
  put32(b, 3);
  b.insert(b.end(), {'a', 'b', 'c', 0});
  putTag(b, "data");
  put32(b, dataSize);
  return b;
}

}  // namespace

TEST(WavFile, SixteenBitStereoKeepsChannelsApart) {
  std::vector<unsigned char> b = header(1, 2, 16, 8);
  for (int16_t v : {16384, -32768, -16384, 32767}) put16(b, static_cast<uint16_t>(v));
  WavData wav;
  std::string error;
  ASSERT_TRUE(parseWav(b, wav, error)) << error;
  EXPECT_EQ(wav.sampleRate, 48000);
  EXPECT_EQ(wav.format, "pcm16");
  ASSERT_EQ(wav.frames(), 2u);
  EXPECT_FLOAT_EQ(wav.samples[0][0], 0.5f);
  EXPECT_FLOAT_EQ(wav.samples[1][0], -1.0f);
  EXPECT_FLOAT_EQ(wav.samples[0][1], -0.5f);
  EXPECT_FLOAT_EQ(wav.samples[1][1], 32767 / 32768.0f);
}

TEST(WavFile, UnfinishedHeaderReadsEveryWholeFrameToTheEnd) {
  for (uint32_t claimed : {0u, 0xFFFFFFFFu, 4000u}) {
    std::vector<unsigned char> b = header(1, 2, 16, claimed);
    for (int i = 0; i < 11; ++i) put16(b, static_cast<uint16_t>(i * 100));  // 5.5 frames
    WavData wav;
    std::string error;
    ASSERT_TRUE(parseWav(b, wav, error)) << error;
    ASSERT_EQ(wav.frames(), 5u) << "claimed " << claimed;
    EXPECT_FLOAT_EQ(wav.samples[1][4], 900 / 32768.0f);
  }
}

TEST(WavFile, ExtensibleFloatAnd24BitPcm) {
  std::vector<unsigned char> f = header(3, 1, 32, 4, true);
  float value = -0.25f;
  uint32_t raw;
  std::memcpy(&raw, &value, 4);
  put32(f, raw);
  WavData wav;
  std::string error;
  ASSERT_TRUE(parseWav(f, wav, error)) << error;
  EXPECT_EQ(wav.format, "float32");
  EXPECT_FLOAT_EQ(wav.samples[0][0], -0.25f);

  std::vector<unsigned char> p = header(1, 1, 24, 3);
  p.insert(p.end(), {0x00, 0x00, 0xC0});  // -0.5
  ASSERT_TRUE(parseWav(p, wav, error)) << error;
  EXPECT_FLOAT_EQ(wav.samples[0][0], -0.5f);
}

TEST(WavFile, RejectsWhatIsNoWav) {
  WavData wav;
  std::string error;
  std::vector<unsigned char> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'};
  EXPECT_FALSE(parseWav(text, wav, error));
  std::vector<unsigned char> adpcm = header(2, 1, 4, 0);
  EXPECT_FALSE(parseWav(adpcm, wav, error));
  EXPECT_NE(error.find("unsupported"), std::string::npos);
}
