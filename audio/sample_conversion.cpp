#include "audio/sample_conversion.h"

#include <cfloat>
#include <cmath>

using namespace sample_conversion;

namespace {

constexpr ASIOSampleType kSupportedTypes[] = {
    ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTFloat32LSB, ASIOSTFloat64LSB,
    ASIOSTInt32LSB16, ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24,
};

// The product is formed in double, where it is exact, and truncated toward zero.
// Values beyond the int32 range (only a mix the rack failed to clip could give
// them) saturate instead of being undefined.
inline int32_t truncScaled(float factor, float x) {
  const double v = static_cast<double>(factor) * static_cast<double>(x);
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  if (v != v) return 0;
  return static_cast<int32_t>(v);
}

// A float input sample as the rack takes it. A NaN or an infinity from the driver
// would turn the whole mix into a full-scale offset, even with the input level at 0:
// it is read as silence. Finite doubles beyond the float range saturate.
inline float finiteInput(double x) {
  if (!std::isfinite(x)) return 0.0f;
  if (x > FLT_MAX) return FLT_MAX;
  if (x < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(x);
}

inline float scaled31(int32_t s) {
  return static_cast<float>(static_cast<double>(s) * static_cast<double>(kScale31));
}

inline int32_t shiftedLeft(int32_t s, int bits) {
  return static_cast<int32_t>(static_cast<uint32_t>(s) << bits);
}

void int32ToFloat(const int32_t* in, float* out, int32_t frames, int leftShift) {
  for (int32_t i = 0; i < frames; ++i) out[i] = scaled31(shiftedLeft(in[i], leftShift));
}

void floatToInt32(const float* in, int32_t* out, int32_t frames, float factor, int rightShift) {
  for (int32_t i = 0; i < frames; ++i) out[i] = truncScaled(factor, in[i]) >> rightShift;
}

}  // namespace

bool isSupportedSampleType(ASIOSampleType type) {
  for (ASIOSampleType supported : kSupportedTypes) {
    if (supported == type) return true;
  }
  return false;
}

void convertInputChannel(ASIOSampleType type, const void* source, float* destination,
                         int32_t frames) {
  switch (type) {
    case ASIOSTInt16LSB: {
      const int16_t* in = static_cast<const int16_t*>(source);
      for (int32_t i = 0; i < frames; ++i) destination[i] = static_cast<float>(in[i]) * kScale15;
      break;
    }
    case ASIOSTInt24LSB: {
      const uint8_t* in = static_cast<const uint8_t*>(source);
      for (int32_t i = 0; i < frames; ++i, in += 3) {
        int32_t s = in[0] | (in[1] << 8) | (in[2] << 16);
        if (s >= 0x800000) s -= 0x1000000;
        destination[i] = static_cast<float>(s) * kScale23;
      }
      break;
    }
    case ASIOSTInt32LSB:
      int32ToFloat(static_cast<const int32_t*>(source), destination, frames, 0);
      break;
    case ASIOSTFloat32LSB: {
      const float* in = static_cast<const float*>(source);
      for (int32_t i = 0; i < frames; ++i) destination[i] = finiteInput(in[i]);
      break;
    }
    case ASIOSTFloat64LSB: {
      const double* in = static_cast<const double*>(source);
      for (int32_t i = 0; i < frames; ++i) destination[i] = finiteInput(in[i]);
      break;
    }
    case ASIOSTInt32LSB16:
      int32ToFloat(static_cast<const int32_t*>(source), destination, frames, 16);
      break;
    case ASIOSTInt32LSB18:
      int32ToFloat(static_cast<const int32_t*>(source), destination, frames, 14);
      break;
    case ASIOSTInt32LSB20:
      int32ToFloat(static_cast<const int32_t*>(source), destination, frames, 12);
      break;
    case ASIOSTInt32LSB24:
      int32ToFloat(static_cast<const int32_t*>(source), destination, frames, 8);
      break;
    default:
      break;
  }
}

void convertOutputChannel(ASIOSampleType type, const float* source, void* destination,
                          int32_t frames, bool mute) {
  // Muting zeroes the factors, so every type writes its own kind of zero.
  const float f31 = mute ? 0.0f : k31;
  switch (type) {
    case ASIOSTInt16LSB: {
      int16_t* out = static_cast<int16_t*>(destination);
      for (int32_t i = 0; i < frames; ++i) {
        out[i] = static_cast<int16_t>(truncScaled(f31, source[i]) >> 16);
      }
      break;
    }
    case ASIOSTInt24LSB: {
      const float f23 = mute ? 0.0f : k23;
      uint8_t* out = static_cast<uint8_t*>(destination);
      for (int32_t i = 0; i < frames; ++i, out += 3) {
        const uint32_t v = static_cast<uint32_t>(truncScaled(f23, source[i]));
        out[0] = static_cast<uint8_t>(v);
        out[1] = static_cast<uint8_t>(v >> 8);
        out[2] = static_cast<uint8_t>(v >> 16);
      }
      break;
    }
    case ASIOSTInt32LSB:
      floatToInt32(source, static_cast<int32_t*>(destination), frames, f31, 0);
      break;
    case ASIOSTFloat32LSB: {
      const double fF = mute ? 0.0 : static_cast<double>(kF);
      float* out = static_cast<float*>(destination);
      for (int32_t i = 0; i < frames; ++i) {
        out[i] = static_cast<float>(fF * static_cast<double>(source[i]));
      }
      break;
    }
    case ASIOSTFloat64LSB: {
      const double fF = mute ? 0.0 : static_cast<double>(kF);
      double* out = static_cast<double*>(destination);
      for (int32_t i = 0; i < frames; ++i) out[i] = fF * static_cast<double>(source[i]);
      break;
    }
    case ASIOSTInt32LSB16:
      floatToInt32(source, static_cast<int32_t*>(destination), frames, f31, 16);
      break;
    case ASIOSTInt32LSB18:
      floatToInt32(source, static_cast<int32_t*>(destination), frames, f31, 14);
      break;
    case ASIOSTInt32LSB20:
      floatToInt32(source, static_cast<int32_t*>(destination), frames, f31, 12);
      break;
    case ASIOSTInt32LSB24:
      floatToInt32(source, static_cast<int32_t*>(destination), frames, f31, 8);
      break;
    default:
      break;
  }
}

int16_t floatToPcm16(float x) {
  return static_cast<int16_t>(truncScaled(k31, x) >> 16);
}

void pcm16ToPlanar(const int16_t* interleaved, float* planar, int32_t frames, int32_t channels) {
  if (channels == 2) {
    float* right = planar + frames;
    for (int32_t i = 0; i < frames; ++i) {
      planar[i] = pcm16ToFloat(interleaved[2 * i]);
      right[i] = pcm16ToFloat(interleaved[2 * i + 1]);
    }
  } else {
    for (int32_t i = 0; i < frames; ++i) planar[i] = pcm16ToFloat(interleaved[i]);
  }
}

void planarToPcm16(const float* planar, int16_t* interleaved, int32_t frames, int32_t channels) {
  if (channels == 2) {
    const float* right = planar + frames;
    for (int32_t i = 0; i < frames; ++i) {
      interleaved[2 * i] = floatToPcm16(planar[i]);
      interleaved[2 * i + 1] = floatToPcm16(right[i]);
    }
  } else {
    for (int32_t i = 0; i < frames; ++i) interleaved[i] = floatToPcm16(planar[i]);
  }
}

int32_t sampleTypeBytes(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTFloat64LSB:
      return 8;
    default:
      return 4;
  }
}

// One sample at a time through the channel conversions, so interleaved devices get
// exactly the rules the planar ones do.
void planarToInterleaved(ASIOSampleType type, const float* planar, int32_t planarChannels,
                         void* interleaved, int32_t deviceChannels, int32_t frames, bool mute) {
  const int32_t bytes = sampleTypeBytes(type);
  uint8_t* out = static_cast<uint8_t*>(interleaved);
  const float silence = 0.0f;
  for (int32_t i = 0; i < frames; ++i) {
    for (int32_t c = 0; c < deviceChannels; ++c, out += bytes) {
      const bool fromRack = c < planarChannels;
      const float* source = fromRack ? planar + static_cast<int64_t>(c) * frames + i : &silence;
      convertOutputChannel(type, source, out, 1, mute || !fromRack);
    }
  }
}

void interleavedToFloat(ASIOSampleType type, const void* interleaved, int32_t deviceChannels,
                        float* floats, int32_t floatChannels, int32_t frames) {
  const int32_t bytes = sampleTypeBytes(type);
  const uint8_t* in = static_cast<const uint8_t*>(interleaved);
  for (int32_t i = 0; i < frames; ++i, in += static_cast<int64_t>(bytes) * deviceChannels) {
    for (int32_t c = 0; c < floatChannels; ++c) {
      const int32_t from = c < deviceChannels ? c : deviceChannels - 1;
      convertInputChannel(type, in + static_cast<int64_t>(from) * bytes,
                          floats + static_cast<int64_t>(i) * floatChannels + c, 1);
    }
  }
}
