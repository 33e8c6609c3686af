#include "audio/sample_conversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

namespace {

float inputOf(ASIOSampleType type, const void* element) {
  float out = 99.0f;
  convertInputChannel(type, element, &out, 1);
  return out;
}

int32_t int32OutputOf(ASIOSampleType type, float x) {
  int32_t out = 0x55555555;
  convertOutputChannel(type, &x, &out, 1, false);
  return out;
}

TEST(SampleConversion, SixteenBitInputAndOutputVectors) {
  const int16_t in[] = {-32768, 32767, 1, 0};
  float out[4];
  convertInputChannel(ASIOSTInt16LSB, in, out, 4);
  EXPECT_EQ(out[0], -1.0f);
  EXPECT_EQ(out[1], 0.999969482421875f);
  EXPECT_EQ(out[2], 3.0517578125e-05f);
  EXPECT_EQ(out[3], 0.0f);

  const float x[] = {1.0f, -1.0f, 0.5f, -0.5f, 0.0f, -0.0000001f};
  const int16_t expected[] = {32735, -32736, 16367, -16368, 0, -1};
  int16_t written[6];
  convertOutputChannel(ASIOSTInt16LSB, x, written, 6, false);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(written[i], expected[i]) << "x = " << x[i];
    EXPECT_EQ(floatToPcm16(x[i]), expected[i]) << "x = " << x[i];
  }
}

TEST(SampleConversion, TwentyFourBitBytes) {
  const uint8_t in[][3] = {
      {0x00, 0x00, 0x80}, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0x7F}, {0x01, 0x00, 0x00}};
  EXPECT_EQ(inputOf(ASIOSTInt24LSB, in[0]), -1.0f);
  EXPECT_EQ(inputOf(ASIOSTInt24LSB, in[1]), -1.1920928955078125e-07f);
  EXPECT_EQ(inputOf(ASIOSTInt24LSB, in[2]), 0.99999988079071044921875f);
  EXPECT_EQ(inputOf(ASIOSTInt24LSB, in[3]), 1.1920928955078125e-07f);

  const float x[] = {1.0f, -1.0f};
  uint8_t out[6];
  convertOutputChannel(ASIOSTInt24LSB, x, out, 2, false);
  const uint8_t expected[] = {0x3A, 0xDF, 0x7F, 0xC6, 0x20, 0x80};
  EXPECT_EQ(std::memcmp(out, expected, 6), 0);
}

TEST(SampleConversion, ThirtyTwoBitTypesHonourTheirSignificantBits) {
  int32_t v = -32768;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB16, &v), -1.0f);
  v = 8388607;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB24, &v), 0.99999988079071044921875f);
  v = -131072;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB18, &v), -1.0f);
  v = 524287;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB20, &v), static_cast<float>(524287.0 / 524288.0));
  v = INT32_MIN;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB, &v), -1.0f);
  // Rounded once: 2^31 - 1 is not representable and lands on 1.0.
  v = INT32_MAX;
  EXPECT_EQ(inputOf(ASIOSTInt32LSB, &v), 1.0f);

  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB, 1.0f), 2145336192);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB, -1.0f), -2145336192);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB, -0.0000001f), -214);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB16, 1.0f), 32735);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB16, -0.0000001f), -1);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB18, 1.0f), 2145336192 >> 14);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB20, -1.0f), -2145336192 >> 12);
  EXPECT_EQ(int32OutputOf(ASIOSTInt32LSB24, 1.0f), 8380219);
}

TEST(SampleConversion, FloatTypes) {
  const float f = -0.3f;
  EXPECT_EQ(inputOf(ASIOSTFloat32LSB, &f), -0.3f);
  const double d = 0.1;
  EXPECT_EQ(inputOf(ASIOSTFloat64LSB, &d), 0.1f);

  const float x[] = {1.0f, -1.0f};
  float out32[2];
  convertOutputChannel(ASIOSTFloat32LSB, x, out32, 2, false);
  EXPECT_EQ(out32[0], 0.9990000128746033f);
  EXPECT_EQ(out32[1], -0.9990000128746033f);
  double out64[2];
  convertOutputChannel(ASIOSTFloat64LSB, x, out64, 2, false);
  EXPECT_EQ(out64[0], 0.9990000128746033);
  EXPECT_EQ(out64[1], -0.9990000128746033);
}

TEST(SampleConversion, NonFiniteFloatInputIsReadAsSilence) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float floats[] = {nan, inf, -inf, 0.75f, std::numeric_limits<float>::max()};
  float out[5];
  convertInputChannel(ASIOSTFloat32LSB, floats, out, 5);
  EXPECT_EQ(std::vector<float>(out, out + 5),
            (std::vector<float>{0.0f, 0.0f, 0.0f, 0.75f, std::numeric_limits<float>::max()}));

  const double doubles[] = {std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            -0.5,
                            1e300,
                            -1e300};
  float out64[6];
  convertInputChannel(ASIOSTFloat64LSB, doubles, out64, 6);
  // Finite values beyond the float range stay finite: the largest float, clipped later.
  EXPECT_EQ(std::vector<float>(out64, out64 + 6),
            (std::vector<float>{0.0f, 0.0f, 0.0f, -0.5f, std::numeric_limits<float>::max(),
                                -std::numeric_limits<float>::max()}));
}

TEST(SampleConversion, MutingWritesZerosOfEveryType) {
  const float x[] = {1.0f, -1.0f, 0.25f, -0.7f};
  const ASIOSampleType types[] = {ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,
                                  ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16,
                                  ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24};
  for (ASIOSampleType type : types) {
    double storage[5];
    std::memset(storage, 0x5A, sizeof storage);
    convertOutputChannel(type, x, storage, 4, true);
    const int elementBytes = type == ASIOSTInt16LSB     ? 2
                             : type == ASIOSTInt24LSB   ? 3
                             : type == ASIOSTFloat64LSB ? 8
                                                        : 4;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(storage);
    for (int i = 0; i < 4 * elementBytes; ++i) {
      // Float zeros may carry the sign of the muted sample.
      const bool floatSignByte =
          (type == ASIOSTFloat32LSB && i % 4 == 3) || (type == ASIOSTFloat64LSB && i % 8 == 7);
      EXPECT_EQ(floatSignByte ? (bytes[i] & 0x7F) : bytes[i], 0)
          << "type " << type << " byte " << i;
    }
    EXPECT_EQ(bytes[4 * elementBytes], 0x5A) << "type " << type << " wrote past its channel";
  }
}

TEST(SampleConversion, ChannelsFillConsecutivePlanarRanges) {
  // Two 24-bit channels of four frames: channel 1 starts at element 4.
  uint8_t left[12], right[12];
  for (int i = 0; i < 4; ++i) {
    const int32_t l = (i + 1) << 8, r = -((i + 1) << 12);
    std::memcpy(left + 3 * i, &l, 3);
    std::memcpy(right + 3 * i, &r, 3);
  }
  const ASIOSampleType types[] = {ASIOSTInt24LSB, ASIOSTInt24LSB};
  const void* buffers[] = {left, right};
  float planar[8];
  convertInputs(types, buffers, 2, 4, planar);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(planar[i], ((i + 1) << 8) * sample_conversion::kScale23);
    EXPECT_EQ(planar[4 + i], -((i + 1) << 12) * sample_conversion::kScale23);
  }

  // Outputs of mixed types read their own planar range.
  const float out[] = {0.5f, 0.5f, -0.5f, -0.5f};
  int16_t out16[2];
  float outF[2];
  void* outBuffers[] = {out16, outF};
  const ASIOSampleType outTypes[] = {ASIOSTInt16LSB, ASIOSTFloat32LSB};
  convertOutputs(outTypes, outBuffers, 2, 2, out, false);
  EXPECT_EQ(out16[0], 16367);
  EXPECT_EQ(out16[1], 16367);
  EXPECT_EQ(outF[0], static_cast<float>(-0.5 * static_cast<double>(0.999f)));
}

TEST(SampleConversion, SupportedTypesAreTheLittleEndianPcmAndFloatOnes) {
  for (ASIOSampleType type = -1; type <= 64; ++type) {
    const bool expected = (type >= 16 && type <= 20) || (type >= 24 && type <= 27);
    EXPECT_EQ(isSupportedSampleType(type), expected) << "type " << type;
  }
}

TEST(SampleConversion, Pcm16InterleavingOfStereoAndMono) {
  const int16_t interleaved[] = {-32768, 16384, 32767, -16384, 0, 1};
  float planar[6];
  pcm16ToPlanar(interleaved, planar, 3, 2);
  const float expected[] = {-1.0f, 0.999969482421875f, 0.0f, 0.5f, -0.5f, 3.0517578125e-05f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(planar[i], expected[i]) << i;

  int16_t back[6];
  planarToPcm16(planar, back, 3, 2);
  const int16_t expectedBack[] = {-32736, 16367, 32734, -16368, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(back[i], expectedBack[i]) << i;

  pcm16ToPlanar(interleaved, planar, 6, 1);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(planar[i], interleaved[i] * (1.0f / 32768.0f)) << i;
}

TEST(SampleConversion, OutOfRangeMixSaturatesInsteadOfWrapping) {
  const float inf = std::numeric_limits<float>::infinity();
  const float x[] = {3.0f, -3.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN()};
  int32_t out[5];
  convertOutputChannel(ASIOSTInt32LSB, x, out, 5, false);
  const int32_t expected[] = {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0};
  int16_t out16[5];
  planarToPcm16(x, out16, 5, 1);
  const int16_t expected16[] = {32767, -32768, 32767, -32768, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(out[i], expected[i]) << "x = " << x[i];
    EXPECT_EQ(out16[i], expected16[i]) << "x = " << x[i];
  }
}

}  // namespace
