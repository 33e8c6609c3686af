#include "synth/phase_reduction.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// 2/pi in binary, 32 bits per word from the binary point on: enough for the
// largest float exponent plus the 128 bits the product keeps.
const uint32_t kTwoOverPi[] = {0xA2F9836E, 0x4E441529, 0xFC2757D1, 0xF534DDC0, 0xDB629599,
                               0x3C439041, 0xFE5163AB, 0xDEBBC561, 0xB7246E3A, 0x424DD2E0,
                               0x06492EEA, 0x09D1921C, 0xFE1DEB1C, 0xB129A73E};
constexpr int kWordCount = static_cast<int>(sizeof(kTwoOverPi) / sizeof(kTwoOverPi[0]));

// pi/2 as a double-double.
constexpr double kHalfPiHigh = 0x1.921fb54442d18p+0;
constexpr double kHalfPiLow = 0x1.1a62633145c07p-54;

uint64_t word(int index) {
  return index >= 0 && index < kWordCount ? kTwoOverPi[index] : 0;
}

// 64 bits of 2/pi starting at bit `first` (the bit worth 2^-first); bits before
// the binary point are zero.
uint64_t twoOverPiBits(int first) {
  const int position = first - 1;
  const int index = position >> 5;
  const int offset = position & 31;
  const unsigned __int128 window = (static_cast<unsigned __int128>(word(index)) << 64) |
                                   (static_cast<unsigned __int128>(word(index + 1)) << 32) |
                                   word(index + 2);
  return static_cast<uint64_t>(window >> (32 - offset));
}

// Veltkamp split: value = high + low with 26-bit halves, so products of halves are exact.
void split(double value, double* high, double* low) {
  const double scaled = value * 134217729.0;  // 2^27 + 1
  *high = scaled - (scaled - value);
  *low = value - *high;
}

// a * b = product + error exactly.
double productError(double a, double b, double product) {
  double aHigh, aLow, bHigh, bLow;
  split(a, &aHigh, &aLow);
  split(b, &bHigh, &bLow);
  return ((aHigh * bHigh - product) + aHigh * bLow + aLow * bHigh) + aLow * bLow;
}

}  // namespace

void reducePhase(float phase, int* quadrant, double* high, double* low) {
  uint32_t bits = 0;
  std::memcpy(&bits, &phase, sizeof(bits));
  const int biasedExponent = static_cast<int>((bits >> 23) & 0xFF);
  if (biasedExponent == 0xFF) {  // infinite or NaN
    *quadrant = 0;
    *high = static_cast<double>(phase) - static_cast<double>(phase);
    *low = 0.0;
    return;
  }
  // |phase| = mantissa * 2^exponent with an integer mantissa below 2^24.
  const uint64_t mantissa = (bits & 0x7FFFFF) | (biasedExponent != 0 ? 0x800000u : 0u);
  const int exponent = (biasedExponent != 0 ? biasedExponent : 1) - 150;
  if (mantissa == 0) {
    *quadrant = 0;
    *high = phase;
    *low = 0.0;
    return;
  }

  // phase * 2/pi modulo 4: bits of 2/pi worth 4 or more after the shift by the
  // exponent only add multiples of 4, so the window starts at bit exponent - 1.
  // The product then has its binary point between bits 125 and 126.
  const int first = exponent - 1;
  const unsigned __int128 window =
      (static_cast<unsigned __int128>(twoOverPiBits(first)) << 64) | twoOverPiBits(first + 64);
  const unsigned __int128 product = window * mantissa;  // only the low 128 bits matter
  // Round to the nearest quadrant; the rest is a signed fraction of a quadrant.
  int q = static_cast<int>(((product + (static_cast<unsigned __int128>(1) << 125)) >> 126) & 3);
  const __int128 rest = static_cast<__int128>(product << 2);  // fraction * 2^128
  const int64_t top = static_cast<int64_t>(rest >> 64);
  const uint64_t bottom = static_cast<uint64_t>(rest);
  const double a = static_cast<double>(top >> 11) * 0x1p-53;
  const double b =
      static_cast<double>(top & 0x7FF) * 0x1p-64 + static_cast<double>(bottom) * 0x1p-128;
  const double fractionHigh = a + b;
  const double fractionLow = b - (fractionHigh - a);

  // Times pi/2, in double-double.
  const double p = fractionHigh * kHalfPiHigh;
  const double tail = productError(fractionHigh, kHalfPiHigh, p) + fractionHigh * kHalfPiLow +
                      fractionLow * kHalfPiHigh;
  double h = p + tail;
  double l = tail - (h - p);

  if (phase < 0.0f) {
    q = (4 - q) & 3;
    h = -h;
    l = -l;
  }
  *quadrant = q;
  *high = h;
  *low = l;
}

void reduceWideLanes(const double* phase, double* quadrant, double* high, double* low, int lanes,
                     double limit) {
  for (int i = 0; i < lanes; ++i) {
    if (std::fabs(phase[i]) <= limit) continue;
    int q = 0;
    reducePhase(static_cast<float>(phase[i]), &q, &high[i], &low[i]);
    quadrant[i] = q;
  }
}
