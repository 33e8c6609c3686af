// The virtual driver's own sample handling: writing its test signal in any ASIO
// sample type, and turning what the host wrote into WAV sample data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/asio/asio.h"

// Bytes of one element in the driver's buffer; 0 for types the driver does not offer.
size_t sampleBytes(ASIOSampleType type);
// Accepts a number ("18") or a name without the prefix ("Int32LSB").
bool sampleTypeFromText(const char* text, ASIOSampleType* type);
const char* sampleTypeName(ASIOSampleType type);

// Writes `value` (full scale +-1) as one element of `type` at `out`.
void encodeSample(double value, ASIOSampleType type, uint8_t* out);

// The WAV form of a type: PCM with 16, 24 or 32 bits, or IEEE float with 32 or 64.
struct WavFormat {
  uint16_t formatTag;  // 1 PCM, 3 IEEE float
  uint16_t bitsPerSample;
};
WavFormat wavFormatOf(ASIOSampleType type);
// Writes one element of `type` as one WAV sample of wavFormatOf(type); returns the bytes.
size_t toWavSample(const uint8_t* element, ASIOSampleType type, uint8_t* out);
