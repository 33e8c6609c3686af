#include "app/slider_mapping.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

int64_t magnitude(int32_t v) {
  return std::llabs(static_cast<int64_t>(v));
}

}  // namespace

float sliderValue(int32_t rangeMin, int32_t rangeMax, int32_t pos) {
  const int64_t a = magnitude(rangeMax);
  const int64_t b = magnitude(rangeMin);
  const int64_t s = std::max(a, b);
  if (s <= 0) return 0.0f;
  return static_cast<float>(static_cast<double>(a + b - pos) / static_cast<double>(s));
}

int32_t sliderPosition(int32_t rangeMin, int32_t rangeMax, float value) {
  const int64_t a = magnitude(rangeMax);
  const int64_t b = magnitude(rangeMin);
  const float scale = static_cast<float>(std::max(a, b));
  const float v = value * scale;
  // A parameter can hold anything a sound file carried; a value beyond every
  // position, or NaN (shown like 0.0), must not reach an integer conversion whose
  // result is undefined.
  // 2^40 lies beyond every position of any 32-bit range, and fits int64 exactly.
  const float limit = 1099511627776.0f;
  int64_t n;
  if (std::isnan(v)) {
    n = 0;
  } else if (v >= limit) {
    n = static_cast<int64_t>(limit);
  } else if (v <= -limit) {
    n = -static_cast<int64_t>(limit);
  } else if (v >= 0.0f) {
    // The half is added in double: in float the sum itself rounds, and a value
    // just below a half (or any odd value past 2^23) would land one step too far.
    // The value is not negative and the sum is exact, so truncating it rounds halves up.
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    n = static_cast<int64_t>(static_cast<double>(v) + 0.5);
  } else {
    n = static_cast<int64_t>(static_cast<double>(v) - 0.5);
  }
  const int64_t pos = a + b - n;
  return static_cast<int32_t>(std::clamp<int64_t>(pos, INT32_MIN, INT32_MAX));
}

int32_t clampToRange(int32_t rangeMin, int32_t rangeMax, int32_t pos) {
  const int32_t lo = std::min(rangeMin, rangeMax);
  const int32_t hi = std::max(rangeMin, rangeMax);
  return std::clamp(pos, lo, hi);
}
