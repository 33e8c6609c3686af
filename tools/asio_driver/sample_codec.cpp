#include "tools/asio_driver/sample_codec.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

struct TypeName {
  ASIOSampleType type;
  const char* name;
};

constexpr TypeName kTypes[] = {
    {ASIOSTInt16MSB, "Int16MSB"},     {ASIOSTInt24MSB, "Int24MSB"},
    {ASIOSTInt32MSB, "Int32MSB"},     {ASIOSTFloat32MSB, "Float32MSB"},
    {ASIOSTFloat64MSB, "Float64MSB"}, {ASIOSTInt32MSB16, "Int32MSB16"},
    {ASIOSTInt32MSB18, "Int32MSB18"}, {ASIOSTInt32MSB20, "Int32MSB20"},
    {ASIOSTInt32MSB24, "Int32MSB24"}, {ASIOSTInt16LSB, "Int16LSB"},
    {ASIOSTInt24LSB, "Int24LSB"},     {ASIOSTInt32LSB, "Int32LSB"},
    {ASIOSTFloat32LSB, "Float32LSB"}, {ASIOSTFloat64LSB, "Float64LSB"},
    {ASIOSTInt32LSB16, "Int32LSB16"}, {ASIOSTInt32LSB18, "Int32LSB18"},
    {ASIOSTInt32LSB20, "Int32LSB20"}, {ASIOSTInt32LSB24, "Int32LSB24"},
};

bool isBigEndian(ASIOSampleType type) {
  return type < ASIOSTInt16LSB;
}

// The little-endian twin of a big-endian type (the same element, bytes reversed).
ASIOSampleType littleEndianOf(ASIOSampleType type) {
  return isBigEndian(type) ? type + ASIOSTInt16LSB : type;
}

// Significant bits of the 32-bit containers with fewer bits; 32 for the others.
int significantBits(ASIOSampleType type) {
  switch (littleEndianOf(type)) {
    case ASIOSTInt32LSB16:
      return 16;
    case ASIOSTInt32LSB18:
      return 18;
    case ASIOSTInt32LSB20:
      return 20;
    case ASIOSTInt32LSB24:
      return 24;
    default:
      return 32;
  }
}

int64_t scaled(double value, int bits) {
  const double full = std::ldexp(1.0, bits - 1);
  double sample = std::floor(value * full + 0.5);
  if (sample > full - 1) sample = full - 1;
  if (sample < -full) sample = -full;
  return static_cast<int64_t>(sample);
}

void storeLittle(uint64_t bits, size_t bytes, uint8_t* out) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

uint64_t loadLittle(const uint8_t* in, size_t bytes) {
  uint64_t bits = 0;
  for (size_t i = 0; i < bytes; ++i) bits |= static_cast<uint64_t>(in[i]) << (8 * i);
  return bits;
}

void reverse(uint8_t* data, size_t bytes) {
  for (size_t i = 0; i < bytes / 2; ++i) {
    const uint8_t t = data[i];
    data[i] = data[bytes - 1 - i];
    data[bytes - 1 - i] = t;
  }
}

}  // namespace

size_t sampleBytes(ASIOSampleType type) {
  switch (littleEndianOf(type)) {
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24:
      return 4;
    case ASIOSTFloat64LSB:
      return 8;
    default:
      return 0;
  }
}

bool sampleTypeFromText(const char* text, ASIOSampleType* type) {
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  for (const TypeName& entry : kTypes) {
    const bool match =
        (end != text && *end == 0) ? entry.type == number : std::strcmp(entry.name, text) == 0;
    if (match) {
      *type = entry.type;
      return true;
    }
  }
  return false;
}

const char* sampleTypeName(ASIOSampleType type) {
  for (const TypeName& entry : kTypes) {
    if (entry.type == type) return entry.name;
  }
  return "unknown";
}

void encodeSample(double value, ASIOSampleType type, uint8_t* out) {
  const ASIOSampleType little = littleEndianOf(type);
  const size_t bytes = sampleBytes(type);
  switch (little) {
    case ASIOSTFloat32LSB: {
      const float f = static_cast<float>(value);
      std::memcpy(out, &f, 4);
      break;
    }
    case ASIOSTFloat64LSB:
      std::memcpy(out, &value, 8);
      break;
    case ASIOSTInt16LSB:
      storeLittle(static_cast<uint64_t>(scaled(value, 16)), 2, out);
      break;
    case ASIOSTInt24LSB:
      storeLittle(static_cast<uint64_t>(scaled(value, 24)), 3, out);
      break;
    default:
      storeLittle(static_cast<uint64_t>(scaled(value, significantBits(type))), 4, out);
      break;
  }
  if (isBigEndian(type)) reverse(out, bytes);
}

WavFormat wavFormatOf(ASIOSampleType type) {
  switch (littleEndianOf(type)) {
    case ASIOSTInt16LSB:
      return {1, 16};
    case ASIOSTInt24LSB:
      return {1, 24};
    case ASIOSTFloat32LSB:
      return {3, 32};
    case ASIOSTFloat64LSB:
      return {3, 64};
    default:
      return {1, 32};
  }
}

size_t toWavSample(const uint8_t* element, ASIOSampleType type, uint8_t* out) {
  const size_t bytes = sampleBytes(type);
  uint8_t little[8];
  std::memcpy(little, element, bytes);
  if (isBigEndian(type)) reverse(little, bytes);
  const int bits = significantBits(type);
  if (bytes == 4 && bits < 32 && wavFormatOf(type).formatTag == 1) {
    // Containers with fewer significant bits are scaled up to full 32-bit range.
    const uint32_t value = static_cast<uint32_t>(loadLittle(little, 4)) << (32 - bits);
    storeLittle(value, 4, out);
    return 4;
  }
  std::memcpy(out, little, bytes);
  return bytes;
}
