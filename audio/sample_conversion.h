// Conversions between device sample formats and the rack's planar float blocks.
// They run on the audio thread: one switch per channel, no allocation, no locks.
//
// Outputs peak at 0.999 of full scale so that a clipped mix never wraps in the
// integer formats; the factors below are the exact single-precision values.
#pragma once

#include <concepts>
#include <cstdint>

#include "audio/asio/asio_sample_types.h"

namespace sample_conversion {

constexpr float k31 = 2145336192.0f;  // 0.999 * 2^31
constexpr float k23 = 8380218.5f;     // 24-bit output factor, kept as drivers expect it
constexpr float kF = 0.999f;          // float outputs

constexpr float kScale15 = 3.0517578125e-05f;        // 2^-15
constexpr float kScale23 = 1.1920928955078125e-07f;  // 2^-23
constexpr float kScale31 = 4.656612873077393e-10f;   // 2^-31

}  // namespace sample_conversion

// True for the little-endian types the ASIO host can convert.
bool isSupportedSampleType(ASIOSampleType type);

// One channel of `frames` elements of `type` at `source` into `frames` floats.
void convertInputChannel(ASIOSampleType type, const void* source, float* destination,
                         int32_t frames);

// `frames` floats into one channel of `type`; with `mute` every element is a zero.
void convertOutputChannel(ASIOSampleType type, const float* source, void* destination,
                          int32_t frames, bool mute);

// Channels 0 .. channels-1 into the planar block `inFloat` (channel c at c * frames).
// `bufferOf(c)` gives channel c's device buffer, so callers can hand over buffers
// held in any structure without gathering them first.
template <class BufferOf>
requires std::invocable<BufferOf, int32_t>
void convertInputs(const ASIOSampleType* types, BufferOf bufferOf, int32_t channels, int32_t frames,
                   float* inFloat) {
  for (int32_t c = 0; c < channels; ++c) {
    convertInputChannel(types[c], bufferOf(c), inFloat + static_cast<int64_t>(c) * frames, frames);
  }
}

inline void convertInputs(const ASIOSampleType* types, const void* const* buffers, int32_t channels,
                          int32_t frames, float* inFloat) {
  convertInputs(
      types, [buffers](int32_t c) { return buffers[c]; }, channels, frames, inFloat);
}

// The planar block `outFloat` into channels 0 .. channels-1.
template <class BufferOf>
requires std::invocable<BufferOf, int32_t>
void convertOutputs(const ASIOSampleType* types, BufferOf bufferOf, int32_t channels,
                    int32_t frames, const float* outFloat, bool mute) {
  for (int32_t c = 0; c < channels; ++c) {
    convertOutputChannel(types[c], outFloat + static_cast<int64_t>(c) * frames, bufferOf(c), frames,
                         mute);
  }
}

inline void convertOutputs(const ASIOSampleType* types, void* const* buffers, int32_t channels,
                           int32_t frames, const float* outFloat, bool mute) {
  convertOutputs(
      types, [buffers](int32_t c) { return buffers[c]; }, channels, frames, outFloat, mute);
}

// Bytes of one sample of a type isSupportedSampleType accepts.
int32_t sampleTypeBytes(ASIOSampleType type);

// The planar block `planar` (`planarChannels` channels of `frames`) into `frames`
// interleaved frames of `deviceChannels` samples of `type`. Device channels beyond the
// planar ones, and all with `mute`, are silence.
void planarToInterleaved(ASIOSampleType type, const float* planar, int32_t planarChannels,
                         void* interleaved, int32_t deviceChannels, int32_t frames, bool mute);
// `frames` interleaved frames of `deviceChannels` samples of `type` into `frames`
// interleaved frames of `floatChannels` floats; channels the device lacks repeat its last.
void interleavedToFloat(ASIOSampleType type, const void* interleaved, int32_t deviceChannels,
                        float* floats, int32_t floatChannels, int32_t frames);

// Interleaved 16-bit PCM (1 or 2 channels) to and from planar float blocks.
void pcm16ToPlanar(const int16_t* interleaved, float* planar, int32_t frames, int32_t channels);
void planarToPcm16(const float* planar, int16_t* interleaved, int32_t frames, int32_t channels);

// Single samples of the 16-bit PCM rules.
inline float pcm16ToFloat(int16_t s) {
  return static_cast<float>(s) * sample_conversion::kScale15;
}
int16_t floatToPcm16(float x);
